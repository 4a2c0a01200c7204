// The simulated card's end of the wire: a pseudo-terminal whose other end (the slave) is
// registered in the port folder as COM<n>, so the tool lists and opens it like any port; or
// an existing terminal device the card is given (the device side of a USB serial gadget,
// say), which the tool reaches through whatever the system makes of it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

class tSimPort {
 public:
  explicit tSimPort(uint32_t aComNumber) : ComNumber(aComNumber) {}
  // Serves the terminal device at aDevice, raw, without registering a port: the tool's
  // side of it is not this process's to name.
  tSimPort(uint32_t aComNumber, std::string aDevice)
      : ComNumber(aComNumber), SlavePath(std::move(aDevice)), GivenDevice(true) {}
  ~tSimPort();
  tSimPort(const tSimPort&) = delete;
  tSimPort& operator=(const tSimPort&) = delete;

  // Opens a new pseudo-terminal (or the given device), sets it raw and registers it. False with
  // Error set when either fails (nothing is left behind then).
  bool Open(std::string& Error);
  // Removes the port folder entry and closes the pseudo-terminal.
  void Close();

  enum class tWait { Nothing, Readable, HungUp, Interrupted };
  // Waits up to Timeout for bytes from the tool. HungUp: nobody has the port open.
  tWait Wait(std::chrono::nanoseconds Timeout);
  // Takes what the tool sent (at most Capacity bytes); 0 when there is nothing.
  std::size_t Read(uint8_t* Buffer, std::size_t Capacity);
  // Writes a whole frame, or nothing while nobody has the port open or reads it.
  void Write(const uint8_t* Bytes, std::size_t Count);

  bool IsOpen() const { return Master >= 0; }
  const std::string& DevicePath() const { return SlavePath; }
  std::string LinkPath() const;

 private:
  bool OpenGiven(std::string& Error);
  void Reopen();
  bool Register(std::string& Error);
  void Unregister();
  // Closes the registration lock; Remove also deletes its file.
  void ReleaseLock(bool Remove);

  uint32_t ComNumber;
  int Master = -1;
  std::string SlavePath;
  bool Registered = false;
  int LockFd = -1;  // "COM<n>.lock" beside the link, locked while this card runs
  bool GivenDevice = false;
};
