// The command line's argument reading and text arithmetic, without ports or processes.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>

#include "cli/CliArgs.h"
#include "cli/CliText.h"
#include "hostlink/OrvaneHost.h"

namespace {

const std::vector<tCliOption> Options = {{"--port", true}, {"--json", false}};

TEST(CliArgsTest, ReadsValuesFlagsAndPositionalArguments) {
  tCliArgs Args;
  std::string Error;
  ASSERT_TRUE(ParseCliArgs({"--port", "5", "3c", "--json", "--", "--port"}, Options, Args, Error))
      << Error;
  EXPECT_EQ(Args.Values.at("--port"), "5");
  EXPECT_TRUE(Args.Has("--json"));
  EXPECT_EQ(Args.Positional, (std::vector<std::string>{"3c", "--port"}));
  EXPECT_FALSE(Args.Help);

  tCliArgs Joined;
  ASSERT_TRUE(ParseCliArgs({"--port=COM7", "-h"}, Options, Joined, Error));
  EXPECT_EQ(Joined.Values.at("--port"), "COM7");
  EXPECT_TRUE(Joined.Help);
}

TEST(CliArgsTest, RefusesUnknownOptionsMissingValuesAndValuedFlags) {
  std::string Error;
  tCliArgs A, B, C;
  EXPECT_FALSE(ParseCliArgs({"--prot", "5"}, Options, A, Error));
  EXPECT_EQ(Error, "unknown option '--prot'");
  EXPECT_FALSE(ParseCliArgs({"--port"}, Options, B, Error));
  EXPECT_EQ(Error, "option '--port' needs a value");
  EXPECT_FALSE(ParseCliArgs({"--json=yes"}, Options, C, Error));
  EXPECT_EQ(Error, "option '--json' takes no value");
}

TEST(CliArgsTest, PortNumbersSecondsAndIndexes) {
  int32_t Port = 0;
  EXPECT_TRUE(ParsePortNumber("5", Port));
  EXPECT_EQ(Port, 5);
  EXPECT_TRUE(ParsePortNumber("COM12", Port));
  EXPECT_EQ(Port, 12);
  for (const char* Bad : {"0", "", "x", "-3", "5x", "COM", "70000", "99999999999"})
    EXPECT_FALSE(ParsePortNumber(Bad, Port)) << Bad;

  double S = -1;
  EXPECT_TRUE(ParseSeconds("0.5", S));
  EXPECT_DOUBLE_EQ(S, 0.5);
  EXPECT_TRUE(ParseSeconds("12", S));
  EXPECT_DOUBLE_EQ(S, 12);
  EXPECT_TRUE(ParseSeconds(".25", S));
  EXPECT_DOUBLE_EQ(S, 0.25);
  for (const char* Bad : {"", ".", "-1", "1e3", "abc", "1.2.3", "100000", "nan"})
    EXPECT_FALSE(ParseSeconds(Bad, S)) << Bad;

  int32_t Index = -1;
  EXPECT_TRUE(ParseIndex("0", 10, Index));
  EXPECT_EQ(Index, 0);
  EXPECT_FALSE(ParseIndex("11", 10, Index));
  EXPECT_FALSE(ParseIndex("-1", 10, Index));
}

TEST(CliTextTest, AddressesReadFirstByteFirst) {
  EXPECT_EQ(DottedAddress(192u | 168u << 8 | 1u << 16 | 50u << 24), "192.168.1.50");
  EXPECT_EQ(DottedAddress(0), "0.0.0.0");
  EXPECT_EQ(DottedAddress(0xFFFFFFFFu), "255.255.255.255");
}

TEST(CliTextTest, JsonStringsAreEscapedToPlainAscii) {
  EXPECT_EQ(JsonString("plain"), "\"plain\"");
  EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonString(std::string("\n\x01\x7f\xe9", 4)), "\"\\u000a\\u0001\\u007f\\u00e9\"");
  EXPECT_EQ(JsonString(std::string(1, '\0')), "\"\\u0000\"");
}

TEST(CliTextTest, StatusJsonNamesEveryFieldAsTheHostDoes) {
  tOrvaneHost Host(0, false, "Caddis");
  Host.ComPortID = 4;
  Host.DeviceID = 7;
  Host.FirmwareVersion = 3;
  Host.FPGAVersion = "90\"2345678";
  Host.Temperature = 41;
  Host.Voltages = {5.0f, 7.0f, 15.0f, 3.3f, 1.8f, 1.2f, 0.95f};
  Host.SampleRates = {48000, 44100, 96000, 0};
  Host.IPAddress = 10u | 0u << 8 | 0u << 16 | 2u << 24;
  Host.SubnetMask = 255u | 255u << 8;
  Host.UDPorTCP = true;
  EXPECT_EQ(StatusJson(Host),
            "{\"HostName\":\"Caddis\",\"ComPortID\":4,\"DeviceID\":7,\"FirmwareVersion\":3,"
            "\"FPGAVersion\":\"90\\\"2345678\",\"Temperature\":41,"
            "\"Voltages\":[5.0,7.0,15.0,3.3,1.8,1.2,0.9],"
            "\"SampleRates\":[48000,44100,96000,0],"
            "\"IPAddress\":\"10.0.0.2\",\"IPAddressValue\":33554442,"
            "\"SubnetMask\":\"255.255.0.0\",\"SubnetMaskValue\":65535,"
            "\"UDPorTCP\":true,\"Transport\":\"TCP\"}");
}

TEST(CliTextTest, MonitorLineWaitsForTheIdentity) {
  tOrvaneHost Host(0, false, "Caddis");
  Host.ComPortID = 3;
  EXPECT_EQ(MonitorLine(Host), "COM3: waiting for the card");
  Host.DeviceID = 9;
  Host.Voltages[0] = 5.0f;
  Host.SampleRates[3] = 44100;
  EXPECT_EQ(MonitorLine(Host),
            "COM3: ID 9 fw 0 FPGA            temp 0 5.0/0.0/0.0 V 0/0/0/44100 Hz 0.0.0.0 UDP");
}

TEST(CliTextTest, SecondsAreShownWithoutTrailingZeros) {
  EXPECT_EQ(SecondsText(10), "10");
  EXPECT_EQ(SecondsText(0.5), "0.5");
  EXPECT_EQ(SecondsText(1.25), "1.25");
  EXPECT_EQ(SecondsText(0), "0");
  EXPECT_EQ(SecondsText(100), "100");
}

TEST(CliTextTest, OpenErrorsAreExplained) {
  EXPECT_NE(OpenErrorReason(ENOENT).find("no such port"), std::string::npos);
  EXPECT_NE(OpenErrorReason(EBUSY).find("busy"), std::string::npos);
  EXPECT_NE(OpenErrorReason(EWOULDBLOCK).find("busy"), std::string::npos);
  EXPECT_NE(OpenErrorReason(EACCES).find("dialout group"), std::string::npos);
  EXPECT_NE(OpenErrorReason(EPERM).find("dialout group"), std::string::npos);
  EXPECT_FALSE(OpenErrorReason(EIO).empty());
}

TEST(CliTextTest, ProgressBarsAreClampedAndRounded) {
  EXPECT_EQ(ProgressBar(0.5f, 10), "[#####.....]  50%");
  EXPECT_EQ(ProgressBar(0.0f, 4), "[....]   0%");
  EXPECT_EQ(ProgressBar(1.0f, 4), "[####] 100%");
  EXPECT_EQ(ProgressBar(2.0f, 4), "[####] 100%");
  EXPECT_EQ(ProgressBar(-1.0f, 4), "[....]   0%");
  EXPECT_EQ(ProgressBar(std::nanf(""), 4), "[....]   0%");
  EXPECT_EQ(ProgressPercent(2.0f / 3.0f), 67);
  EXPECT_EQ(ProgressPercent(0.999f), 100);
}

}  // namespace
