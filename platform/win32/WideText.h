// Helpers of the Windows backend: UTF-8 <-> UTF-16 (the rest of the tool keeps UTF-8 names,
// the system's "W" calls take UTF-16), and C library streams over system file handles.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace tWideText {

// Text that is not valid UTF-8 gives the replacement character where it breaks.
std::wstring FromUtf8(const std::string& Text);
std::string ToUtf8(const std::wstring& Text);

}  // namespace tWideText

// A C library stream that owns the open file handle File (closing the stream closes it);
// ReadToo gives a "r+b" stream, else "wb". On failure File is closed and Error holds the reason.
std::FILE* StreamOverHandle(std::intptr_t File, bool ReadToo, int& Error);
