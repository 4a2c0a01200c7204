#include "platform/Files.h"

#include <memory>

namespace tFiles {
namespace {

std::string TooLarge(uint64_t Size, uint64_t MaxBytes) {
  return "it is " + std::to_string(Size) + " bytes long, more than the " +
         std::to_string(MaxBytes) + " it may have";
}

}  // namespace

std::string NotRegularText(tFileType Type) {
  const char* What = Type == ft_Fifo     ? "a FIFO"
                     : Type == ft_Folder ? "a folder"
                     : Type == ft_Device ? "a device"
                                         : "neither a file nor a folder";
  return std::string("not a regular file (") + What + ")";
}

tReadResult ReadSmallFile(const std::string& Path, uint64_t MaxBytes, std::string& Text,
                          std::string& Why) {
  Text.clear();
  int Error = 0;
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> File(OpenRegular(Path, of_Read, Error, Why),
                                                             std::fclose);
  if (!File) return IsNotFound(Error) ? rr_Missing : rr_Refused;
  tFileInfo Info;
  if (!Describe(File.get(), Info, Error)) {
    Why = SystemErrorText(Error);
    return rr_Refused;
  }
  if (Info.Size > MaxBytes) {
    Why = TooLarge(Info.Size, MaxBytes);
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
