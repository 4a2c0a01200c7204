#include "cli/CliText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "hostlink/OrvaneHost.h"

namespace {

std::string Volts(float Value) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.1f", static_cast<double>(Value));
  return Text;
}

const char* const PortNames[OrvanePortCount] = {"Kelp 0", "Kelp 1", "word clock", "USB audio"};

std::string TransportName(bool UDPorTCP) {
  return UDPorTCP ? "TCP" : "UDP";
}

// A report's value as the operator reads it: Text once the card has sent the report (Bit of
// ReportsReceived), never the zero the host object starts with.
std::string ReportText(const tOrvaneHost& Host, uint32_t Bit, const std::string& Text) {
  return (Host.ReportsReceived & Bit) ? Text : "not received";
}

}  // namespace

std::string DottedAddress(uint32_t Address) {
  return std::to_string(Address & 0xFF) + "." + std::to_string(Address >> 8 & 0xFF) + "." +
         std::to_string(Address >> 16 & 0xFF) + "." + std::to_string(Address >> 24 & 0xFF);
}

std::string Utf8FromLatin1(const std::string& Text) {
  std::string Out;
  for (unsigned char C : Text) {
    if (C < 0x80) {
      Out += static_cast<char>(C);
    } else {
      Out += static_cast<char>(0xC0 | C >> 6);
      Out += static_cast<char>(0x80 | (C & 0x3F));
    }
  }
  return Out;
}

std::string JsonString(const std::string& Text) {
  return nlohmann::json(Utf8FromLatin1(Text)).dump(-1, ' ', true);
}

std::string JsonText(const nlohmann::ordered_json& Value) {
  // A text that is not UTF-8 (a file name in another encoding) is written with replacement
  // characters rather than ending the program.
  return Value.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace);
}

nlohmann::ordered_json StatusObject(const tOrvaneHost& Host) {
  using nlohmann::ordered_json;
  const uint32_t Got = Host.ReportsReceived;
  // A report that never arrived is shown as null, not as the zero the host starts with.
  auto Reported = [Got](uint32_t Bit, ordered_json Value) {
    return (Got & Bit) ? Value : ordered_json(nullptr);
  };
  ordered_json Voltages = ordered_json::array();
  for (float V : Host.Voltages)
    Voltages.push_back(Reported(or_Voltages, std::nearbyint(V * 10.0) / 10.0));
  ordered_json Rates = ordered_json::array();
  for (int i = 0; i < OrvanePortCount; ++i)
    Rates.push_back(Reported(or_SampleRate0 << i, Host.SampleRates[i]));
  ordered_json J;
  J["HostName"] = Utf8FromLatin1(Host.HostName);
  J["ComPortID"] = Host.ComPortID;
  J["DeviceID"] = Host.DeviceID;
  J["FirmwareVersion"] = Host.FirmwareVersion;
  J["FPGAVersion"] = Utf8FromLatin1(Host.FPGAVersion);
  J["Temperature"] = Reported(or_Temperature, Host.Temperature);
  J["Voltages"] = Voltages;
  J["SampleRates"] = Rates;
  J["IPAddress"] = Reported(or_IPAddress, DottedAddress(Host.IPAddress));
  J["IPAddressValue"] = Reported(or_IPAddress, Host.IPAddress);
  J["SubnetMask"] = Reported(or_SubnetMask, DottedAddress(Host.SubnetMask));
  J["SubnetMaskValue"] = Reported(or_SubnetMask, Host.SubnetMask);
  J["UDPorTCP"] = Reported(or_UDPorTCP, Host.UDPorTCP);
  J["Transport"] = Reported(or_UDPorTCP, TransportName(Host.UDPorTCP));
  J["LinkHealth"] = ordered_json::parse(LinkHealthJson(Host.LinkHealth()));
  return J;
}

std::vector<std::string> StatusLines(const tOrvaneHost& Host) {
  auto Shown = [&Host](uint32_t Bit, const std::string& Text) {
    return ReportText(Host, Bit, Text);
  };
  std::string Rates;
  for (int i = 0; i < OrvanePortCount; ++i)
    Rates += std::string(i ? ", " : "") + PortNames[i] + " " +
             Shown(or_SampleRate0 << i, std::to_string(Host.SampleRates[i]));
  const auto& V = Host.Voltages;
  return {
      "Port:             COM" + std::to_string(Host.ComPortID),
      "Device ID:        " + std::to_string(Host.DeviceID),
      "Firmware version: " + std::to_string(Host.FirmwareVersion),
      "FPGA version:     " + Host.FPGAVersion,
      "Temperature:      " + Shown(or_Temperature, std::to_string(Host.Temperature)),
      "Supply voltages:  " +
          Shown(or_Voltages, "5V " + Volts(V[0]) + ", 7V " + Volts(V[1]) + ", 15V " + Volts(V[2])),
      "Other voltages:   " + Shown(or_Voltages, Volts(V[3]) + ", " + Volts(V[4]) + ", " +
                                                    Volts(V[5]) + ", " + Volts(V[6])),
      "Sample rates:     " + Rates,
      "IP address:       " + Shown(or_IPAddress, DottedAddress(Host.IPAddress)),
      "Subnet mask:      " + Shown(or_SubnetMask, DottedAddress(Host.SubnetMask)),
      "UDP/TCP:          " + Shown(or_UDPorTCP, TransportName(Host.UDPorTCP)),
      "Link:             " + LinkHealthText(Host.LinkHealth()),
  };
}

std::string MonitorLine(const tOrvaneHost& Host) {
  if (Host.DeviceID == 0) return "COM" + std::to_string(Host.ComPortID) + ": waiting for the card";
  const auto& V = Host.Voltages;
  std::string Rates;
  bool AllRates = true;
  for (int i = 0; i < OrvanePortCount; ++i) {
    const uint32_t Bit = or_SampleRate0 << i;
    Rates += (i ? "/" : "") + ReportText(Host, Bit, std::to_string(Host.SampleRates[i]));
    AllRates = AllRates && (Host.ReportsReceived & Bit);
  }
  // Each value with its label, so a report not received yet reads as such.
  return "COM" + std::to_string(Host.ComPortID) + ": ID " + std::to_string(Host.DeviceID) + " fw " +
         std::to_string(Host.FirmwareVersion) + " FPGA " + Host.FPGAVersion + " temp " +
         ReportText(Host, or_Temperature, std::to_string(Host.Temperature)) + " supply " +
         ReportText(Host, or_Voltages, Volts(V[0]) + "/" + Volts(V[1]) + "/" + Volts(V[2]) + " V") +
         " rates " + Rates + (AllRates ? " Hz" : "") + " IP " +
         ReportText(Host, or_IPAddress, DottedAddress(Host.IPAddress)) + " transport " +
         ReportText(Host, or_UDPorTCP, TransportName(Host.UDPorTCP));
}

std::string MonitorLine(const tOrvaneHost& Host, const tLinkHealth& Health) {
  return MonitorLine(Host) + "; link: " + LinkHealthText(Health);
}

std::string SecondsText(double Seconds) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.3f", Seconds);
  std::string Result = Text;
  while (Result.back() == '0')
    Result.pop_back();
  if (Result.back() == '.') Result.pop_back();
  return Result;
}

std::string ProgressBar(float Fraction, int Width) {
  const double Shown = ProgressPercent(Fraction) / 100.0;
  const int Filled = static_cast<int>(Shown * Width);
  char Percent[8];
  std::snprintf(Percent, sizeof Percent, "%4d%%", ProgressPercent(Fraction));
  return "[" + std::string(Filled, '#') + std::string(Width - Filled, '.') + "]" + Percent;
}

namespace {

std::string Kilobytes(double Bytes) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.1f", Bytes / 1000.0);
  return Text;
}

std::string MinutesText(double Seconds) {
  const auto Whole = static_cast<long long>(std::ceil(Seconds));
  char Text[32];
  std::snprintf(Text, sizeof Text, "%lld:%02lld", Whole / 60, Whole % 60);
  return Text;
}

}  // namespace

std::string TransferLine(const std::string& Label, float Fraction, uint64_t Total, double Elapsed,
                         int Width) {
  const double Shown =
      std::clamp(std::isnan(Fraction) ? 0.0 : static_cast<double>(Fraction), 0.0, 1.0);
  const double Done = Shown * static_cast<double>(Total);
  std::string Text = Label + " " + ProgressBar(Fraction, Width) + "  " + Kilobytes(Done) + "/" +
                     Kilobytes(static_cast<double>(Total)) + " kB";
  if (Elapsed > 0 && Done > 0) {
    const double Rate = Done / Elapsed;
    Text += "  " + Kilobytes(Rate) + " kB/s  " +
            MinutesText((static_cast<double>(Total) - Done) / Rate) + " left";
  } else {
    Text += "  --:-- left";
  }
  return Text;
}

std::vector<std::string> AlignedColumns(const std::vector<std::vector<std::string>>& Rows) {
  std::vector<std::size_t> Widths;
  for (const auto& Row : Rows) {
    if (Widths.size() < Row.size()) Widths.resize(Row.size(), 0);
    for (std::size_t i = 0; i < Row.size(); ++i)
      Widths[i] = std::max(Widths[i], Row[i].size());
  }
  std::vector<std::string> Lines;
  for (const auto& Row : Rows) {
    std::string Line;
    for (std::size_t i = 0; i < Row.size(); ++i) {
      Line += Row[i];
      if (i + 1 < Row.size()) Line += std::string(Widths[i] - Row[i].size() + 2, ' ');
    }
    while (!Line.empty() && Line.back() == ' ')
      Line.pop_back();
    Lines.push_back(Line);
  }
  return Lines;
}

std::string AnswerHex(const uint8_t* Frame, std::size_t Size) {
  std::string Hex;
  char Byte[4];
  // Without the count byte before the message and the checksum after it.
  for (std::size_t i = 1; i + 1 < Size; ++i) {
    std::snprintf(Byte, sizeof Byte, "%02x", Frame[i]);
    Hex += Byte;
  }
  return Hex;
}

bool tChangeOrBeat::Due(const std::string& Key, tClock::time_point Now) {
  if (fShownAt && Key == fKey && Now - *fShownAt < fBeat) return false;
  fShownAt = Now;
  fKey = Key;
  return true;
}

std::string FittedTransferLine(const std::string& Label, float Fraction, uint64_t Total,
                               double Elapsed, std::size_t Columns) {
  const auto Fits = [Columns](const std::string& Line) {
    return Columns == 0 || Line.size() <= Columns;
  };
  for (const int Bar : {40, 30, 20, 10})
    if (std::string Line = TransferLine(Label, Fraction, Total, Elapsed, Bar); Fits(Line))
      return Line;
  for (const int Bar : {20, 10, 5})
    if (std::string Line = Label + " " + ProgressBar(Fraction, Bar); Fits(Line)) return Line;
  const std::string Percent = std::to_string(ProgressPercent(Fraction)) + "%";
  return Fits(Label + " " + Percent) ? Label + " " + Percent : Percent;
}

std::string FittedMonitorLine(const tOrvaneHost& Host, const tLinkHealth& Health,
                              std::size_t Columns) {
  const std::string Whole = MonitorLine(Host, Health);
  if (Columns == 0 || Whole.size() <= Columns) return Whole;
  char Ms[32];
  std::snprintf(Ms, sizeof Ms, "%.1f ms", static_cast<double>(Health.RoundTripLastUs) / 1000.0);
  const std::string Link =
      "link " + std::string(Health.RoundTrips ? Ms : "none yet") + ", " +
      std::to_string(Health.KeepAlivesUnanswered) + " unanswered, " +
      std::to_string(Health.FramesDamagedLength + Health.FramesDamagedChecksum) + " damaged";
  struct tPart {
    std::string Text;
    int Drop;  // the order it is left out in; 0: kept
  };
  std::vector<tPart> Parts;
  if (Host.DeviceID == 0) {
    Parts = {{MonitorLine(Host) + ";", 0}};
  } else {
    std::string Rates;
    for (int i = 0; i < OrvanePortCount; ++i)
      Rates += (i ? "/" : "") +
               ReportText(Host, or_SampleRate0 << i, std::to_string(Host.SampleRates[i]));
    std::string FPGA = Host.FPGAVersion;
    while (!FPGA.empty() && (FPGA.back() == ' ' || FPGA.back() == '\0'))
      FPGA.pop_back();
    const auto& V = Host.Voltages;
    Parts = {
        {"COM" + std::to_string(Host.ComPortID) + ":", 0},
        {"ID " + std::to_string(Host.DeviceID), 0},
        {"fw " + std::to_string(Host.FirmwareVersion), 0},
        {"FPGA " + FPGA, 3},
        {"temp " + ReportText(Host, or_Temperature, std::to_string(Host.Temperature)), 4},
        {"supply " +
             ReportText(Host, or_Voltages, Volts(V[0]) + "/" + Volts(V[1]) + "/" + Volts(V[2])),
         2},
        {"rates " + Rates, 1},
        {"IP " + ReportText(Host, or_IPAddress, DottedAddress(Host.IPAddress)), 0},
        {ReportText(Host, or_UDPorTCP, TransportName(Host.UDPorTCP)) + ";", 5},
    };
  }
  Parts.push_back({Link, 0});
  // Leaves the parts out in their order until the line fits; at the narrowest it is cut.
  constexpr int LastDrop = 5;
  std::string Line;
  for (int Drop = 0; Drop <= LastDrop; ++Drop) {
    Line.clear();
    for (const tPart& Part : Parts)
      if (Part.Drop == 0 || Part.Drop > Drop) Line += (Line.empty() ? "" : " ") + Part.Text;
    if (Line.size() <= Columns) return Line;
  }
  return Line.substr(0, Columns);
}
