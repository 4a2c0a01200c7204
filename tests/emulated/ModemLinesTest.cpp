// The modem lines, break and exclusive use a USB serial adapter sees when the tool opens
// and closes it, recorded on an emulated ttyUSB backed by a pseudo-terminal.
#include <gtest/gtest.h>
#include <termios.h>

#include <cstdlib>

#include "emulated/EmulatedTestbed.h"
#include "emulated/UsbSerialAdapter.h"
#include "hostlink/HostTestSupport.h"
#include "platform/PortCatalogue.h"
#include "serial/ComPorts.h"

namespace {

using Calls = std::vector<std::string>;

TEST(ModemLines, OpenLowersDTRClearsBreakAndLeavesRTSToTheHandshake) {
  ASSERT_TRUE(emulated::Active()) << "run under umockdev-wrapper";
  tTempFolder Folder;
  setenv("CADDIS_RUNTIME_DIR", (Folder.Path + "/run").c_str(), 1);
  setenv("CADDIS_CONFIG_DIR", (Folder.Path + "/config").c_str(), 1);
  emulated::tUsbSerialAdapter Adapter("ttyUSB1", "1-3");
  std::string Error;
  ASSERT_TRUE(Adapter.Plug(&Error)) << Error;
  ASSERT_TRUE(Adapter.RecordLineCalls(&Error)) << Error;
  const int32_t Number = tPortCatalogue::PortNumberOf("ttyUSB1");
  ASSERT_GT(Number, 0);

  struct tCase {
    bool FlowControl;
    int32_t Baud;
    speed_t Speed;
    Calls Expected;
  };
  const tCase Cases[] = {
      // With the handshake the driver owns RTS: lowering it would hold the card off.
      {true, 115200, B115200, {"TIOCEXCL", "TIOCMBIC DTR", "TIOCCBRK", "TIOCNXCL"}},
      {false, 9600, B9600, {"TIOCEXCL", "TIOCMBIC RTS", "TIOCMBIC DTR", "TIOCCBRK", "TIOCNXCL"}},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.FlowControl ? "RTS/CTS" : "no flow control");
    Adapter.ClearLineCalls();
    {
      tComPort Port(Number, Case.Baud, Case.FlowControl);
      termios Settings{};
      ASSERT_EQ(tcgetattr(Adapter.Master(), &Settings), 0);
      EXPECT_EQ(cfgetospeed(&Settings), Case.Speed);
      EXPECT_EQ((Settings.c_cflag & CRTSCTS) != 0, Case.FlowControl);
    }
    EXPECT_EQ(Adapter.LineCalls(), Case.Expected);
  }
}

}  // namespace
