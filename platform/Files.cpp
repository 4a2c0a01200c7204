#include "platform/Files.h"

#include <memory>

namespace tFiles {
namespace {

std::string TooLarge(uint64_t Size, uint64_t MaxBytes) {
  return "it is " + std::to_string(Size) + " bytes long, more than the " +
         std::to_string(MaxBytes) + " it may have";
}

}  // namespace

tReadResult ReadSmallFile(const std::string& Path, uint64_t MaxBytes, std::string& Text,
                          std::string& Why) {
  Text.clear();
  // The name is looked at before it is opened: opening a FIFO would wait for a writer, and
  // opening a device could already act on it (a serial port raises its modem lines).
  tFileInfo Info;
  int Error = 0;
  if (!Describe(Path, Info, Error)) {
    if (IsNotFound(Error)) return rr_Missing;
    Why = SystemErrorText(Error);
    return rr_Refused;
  }
  if (!Info.Regular) {
    Why = "it is not a regular file";
    return rr_Refused;
  }
  if (Info.Size > MaxBytes) {
    Why = TooLarge(Info.Size, MaxBytes);
    return rr_Refused;
  }
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> File(Open(Path, "rb", Error), std::fclose);
  if (!File) {
    if (IsNotFound(Error)) return rr_Missing;
    Why = SystemErrorText(Error);
    return rr_Refused;
  }
  // What was opened is looked at again: the name may lead elsewhere by now.
  if (!Describe(File.get(), Info, Error) || !Info.Regular) {
    Why = "it is not a regular file";
    return rr_Refused;
  }
  char Chunk[4096];
  for (;;) {
    const std::size_t N = std::fread(Chunk, 1, sizeof Chunk, File.get());
    if (Text.size() + N > MaxBytes) {
      // It grew while it was read.
      Why = TooLarge(Text.size() + N, MaxBytes);
      Text.clear();
      return rr_Refused;
    }
    Text.append(Chunk, N);
    if (N < sizeof Chunk) break;
  }
  if (std::ferror(File.get())) {
    Why = "it could not be read in full";
    Text.clear();
    return rr_Refused;
  }
  return rr_Read;
}

}  // namespace tFiles
