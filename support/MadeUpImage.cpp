#include "support/MadeUpImage.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "platform/Files.h"

namespace {

// The longest DFU suffix (its length is one byte) after a made-up firmware's mark.
constexpr std::size_t MaxSuffix = 255;

bool StartsWithMark(std::span<const uint8_t> Bytes) {
  return Bytes.size() >= MadeUpImageMark.size() &&
         std::equal(MadeUpImageMark.begin(), MadeUpImageMark.end(), Bytes.begin());
}

// The mark anywhere in Tail (the end of an image).
bool TailHoldsMark(std::span<const uint8_t> Tail) {
  return std::search(Tail.begin(), Tail.end(), MadeUpImageMark.begin(), MadeUpImageMark.end()) !=
         Tail.end();
}

}  // namespace

bool IsMadeUpImage(std::span<const uint8_t> Image) {
  const std::size_t TailSize = std::min(Image.size(), MadeUpImageMark.size() + MaxSuffix);
  return StartsWithMark(Image) || TailHoldsMark(Image.last(TailSize));
}

std::string MadeUpImageName(std::span<const uint8_t> Image) {
  if (!StartsWithMark(Image)) return {};
  const std::string_view Rest(reinterpret_cast<const char*>(Image.data()) + MadeUpImageMark.size(),
                              Image.size() - MadeUpImageMark.size());
  if (!Rest.starts_with(MadeUpKindLead)) return {};
  // The name runs to " - " (the made-up text goes on after it) or to the line's end.
  const std::string_view Named = Rest.substr(MadeUpKindLead.size(), 64);
  const std::size_t End = std::min(Named.find(" - "), Named.find('\n'));
  return End == std::string_view::npos ? std::string() : std::string(Named.substr(0, End));
}

bool FileIsMadeUpImage(const std::string& Path) {
  int Error = 0;
  std::string Why;
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> File(
      tFiles::OpenRegular(Path, tFiles::of_Read, Error, Why), std::fclose);
  tFiles::tFileInfo Info;
  if (!File || !tFiles::Describe(File.get(), Info, Error) || !Info.Regular) return false;
  std::vector<uint8_t> Head(std::min<uint64_t>(Info.Size, MadeUpImageMark.size()));
  if (std::fread(Head.data(), 1, Head.size(), File.get()) != Head.size()) return false;
  if (StartsWithMark(Head)) return true;
  const std::size_t TailSize =
      static_cast<std::size_t>(std::min<uint64_t>(Info.Size, MadeUpImageMark.size() + MaxSuffix));
  std::vector<uint8_t> Tail(TailSize);
  if (std::fseek(File.get(), -static_cast<long>(TailSize), SEEK_END) != 0 ||
      std::fread(Tail.data(), 1, Tail.size(), File.get()) != Tail.size())
    return false;
  return TailHoldsMark(Tail);
}

std::string MadeUpImageRefusal(const std::string& Name, const std::string& Where) {
  return Name + " is a made-up image, made for the simulated card only, and " + Where;
}
