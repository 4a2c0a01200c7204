#include <gtest/gtest.h>

#include "serial/ComPorts.h"

TEST(ComErrorText, NonNegativeCodesHaveNoText) {
  EXPECT_EQ(ComErrorText(0), "");
  EXPECT_EQ(ComErrorText(5), "");
  EXPECT_EQ(ComErrorText(INT32_MAX), "");
}

TEST(ComErrorText, TableCodes) {
  EXPECT_EQ(ComErrorText(-1), "Invalid Serial Port");
  EXPECT_EQ(ComErrorText(-2), "Serial Port Already Open");
  EXPECT_EQ(ComErrorText(-3), "Serial Port Not Open");
  EXPECT_EQ(ComErrorText(-4), "Not Enough Memory for Serial Buffers");
  EXPECT_EQ(ComErrorText(-5), "Invalid Parameters");
  EXPECT_EQ(ComErrorText(-10), "Serial Port Not Available");
  EXPECT_EQ(ComErrorText(-11), "Invalid Byte Size");
  EXPECT_EQ(ComErrorText(-12), "Invalid Baud Rate");
  EXPECT_EQ(ComErrorText(-32768), "Invalid Serial Port Mode");
}

TEST(ComErrorText, LineErrorBitsInTheirOrder) {
  EXPECT_EQ(ComErrorText(-65536), "(-65536) ");
  EXPECT_EQ(ComErrorText(-65520), "Serial Port Break Error");
  EXPECT_EQ(ComErrorText(-65512), "Serial Port Break Error/Framing Error");
  EXPECT_EQ(ComErrorText(-65536 | 0x0400), "Serial Port Parallel\tDevice Error");
  // Every bit: the table's order, not the bits' order.
  EXPECT_EQ(ComErrorText(-65536 | 0x171F),
            "Serial Port Break Error/Framing Error/Parallel\tDevice Error/Out of Paper/"
            "Receive Overrun/Parallel Device Timeout/Receive Queue Overflow/Parity Error/"
            "Transmit Queue Overflow");
  EXPECT_EQ(ComErrorText(INT32_MIN), "(-2147483648) ");
  EXPECT_EQ(ComErrorText(-65536 | 0x0001), "Serial Port Receive Queue Overflow");
}

// The read-path line names the port, the path and, for polling, the period and the reason;
// the log and the trace show it as it is.
TEST(ReadPathText, NamesPortPathAndReason) {
  const struct {
    int32_t Com;
    tReadPath Path;
    const char* Expected;
  } Cases[] = {
      {3, rp_Events, "COM3 read path: arrival events"},
      {12, rp_PollAfterEmptyWaits,
       "COM12 read path: polling every 10 ms (the driver ended its event waits at once with "
       "nothing to read)"},
      {42, rp_PollAfterCancelledWait,
       "COM42 read path: polling every 10 ms (the driver cancelled an event wait)"},
  };
  for (const auto& Case : Cases)
    EXPECT_EQ(ReadPathText(Case.Com, Case.Path), Case.Expected) << int(Case.Path);
}
