#include "cli/CliText.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "hostlink/OrvaneHost.h"

namespace {

std::string Volts(float Value) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.1f", static_cast<double>(Value));
  return Text;
}

const char* const PortNames[OrvanePortCount] = {"Kelp 0", "Kelp 1", "word clock", "USB audio"};

template <typename T, typename Format>
std::string JoinArray(const T& Values, const std::string& Separator, Format Show) {
  std::string Text;
  for (std::size_t i = 0; i < Values.size(); ++i)
    Text += (i ? Separator : "") + Show(Values[i]);
  return Text;
}

std::string TransportName(bool UDPorTCP) {
  return UDPorTCP ? "TCP" : "UDP";
}

}  // namespace

std::string DottedAddress(uint32_t Address) {
  return std::to_string(Address & 0xFF) + "." + std::to_string(Address >> 8 & 0xFF) + "." +
         std::to_string(Address >> 16 & 0xFF) + "." + std::to_string(Address >> 24 & 0xFF);
}

std::string JsonString(const std::string& Text) {
  std::string Out = "\"";
  for (unsigned char C : Text) {
    if (C == '"' || C == '\\') {
      Out += '\\';
      Out += static_cast<char>(C);
    } else if (C < 0x20 || C >= 0x7F) {
      char Escape[8];
      std::snprintf(Escape, sizeof Escape, "\\u%04x", C);
      Out += Escape;
    } else {
      Out += static_cast<char>(C);
    }
  }
  return Out + "\"";
}

std::string StatusJson(const tOrvaneHost& Host) {
  auto Number = [](auto Value) { return std::to_string(Value); };
  std::string Json = "{";
  Json += "\"HostName\":" + JsonString(Host.HostName);
  Json += ",\"ComPortID\":" + Number(Host.ComPortID);
  Json += ",\"DeviceID\":" + Number(Host.DeviceID);
  Json += ",\"FirmwareVersion\":" + Number(Host.FirmwareVersion);
  Json += ",\"FPGAVersion\":" + JsonString(Host.FPGAVersion);
  Json += ",\"Temperature\":" + Number(Host.Temperature);
  Json += ",\"Voltages\":[" + JoinArray(Host.Voltages, ",", Volts) + "]";
  Json += ",\"SampleRates\":[" + JoinArray(Host.SampleRates, ",", Number) + "]";
  Json += ",\"IPAddress\":" + JsonString(DottedAddress(Host.IPAddress));
  Json += ",\"IPAddressValue\":" + Number(Host.IPAddress);
  Json += ",\"SubnetMask\":" + JsonString(DottedAddress(Host.SubnetMask));
  Json += ",\"SubnetMaskValue\":" + Number(Host.SubnetMask);
  Json += std::string(",\"UDPorTCP\":") + (Host.UDPorTCP ? "true" : "false");
  Json += ",\"Transport\":" + JsonString(TransportName(Host.UDPorTCP));
  return Json + "}";
}

std::vector<std::string> StatusLines(const tOrvaneHost& Host) {
  std::string Rates;
  for (int i = 0; i < OrvanePortCount; ++i)
    Rates += std::string(i ? ", " : "") + PortNames[i] + " " + std::to_string(Host.SampleRates[i]);
  const auto& V = Host.Voltages;
  return {
      "Port:             COM" + std::to_string(Host.ComPortID),
      "Device ID:        " + std::to_string(Host.DeviceID),
      "Firmware version: " + std::to_string(Host.FirmwareVersion),
      "FPGA version:     " + Host.FPGAVersion,
      "Temperature:      " + std::to_string(Host.Temperature),
      "Supply voltages:  5V " + Volts(V[0]) + ", 7V " + Volts(V[1]) + ", 15V " + Volts(V[2]),
      "Other voltages:   " + Volts(V[3]) + ", " + Volts(V[4]) + ", " + Volts(V[5]) + ", " +
          Volts(V[6]),
      "Sample rates:     " + Rates,
      "IP address:       " + DottedAddress(Host.IPAddress),
      "Subnet mask:      " + DottedAddress(Host.SubnetMask),
      "UDP/TCP:          " + TransportName(Host.UDPorTCP),
  };
}

std::string MonitorLine(const tOrvaneHost& Host) {
  if (Host.DeviceID == 0) return "COM" + std::to_string(Host.ComPortID) + ": waiting for the card";
  const auto& V = Host.Voltages;
  return "COM" + std::to_string(Host.ComPortID) + ": ID " + std::to_string(Host.DeviceID) + " fw " +
         std::to_string(Host.FirmwareVersion) + " FPGA " + Host.FPGAVersion + " temp " +
         std::to_string(Host.Temperature) + " " + Volts(V[0]) + "/" + Volts(V[1]) + "/" +
         Volts(V[2]) + " V " +
         JoinArray(Host.SampleRates, "/", [](uint32_t R) { return std::to_string(R); }) + " Hz " +
         DottedAddress(Host.IPAddress) + " " + TransportName(Host.UDPorTCP);
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

std::string OpenErrorReason(int Errno) {
  switch (Errno) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return "no such port (caddis ports lists the ports present)";
    case EBUSY:
    case EWOULDBLOCK:
      return "the port is busy: another program is using it";
    case EACCES:
    case EPERM:
      return "permission denied: add your user to the dialout group "
             "(sudo usermod -aG dialout $USER) and log in again";
    case 0:
      return "reason unknown";
    default:
      return std::strerror(Errno);
  }
}

int ProgressPercent(float Fraction) {
  if (!(Fraction > 0)) return 0;
  if (Fraction >= 1) return 100;
  return static_cast<int>(std::lround(Fraction * 100.0f));
}

std::string ProgressBar(float Fraction, int Width) {
  const double Shown = ProgressPercent(Fraction) / 100.0;
  const int Filled = static_cast<int>(Shown * Width);
  char Percent[8];
  std::snprintf(Percent, sizeof Percent, "%4d%%", ProgressPercent(Fraction));
  return "[" + std::string(Filled, '#') + std::string(Width - Filled, '.') + "]" + Percent;
}
