// The command line's argument reading and text arithmetic, without ports or processes.
#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <sstream>
#include <vector>

#include "cli/CliArgs.h"
#include "cli/CliText.h"
#include "cli/CommandLine.h"
#include "cli/ManPage.h"
#include "cli/Outcome.h"
#include "hostlink/OrvaneHost.h"
#include "platform/Files.h"
#include "platform/SerialDevice.h"

namespace {

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

TEST(CliArgsTest, AHexMessageIsAnEvenNumberOfHexDigitsAndNothingElse) {
  struct tCase {
    const char* Text;
    std::vector<uint8_t> Bytes;  // empty: refused
    const char* Why = "";
  };
  const tCase Cases[] = {
      {"3c", {0x3c}},
      {"3C01fF", {0x3c, 0x01, 0xff}},
      {"zz", {}, "'zz' is not hexadecimal: character 1 is not a hex digit"},
      {"3c3", {}, "'3c3' has an odd number of hex digits: each byte takes two"},
      {"3c 01", {}, "'3c 01' is not hexadecimal: character 3 is not a hex digit"},
      {"0x3c", {}, "'0x3c' is not hexadecimal: character 2 is not a hex digit"},
  };
  for (const tCase& Case : Cases) {
    std::vector<uint8_t> Bytes = {0xAA};
    std::string Why;
    EXPECT_EQ(ParseHexBytes(Case.Text, Bytes, Why), !Case.Bytes.empty()) << Case.Text;
    EXPECT_EQ(Bytes, Case.Bytes) << Case.Text;
    EXPECT_EQ(Why, Case.Why) << Case.Text;
  }
  std::vector<uint8_t> Bytes;
  std::string Why;
  EXPECT_TRUE(ParseHexBytes("", Bytes, Why)) << "nothing is even; the command refuses it itself";
  EXPECT_TRUE(Bytes.empty());
}

TEST(CliArgsTest, DevicesAreNamedByPathOnEitherSystem) {
  for (const char* Path :
       {"/dev/ttyUSB0", "/dev/serial/by-id/usb-Acme-if00", "\\\\.\\COM5", "./COM5"})
    EXPECT_TRUE(IsDevicePath(Path)) << Path;
  for (const char* Name : {"5", "COM5", "ttyUSB0", "x"})
    EXPECT_FALSE(IsDevicePath(Name)) << Name;
}

TEST(CliTextTest, AddressesReadFirstByteFirst) {
  EXPECT_EQ(DottedAddress(192u | 168u << 8 | 1u << 16 | 50u << 24), "192.168.1.50");
  EXPECT_EQ(DottedAddress(0), "0.0.0.0");
  EXPECT_EQ(DottedAddress(0xFFFFFFFFu), "255.255.255.255");
}

TEST(CliTextTest, JsonStringsAreEscapedToPlainAscii) {
  EXPECT_EQ(JsonString("plain"), "\"plain\"");
  EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonString(std::string("\n\x01\x7f\xe9", 4)), "\"\\n\\u0001\\u007f\\u00e9\"");
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
  Host.ReportsReceived = or_AllReports;
  EXPECT_EQ(JsonText(StatusObject(Host)),
            "{\"HostName\":\"Caddis\",\"ComPortID\":4,\"DeviceID\":7,\"FirmwareVersion\":3,"
            "\"FPGAVersion\":\"90\\\"2345678\",\"Temperature\":41,"
            "\"Voltages\":[5.0,7.0,15.0,3.3,1.8,1.2,0.9],"
            "\"SampleRates\":[48000,44100,96000,0],"
            "\"IPAddress\":\"10.0.0.2\",\"IPAddressValue\":33554442,"
            "\"SubnetMask\":\"255.255.0.0\",\"SubnetMaskValue\":65535,"
            "\"UDPorTCP\":true,\"Transport\":\"TCP\",\"LinkHealth\":" +
                LinkHealthJson(tLinkHealth{}) + "}");
}

TEST(CliTextTest, StatusAndMonitorShowTheLinksHealth) {
  tOrvaneHost Host(0, false, "Caddis");
  Host.ComPortID = 3;
  const auto Json = nlohmann::json::parse(JsonText(StatusObject(Host)));
  EXPECT_EQ(Json["LinkHealth"], nlohmann::json::parse(LinkHealthJson(Host.LinkHealth())));
  EXPECT_EQ(StatusLines(Host).back(), "Link:             " + LinkHealthText(Host.LinkHealth()));
  tLinkHealth Health;
  Health.HangUps = 2;
  EXPECT_EQ(MonitorLine(Host, Health), MonitorLine(Host) + "; link: " + LinkHealthText(Health));
}

TEST(CliTextTest, ReportsThatNeverCameAreNotShownAsZeros) {
  tOrvaneHost Host(0, false, "Caddis");
  Host.DeviceID = 7;
  Host.Temperature = 41;
  Host.SampleRates[1] = 44100;
  Host.ReportsReceived = or_Temperature | or_SampleRate0 << 1;
  const std::string Json = JsonText(StatusObject(Host));
  for (const char* Part :
       {"\"Temperature\":41,", "\"Voltages\":[null,null,null,null,null,null,null]",
        "\"SampleRates\":[null,44100,null,null]", "\"IPAddress\":null,",
        "\"UDPorTCP\":null,\"Transport\":null,"})
    EXPECT_NE(Json.find(Part), std::string::npos) << Part << " in " << Json;
  const auto Lines = StatusLines(Host);
  EXPECT_EQ(Lines[4], "Temperature:      41");
  EXPECT_EQ(Lines[5], "Supply voltages:  not received");
  EXPECT_EQ(Lines[7],
            "Sample rates:     Kelp 0 not received, Kelp 1 44100, word clock not received, "
            "USB audio not received");
  EXPECT_EQ(Lines[8], "IP address:       not received");
}

TEST(CliTextTest, TransferLinesShowBytesRateAndTimeLeft) {
  EXPECT_EQ(TransferLine("FPGA", 0.5f, 64000, 5.0, 10),
            "FPGA [#####.....]  50%  32.0/64.0 kB  6.4 kB/s  0:05 left");
  EXPECT_EQ(TransferLine("FPGA", 0.0f, 64000, 0.0, 4), "FPGA [....]   0%  0.0/64.0 kB  --:-- left");
  EXPECT_EQ(TransferLine("Verifying", 1.0f, 100000, 2.0, 4),
            "Verifying [####] 100%  100.0/100.0 kB  50.0 kB/s  0:00 left");
}

TEST(CliTextTest, MonitorLineWaitsForTheIdentityAndShowsOnlyReportsReceived) {
  tOrvaneHost Host(0, false, "Caddis");
  Host.ComPortID = 3;
  EXPECT_EQ(MonitorLine(Host), "COM3: waiting for the card");
  Host.DeviceID = 9;
  Host.Voltages[0] = 5.0f;
  Host.SampleRates[3] = 44100;
  // Before any report the values are not shown as the zeros the host starts with.
  EXPECT_EQ(MonitorLine(Host),
            "COM3: ID 9 fw 0 FPGA            temp not received supply not received rates "
            "not received/not received/not received/not received IP not received transport "
            "not received");
  Host.ReportsReceived = or_Voltages | or_SampleRate0 << 3 | or_UDPorTCP;
  EXPECT_EQ(MonitorLine(Host),
            "COM3: ID 9 fw 0 FPGA            temp not received supply 5.0/0.0/0.0 V rates "
            "not received/not received/not received/44100 IP not received transport UDP");
  Host.ReportsReceived = or_AllReports;
  EXPECT_EQ(MonitorLine(Host),
            "COM3: ID 9 fw 0 FPGA            temp 0 supply 5.0/0.0/0.0 V rates 0/0/0/44100 Hz "
            "IP 0.0.0.0 transport UDP");
}

TEST(CliTextTest, SecondsAreShownWithoutTrailingZeros) {
  EXPECT_EQ(SecondsText(10), "10");
  EXPECT_EQ(SecondsText(0.5), "0.5");
  EXPECT_EQ(SecondsText(1.25), "1.25");
  EXPECT_EQ(SecondsText(0), "0");
  EXPECT_EQ(SecondsText(100), "100");
}

TEST(CliTextTest, OpenErrorsAreExplained) {
  EXPECT_NE(OpenErrorReason({tSerialError::se_NotFound, ENOENT}).find("no such port"),
            std::string::npos);
  // A port another program holds names that program where the system tells.
  EXPECT_EQ(OpenErrorReason({tSerialError::se_Busy, EBUSY, "minicom (pid 812)"}, 5),
            "COM5 is in use by minicom (pid 812)");
  EXPECT_EQ(OpenErrorReason({tSerialError::se_Busy, EBUSY}, 5),
            "COM5 is in use by another program");
  EXPECT_NE(OpenErrorReason({tSerialError::se_Denied, EACCES}).find("dialout group"),
            std::string::npos);
  // Anything else is told in the system's own words.
  EXPECT_EQ(OpenErrorReason({tSerialError::se_Other, EIO}),
            tFiles::SystemErrorText(EIO) + " (" + std::to_string(EIO) + ")");
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

namespace {

TEST(CliTextTest, AnAnswerIsShownAsSendHexTakesAMessage) {
  const struct {
    std::vector<uint8_t> Frame;  // count byte, message, checksum
    const char* Hex;
  } Cases[] = {
      {{3, 0x3c, 0x01, 0xaa}, "3c01"},
      {{2, 0x0a, 0x55}, "0a"},
      {{5, 0xff, 0x00, 0x10, 0x7f, 0x12}, "ff00107f"},
      {{1, 0x33}, ""},
  };
  for (const auto& Case : Cases)
    EXPECT_EQ(AnswerHex(Case.Frame.data(), Case.Frame.size()), Case.Hex);
}

TEST(CliTextTest, AMonitorLineInAPipeComesOnAChangeOrAfterTheBeat) {
  using namespace std::chrono_literals;
  // A fake clock after the real clock's epoch.
  const tChangeOrBeat::tClock::time_point T0 = tChangeOrBeat::tClock::time_point() + 1000s;
  const struct {
    std::chrono::milliseconds At;
    const char* Key;
    bool Due;
  } Steps[] = {
      {0ms, "fw 3", true},       // the first line
      {20ms, "fw 3", false},     // a keep-alive, nothing changed
      {4999ms, "fw 3", false},   // still within the beat
      {5000ms, "fw 3", true},    // the heartbeat
      {5020ms, "fw 4", true},    // a change, at once
      {5040ms, "fw 4", false},   //
      {6000ms, "fw 3", true},    // and back
      {10999ms, "fw 3", false},  // the beat counts from the last line shown
      {11000ms, "fw 3", true},
  };
  tChangeOrBeat Changes(5s);
  for (const auto& Step : Steps)
    EXPECT_EQ(Changes.Due(Step.Key, T0 + Step.At), Step.Due) << Step.At.count() << " ms";
}

}  // namespace

namespace {

// The manual page is made of the program's own tables: it cannot miss a command, an option, an
// exit status or a record field.
TEST(ManPageTest, TheManualHasASectionPerCommandAndEveryStatusAndRecordField) {
  const std::string Page = CaddisManPage("9.9");
  auto Has = [&Page](const std::string& Text) { return Page.find(Text) != std::string::npos; };
  EXPECT_EQ(Page.rfind(".TH CADDIS 1 ", 0), 0u);
  for (const char* Section : {".SH COMMANDS", ".SH \"JSON EVENTS\"", ".SH \"SERVICE RECORD\"",
                              ".SH \"EXIT STATUS\"", ".SH FILES"})
    EXPECT_TRUE(Has(std::string("\n") + Section + "\n")) << Section;
  // Names as roff writes them: "--port" as "\-\-port".
  auto Escaped = [](const std::string& Name) {
    std::string Text;
    for (const char C : Name)
      Text += C == '-' ? std::string("\\-") : std::string(1, C);
    return Text;
  };
  for (const tCommand& Command : CliCommands()) {
    EXPECT_TRUE(Has(".SS \"" + Escaped(Command.Name) + "\"\n")) << Command.Name;
    for (const tOptionHelp& Option : Command.Options)
      EXPECT_TRUE(Has(".TP\n\\fB" + Escaped(Option.Name) + "\\fR"))
          << Command.Name << " " << Option.Name;
  }
  for (const tOutcome& Outcome : Outcomes())
    EXPECT_TRUE(Has(".B " + std::to_string(Outcome.Exit) + "\n")) << Outcome.Name;
  const std::vector<tRecordFieldHelp> Fields = RecordFieldsHelp();
  EXPECT_GE(Fields.size(), 15u);
  for (const tRecordFieldHelp& Field : Fields) {
    EXPECT_FALSE(Field.Help.empty()) << Field.Name << " has no description in the manual";
    EXPECT_TRUE(Has(".B " + Field.Name + "\n")) << Field.Name;
  }
  // No line starts a roff request by accident: every line is a request, or text not starting
  // with a dot.
  std::istringstream Lines(Page);
  for (std::string Line; std::getline(Lines, Line);) {
    if (!Line.empty() && Line[0] == '.') {
      EXPECT_TRUE(Line.size() > 2 && std::isupper(static_cast<unsigned char>(Line[1]))) << Line;
    }
  }
}

}  // namespace

namespace {

TEST(CliTextTest, TheProgressLineKeepsItsPercentageAtEveryWidth) {
  const struct {
    std::size_t Columns;
    bool Rate;  // the rate and time left are shown
    bool Bar;
  } Cases[] = {
      {0, true, true},   {200, true, true},  {79, true, true},
      {70, true, true},  {60, false, true},  {39, false, true},
      {22, false, true}, {20, false, false}, {3, false, false},
  };
  for (const auto& Case : Cases) {
    const std::string Line = FittedTransferLine("USB Audio", 0.35f, 16384, 2.0, Case.Columns);
    if (Case.Columns > 0) {
      EXPECT_LE(Line.size(), Case.Columns) << Line;
    }
    EXPECT_NE(Line.find("35%"), std::string::npos) << Case.Columns << ": " << Line;
    EXPECT_EQ(Line.find("kB/s") != std::string::npos, Case.Rate) << Case.Columns << ": " << Line;
    EXPECT_EQ(Line.find('[') != std::string::npos, Case.Bar) << Case.Columns << ": " << Line;
  }
}

}  // namespace

namespace {

TEST(CliTextTest, TheMonitorLineFitsTheTerminalWithItsAddressAndLinkHealth) {
  tOrvaneHost Host(0, false, "Caddis");
  Host.ComPortID = 5;
  Host.DeviceID = 33;
  Host.FirmwareVersion = 12;
  Host.Temperature = 41;
  Host.IPAddress = 50u << 24 | 1u << 16 | 168u << 8 | 192u;
  Host.ReportsReceived = or_AllReports;
  for (int i = 0; i < OrvanePortCount; ++i)
    Host.SampleRates[i] = 48000;
  tLinkHealth Health;
  Health.RoundTrips = 3;
  Health.RoundTripLastUs = 300;
  const struct {
    std::size_t Columns;
    std::vector<const char*> Shown;
    std::vector<const char*> Left;
  } Cases[] = {
      {0, {"rates 48000", "supply", "round trip 0.3 ms"}, {}},
      {300, {"rates 48000", "supply", "round trip 0.3 ms"}, {}},
      {79, {"COM5:", "ID 33", "fw 12", "IP 192.168.1.50", "link 0.3 ms, 0 unanswered"}, {"rates"}},
      {60, {"COM5:", "ID 33", "IP 192.168.1.50", "link 0.3 ms"}, {"rates", "supply", "FPGA"}},
  };
  for (const auto& Case : Cases) {
    const std::string Line = FittedMonitorLine(Host, Health, Case.Columns);
    if (Case.Columns > 0) {
      EXPECT_LE(Line.size(), Case.Columns) << Line;
    }
    for (const char* Text : Case.Shown)
      EXPECT_NE(Line.find(Text), std::string::npos)
          << Case.Columns << ": " << Text << " in " << Line;
    for (const char* Text : Case.Left)
      EXPECT_EQ(Line.find(Text), std::string::npos)
          << Case.Columns << ": " << Text << " in " << Line;
  }
}

}  // namespace
// The exit statuses of a stopped program are explained in the system's own words: Windows has
// no SIGTERM, its console has Ctrl-Break and a window that closes.
TEST(ExitStatusHelpTest, NamesTheSystemsOwnStopRequests) {
  const std::string Help = ExitStatusHelp();
  EXPECT_NE(Help.find("  130  interrupted (Ctrl-C"), std::string::npos) << Help;
  EXPECT_NE(Help.find("  143  terminated ("), std::string::npos) << Help;
#ifdef _WIN32
  EXPECT_EQ(Help.find("SIGTERM"), std::string::npos) << Help;
  EXPECT_NE(Help.find("Ctrl-Break"), std::string::npos) << Help;
#else
  EXPECT_NE(Help.find("terminated (SIGTERM)"), std::string::npos) << Help;
#endif
}
