// The POSIX serial device and the I/O thread's sleep, over a pseudo-terminal.
#include "platform/SerialDevice.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/SerialSysCalls.h"
#include "tests/serial/PseudoTerminal.h"

using namespace std::chrono_literals;

TEST(SerialDevice, OpensRawAndExclusive) {
  tPseudoTerminal Pty;
  tSerialError Error{tSerialError::se_Other, -1};
  auto Device = tSerialDevice::Open(Pty.SlavePath, 115200, true, Error);
  ASSERT_TRUE(Device) << Error.Text();
  EXPECT_EQ(Error.Kind, tSerialError::se_None);
  termios Settings{};
  ASSERT_EQ(tcgetattr(SerialDeviceFd(*Device), &Settings), 0);
  EXPECT_EQ(Settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(Settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(Settings.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_NE(Settings.c_cflag & CRTSCTS, 0u);
  EXPECT_NE(Settings.c_cflag & CREAD, 0u);
  EXPECT_EQ(Settings.c_cc[VMIN], 1);
  EXPECT_EQ(Settings.c_cc[VTIME], 0);
  EXPECT_EQ(cfgetospeed(&Settings), static_cast<speed_t>(B115200));

  EXPECT_FALSE(tSerialDevice::Open(Pty.SlavePath, 115200, true, Error));
  EXPECT_EQ(Error.Code, EBUSY);
  EXPECT_EQ(Error.Kind, tSerialError::se_Busy);
  Device.reset();
  Device = tSerialDevice::Open(Pty.SlavePath, 9600, false, Error);
  ASSERT_TRUE(Device) << "free again once closed";
  ASSERT_EQ(tcgetattr(SerialDeviceFd(*Device), &Settings), 0);
  EXPECT_EQ(Settings.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(cfgetospeed(&Settings), static_cast<speed_t>(B9600));
}

TEST(SerialDevice, APortAnotherProgramHoldsIsRefusedNamingIt) {
  // A terminal program that has the port open would take the card's replies, whether or not
  // it asked for exclusive use: here "sleep", with the port as its standard input.
  tPseudoTerminal Pty;
  tPortHolder Holder(Pty.SlavePath);
  ASSERT_GT(Holder.Pid, 0);
  tSerialError Error;
  EXPECT_FALSE(tSerialDevice::Open(Pty.SlavePath, 115200, true, Error));
  EXPECT_EQ(Error.Kind, tSerialError::se_Busy);
  EXPECT_EQ(Error.Code, EBUSY);
  EXPECT_EQ(Error.Holder, Holder.Name());

  Holder.End();
  auto Device = tSerialDevice::Open(Pty.SlavePath, 115200, true, Error);
  ASSERT_TRUE(Device) << "free once the other program has gone: " << Error.Text();
  EXPECT_TRUE(Device->IsPseudoTerminal());
}

TEST(SerialDevice, RefusesWhatIsNoTerminal) {
  tSerialError Error;
  EXPECT_FALSE(tSerialDevice::Open("/nonexistent/tty", 115200, true, Error));
  EXPECT_EQ(Error.Code, ENOENT);
  EXPECT_EQ(Error.Kind, tSerialError::se_NotFound);
  EXPECT_FALSE(tSerialDevice::Open("", 115200, true, Error));
  EXPECT_EQ(Error.Kind, tSerialError::se_NotFound);
  char Template[] = "/tmp/caddis-plain-XXXXXX";
  const int Fd = mkstemp(Template);
  ASSERT_GE(Fd, 0);
  close(Fd);
  EXPECT_FALSE(tSerialDevice::Open(Template, 115200, true, Error));
  EXPECT_EQ(Error.Code, ENOTTY);
  EXPECT_EQ(Error.Kind, tSerialError::se_NotSerial);
  unlink(Template);
}

TEST(SerialDevice, ReadsReturnAtOnceAndReportHangUp) {
  tPseudoTerminal Pty;
  ASSERT_TRUE(Pty.WriteAll("stale", 5));  // written before anyone opened the port
  tSerialError Error;
  auto Device = tSerialDevice::Open(Pty.SlavePath, 115200, false, Error);
  ASSERT_TRUE(Device);
  uint8_t Buffer[16];
  EXPECT_EQ(Device->Read(Buffer, sizeof Buffer), 0) << "nothing waiting, nothing stale";
  ASSERT_TRUE(Pty.WriteAll("abc", 3));
  auto Waiter = tSerialWaiter::Create(Error);
  ASSERT_TRUE(Waiter);
  auto R = Waiter->Wait(Device.get(), false);
  EXPECT_TRUE(R.Woken) << "the wake event starts set";
  for (int i = 0; i < 100 && Device->BytesWaiting() < 3; ++i)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(Device->BytesWaiting(), 3);
  ASSERT_EQ(Device->Read(Buffer, sizeof Buffer), 3);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(Buffer), 3), "abc");
  EXPECT_EQ(Device->Write("xy", 2), 2);

  Pty.CloseMaster();
  R = Waiter->Wait(Device.get(), false);
  EXPECT_FALSE(R.Woken);
  EXPECT_NE(R.Device & tSerialWaiter::de_HungUp, 0u);
  EXPECT_EQ(Device->Read(Buffer, sizeof Buffer), -1);
  EXPECT_EQ(Device->LastError().Kind, tSerialError::se_HungUp);
}

TEST(SerialWaiter, WakeAndCloseEvents) {
  tSerialError Error;
  auto Waiter = tSerialWaiter::Create(Error);
  ASSERT_TRUE(Waiter);
  EXPECT_TRUE(Waiter->Wait(nullptr, false).Woken);
  ASSERT_TRUE(Waiter->SetWake(Error));
  ASSERT_TRUE(Waiter->SetWake(Error));
  auto R = Waiter->Wait(nullptr, false);
  EXPECT_TRUE(R.Woken);
  EXPECT_FALSE(R.Closed);
  EXPECT_TRUE(Waiter->PauseUnlessClosed(1));

  std::thread Closer([&] {
    std::this_thread::sleep_for(50ms);
    Waiter->SetClose();
  });
  R = Waiter->Wait(nullptr, false);  // the wake event was reset: only the close ends this
  Closer.join();
  EXPECT_TRUE(R.Closed);
  EXPECT_FALSE(R.Woken);
  EXPECT_FALSE(Waiter->PauseUnlessClosed(10000)) << "returns at once once closed";
}

// The modem-line calls a port makes, as "+RTS", "-DTR", "break off" and so on.
std::vector<std::string> LineCalls;
int RecordModemControl(int, unsigned long Request, int* Lines) {
  if (Request == TIOCCBRK) {
    LineCalls.push_back("break off");
  } else {
    const char* Sign = Request == TIOCMBIS ? "+" : Request == TIOCMBIC ? "-" : "?";
    if (*Lines & TIOCM_RTS) LineCalls.push_back(std::string(Sign) + "RTS");
    if (*Lines & TIOCM_DTR) LineCalls.push_back(std::string(Sign) + "DTR");
  }
  errno = ENOTTY;  // as a pseudo-terminal answers
  return -1;
}

TEST(SerialDevice, ModemLinesAtOpenFollowTheHandshake) {
  tPseudoTerminal Pty;
  SerialSysCalls().ModemControl = RecordModemControl;
  tSerialError Error;
  struct tCase {
    bool FlowControl;
    std::vector<std::string> Calls;
  };
  // With RTS/CTS the driver's handshake owns RTS; without, RTS is lowered by hand. DTR is low
  // and no break is left on in both cases.
  for (const tCase& Case :
       {tCase{true, {"-DTR", "break off"}}, tCase{false, {"-RTS", "-DTR", "break off"}}}) {
    LineCalls.clear();
    auto Device = tSerialDevice::Open(Pty.SlavePath, 115200, Case.FlowControl, Error);
    ASSERT_TRUE(Device) << "a refused line call does not fail the open";
    EXPECT_EQ(LineCalls, Case.Calls) << "flow control " << Case.FlowControl;
  }
  ResetSerialSysCalls();
}
