#include "sim/SimRunner.h"

#include <charconv>
#include <thread>

#include "sim/SimPort.h"

namespace {

using tClock = tSimCard::tClock;

template <typename T>
bool ParseNumber(const std::string& Text, T& Value) {
  const auto [End, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
  return Error == std::errc() && End == Text.data() + Text.size();
}

bool ParseSeconds(const std::string& Text, double& Value) {
  int Whole = 0;
  const auto Dot = Text.find('.');
  if (Dot == std::string::npos) {
    if (!ParseNumber(Text, Whole) || Whole < 0) return false;
    Value = Whole;
    return true;
  }
  int Fraction = 0;
  const std::string Digits = Text.substr(Dot + 1);
  if (!ParseNumber(Text.substr(0, Dot), Whole) || Digits.empty() || Digits.size() > 3 ||
      !ParseNumber(Digits, Fraction) || Whole < 0)
    return false;
  Value = Whole + Fraction / (Digits.size() == 1 ? 10.0 : Digits.size() == 2 ? 100.0 : 1000.0);
  return true;
}

void Say(std::ostream& Out, const std::string& Line) {
  Out << Line << std::endl;
}

// Keeps the card off the link for Downtime, or until Stop.
void StayAway(std::chrono::milliseconds Downtime, const std::atomic<bool>& Stop) {
  const auto Until = tClock::now() + Downtime;
  while (!Stop && tClock::now() < Until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace

std::string SimUsage() {
  return "usage: caddis-card-sim --com N [options]\n"
         "  --com N               register as port COM<N> (1..255)\n"
         "  --device-id ID        device ID in the Status reply (0..255, default 33)\n"
         "  --firmware V          firmware version in the Status reply (0..255, default 12)\n"
         "  --fpga-version TEXT   FPGA version, 10 characters (padded or cut)\n"
         "  --silent              never answer and never report\n"
         "  --silent-after S      go silent S seconds after start\n"
         "  --corrupt-checksum N  every Nth frame sent carries a wrong checksum\n"
         "  --bad-length N        every Nth frame sent carries the count byte 255\n"
         "  --zero-device-id      answer Status with device ID 0\n"
         "  --seed N              seed of the reported values' drift\n"
         "  --verbose             print every message received and sent\n"
         "  --help                show this text\n";
}

bool ParseSimOptions(const std::vector<std::string>& Args, tSimOptions& Options, bool& Help,
                     std::string& Error) {
  Help = false;
  bool HaveCom = false;
  for (std::size_t i = 0; i < Args.size(); ++i) {
    const std::string& Arg = Args[i];
    auto Value = [&](std::string& Out) {
      if (i + 1 >= Args.size()) return false;
      Out = Args[++i];
      return true;
    };
    auto Byte = [&](uint8_t& Out) {
      std::string Text;
      unsigned Number = 0;
      if (!Value(Text) || !ParseNumber(Text, Number) || Number > 255) return false;
      Out = static_cast<uint8_t>(Number);
      return true;
    };
    auto Count = [&](int& Out) {
      std::string Text;
      return Value(Text) && ParseNumber(Text, Out) && Out > 0;
    };
    std::string Text;
    bool Ok = true;
    if (Arg == "--help" || Arg == "-h") {
      Help = true;
      return true;
    } else if (Arg == "--com") {
      Ok = Value(Text) && ParseNumber(Text, Options.ComNumber) && Options.ComNumber >= 1 &&
           Options.ComNumber <= 255;
      HaveCom = Ok;
    } else if (Arg == "--device-id") {
      Ok = Byte(Options.Card.DeviceID);
    } else if (Arg == "--firmware") {
      Ok = Byte(Options.Card.FirmwareVersion);
    } else if (Arg == "--fpga-version") {
      Ok = Value(Options.Card.FPGAVersion);
    } else if (Arg == "--silent") {
      Options.Card.Silent = true;
    } else if (Arg == "--silent-after") {
      Ok = Value(Text) && ParseSeconds(Text, Options.Card.SilentAfterSeconds);
    } else if (Arg == "--corrupt-checksum") {
      Ok = Count(Options.Card.CorruptChecksumEvery);
    } else if (Arg == "--bad-length") {
      Ok = Count(Options.Card.BadLengthEvery);
    } else if (Arg == "--zero-device-id") {
      Options.Card.ZeroDeviceID = true;
    } else if (Arg == "--seed") {
      Ok = Value(Text) && ParseNumber(Text, Options.Card.Seed);
    } else if (Arg == "--verbose" || Arg == "-v") {
      Options.Verbose = true;
    } else {
      Error = "unknown option " + Arg;
      return false;
    }
    if (!Ok) {
      Error = "missing or bad value for " + Arg;
      return false;
    }
  }
  if (!HaveCom) {
    Error = "--com N is required";
    return false;
  }
  return true;
}

int RunSimCard(const tSimOptions& Options, const std::atomic<bool>& Stop, std::ostream& Out) {
  tSimPort Port(Options.ComNumber);
  std::string Error;
  if (!Port.Open(Error)) {
    Say(Out, "caddis-card-sim: " + Error);
    return 1;
  }
  const std::string Name = "COM" + std::to_string(Options.ComNumber);
  Say(Out, "caddis-card-sim: " + Name + " is " + Port.DevicePath());
  tSimCard Card(
      Options.Card, [&](const uint8_t* Bytes, std::size_t Count) { Port.Write(Bytes, Count); },
      tClock::now());
  if (Options.Verbose) Card.SetLog([&](const std::string& Line) { Say(Out, Line); });

  bool Connected = false;
  uint8_t Buffer[4096];
  while (!Stop) {
    const tSimPort::tWait Event = Port.Wait(10);
    const auto Now = tClock::now();
    if (Event == tSimPort::tWait::HungUp) {
      if (Connected && Options.Verbose) Say(Out, Name + " closed by the tool");
      Connected = false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    if (!Connected) {
      Connected = true;
      Card.Reconnect(Now);
      if (Options.Verbose) Say(Out, Name + " opened by the tool");
    }
    if (Event == tSimPort::tWait::Readable)
      Card.Receive(Buffer, Port.Read(Buffer, sizeof Buffer), Now);
    Card.Tick(Now);
    if (Card.TakeRestartRequest()) {
      // A restarting microcontroller drops off the link: the port leaves the folder for a
      // moment and comes back as a new device.
      if (Options.Verbose) Say(Out, "restarting");
      Port.Close();
      StayAway(Options.RestartDowntime, Stop);
      if (Stop) break;
      if (!Port.Open(Error)) {
        Say(Out, "caddis-card-sim: " + Error);
        return 1;
      }
      Connected = false;
      Say(Out, "caddis-card-sim: " + Name + " is " + Port.DevicePath());
    }
  }
  Port.Close();
  return 0;
}
