#include "sim/SimRunner.h"

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "hostlink/OrvaneHost.h"
#include "sim/SimPort.h"
#include "sim/UsbGadget.h"
#include "sim/bootloader/DemoImage.h"

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

// "CODE@N": a number, "@", a number.
bool ParsePair(const std::string& Text, unsigned& First, unsigned& Second) {
  const auto At = Text.find('@');
  return At != std::string::npos && ParseNumber(Text.substr(0, At), First) &&
         ParseNumber(Text.substr(At + 1), Second);
}

// "KIND@N" (or "reset-ignored") for the boot loader's fault switches.
bool ParseDFUFault(const std::string& Text, dfu::tVirtualDFUFaults& Faults) {
  if (Text == "reset-ignored") {
    Faults.ResetIgnored = true;
    return true;
  }
  const auto At = Text.find('@');
  unsigned N = 0;
  if (At == std::string::npos || !ParseNumber(Text.substr(At + 1), N) || N > 1'000'000'000)
    return false;
  const std::string Kind = Text.substr(0, At);
  const int Block = static_cast<int>(N);
  if (Kind == "status-error")
    Faults.StatusErrorAtBlock = Block;
  else if (Kind == "stall")
    Faults.StallAtBlock = Block;
  else if (Kind == "disconnect")
    Faults.DisconnectAtBlock = Block;
  else if (Kind == "silent")
    Faults.SilentAtBlock = Block;
  else if (Kind == "wrong-readback")
    Faults.WrongReadBackAt = static_cast<long>(N);
  else
    return false;
  return true;
}

// "VERSION:KIND" for a firmware's behaviour after a download.
bool ParseFirmwareFault(const std::string& Text, std::map<uint8_t, tFirmwareFault>& Faults) {
  const auto Colon = Text.find(':');
  unsigned Version = 0;
  if (Colon == std::string::npos || !ParseNumber(Text.substr(0, Colon), Version) || Version > 255)
    return false;
  static const std::map<std::string, tFirmwareFault> Kinds{
      {"never-starts", tFirmwareFault::NeverStarts},
      {"wrong-version", tFirmwareFault::WrongVersion},
      {"low-voltage", tFirmwareFault::LowVoltage},
      {"drops-keepalive", tFirmwareFault::DropsKeepAlive}};
  const auto Kind = Kinds.find(Text.substr(Colon + 1));
  if (Kind == Kinds.end()) return false;
  Faults[static_cast<uint8_t>(Version)] = Kind->second;
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
         "       caddis-card-sim --tty DEVICE [--gadget FOLDER] [options]\n"
         "  --com N               register as port COM<N> (1..255)\n"
         "  --tty DEVICE          serve this terminal device (raw) instead, registering no\n"
         "                        port: the device side of a USB serial gadget, say\n"
         "  --gadget FOLDER       the card's serial gadget in configfs (with --tty): a\n"
         "                        restart unplugs and plugs it, and Boot hands its device\n"
         "                        controller to the boot loader, served through GadgetFS\n"
         "  --gadgetfs FOLDER     where GadgetFS is mounted (default /dev/gadget)\n"
         "  --device-id ID        device ID in the Status reply (0..255, default 33)\n"
         "  --firmware V          firmware version in the Status reply (0..255, default 12)\n"
         "  --fpga-version TEXT   FPGA version, 10 characters (padded or cut)\n"
         "  --silent              never answer and never report\n"
         "  --silent-after S      go silent S seconds after start\n"
         "  --corrupt-checksum N  every Nth frame sent carries a wrong checksum\n"
         "  --bad-length N        every Nth frame sent carries the count byte 255\n"
         "  --zero-device-id      answer Status with device ID 0\n"
         "  --ignore-restart      take \"Restart\" but go on running (a card that hangs)\n"
         "  --restart-ms MS       time a \"Restart\" keeps the card off the link (0..60000,\n"
         "                        default 1000)\n"
         "  --restart-keeps-port  on \"Restart\" keep the port and only fall silent for that\n"
         "                        time, losing what arrives (a card whose serial adapter\n"
         "                        stays powered); by default the port goes and comes back\n"
         "  --answer-delay MS     time the card takes before answering any message\n"
         "                        (0..60000)\n"
         "  --seed N              seed of the reported values' drift\n"
         "File updates (FPGA 39, USB audio 40); packet N counts data packets from 0:\n"
         "  --fpga-out FILE       write each FPGA image received to FILE\n"
         "  --usb-audio-out FILE  write each USB-audio image received to FILE\n"
         "  --image-out FILE      write images of either kind without a file of their own\n"
         "  --packet-delay MS     processing time before each update reply (0..60000)\n"
         "  --wire-baud B         emulate the wire: every byte takes 10 bits at B baud in\n"
         "                        both directions (115200 is the link's rate)\n"
         "  --ack-code CODE@N     answer data packet N with CODE (1 length, 2 checksum,\n"
         "                        3 size, 4 flash; others as they are)\n"
         "  --wrong-ack N         acknowledge data packet N with the number N+1\n"
         "  --silent-at N         do not answer data packet N\n"
         "Firmware update: \"Boot\" (4) leaves the port for a USB DFU boot loader (vendor\n"
         "0x1CBE, product 0x00FF, serial SIM<COM number in 5 digits>) on the virtual USB bus;\n"
         "leaving DFU mode brings the card back on its port with the firmware it then has.\n"
         "  --dfu-fault KIND@N    boot loader fault, repeatable: status-error@BLOCK,\n"
         "                        stall@BLOCK, disconnect@BLOCK, silent@BLOCK,\n"
         "                        wrong-readback@BYTE (blocks and bytes count from 0);\n"
         "                        reset-ignored: a USB reset is acknowledged but the boot\n"
         "                        loader stays\n"
         "  --dfu-fault-visit N   the --dfu-fault switches act on the boot loader's Nth\n"
         "                        appearance only (1: after the first Boot)\n"
         "  --firmware-fault V:KIND  how firmware version V behaves once downloaded, repeatable:\n"
         "                        never-starts (the card stays in its boot loader),\n"
         "                        wrong-version (it reports version V+1), low-voltage (supply 0\n"
         "                        at 2.5 V), drops-keepalive (keep-alives go unanswered)\n"
         "  --dfu-no-upload       the boot loader cannot give its image back (no verify)\n"
         "  --dfu-block-ms MS     time the boot loader takes to program one 1024-byte\n"
         "                        block (default 2)\n"
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
    auto Packet = [&](int& Out) {
      std::string Text;
      unsigned N = 0;
      if (!Value(Text) || !ParseNumber(Text, N) || N > 65535) return false;
      Out = static_cast<int>(N);
      return true;
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
    } else if (Arg == "--tty") {
      Ok = Value(Options.Tty) && !Options.Tty.empty();
    } else if (Arg == "--gadget") {
      Ok = Value(Options.Gadget) && !Options.Gadget.empty();
    } else if (Arg == "--gadgetfs") {
      Ok = Value(Options.GadgetFS) && !Options.GadgetFS.empty();
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
    } else if (Arg == "--ignore-restart") {
      Options.Card.IgnoreRestart = true;
    } else if (Arg == "--restart-ms") {
      unsigned Ms = 0;
      Ok = Value(Text) && ParseNumber(Text, Ms) && Ms <= 60000;
      Options.RestartDowntime = std::chrono::milliseconds(Ms);
    } else if (Arg == "--restart-keeps-port") {
      Options.RestartKeepsPort = true;
    } else if (Arg == "--answer-delay") {
      unsigned Ms = 0;
      Ok = Value(Text) && ParseNumber(Text, Ms) && Ms <= 60000;
      Options.Card.AnswerDelay = std::chrono::milliseconds(Ms);
    } else if (Arg == "--seed") {
      Ok = Value(Text) && ParseNumber(Text, Options.Card.Seed);
    } else if (Arg == "--fpga-out") {
      Ok = Value(Options.FPGAOut) && !Options.FPGAOut.empty();
    } else if (Arg == "--usb-audio-out") {
      Ok = Value(Options.USBAudioOut) && !Options.USBAudioOut.empty();
    } else if (Arg == "--image-out") {
      Ok = Value(Options.ImageOut) && !Options.ImageOut.empty();
    } else if (Arg == "--packet-delay") {
      unsigned Ms = 0;
      Ok = Value(Text) && ParseNumber(Text, Ms) && Ms <= 60000;
      Options.Card.PacketDelay = std::chrono::milliseconds(Ms);
    } else if (Arg == "--wire-baud") {
      Ok = Value(Text) && ParseNumber(Text, Options.Card.WireBaud) && Options.Card.WireBaud >= 50 &&
           Options.Card.WireBaud <= 100'000'000;
    } else if (Arg == "--ack-code") {
      unsigned Code = 0, N = 0;
      Ok = Value(Text) && ParsePair(Text, Code, N) && Code >= 1 && Code <= 255 && N <= 65535;
      Options.Card.UpdateFaults.AckCode = static_cast<uint8_t>(Code);
      Options.Card.UpdateFaults.AckCodeAt = static_cast<int>(N);
    } else if (Arg == "--wrong-ack") {
      Ok = Packet(Options.Card.UpdateFaults.WrongAckAt);
    } else if (Arg == "--silent-at") {
      Ok = Packet(Options.Card.UpdateFaults.SilentAt);
    } else if (Arg == "--dfu-block-ms") {
      Ok = Value(Text) && ParseNumber(Text, Options.DFUBlockMs) && Options.DFUBlockMs <= 10000;
    } else if (Arg == "--dfu-no-upload") {
      Options.DFUNoUpload = true;
    } else if (Arg == "--dfu-fault") {
      Ok = Value(Text) && ParseDFUFault(Text, Options.DFUFaults);
    } else if (Arg == "--dfu-fault-visit") {
      Ok = Value(Text) && ParseNumber(Text, Options.DFUFaultVisit) && Options.DFUFaultVisit >= 1 &&
           Options.DFUFaultVisit <= 1000;
    } else if (Arg == "--firmware-fault") {
      Ok = Value(Text) && ParseFirmwareFault(Text, Options.FirmwareFaults);
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
  if (!Options.Gadget.empty() && Options.Tty.empty()) {
    Error = "--gadget needs --tty";
    return false;
  }
  if (!HaveCom && Options.Tty.empty()) {
    Error = "--com N is required";
    return false;
  }
  // The number still names the boot loader's serial number.
  if (!HaveCom) Options.ComNumber = 1;
  return true;
}

std::string SimDFUSerial(uint32_t ComNumber) {
  char Text[16];
  std::snprintf(Text, sizeof Text, "SIM%05u", static_cast<unsigned>(ComNumber));
  return Text;
}

namespace {

// Size of the made-up firmware the card runs before any update (its boot loader gives it
// back on UPLOAD).
constexpr std::size_t InitialFirmwareSize = 32 * 1024;
constexpr auto LoopPeriod = std::chrono::milliseconds(10);

// Writes Image to Path in one step (a temporary file renamed over it), so a reader never
// sees half an image.
bool WriteImageFile(const std::string& Path, const std::vector<uint8_t>& Image,
                    std::string& Error) {
  const std::string Temporary = Path + ".part";
  {
    std::ofstream File(Temporary, std::ios::binary | std::ios::trunc);
    File.write(reinterpret_cast<const char*>(Image.data()),
               static_cast<std::streamsize>(Image.size()));
    if (!File) {
      Error = "cannot write " + Temporary;
      std::remove(Temporary.c_str());
      return false;
    }
  }
  if (std::rename(Temporary.c_str(), Path.c_str()) != 0) {
    Error = "cannot rename " + Temporary + " to " + Path;
    std::remove(Temporary.c_str());
    return false;
  }
  return true;
}

tSimPort MakePort(const tSimOptions& Options) {
  if (Options.Tty.empty()) return tSimPort(Options.ComNumber);
  return tSimPort(Options.ComNumber, Options.Tty);
}

std::string WhereOf(const dfu::tVirtualDFUDevice& Device) {
  return Device.SocketPath();
}

std::string WhereOf(const tGadgetBootLoader& Device) {
  return Device.Warning.empty() ? Device.Where() : Device.Where() + "; " + Device.Warning;
}

class tSimRunner {
 public:
  tSimRunner(const tSimOptions& anOptions, const std::atomic<bool>& aStop, std::ostream& anOut)
      : Options(anOptions),
        Stop(aStop),
        Out(anOut),
        Name(anOptions.Tty.empty() ? "COM" + std::to_string(anOptions.ComNumber) : anOptions.Tty),
        Port(MakePort(anOptions)),
        Gadget(anOptions.Gadget),
        Card(
            anOptions.Card,
            [this](const uint8_t* Bytes, std::size_t Count) { Port.Write(Bytes, Count); },
            tClock::now()),
        Firmware(dfu::MakeDemoFirmware(anOptions.Card.FirmwareVersion, InitialFirmwareSize)) {
    if (Options.Verbose) Card.SetLog([this](const std::string& Line) { Say(Out, Line); });
    Card.SetImageHandler(
        [this](uint8_t Header, const std::vector<uint8_t>& Image) { SaveImage(Header, Image); });
  }

  int Run();

 private:
  enum class tOutcome { Continue, Stopped, Failed };

  bool OpenLink();
  void ServeLink();
  tOutcome Restart(std::chrono::milliseconds Downtime);
  tOutcome ComeBack(std::chrono::milliseconds Downtime);
  tOutcome RunBootLoader(bool FromLink = true);
  template <typename tDevice>
  tOutcome ServeBootLoader(tDevice& Device);
  template <typename tDevice>
  bool StartBootLoader(tDevice& Device);
  std::optional<dfu::tVirtualDFURestart> WaitForRestart();
  template <typename tDevice>
  void Replug(tDevice& Device);
  bool UsesGadget() const { return !Options.Gadget.empty(); }
  bool MoveController(bool ToSerial);
  // Takes the firmware the boot loader leaves with; true when the card starts it.
  bool TakeNewFirmware(const dfu::tVirtualDFURestart& Restart);
  void SaveImage(uint8_t Header, const std::vector<uint8_t>& Image);
  void Verbose(const std::string& Line) {
    if (Options.Verbose) Say(Out, Line);
  }

  const tSimOptions& Options;
  const std::atomic<bool>& Stop;
  std::ostream& Out;
  const std::string Name;
  tSimPort Port;
  tSerialGadget Gadget;
  tSimCard Card;
  bool Connected = false;
  std::vector<uint8_t> Firmware;  // what the microcontroller runs
  // The boot loader's restart report, handed from its device thread to this loop.
  std::mutex RestartLock;
  std::condition_variable RestartSignal;
  std::optional<dfu::tVirtualDFURestart> PendingRestart;
  int BootLoaderVisits = 0;
  std::string PendingFPGAVersion;  // of the bitstream received, loaded at the next restart
};

int tSimRunner::Run() {
  if (std::string Error; UsesGadget() && !Gadget.Attach(Error)) {
    Say(Out, "caddis-card-sim: " + Error);
    return 1;
  }
  if (!OpenLink()) return 1;
  tOutcome Outcome = tOutcome::Continue;
  while (!Stop && Outcome == tOutcome::Continue) {
    ServeLink();
    if (Card.TakeIgnoredRestart()) Verbose("Restart ignored");
    if (Card.TakeRestartRequest()) {
      // A restarting microcontroller drops off the link: the port leaves the folder for a
      // moment and comes back as a new device.
      Verbose("restarting");
      if (!PendingFPGAVersion.empty()) Card.SetFPGAVersion(std::exchange(PendingFPGAVersion, {}));
      Outcome = Restart(Options.RestartDowntime);
    } else if (Card.TakeBootRequest()) {
      Outcome = RunBootLoader();
    }
  }
  Port.Close();
  return Outcome == tOutcome::Failed ? 1 : 0;
}

bool tSimRunner::OpenLink() {
  std::string Error;
  if (!Port.Open(Error)) {
    Say(Out, "caddis-card-sim: " + Error);
    return false;
  }
  Connected = false;
  Say(Out, "caddis-card-sim: " + Name + " is " + Port.DevicePath());
  return true;
}

// One pass of the link: wait for bytes (no longer than the card's next due event, at most
// one loop period), hand them to the card, let it send what is due.
void tSimRunner::ServeLink() {
  const auto Until = std::clamp<tClock::duration>(Card.NextDue() - tClock::now(),
                                                  tClock::duration::zero(), LoopPeriod);
  if (!Card.ReadyForInput(tClock::now())) {
    // The wire is still full of earlier bytes: new ones stay in the pseudo-terminal.
    std::this_thread::sleep_for(Until);
    Card.Tick(tClock::now());
    return;
  }
  const tSimPort::tWait Event = Port.Wait(Until);
  const auto Now = tClock::now();
  if (Event == tSimPort::tWait::HungUp) {
    if (Connected) Verbose(Name + " closed by the tool");
    Connected = false;
    std::this_thread::sleep_for(LoopPeriod);
    return;
  }
  if (!Connected) {
    Connected = true;
    Card.Reconnect(Now);
    Verbose(Name + " opened by the tool");
  }
  uint8_t Buffer[4096];
  const std::size_t Room = Options.Card.WireBaud != 0 ? tSimCard::InputChunk : sizeof Buffer;
  if (Event == tSimPort::tWait::Readable) Card.Receive(Buffer, Port.Read(Buffer, Room), Now);
  Card.Tick(Now);
}

// The card's USB serial function leaves the bus (ToSerial false) or comes back on it.
bool tSimRunner::MoveController(bool ToSerial) {
  if (!UsesGadget()) return true;
  std::string Error;
  if (ToSerial ? Gadget.Plug(Error) : Gadget.Unplug(Error)) return true;
  Say(Out, "caddis-card-sim: " + Error);
  return false;
}

tSimRunner::tOutcome tSimRunner::Restart(std::chrono::milliseconds Downtime) {
  // A terminal device given to the card stays whatever the card does; only its USB serial
  // gadget can leave the bus.
  if (Options.RestartKeepsPort || (!Options.Tty.empty() && !UsesGadget())) {
    // The microcontroller starts again behind a port that stays: whatever the tool sends
    // meanwhile is lost, up to the moment it listens again.
    const auto Until = tClock::now() + Downtime;
    uint8_t Lost[4096];
    while (!Stop && tClock::now() < Until) {
      const auto Slice = std::min<tClock::duration>(Until - tClock::now(), LoopPeriod);
      const tSimPort::tWait Event = Port.Wait(Slice);
      if (Event == tSimPort::tWait::Readable)
        Port.Read(Lost, sizeof Lost);
      else if (Event == tSimPort::tWait::HungUp)
        std::this_thread::sleep_for(Slice);  // the tool closed its end: nothing to lose
    }
    while (!Stop && Port.Wait(tClock::duration::zero()) == tSimPort::tWait::Readable)
      Port.Read(Lost, sizeof Lost);
    Card.Reconnect(tClock::now());
    Verbose("listening again");
    return Stop ? tOutcome::Stopped : tOutcome::Continue;
  }
  Port.Close();
  Connected = false;
  if (!MoveController(false)) return tOutcome::Failed;
  return ComeBack(Downtime);
}

// The card away from its serial link comes back after Downtime.
tSimRunner::tOutcome tSimRunner::ComeBack(std::chrono::milliseconds Downtime) {
  StayAway(Downtime, Stop);
  if (Stop) return tOutcome::Stopped;
  if (!MoveController(true)) return tOutcome::Failed;
  return OpenLink() ? tOutcome::Continue : tOutcome::Failed;
}

// "Boot": the card leaves the serial link, its boot loader appears on the USB bus and stays
// there until it is told to leave DFU mode; then the card comes back on its port.
tSimRunner::tOutcome tSimRunner::RunBootLoader(bool FromLink) {
  if (FromLink) {
    Say(Out, "caddis-card-sim: Boot: " + Name + " leaves for the DFU boot loader");
    Port.Close();
    Connected = false;
    if (!MoveController(false)) return tOutcome::Failed;
  }
  StayAway(Options.BootDowntime, Stop);
  if (Stop) return tOutcome::Stopped;

  ++BootLoaderVisits;
  dfu::tVirtualDFUOptions DeviceOptions;
  DeviceOptions.Serial = SimDFUSerial(Options.ComNumber);
  DeviceOptions.Firmware = Firmware;
  if (Options.DFUFaultVisit == 0 || Options.DFUFaultVisit == BootLoaderVisits)
    DeviceOptions.Faults = Options.DFUFaults;
  DeviceOptions.PollTimeoutMs = Options.DFUBlockMs;
  if (Options.DFUNoUpload) DeviceOptions.Attributes &= ~dfu::AttrCanUpload;
  if (UsesGadget()) {
    tGadgetBootLoader Device(Options.GadgetFS, DeviceOptions);
    return ServeBootLoader(Device);
  }
  dfu::tVirtualDFUDevice Device(DeviceOptions);
  return ServeBootLoader(Device);
}

template <typename tDevice>
tSimRunner::tOutcome tSimRunner::ServeBootLoader(tDevice& Device) {
  // The report arrives on the device's own thread: it is only handed over here, and this
  // loop stops, restarts or destroys the device.
  Device.OnRestart = [this](const dfu::tVirtualDFURestart& Restart) {
    std::lock_guard<std::mutex> Guard(RestartLock);
    PendingRestart = Restart;
    RestartSignal.notify_one();
  };
  if (!StartBootLoader(Device)) return tOutcome::Failed;
  while (!Stop) {
    const auto Report = WaitForRestart();
    if (!Report) continue;
    if (Report->Reason == dfu::rr_Disconnected) {
      Replug(Device);
      if (!Stop && !StartBootLoader(Device)) return tOutcome::Failed;
      continue;
    }
    Device.Stop();
    if (!TakeNewFirmware(*Report)) {
      // The firmware does not start: the boot loader takes over again, as after Boot.
      Say(Out, "caddis-card-sim: the firmware does not start; the card stays in its boot loader");
      return RunBootLoader(false);
    }
    return ComeBack(Options.RestartDowntime);
  }
  Device.Stop();
  return tOutcome::Stopped;
}

template <typename tDevice>
bool tSimRunner::StartBootLoader(tDevice& Device) {
  std::string Error;
  if (!Device.Start(&Error)) {
    Say(Out, "caddis-card-sim: the DFU boot loader cannot start: " + Error);
    return false;
  }
  Say(Out,
      "caddis-card-sim: DFU device " + SimDFUSerial(Options.ComNumber) + " is " + WhereOf(Device));
  return true;
}

// Waits one loop period at most, so a stop request is seen.
std::optional<dfu::tVirtualDFURestart> tSimRunner::WaitForRestart() {
  std::unique_lock<std::mutex> Guard(RestartLock);
  RestartSignal.wait_for(Guard, LoopPeriod, [this] { return PendingRestart.has_value(); });
  return std::exchange(PendingRestart, std::nullopt);
}

// The device left the bus in the middle of a download (an injected fault). Like a cable
// pulled and put back, it returns after a moment, still in DFU mode since its firmware is
// no longer whole; the disconnect does not happen a second time.
template <typename tDevice>
void tSimRunner::Replug(tDevice& Device) {
  Say(Out, "caddis-card-sim: DFU device disconnected");
  Device.Stop();
  dfu::tVirtualDFUFaults Faults = Options.DFUFaults;
  Faults.DisconnectAtBlock = -1;
  Device.SetFaults(Faults);
  StayAway(Options.BootDowntime, Stop);
}

bool tSimRunner::TakeNewFirmware(const dfu::tVirtualDFURestart& Restart) {
  if (!Restart.NewFirmware) {
    Say(Out, "caddis-card-sim: leaving DFU mode with firmware version " +
                 std::to_string(Card.FirmwareVersion()));
    return true;
  }
  Firmware = Restart.Firmware;
  // Each download starts a firmware of its own: the behaviour of the one before goes.
  Card.SetKeepAliveAnswered(true);
  Card.SetLowSupply(false);
  if (Restart.FirmwareVersion < 0) {
    Say(Out, "caddis-card-sim: new firmware of " + std::to_string(Firmware.size()) +
                 " bytes carries no version byte; version stays " +
                 std::to_string(Card.FirmwareVersion()));
    return true;
  }
  const auto Version = static_cast<uint8_t>(Restart.FirmwareVersion);
  Card.SetFirmwareVersion(Version);
  Say(Out, "caddis-card-sim: new firmware version " + std::to_string(Restart.FirmwareVersion));
  const auto Fault = Options.FirmwareFaults.find(Version);
  if (Fault == Options.FirmwareFaults.end()) return true;
  switch (Fault->second) {
    case tFirmwareFault::NeverStarts:
      return false;
    case tFirmwareFault::WrongVersion:
      Card.SetFirmwareVersion(static_cast<uint8_t>(Version + 1));
      Say(Out, "caddis-card-sim: the firmware reports version " + std::to_string(Version + 1));
      break;
    case tFirmwareFault::LowVoltage:
      Card.SetLowSupply(true);
      Say(Out, "caddis-card-sim: the firmware reports a low supply voltage");
      break;
    case tFirmwareFault::DropsKeepAlive:
      Card.SetKeepAliveAnswered(false);
      Say(Out, "caddis-card-sim: the firmware leaves keep-alives unanswered");
      break;
  }
  return true;
}

void tSimRunner::SaveImage(uint8_t Header, const std::vector<uint8_t>& Image) {
  const bool FPGA = Header == tHostId::UpdateHostFPGA;
  std::string Path = FPGA ? Options.FPGAOut : Options.USBAudioOut;
  if (Path.empty()) Path = Options.ImageOut;
  std::string Line = std::string("caddis-card-sim: ") + (FPGA ? "FPGA" : "USB-audio") +
                     " image received: " + std::to_string(Image.size()) + " bytes";
  std::string Error;
  if (!Path.empty())
    Line += WriteImageFile(Path, Image, Error) ? ", written to " + Path : "; " + Error;
  Say(Out, Line);
  // A bitstream that names its version is the one the card reports once it runs it: after
  // its next restart.
  if (const std::string Version = FPGA ? MadeUpFPGAVersion(Image) : std::string();
      !Version.empty()) {
    PendingFPGAVersion = Version;
    Say(Out, "caddis-card-sim: FPGA version " + Version + " after the next restart");
  }
}

}  // namespace

int RunSimCard(const tSimOptions& Options, const std::atomic<bool>& Stop, std::ostream& Out) {
  tSimRunner Runner(Options, Stop, Out);
  return Runner.Run();
}
