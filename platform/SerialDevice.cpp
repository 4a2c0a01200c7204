#include "platform/SerialDevice.h"

#include "platform/Files.h"

std::string tSerialError::Text() const {
  if (Kind == se_None) return {};
  if (Code == 0) return Kind == se_HungUp ? "the device hung up" : "unknown error";
  return tFiles::SystemErrorText(Code) + " (" + std::to_string(Code) + ")";
}
