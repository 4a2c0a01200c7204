// The system calls under a POSIX serial device's reads, writes and modem-line control, for
// tests of the POSIX backend only.
//
// Tests replace them (before a port is opened, restoring them after it is closed) to inject
// EINTR, EAGAIN and short writes, and to see the modem-line calls that pseudo-terminals
// refuse.
#pragma once

#include <sys/types.h>

#include <cstddef>

class tSerialDevice;

struct tSerialSysCalls {
  ssize_t (*Read)(int Fd, void* Buffer, size_t Count);
  ssize_t (*Write)(int Fd, const void* Buffer, size_t Count);
  // Only the modem-line and break requests go through here (TIOCMBIS, TIOCMBIC, TIOCCBRK).
  int (*ModemControl)(int Fd, unsigned long Request, int* Lines);
};
tSerialSysCalls& SerialSysCalls();
// Puts back the real calls.
void ResetSerialSysCalls();

// The descriptor of an open device, so a test can read its terminal settings back.
int SerialDeviceFd(const tSerialDevice& Device);
