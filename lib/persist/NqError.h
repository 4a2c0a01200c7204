// Errors raised by the persistence library (streams and lists) and the curve manager's
// list base. Each carries its message and a numeric help context, as the library's errors
// always have; stream errors also keep the system's error number when there is one.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

class tNqError : public std::runtime_error {
 public:
  explicit tNqError(const std::string& Msg, int32_t aHelpContext = 0)
      : std::runtime_error(Msg), HelpContext(aHelpContext) {}
  int32_t HelpContext;
};

// A stream that holds something other than what its reader expects (a wrong object
// identifier).
class tNqInOutError : public tNqError {
 public:
  using tNqError::tNqError;
};

// A list operation with a bad index, count or capacity.
class tNqListError : public tNqError {
 public:
  using tNqError::tNqError;
};

// A file that cannot be opened, a refused read or write, a stream that lies about its
// contents, or a failing system call (ErrorCode holds its errno, else 0).
class tNqStreamError : public tNqError {
 public:
  explicit tNqStreamError(const std::string& Msg, int aErrorCode = 0)
      : tNqError(Msg), ErrorCode(aErrorCode) {}
  int ErrorCode;
};
