// The mark of the build's made-up images: the images the build makes carry it, real-looking
// images do not, and only the two places it belongs in count.
#include "support/MadeUpImage.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "TempFolder.h"
#include "sim/bootloader/DemoImage.h"

namespace {

using tBytes = std::vector<uint8_t>;

tBytes RandomBytes(std::size_t Size) {
  std::mt19937 Random(static_cast<unsigned>(Size));
  tBytes Bytes(Size);
  for (uint8_t& B : Bytes)
    B = static_cast<uint8_t>(Random());
  return Bytes;
}

// Bytes with the mark written at Offset.
tBytes MarkedAt(std::size_t Size, std::size_t Offset) {
  tBytes Bytes = RandomBytes(Size);
  std::copy(MadeUpImageMark.begin(), MadeUpImageMark.end(), Bytes.begin() + Offset);
  return Bytes;
}

TEST(MadeUpImageTest, TheBuildsDemoImagesAreMarked) {
  for (const char* Name : {"SkerryFPGA.bit", "xmos.bin", "SkerryTiva.dfu"}) {
    const std::string Path = std::string(DEMO_IMAGE_DIR) + "/" + Name;
    const tBytes Bytes = FileBytes(Path);
    ASSERT_FALSE(Bytes.empty()) << Path;
    EXPECT_TRUE(IsMadeUpImage(Bytes)) << Path;
    EXPECT_TRUE(FileIsMadeUpImage(Path)) << Path;
  }
}

TEST(MadeUpImageTest, OnlyTheMarkAtTheStartOrBeforeTheSuffixCounts) {
  const std::size_t Size = 4096, Mark = MadeUpImageMark.size();
  struct tCase {
    const char* What;
    tBytes Bytes;
    bool MadeUp;
  };
  const tCase Cases[] = {
      {"no mark", RandomBytes(Size), false},
      {"mark at the start", MarkedAt(Size, 0), true},
      {"mark before a 16-byte suffix", MarkedAt(Size, Size - 16 - Mark), true},
      {"mark before the longest suffix", MarkedAt(Size, Size - 255 - Mark), true},
      {"mark in the middle", MarkedAt(Size, Size / 2), false},
      {"the mark alone", MarkedAt(Mark, 0), true},
      {"part of the mark", tBytes(MadeUpImageMark.begin(), MadeUpImageMark.end() - 1), false},
      {"nothing", tBytes{}, false},
      {"demo firmware image", dfu::MakeDemoImage(2, 2048), true},
      {"the same without its mark", dfu::MakeDemoImage(2, 2048, false), false},
  };
  const tTempFolder Folder;
  for (const tCase& Case : Cases) {
    EXPECT_EQ(IsMadeUpImage(Case.Bytes), Case.MadeUp) << Case.What;
    WriteFileBytes(Folder.File("image"), Case.Bytes);
    EXPECT_EQ(FileIsMadeUpImage(Folder.File("image")), Case.MadeUp) << Case.What << " (file)";
  }
  EXPECT_FALSE(FileIsMadeUpImage(Folder.File("missing")));
}

}  // namespace
