#include "lib/persist/nonbuf_filestream.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>  // file-size limits exist on POSIX systems only
#endif

#include <csignal>
#include <cstring>
#include <limits>
#include <memory>
#include <numeric>

#include "TempFolder.h"
#include "lib/persist/NqError.h"

namespace {

std::vector<uint8_t> Counting(size_t n, uint8_t From = 0) {
  std::vector<uint8_t> v(n);
  std::iota(v.begin(), v.end(), From);
  return v;
}

#ifndef _WIN32
// Limits how large this process may make a file, for as long as it lives; the signal the
// kernel sends at the limit is ignored, so the failing call only returns EFBIG.
class tFileSizeLimit {
 public:
  explicit tFileSizeLimit(rlim_t Bytes) {
    OldHandler = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &Old);
    rlimit Limited = Old;
    Limited.rlim_cur = Bytes;
    setrlimit(RLIMIT_FSIZE, &Limited);
  }
  ~tFileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &Old);
    std::signal(SIGXFSZ, OldHandler);
  }

 private:
  rlimit Old{};
  void (*OldHandler)(int) = SIG_DFL;
};
#endif

class NonBufferedFileStream : public testing::Test {
 protected:
  // A file of Size bytes 0, 1, 2, ...
  std::string MakeFile(const std::string& Name, size_t Size) {
    const std::string Path = Temp.File(Name);
    WriteFileBytes(Path, Counting(Size));
    return Path;
  }
  tTempFolder Temp;
};

TEST_F(NonBufferedFileStream, NewFileIsAsLongAsTheMappingUntilClosedThenAsTheData) {
  const std::string Path = Temp.File("new.bin");
  {
    TNonBufferedFileStream S(Path, fmCreate);
    EXPECT_EQ(S.GetMaxFileSize(), 2097152u);
    EXPECT_EQ(FileSize(Path), 2097152u);
    const auto Data = Counting(10, 1);
    EXPECT_EQ(S.Write(Data.data(), 10), 10);
    EXPECT_EQ(S.GetSize(), 10);
  }
  EXPECT_EQ(FileBytes(Path), Counting(10, 1));
}

TEST_F(NonBufferedFileStream, EveryWrittenByteIsInTheFileWhenWriteReturns) {
  const std::string Path = Temp.File("sync.bin");
  TNonBufferedFileStream S(Path, fmCreate, 4096);
  const auto Data = Counting(100, 7);
  ASSERT_EQ(S.Write(Data.data(), 100), 100);
  const auto OnDisk = FileBytes(Path);
#ifdef _WIN32
  // The stream shares the file with no one: another reader cannot open it.
  EXPECT_TRUE(OnDisk.empty());
  return;
#endif
  // Another reader of the file sees the bytes while the stream is still open.
  ASSERT_EQ(OnDisk.size(), 4096u);
  EXPECT_TRUE(std::equal(Data.begin(), Data.end(), OnDisk.begin()));
}

TEST_F(NonBufferedFileStream, SeekFromTheEndCountsBackAndReadsStopAtTheLogicalSize) {
  const std::string Path = MakeFile("ten.bin", 10);
  TNonBufferedFileStream S(Path, fmOpenRead);
  EXPECT_TRUE(S.IsReadOnly());
  EXPECT_EQ(S.GetMaxFileSize(), 0u);
  EXPECT_EQ(S.GetMappingSize(), 10u);
  EXPECT_EQ(S.Seek(3, 2), 7);  // from the end, counted back
  EXPECT_EQ(S.Seek(int64_t{-2}, 1), 5);
  EXPECT_EQ(S.Seek(1, 7), 5);  // unknown origin: unchanged
  EXPECT_EQ(S.Seek(6, 0), 6);
  uint8_t Buf[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(S.Read(Buf, 8), 4);
  EXPECT_EQ(Buf[0], 6);
  EXPECT_EQ(Buf[3], 9);
  EXPECT_EQ(Buf[4], 0xEE);
  EXPECT_EQ(S.GetPosition(), 10);
  EXPECT_EQ(S.Read(Buf, 8), 0);  // at the end: nothing, no error
}

TEST_F(NonBufferedFileStream, WritePastTheLogicalSizeRaisesItAndTheFileKeepsIt) {
  const std::string Path = MakeFile("grow.bin", 10);
  {
    TNonBufferedFileStream S(Path, fmOpenReadWrite);
    EXPECT_EQ(S.GetSize(), 10);
    S.Seek(10, 0);
    const uint8_t Four[4] = {0xA0, 0xA1, 0xA2, 0xA3};
    EXPECT_EQ(S.Write(Four, 4), 4);
    EXPECT_EQ(S.GetSize(), 14);
  }
  auto Expected = Counting(10);
  Expected.insert(Expected.end(), {0xA0, 0xA1, 0xA2, 0xA3});
  EXPECT_EQ(FileBytes(Path), Expected);
}

TEST_F(NonBufferedFileStream, SetSizeIsRefusedWhenReadOnlyAndCutsTheFileOtherwise) {
  const std::string Path = MakeFile("size.bin", 10);
  {
    TNonBufferedFileStream S(Path, fmOpenRead);
    try {
      S.SetSize(5);
      FAIL() << "SetSize on a read-only stream succeeded";
    } catch (const tNqStreamError& E) {
      EXPECT_EQ(std::string(E.what()),
                "Can't set size in read only TNonBufferedFileStream (" + Path + ")");
    }
  }
  EXPECT_EQ(FileSize(Path), 10u);
  {
    TNonBufferedFileStream S(Path, fmOpenReadWrite);
    S.SetSize(5);
    EXPECT_EQ(S.GetSize(), 5);
    EXPECT_EQ(FileSize(Path), 2097152u);  // only the logical size changed so far
    EXPECT_THROW(S.SetSize(-1), tNqStreamError);
  }
  EXPECT_EQ(FileBytes(Path), Counting(5));
}

TEST_F(NonBufferedFileStream, OpenForWritingEmptiesTheFile) {
  const std::string Path = MakeFile("w.bin", 100);
  {
    TNonBufferedFileStream S(Path, fmOpenWrite, 64);
    EXPECT_FALSE(S.IsReadOnly());
    EXPECT_EQ(S.GetSize(), 0);
    const uint8_t Two[2] = {1, 2};
    S.Write(Two, 2);
  }
  EXPECT_EQ(FileBytes(Path), (std::vector<uint8_t>{1, 2}));
}

TEST_F(NonBufferedFileStream, ReadsBeyondTheDataAndAccessPastTheMappingAreRefused) {
  const std::string Path = MakeFile("bounds.bin", 10);
  TNonBufferedFileStream S(Path, fmOpenReadWrite, 16);
  uint8_t Buf[16] = {};
  S.Seek(11, 0);
  EXPECT_THROW(S.Read(Buf, 1), tNqStreamError);
  S.Seek(int64_t{-1}, 0);
  EXPECT_THROW(S.Read(Buf, 1), tNqStreamError);
  EXPECT_THROW(S.Write(Buf, 1), tNqStreamError);
  // A write reaching past the 16-byte mapping writes nothing and changes nothing.
  S.Seek(10, 0);
  EXPECT_THROW(S.Write(Buf, 7), tNqStreamError);
  EXPECT_EQ(S.GetSize(), 10);
  EXPECT_EQ(S.GetPosition(), 10);
  EXPECT_EQ(S.Write(Buf, 6), 6);  // exactly up to the end of the mapping
  S.Seek(std::numeric_limits<int64_t>::max(), 0);
  EXPECT_THROW(S.Write(Buf, 1), tNqStreamError);
  EXPECT_THROW(S.Read(Buf, 1), tNqStreamError);
  // A logical size beyond the mapping is not readable.
  S.SetSize(40);
  S.Seek(12, 0);
  EXPECT_THROW(S.Read(Buf, 8), tNqStreamError);
  EXPECT_EQ(S.GetPosition(), 12);
}

TEST_F(NonBufferedFileStream, AFileThatCannotBeOpenedIsAClearErrorAndNoFileIsShared) {
  const std::string Missing = Temp.File("missing.bin");
  try {
    TNonBufferedFileStream S(Missing, fmOpenReadWrite);
    FAIL() << "opened a missing file";
  } catch (const tNqStreamError& E) {
    EXPECT_EQ(std::string(E.what()), "Cannot access file " + Missing +
                                         "\r\nPlease ensure drive is present and write-enabled");
    EXPECT_EQ(E.ErrorCode, ENOENT);
  }
  const std::string Path = MakeFile("busy.bin", 10);
  TNonBufferedFileStream First(Path, fmOpenReadWrite);
  EXPECT_THROW(TNonBufferedFileStream(Path, fmOpenRead), tNqStreamError);
}

TEST_F(NonBufferedFileStream, AnEmptyFileHasNoMappingAndStoresNothing) {
  const std::string Path = MakeFile("empty.bin", 0);
  {
    TNonBufferedFileStream S(Path, fmOpenRead);
    uint8_t b = 0;
    EXPECT_EQ(S.GetMappingSize(), 0u);
    EXPECT_EQ(S.Read(&b, 1), 0);
  }
  {
    TNonBufferedFileStream S(Path, fmOpenReadWrite, 0);
    const uint8_t b = 5;
    EXPECT_EQ(S.Write(&b, 1), 0);
    EXPECT_EQ(S.GetSize(), 0);
    EXPECT_EQ(S.Memory(), nullptr);
  }
  EXPECT_EQ(FileSize(Path), 0u);
}

TEST_F(NonBufferedFileStream, MemoryIsAViewOfTheWholeMapping) {
  const std::string Path = MakeFile("mem.bin", 10);
  {
    TNonBufferedFileStream S(Path, fmOpenReadWrite, 32);
    uint8_t* M = S.Memory();
    ASSERT_NE(M, nullptr);
    EXPECT_EQ(S.Memory(), M);
    EXPECT_EQ(M[9], 9);
    M[0] = 0x55;
    uint8_t b = 0;
    EXPECT_EQ(S.Read(&b, 1), 1);
    EXPECT_EQ(b, 0x55);
  }
  EXPECT_EQ(FileBytes(Path)[0], 0x55);
  TNonBufferedFileStream ReadOnly(Path, fmOpenRead);
  EXPECT_EQ(ReadOnly.Memory(), nullptr);
}

TEST_F(NonBufferedFileStream, ARefusedOpenLeavesTheOtherStreamsFileAsItWas) {
  const std::string Path = MakeFile("held.bin", 1000);
  auto Held = std::make_unique<TNonBufferedFileStream>(Path, fmOpenReadWrite);
  EXPECT_THROW(TNonBufferedFileStream(Path, fmCreate), tNqStreamError);
  EXPECT_THROW(TNonBufferedFileStream(Path, fmOpenWrite), tNqStreamError);
  EXPECT_THROW(tFileStream(Path, fmCreate), tNqStreamError);
  {
    // The buffered saver of an in-memory stream is refused the same way.
    TNonBufferedFileStreamViaMem Saving(Path, fmCreate);
    Saving.SetUseFileStreamForSaver(true);
    Saving.WriteBuffer("x", 1);
    EXPECT_THROW(Saving.Close(), tNqStreamError);
  }
  std::vector<uint8_t> Back(1000);
  ASSERT_EQ(Held->Read(Back.data(), 1000), 1000);
  EXPECT_EQ(Back, Counting(1000));
  Held.reset();
  EXPECT_EQ(FileBytes(Path), Counting(1000));
}

TEST_F(NonBufferedFileStream, WritingAfterCloseRaisesTheWriteErrorAndStoresNothing) {
  const std::string Path = Temp.File("closed.bin");
  const uint8_t b = 7;
  {
    TNonBufferedFileStreamViaMem InMemory(Path, fmCreate);
    InMemory.WriteBuffer(&b, 1);
    InMemory.Close();
    EXPECT_THROW(InMemory.Write(&b, 1), tNqStreamError);
  }
  {
    TNonBufferedFileStreamViaMem Shadowed(Path, fmOpenReadWrite);
    Shadowed.Close();
    EXPECT_THROW(Shadowed.Write(&b, 1), tNqStreamError);
  }
  {
    TNonBufferedFileStream Mapped(Path, fmOpenReadWrite, 16);
    Mapped.Close();
    EXPECT_THROW(Mapped.Write(&b, 1), tNqStreamError);
  }
  {
    tFileStream Buffered(Path, fmOpenReadWrite);
    Buffered.Close();
    EXPECT_THROW(Buffered.Write(&b, 1), tNqStreamError);
  }
  EXPECT_EQ(FileBytes(Path), (std::vector<uint8_t>{7}));
}

TEST_F(NonBufferedFileStream, WritesThatStoreNothingSayWhyAndChangeNothing) {
#ifndef _WIN32
  {
    // The file may grow to 64 KiB only, so the mapping of a larger save cannot be made.
    tFileSizeLimit Limit(65536);
    TNonBufferedFileStreamViaMem S(Temp.File("big.bin"), fmCreate);
    const auto Data = Counting(100000);
    S.WriteBuffer(Data.data(), 100000);
    try {
      S.Close();
      FAIL() << "a save that could not be mapped succeeded";
    } catch (const tNqStreamError& E) {
      const std::string What = E.what();
      EXPECT_EQ(What.rfind("Stream write error", 0), 0u) << What;
      EXPECT_NE(What.find(std::strerror(EFBIG)), std::string::npos) << What;
      EXPECT_EQ(E.ErrorCode, EFBIG);
    }
  }
#endif
  // Writing nothing after a seek past the end leaves the size as it was.
  const std::string Path = MakeFile("zero.bin", 10);
  {
    TNonBufferedFileStream S(Path, fmOpenReadWrite, 64);
    S.Seek(40, 0);
    const uint8_t b = 1;
    EXPECT_EQ(S.Write(&b, 0), 0);
    EXPECT_EQ(S.GetSize(), 10);
  }
  EXPECT_EQ(FileBytes(Path), Counting(10));
}

// ---- TNonBufferedFileStreamViaMem ----

TEST_F(NonBufferedFileStream, ShrinkingInMemoryBeforeTheSaveSavesTheNewSize) {
  for (const uint16_t Mode : {fmCreate, fmOpenWrite}) {
    const std::string Path = Temp.File("shrunk" + std::to_string(Mode) + ".bin");
    {
      TNonBufferedFileStreamViaMem S(Path, Mode);
      const auto Data = Counting(100, 1);
      S.WriteBuffer(Data.data(), 100);
      S.SetSize(50);
    }
    EXPECT_EQ(FileBytes(Path), Counting(50, 1)) << Mode;
  }
}

TEST_F(NonBufferedFileStream, InMemoryGrowsInWholeMiBAndSavesExactlyTheData) {
  for (const bool UseFileStream : {false, true}) {
    SCOPED_TRACE(UseFileStream);
    const std::string Path = Temp.File(UseFileStream ? "a/b/buffered.bin" : "a/mapped.bin");
    const auto Data = Counting(300000);
    {
      TNonBufferedFileStreamViaMem S(Path, fmCreate);
      S.SetUseFileStreamForSaver(UseFileStream);
      EXPECT_EQ(S.GetShadow(), nullptr);
      ASSERT_EQ(S.Write(Data.data(), 1000), 1000);
      EXPECT_EQ(S.GetSize(), 1048576);
      ASSERT_EQ(S.Write(Data.data() + 1000, 299000), 299000);
      EXPECT_EQ(S.GetSize(), 1048576);
      EXPECT_EQ(S.Capacity(), 1048576);
      EXPECT_EQ(S.GetMaxPosition(), 300000);
      EXPECT_FALSE(std::filesystem::exists(Path));  // nothing saved before the end
    }
    EXPECT_EQ(FileBytes(Path), Data);
  }
}

TEST_F(NonBufferedFileStream, InMemoryGrowthStepsToTheNextMiBAboveTheEnd) {
  const std::string Path = Temp.File("steps.bin");
  TNonBufferedFileStreamViaMem S(Path, fmOpenWrite);
  const uint8_t b = 1;
  S.Seek(int64_t{1048575}, 0);
  S.Write(&b, 1);  // ends at exactly 1 MiB
  EXPECT_EQ(S.GetSize(), 2097152);
  S.Seek(int64_t{10}, 0);
  S.Write(&b, 1);  // below everything written: no growth
  EXPECT_EQ(S.GetSize(), 2097152);
  S.Seek(std::numeric_limits<int64_t>::max() - 1, 0);
  EXPECT_THROW(S.Write(&b, 1), tNqStreamError);  // beyond what memory can hold
  S.Close();
  EXPECT_EQ(FileSize(Path), 1048576u);
}

TEST_F(NonBufferedFileStream, ReadWriteModeMapsHalfAgainTheFileSize) {
  const std::string Path = MakeFile("rw.bin", 1000);
  {
    TNonBufferedFileStreamViaMem S(Path, fmOpenReadWrite);
    auto* Shadow = dynamic_cast<TNonBufferedFileStream*>(S.GetShadow());
    ASSERT_NE(Shadow, nullptr);
    EXPECT_EQ(Shadow->GetMaxFileSize(), 1500u);
    EXPECT_EQ(FileSize(Path), 1500u);
    EXPECT_EQ(S.GetSize(), 1000);
    S.Seek(3, 2);  // the shadow's rule: back from the end
    uint8_t b = 0;
    EXPECT_EQ(S.Read(&b, 1), 1);
    EXPECT_EQ(b, static_cast<uint8_t>(997));
    const auto More = Counting(500, 1);
    S.Seek(int64_t{1000}, 0);
    EXPECT_EQ(S.Write(More.data(), 500), 500);
    EXPECT_THROW(S.Write(More.data(), 1), tNqStreamError);  // the file can grow by half only
    S.SetSize(10);                                          // ignored with a shadow
    EXPECT_EQ(S.GetSize(), 1500);
  }
  EXPECT_EQ(FileSize(Path), 1500u);
}

TEST_F(NonBufferedFileStream, ReadModeReadsTheFileAndMissingFilesFailToOpen) {
  const std::string Path = MakeFile("r.bin", 20);
  {
    TNonBufferedFileStreamViaMem S(Path, fmOpenRead);
    ASSERT_NE(S.GetShadow(), nullptr);
    uint8_t Buf[30] = {};
    EXPECT_EQ(S.GetSize(), 20);
    EXPECT_EQ(S.Read(Buf, 30), 20);
    EXPECT_EQ(Buf[19], 19);
    S.SetDiskFileName(Temp.File("other.bin"));  // no effect in this mode
    EXPECT_EQ(S.GetDiskFileName(), Path);
  }
  EXPECT_EQ(FileBytes(Path), Counting(20));
  const std::string Missing = Temp.File("nope.bin");
  for (const uint16_t Mode : {fmOpenRead, fmOpenReadWrite}) {
    try {
      TNonBufferedFileStreamViaMem S(Missing, Mode);
      FAIL() << "opened a missing file in mode " << Mode;
    } catch (const tNqStreamError& E) {
      EXPECT_EQ(std::string(E.what()).rfind("Cannot open file \"" + Missing + "\"", 0), 0u)
          << E.what();
    }
  }
}

TEST_F(NonBufferedFileStream, OnlyCreateAndWriteModesSaveAndTheNameCanChangeThere) {
  const std::string Other = Temp.File("other-mode.bin");
  {
    TNonBufferedFileStreamViaMem S(Other, 0x10);  // not a saving mode: memory only
    const uint8_t b = 1;
    EXPECT_EQ(S.Write(&b, 1), 1);
  }
  EXPECT_FALSE(std::filesystem::exists(Other));
  const std::string Renamed = Temp.File("renamed.bin");
  {
    TNonBufferedFileStreamViaMem S(Temp.File("first.bin"), fmCreate);
    S.SetDiskFileName(Renamed);
    S.WriteBuffer("abc", 3);
  }
  EXPECT_FALSE(std::filesystem::exists(Temp.File("first.bin")));
  EXPECT_EQ(FileBytes(Renamed), (std::vector<uint8_t>{'a', 'b', 'c'}));
}

TEST_F(NonBufferedFileStream, ASaveThatCannotBeWrittenIsRaisedByClose) {
  // A folder where the file should be: the saver cannot create it.
  const std::string Path = Temp.File("dir");
  std::filesystem::create_directory(Path);
  TNonBufferedFileStreamViaMem S(Path, fmCreate);
  S.WriteBuffer("x", 1);
  EXPECT_THROW(S.Close(), tNqStreamError);
  EXPECT_NO_THROW(S.Close());  // closed once; the destructor has nothing left to do
}

}  // namespace
