#include "lib/persist/Streams.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "lib/persist/NqError.h"
#include "platform/Files.h"
#include "platform/MappedFile.h"

namespace {

// Position arithmetic that wraps instead of overflowing: no bounds are applied to seeks,
// reads and writes refuse positions they cannot serve.
int64_t AddWrapping(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

std::string SystemReason(int Err) {
  return tFiles::SystemErrorText(Err);
}

}  // namespace

// ---- tStream ----

int64_t tStream::GetSize() {
  const int64_t Pos = Seek(int64_t{0}, 1);
  const int64_t Size = Seek(int64_t{0}, 2);
  Seek(Pos, 0);
  return Size;
}

void tStream::WriteBuffer(const void* Buffer, int32_t Count) {
  if (Count != 0 && Write(Buffer, Count) != Count) throw tNqStreamError("Stream write error");
}

void tStream::ReadBuffer(void* Buffer, int32_t Count) {
  if (Count != 0 && Read(Buffer, Count) != Count) throw tNqStreamError("Stream read error");
}

// ---- tMemoryStream ----

int32_t tMemoryStream::Read(void* Buffer, int32_t Count) {
  if (FPosition < 0 || Count <= 0) return 0;
  int64_t n = FSize - FPosition;
  if (n <= 0) return 0;
  if (n > Count) n = Count;
  std::memcpy(Buffer, FMemory.data() + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return static_cast<int32_t>(n);
}

int32_t tMemoryStream::Write(const void* Buffer, int32_t Count) {
  if (FPosition < 0 || Count <= 0) return 0;
  if (FPosition > MaxMemorySize - Count)
    throw tNqStreamError("Out of memory while expanding memory stream");
  const int64_t End = FPosition + Count;
  if (End > FSize) {
    if (End > Capacity()) SetCapacity((End + 8191) & ~int64_t{8191});
    // A write past the end leaves a gap; it reads as zeros, never as stale bytes.
    if (FPosition > FSize)
      std::memset(FMemory.data() + FSize, 0, static_cast<size_t>(FPosition - FSize));
    FSize = End;
  }
  std::memcpy(FMemory.data() + FPosition, Buffer, static_cast<size_t>(Count));
  FPosition = End;
  return Count;
}

int64_t tMemoryStream::Seek(int64_t Offset, uint16_t Origin) {
  switch (Origin) {
    case 0:
      FPosition = Offset;
      break;
    case 1:
      FPosition = AddWrapping(FPosition, Offset);
      break;
    case 2:
      FPosition = AddWrapping(FSize, Offset);
      break;
    default:
      break;
  }
  return FPosition;
}

void tMemoryStream::SetSize(int64_t NewSize) {
  if (NewSize < 0 || NewSize > MaxMemorySize)
    throw tNqStreamError("Out of memory while expanding memory stream");
  const int64_t OldSize = FSize;
  SetCapacity(NewSize);
  if (NewSize > OldSize)
    std::memset(FMemory.data() + OldSize, 0, static_cast<size_t>(NewSize - OldSize));
  FSize = NewSize;
  if (FPosition > NewSize) FPosition = NewSize;
}

void tMemoryStream::SetCapacity(int64_t NewCapacity) {
  if (NewCapacity > MaxMemorySize) NewCapacity = MaxMemorySize;
  try {
    FMemory.resize(static_cast<size_t>(NewCapacity));
    if (NewCapacity == 0) FMemory.shrink_to_fit();
  } catch (const std::bad_alloc&) {
    throw tNqStreamError("Out of memory while expanding memory stream");
  }
}

void tMemoryStream::Clear() {
  std::vector<uint8_t>().swap(FMemory);
  FSize = 0;
  FPosition = 0;
}

// ---- tFileStream ----

tFileStream::tFileStream(const std::string& FileName, uint16_t Mode) : Path(FileName) {
  const bool Creating = (Mode & 0xFF00) == fmCreate;
  int Err = 0;
  if (Creating || (Mode & 3) != fmOpenRead) {
    // A stream that writes holds the file exclusively, as the non-buffered stream does, and
    // creates or empties it only once it holds it.
    F = OpenLockedStream(
        FileName, Creating ? tMappedFile::mf_CreateAlways : tMappedFile::mf_OpenExisting, Err);
  } else {
    F = tFiles::Open(FileName, "rb", Err);
  }
  if (F == nullptr) {
    const char* What = Creating ? "Cannot create file \"" : "Cannot open file \"";
    throw tNqStreamError(What + FileName + "\". " + SystemReason(Err), Err);
  }
}

tFileStream::~tFileStream() {
  if (F != nullptr) std::fclose(F);
}

void tFileStream::Close() {
  if (F == nullptr) return;
  const bool Ok = std::fflush(F) == 0;
  const int Err = errno;
  const bool Closed = std::fclose(F) == 0;
  F = nullptr;
  if (!Ok || !Closed)
    throw tNqStreamError("Cannot write file " + Path + ": " + SystemReason(Err), Err);
}

// The C library needs a flush or a seek between a write and a read on the same stream.
void tFileStream::SwitchTo(bool Writing) {
  if (Writing && LastOp == fs_Reading) std::fseek(F, 0, SEEK_CUR);
  if (!Writing && LastOp == fs_Writing) std::fflush(F);
  LastOp = Writing ? fs_Writing : fs_Reading;
}

int32_t tFileStream::Read(void* Buffer, int32_t Count) {
  if (F == nullptr || Count <= 0) return 0;
  SwitchTo(false);
  return static_cast<int32_t>(std::fread(Buffer, 1, static_cast<size_t>(Count), F));
}

int32_t tFileStream::Write(const void* Buffer, int32_t Count) {
  if (Count <= 0) return 0;
  if (F == nullptr) throw tNqStreamError("Stream write error: " + Path + " is closed", EBADF);
  SwitchTo(true);
  return static_cast<int32_t>(std::fwrite(Buffer, 1, static_cast<size_t>(Count), F));
}

int64_t tFileStream::Seek(int64_t Offset, uint16_t Origin) {
  if (F == nullptr) return 0;
  const int Whence = Origin == 0 ? SEEK_SET : Origin == 1 ? SEEK_CUR : Origin == 2 ? SEEK_END : -1;
  if (Whence >= 0 && std::fseek(F, static_cast<long>(Offset), Whence) == 0) LastOp = fs_Idle;
  return std::ftell(F);
}

int64_t tFileStream::GetSize() {
  if (F == nullptr) return 0;
  const long Pos = std::ftell(F);
  std::fseek(F, 0, SEEK_END);
  const long Size = std::ftell(F);
  std::fseek(F, Pos, SEEK_SET);
  LastOp = fs_Idle;
  return Size;
}

void tFileStream::SetSize(int64_t NewSize) {
  if (F == nullptr) return;
  std::fflush(F);
  std::error_code Ec;
  std::filesystem::resize_file(Path, static_cast<std::uintmax_t>(NewSize < 0 ? 0 : NewSize), Ec);
  if (Ec) throw tNqStreamError("Cannot set size of file " + Path + ": " + Ec.message(), Ec.value());
  if (GetPosition() > NewSize) Seek(NewSize, 0);
}
