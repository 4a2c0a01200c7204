// SHA-256 against the FIPS 180 examples, fed whole and in pieces, and of files.
#include "support/Sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TempFolder.h"

namespace {

std::vector<uint8_t> Bytes(const std::string& Text) {
  return {Text.begin(), Text.end()};
}

struct tVector {
  std::string Message;
  const char* Digest;
};

// The examples published with the standard (one-block, two-block, the 896-bit message) and
// the empty message.
const tVector Vectors[] = {
    {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
     "lmnopqrsmnopqrstnopqrstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
};

TEST(Sha256Test, PublishedExamples) {
  for (const tVector& V : Vectors)
    EXPECT_EQ(tSha256::HexOf(Bytes(V.Message)), V.Digest) << '"' << V.Message << '"';
}

TEST(Sha256Test, OneMillionAs) {
  tSha256 Hash;
  const std::vector<uint8_t> Thousand(1000, 'a');
  for (int i = 0; i < 1000; ++i)
    Hash.Update(Thousand);
  EXPECT_EQ(tSha256::Hex(Hash.Final()),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256Test, PiecesGiveTheDigestOfTheWhole) {
  // Every way of cutting the 896-bit example in two, and byte by byte: the buffering across
  // block edges must not matter.
  const std::vector<uint8_t> Message = Bytes(Vectors[3].Message);
  for (std::size_t Cut = 0; Cut <= Message.size(); ++Cut) {
    tSha256 Hash;
    Hash.Update(std::span(Message).first(Cut));
    Hash.Update(std::span(Message).subspan(Cut));
    ASSERT_EQ(tSha256::Hex(Hash.Final()), Vectors[3].Digest) << "cut at " << Cut;
  }
  tSha256 Hash;
  for (uint8_t Byte : Message)
    Hash.Update({&Byte, 1});
  EXPECT_EQ(tSha256::Hex(Hash.Final()), Vectors[3].Digest);
}

TEST(Sha256Test, FinalStartsAfresh) {
  tSha256 Hash;
  Hash.Update(Bytes("junk"));
  Hash.Final();
  Hash.Update(Bytes("abc"));
  EXPECT_EQ(tSha256::Hex(Hash.Final()), Vectors[1].Digest);
}

TEST(Sha256Test, FileDigestAndSize) {
  tTempFolder Folder;
  // Larger than the reader's buffer, so it is read in several pieces.
  std::vector<uint8_t> Content(200 * 1024);
  for (std::size_t i = 0; i < Content.size(); ++i)
    Content[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
  WriteFileBytes(Folder.File("image.bin"), Content);
  std::string Hex, Error;
  uint64_t Size = 0;
  ASSERT_TRUE(Sha256OfFile(Folder.File("image.bin"), Hex, Size, Error)) << Error;
  EXPECT_EQ(Hex, tSha256::HexOf(Content));
  EXPECT_EQ(Size, Content.size());
}

TEST(Sha256Test, FileThatCannotBeReadSaysWhy) {
  tTempFolder Folder;
  std::string Hex, Error;
  uint64_t Size = 0;
  EXPECT_FALSE(Sha256OfFile(Folder.File("absent.bin"), Hex, Size, Error));
  EXPECT_FALSE(Error.empty());
  EXPECT_FALSE(Sha256OfFile(Folder.Path, Hex, Size, Error));
  EXPECT_EQ(Error, "not a regular file (a folder)");
}

}  // namespace
