// Files by name, and the text of a system error code.
//
// Names are UTF-8 on every system (on Windows they are turned into the system's wide names,
// so a folder named in any language works). Error codes are those the platform's calls keep
// (errno, or GetLastError() on Windows).
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tFiles {

// std::fopen with a UTF-8 name; null on failure with the system's code in Error.
std::FILE* Open(const std::string& Path, const char* Mode, int& Error);

// Creates Path for writing in binary mode only when no file of that name exists (the check
// and the creation are one system call, so two writers cannot both create it). Null when the
// file exists or cannot be created; Error then holds the system's code.
std::FILE* CreateNew(const std::string& Path, int& Error);

// Creates a new, empty folder with a unique name starting with Prefix in the system's
// temporary folder; its UTF-8 path, or "" when it cannot be made.
std::string MakeTempFolder(const std::string& Prefix);

// What a name leads to, as far as the tool needs: whether it is an ordinary file, its size, and
// a stamp (identity and change times) that differs whenever the file was replaced or written.
enum tFileType { ft_Regular, ft_Fifo, ft_Folder, ft_Device, ft_Other };
struct tFileInfo {
  bool Regular = false;
  tFileType Type = ft_Other;
  uint64_t Size = 0;
  std::array<int64_t, 5> Stamp{};
};

// Describes Path (links followed); false with the system's code in Error.
bool Describe(const std::string& Path, tFileInfo& Info, int& Error);
// Describes the file File has open (whatever its name leads to by now).
bool Describe(std::FILE* File, tFileInfo& Info, int& Error);
// True for the codes that mean "no such file" (the name or a folder on its way is missing).
bool IsNotFound(int Code);
// 0 when the user may read Path, the system's code otherwise.
int ReadAccess(const std::string& Path);

// "not a regular file (a FIFO)": why a name that leads to Type is refused.
std::string NotRegularText(tFileType Type);

// Opens Path to read it (of_Read, "rb") or to append to it (of_Append, "ab": created when
// missing, never truncated), but only when it is an ordinary file, and without ever waiting: a
// FIFO, a device, a folder in its place is refused, unopened where its name already shows what
// it is, else by what was opened (the open itself never waits for a FIFO's other end). Null on
// failure, with Why the reason (the system's text, or NotRegularText) and Error the system's
// code, 0 when the file was refused for what it is.
enum tOpenFor { of_Read, of_Append };
std::FILE* OpenRegular(const std::string& Path, tOpenFor For, int& Error, std::string& Why);

// A system call a signal interrupted is made again unless StopRequested (given once, at the
// program's start; may be null) says the operator asked the program to stop: it then fails
// with the system's "interrupted" code, so Ctrl-C ends a wait on a file instead of being
// swallowed by it.
void SetStopCheck(bool (*StopRequested)());

// Reads the whole of a small ordinary file into Text. A name that leads to anything else (a
// FIFO, a device, a folder) or to a file larger than MaxBytes is refused without reading it,
// so a file the tool only consults can neither hang it nor fill its memory. rr_Missing when
// there is no such file; rr_Refused with Why saying what is wrong ("not a regular file (a
// FIFO)", or the system's text of the failure).
enum tReadResult { rr_Read, rr_Missing, rr_Refused };
tReadResult ReadSmallFile(const std::string& Path, uint64_t MaxBytes, std::string& Text,
                          std::string& Why);

// The system's text for an error code: "No such file or directory".
std::string SystemErrorText(int Code);

// Appends Bytes to the ordinary file Path (opened as OpenRegular's of_Append) in append mode
// with one write, so lines appended by several programs never mix, then waits until the system
// has them on the disk. Only a disk that fills up half-way makes a second write for the rest.
// False with the reason in Why (as OpenRegular's) when not all of Bytes could be written and
// kept.
bool AppendDurably(const std::string& Path, const std::string& Bytes, std::string& Why);
// The same without waiting for the disk, with the system's code in Error as well (0 when the
// file was refused for what it is): for a log whose lines may be lost in a power cut.
bool AppendBytes(const std::string& Path, const std::string& Bytes, int& Error, std::string& Why);

// Waits until what was written to File (flushed from its buffer first) is on the disk.
bool SyncToDisk(std::FILE* File, int& Error);

// Removes the file Path; false with the system's code in Error.
bool Remove(const std::string& Path, int& Error);

// Puts the file From in the place of To in one step (To replaced when it exists), so a reader
// of To sees either the old file or the whole new one; false with the system's code in Error.
bool Replace(const std::string& From, const std::string& To, int& Error);

// The names of what Folder holds (not "." and ".."), in no particular order; false with the
// system's code in Error when the folder cannot be read.
bool ListFolder(const std::string& Folder, std::vector<std::string>& Names, int& Error);

}  // namespace tFiles
