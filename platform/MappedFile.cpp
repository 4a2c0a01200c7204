#include "platform/MappedFile.h"

// The parts every backend shares; the system calls are in the backend's MappedFile.cpp.

tMappedFile::~tMappedFile() {
  Close();
}

bool tMappedFile::Open(const std::string& Path, tOpening How, bool Writable) {
  Close();
  LastError = 0;
  Handle = OpenLockedFile(Path, How, Writable, LastError);
  return Handle != -1;
}
