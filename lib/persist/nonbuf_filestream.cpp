#include "lib/persist/nonbuf_filestream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "lib/persist/NqError.h"
#include "platform/Files.h"
#include "support/DisplayMessage.h"

namespace {

int64_t AddWrapping(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

std::string NamePart(const std::string& Path) {
  const auto Slash = Path.find_last_of('/');
  return Slash == std::string::npos ? Path : Path.substr(Slash + 1);
}

// A failure while an object is being destroyed cannot be raised; the operator sees it.
template <class tStep>
void ReportFailures(tStep Step) {
  try {
    Step();
  } catch (const std::exception& E) {
    DisplayMessage(E.what());
  }
}

// Unmaps a view on every path out of a read or a write.
struct tViewGuard {
  void* View;
  std::size_t Length;
  ~tViewGuard() { tMappedFile::UnmapView(View, Length); }
};

}  // namespace

// ---- TNonBufferedFileStream ----

TNonBufferedFileStream::TNonBufferedFileStream(const std::string& FileName, uint16_t Mode,
                                               uint32_t aMaxFileSize)
    : DiskFilename(FileName), FileMappingName(NamePart(FileName)) {
  if ((Mode & 0xFF00) == 0xFF00) {
    CreationDisposition = tMappedFile::mf_CreateAlways;
  } else if (Mode & 2) {
    CreationDisposition = tMappedFile::mf_OpenExisting;
  } else if (Mode & 1) {
    CreationDisposition = tMappedFile::mf_TruncateExisting;
  } else {
    CreationDisposition = tMappedFile::mf_OpenExisting;
  }
  ReadWriteAccess = (Mode & 0xFF00) == 0xFF00 || (Mode & 3) != 0;
  WritableMapping = ReadWriteAccess;
  MaxFileSize = ReadWriteAccess ? aMaxFileSize : 0;

  if (!hFile.Open(FileName, CreationDisposition, ReadWriteAccess))
    throw tNqStreamError(
        "Cannot access file " + FileName + "\r\nPlease ensure drive is present and write-enabled",
        hFile.Error());
  uint64_t Size = 0;
  if (!hFile.GetSize(Size)) {
    const int Err = hFile.Error();
    hFile.Close();
    throw tNqStreamError("Cannot access file " + FileName + ": " + tFiles::SystemErrorText(Err),
                         Err);
  }
  if (Size > UINT32_MAX) {
    hFile.Close();
    throw tNqStreamError("File too large for TNonBufferedFileStream (" + FileName + ")", EFBIG);
  }
  CurrentFileSize = static_cast<uint32_t>(Size);
  // The mapping: MaxFileSize bytes, or the file's size when MaxFileSize is 0. Extending the
  // file to the mapping's size here means a view never reaches past the file's end.
  const uint32_t Wanted = MaxFileSize != 0 ? MaxFileSize : CurrentFileSize;
  if (Wanted != 0) {
    if (!WritableMapping || Wanted <= Size || hFile.Extend(Wanted))
      MappingSize = Wanted;
    else
      MappingError = hFile.Error();  // kept for the writes that cannot be stored
  }
}

TNonBufferedFileStream::~TNonBufferedFileStream() {
  ReportFailures([this] { Close(); });
}

void TNonBufferedFileStream::RaiseSystemError(const std::string& What, int Err) const {
  throw tNqStreamError(What + " " + DiskFilename + ": " + tFiles::SystemErrorText(Err), Err);
}

void TNonBufferedFileStream::CheckMapped(int32_t Count, const char* What) const {
  if (MappingSize == 0)
    throw tNqStreamError(std::string(What) + " refused: TNonBufferedFileStream (" + DiskFilename +
                             ") has no mapping",
                         EBADF);
  // The position is checked before anything is added to it: seeks apply no bounds.
  if (CurrentFileOffset < 0 || CurrentFileOffset > MappingSize ||
      CurrentFileOffset + Count > MappingSize)
    throw tNqStreamError(std::string(What) + " refused: " + std::to_string(Count) +
                         " bytes at position " + std::to_string(CurrentFileOffset) +
                         " do not fit in the " + std::to_string(MappingSize) +
                         " bytes of TNonBufferedFileStream (" + DiskFilename + ")");
}

int32_t TNonBufferedFileStream::Read(void* Buffer, int32_t Count) {
  if (Count <= 0) return 0;
  if (CurrentFileOffset < 0 || CurrentFileOffset > CurrentFileSize)
    throw tNqStreamError("Read refused: position " + std::to_string(CurrentFileOffset) +
                         " lies beyond the " + std::to_string(CurrentFileSize) +
                         " bytes of TNonBufferedFileStream (" + DiskFilename + ")");
  int64_t n = Count;
  if (CurrentFileOffset + n > CurrentFileSize) n = CurrentFileSize - CurrentFileOffset;
  if (n == 0) return 0;  // at the end: nothing to read, nothing to map
  CheckMapped(static_cast<int32_t>(n), "Read");
  tViewGuard View{hFile.MapView(MappingSize, false), MappingSize};
  if (View.View == nullptr) RaiseSystemError("Cannot read file", hFile.Error());
  std::memcpy(Buffer, static_cast<const uint8_t*>(View.View) + CurrentFileOffset,
              static_cast<size_t>(n));
  CurrentFileOffset += n;
  return static_cast<int32_t>(n);
}

int32_t TNonBufferedFileStream::Write(const void* Buffer, int32_t Count) {
  if (!hFile.IsOpen())
    throw tNqStreamError(
        "Stream write error: TNonBufferedFileStream (" + DiskFilename + ") is closed", EBADF);
  // Nothing to write changes nothing, not even the size after a seek past the end.
  if (Count <= 0) return 0;
  if (MappingSize == 0) {
    // The mapping could not be made: say why rather than lose the data silently.
    if (MappingError != 0)
      throw tNqStreamError("Stream write error: cannot map " + DiskFilename + ": " +
                               tFiles::SystemErrorText(MappingError),
                           MappingError);
    // An empty mapping (an empty file mapped at its size): nothing can be stored, the caller
    // sees the count 0.
    Count = 0;
  } else {
    CheckMapped(Count, "Write");
    tViewGuard View{hFile.MapView(MappingSize, true), MappingSize};
    if (View.View == nullptr) RaiseSystemError("Cannot write file", hFile.Error());
    std::memcpy(static_cast<uint8_t*>(View.View) + CurrentFileOffset, Buffer,
                static_cast<size_t>(Count));
    CurrentFileOffset += Count;
    const bool Flushed = hFile.FlushView(View.View, static_cast<size_t>(CurrentFileOffset));
    if (CurrentFileOffset > CurrentFileSize)
      CurrentFileSize = static_cast<uint32_t>(CurrentFileOffset);
    if (!Flushed) RaiseSystemError("Cannot write file", hFile.Error());
    return Count;
  }
  if (CurrentFileOffset > CurrentFileSize && CurrentFileOffset <= UINT32_MAX)
    CurrentFileSize = static_cast<uint32_t>(CurrentFileOffset);
  return Count;
}

int64_t TNonBufferedFileStream::Seek(int64_t Offset, uint16_t Origin) {
  switch (Origin) {
    case 0:
      CurrentFileOffset = Offset;
      break;
    case 1:
      CurrentFileOffset = AddWrapping(CurrentFileOffset, Offset);
      break;
    case 2:
      CurrentFileOffset =
          static_cast<int64_t>(uint64_t{CurrentFileSize} - static_cast<uint64_t>(Offset));
      break;
    default:
      break;
  }
  return CurrentFileOffset;
}

void TNonBufferedFileStream::SetSize(int64_t NewSize) {
  if (!ReadWriteAccess)
    throw tNqStreamError("Can't set size in read only TNonBufferedFileStream (" + DiskFilename +
                         ")");
  if (NewSize < 0 || NewSize > UINT32_MAX)
    throw tNqStreamError("Invalid size " + std::to_string(NewSize) +
                         " for TNonBufferedFileStream (" + DiskFilename + ")");
  CurrentFileSize = static_cast<uint32_t>(NewSize);
}

uint8_t* TNonBufferedFileStream::Memory() {
  if (FMemory == nullptr && WritableMapping && MappingSize != 0 && hFile.IsOpen())
    FMemory = static_cast<uint8_t*>(hFile.MapView(MappingSize, true));
  return FMemory;
}

void TNonBufferedFileStream::Close() {
  int Err = 0;
  if (FMemory != nullptr) {
    if (!hFile.FlushView(FMemory, MappingSize)) Err = hFile.Error();
    tMappedFile::UnmapView(FMemory, MappingSize);
    FMemory = nullptr;
  }
  MappingSize = 0;
  if (!hFile.IsOpen()) return;
  if (ReadWriteAccess) {
    // The mapping extended the file; cut it back to the data (or to the size set).
    uint64_t OnDisk = 0;
    if (hFile.GetSize(OnDisk) && OnDisk != CurrentFileSize && !hFile.SetSize(CurrentFileSize) &&
        Err == 0)
      Err = hFile.Error();
    if (!hFile.FlushFile() && Err == 0) Err = hFile.Error();
  }
  if (!hFile.Close() && Err == 0) Err = hFile.Error();
  if (Err != 0) RaiseSystemError("Cannot finish file", Err);
}

// ---- TNonBufferedFileStreamViaMem ----

TNonBufferedFileStreamViaMem::TNonBufferedFileStreamViaMem(const std::string& aFileName,
                                                           uint16_t aMode)
    : FileName(aFileName), Mode(aMode) {
  if (Mode == fmOpenRead) {
    Shadow = std::make_unique<tFileStream>(FileName, fmOpenRead);
  } else if (Mode == fmOpenReadWrite) {
    int64_t S = 0;
    {
      tFileStream Probe(FileName, fmOpenRead);
      S = Probe.GetSize();
    }
    const int64_t Room = S + S / 2;  // the file may grow by half its size
    Shadow = std::make_unique<TNonBufferedFileStream>(
        FileName, fmOpenReadWrite, static_cast<uint32_t>(Room > UINT32_MAX ? UINT32_MAX : Room));
  }
}

TNonBufferedFileStreamViaMem::~TNonBufferedFileStreamViaMem() {
  ReportFailures([this] { Close(); });
}

int32_t TNonBufferedFileStreamViaMem::Read(void* Buffer, int32_t Count) {
  return Shadow ? Shadow->Read(Buffer, Count) : tMemoryStream::Read(Buffer, Count);
}

int32_t TNonBufferedFileStreamViaMem::Write(const void* Buffer, int32_t Count) {
  if (Closed) throw tNqStreamError("Stream write error: " + FileName + " is closed", EBADF);
  if (Shadow) return Shadow->Write(Buffer, Count);
  const int64_t Position = tMemoryStream::Seek(int64_t{0}, 1);
  if (Count <= 0 || Position < 0) return tMemoryStream::Write(Buffer, Count);
  if (Position > MaxMemorySize - Count)
    throw tNqStreamError("Out of memory while expanding memory stream");
  const int64_t End = Position + Count;
  if (End > MaxPosition) {
    if (End > Capacity())
      tMemoryStream::SetSize(std::min((End + 1048576) & ~int64_t{0xFFFFF}, MaxMemorySize));
    MaxPosition = static_cast<int32_t>(End);
  }
  return tMemoryStream::Write(Buffer, Count);
}

int64_t TNonBufferedFileStreamViaMem::Seek(int64_t Offset, uint16_t Origin) {
  return Shadow ? Shadow->Seek(Offset, Origin) : tMemoryStream::Seek(Offset, Origin);
}

int64_t TNonBufferedFileStreamViaMem::GetSize() {
  return Shadow ? Shadow->GetSize() : tMemoryStream::GetSize();
}

void TNonBufferedFileStreamViaMem::SetSize(int64_t NewSize) {
  if (Shadow) return;
  tMemoryStream::SetSize(NewSize);
  // What lies beyond the new size is gone: the save must not bring it back as zeros.
  if (MaxPosition > NewSize) MaxPosition = static_cast<int32_t>(NewSize);
}

void TNonBufferedFileStreamViaMem::SetUseFileStreamForSaver(bool Value) {
  if (SavesToFile()) FUseFileStreamForSaver = Value;
}

void TNonBufferedFileStreamViaMem::SetDiskFileName(const std::string& Value) {
  if (SavesToFile()) FileName = Value;
}

void TNonBufferedFileStreamViaMem::Save() {
  tMemoryStream::SetSize(MaxPosition);
  const std::filesystem::path Folder = std::filesystem::path(FileName).parent_path();
  if (FileName.find('/') != std::string::npos && !Folder.empty()) {
    std::error_code Ec;
    std::filesystem::create_directories(Folder, Ec);  // a failure shows when the file opens
  }
  std::unique_ptr<tStream> Saver;
  if (FUseFileStreamForSaver)
    Saver = std::make_unique<tFileStream>(FileName, fmCreate);
  else
    Saver = std::make_unique<TNonBufferedFileStream>(FileName, fmCreate,
                                                     static_cast<uint32_t>(MaxPosition));
  Saver->WriteBuffer(Memory(), MaxPosition);
  Saver->Close();
}

void TNonBufferedFileStreamViaMem::Close() {
  if (Closed) return;
  Closed = true;
  if (Shadow) {
    std::unique_ptr<tStream> Releasing = std::move(Shadow);
    Releasing->Close();
  } else if (SavesToFile()) {
    struct tRelease {
      tMemoryStream* S;
      ~tRelease() { S->Clear(); }
    } Release{this};
    Save();
    return;
  }
  Clear();
}
