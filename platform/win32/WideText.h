// UTF-8 <-> UTF-16 for the Windows backend: the rest of the tool keeps UTF-8 names, the
// system's "W" calls take UTF-16.
#pragma once

#include <string>

namespace tWideText {

// Text that is not valid UTF-8 gives the replacement character where it breaks.
std::wstring FromUtf8(const std::string& Text);
std::string ToUtf8(const std::wstring& Text);

}  // namespace tWideText
