// tSimCard: the card's side of the host link, written from the card's point of view.
//
// It takes the bytes that arrive on its wire, frames and checks them with the same frame
// code as the tool, answers through a table of message handlers, receives FPGA and USB-audio
// images, and sends its own reports once a second. It knows nothing of pseudo-terminals:
// bytes go out through a send procedure and time comes in as arguments, so tests can run it
// in-process with a made-up clock.
//
// Timing: with a wire rate set, every byte takes 10 bit times in each direction: a frame is
// read only once its last byte would have arrived, and a reply leaves the card only once the
// bytes before it have gone out and its own have been sent. A packet delay adds the card's
// processing time before each file-update reply. What is not yet due waits in two queues
// that Tick serves; NextDue tells the owner when to call it next. With neither set, replies
// leave at once from inside Receive.
// Not thread-safe: one thread drives it.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <deque>
#include <optional>

#include "hostlink/HostFrame.h"
#include "sim/SimFileUpdate.h"

struct tSimCardConfig {
  uint8_t DeviceID = 0x21;
  uint8_t FirmwareVersion = 12;
  std::string FPGAVersion = "0104052026";  // shown as 10 characters, padded or cut
  // Faults injected on the card's side of the link.
  bool Silent = false;             // never answers, never reports
  double SilentAfterSeconds = -1;  // goes silent this long after start (< 0: never)
  int CorruptChecksumEvery = 0;    // every Nth frame sent carries a wrong checksum (0: none)
  int BadLengthEvery = 0;          // every Nth frame sent carries count byte 255 (0: none)
  bool ZeroDeviceID = false;       // answers Status with device ID 0
  bool IgnoreRestart = false;      // takes "Restart" without restarting
  uint32_t Seed = 1;               // for the drift of the reported values
  // Time the card takes before it answers any message (a busy microcontroller).
  std::chrono::milliseconds AnswerDelay{0};
  // File updates: processing time per packet, emulated wire rate (0: no wire time), faults.
  std::chrono::milliseconds PacketDelay{0};
  uint32_t WireBaud = 0;
  tSimUpdateFaults UpdateFaults;
};

// A made-up FPGA image that names the version its bitstream reports: the made-up image's mark,
// "CADDIS DEMO FPGA BITSTREAM - version <TEXT> - ..." and filler to Size bytes. Such an image is
// still a made-up FPGA image to the tool.
std::vector<uint8_t> MakeVersionedFPGAImage(const std::string& Version, std::size_t Size);
// The version a made-up FPGA image names that way, empty when it names none.
std::string MadeUpFPGAVersion(const std::vector<uint8_t>& Image);

class tSimCard {
 public:
  using tClock = std::chrono::steady_clock;
  using tSendProc = std::function<void(const uint8_t* Bytes, std::size_t Count)>;
  using tLogProc = std::function<void(const std::string& Line)>;
  using tHandler = std::function<void(const tHostMessage& aMessage)>;
  using tImageProc = std::function<void(uint8_t Header, const std::vector<uint8_t>& Image)>;

  static constexpr auto ReportPeriod = std::chrono::seconds(1);

  tSimCard(const tSimCardConfig& aConfig, tSendProc aSend, tClock::time_point Now);

  // Bytes from the wire; every complete frame is handled at once.
  void Receive(const uint8_t* Bytes, std::size_t Count, tClock::time_point Now);
  // Reads the frames that have arrived by Now, sends the replies that are due and the
  // periodic reports.
  void Tick(tClock::time_point Now);
  // False while the emulated wire is still busy bringing in earlier bytes: the owner then
  // leaves new bytes where they are (the tool's side has to wait, as on a real wire) and
  // hands over at most InputChunk bytes at a time.
  bool ReadyForInput(tClock::time_point Now) const;
  static constexpr std::size_t InputChunk = 256;
  // When Tick next has something to do (a frame arriving, a reply leaving, a report).
  tClock::time_point NextDue() const;
  // The time one frame of Count bytes takes on the emulated wire (0 without one).
  std::chrono::nanoseconds WireTime(std::size_t Count) const;
  // The link was dropped and comes back: bytes half received are gone, reports restart.
  void Reconnect(tClock::time_point Now);

  // True once after a "Restart" arrived; the owner then drops off the link for a while.
  bool TakeRestartRequest();
  // A Restart the card took but ignored (--ignore-restart) since the last call.
  bool TakeIgnoredRestart();
  // True once after a "Boot" arrived; the owner then leaves the link for the boot loader.
  bool TakeBootRequest();
  bool IsSilent(tClock::time_point Now) const;

  // Replaces (or adds) the card's reaction to one message identifier.
  void SetHandler(uint8_t Id, tHandler Handler);
  // Frames and sends one message, applying the injected faults.
  void SendMessage(const tHostMessage& aMessage);
  void SetLog(tLogProc Log) { fLog = std::move(Log); }
  // Called when an image has arrived whole with the right byte sum.
  void SetImageHandler(tImageProc Handler) { fOnImage = std::move(Handler); }

  // The last image received on identifier 39 or 40 (empty before one, or another identifier).
  const std::vector<uint8_t>& ReceivedImage(uint8_t Header) const;
  uint8_t FirmwareVersion() const { return Config.FirmwareVersion; }
  const std::string& FPGAVersion() const { return Config.FPGAVersion; }
  // The bitstream the card runs after an FPGA image that names its version.
  void SetFPGAVersion(const std::string& Version);
  // How the firmware the card runs behaves: keep-alives left unanswered, a supply voltage
  // (the first) far below its nominal value.
  void SetKeepAliveAnswered(bool Answered) { KeepAliveAnswered = Answered; }
  void SetLowSupply(bool Low);
  // The firmware the card runs after a firmware update.
  void SetFirmwareVersion(uint8_t Version) { Config.FirmwareVersion = Version; }

  // What the card reports, readable by tests.
  uint8_t Temperature = 41;
  std::array<uint8_t, 7> Voltages{50, 70, 150, 33, 18, 12, 10};
  std::array<uint32_t, 4> SampleRates{48000, 48000, 48000, 44100};
  std::array<uint8_t, 4> IPAddress{192, 168, 1, 50};
  std::array<uint8_t, 4> SubnetMask{255, 255, 255, 0};
  bool UseTCP = false;
  uint8_t SyncPort = 0;  // the sync source the tool chose
  int16_t RecoveryState = 0;

 private:
  void InstallHandlers();
  void HandleFrames(tClock::time_point Now);
  void Dispatch(const tHostMessage& aMessage);
  void Accept(const uint8_t* Bytes, std::size_t Count, tClock::time_point Now);
  void HandleUpdatePacket(tSimFileUpdate& Update, const tHostMessage& aMessage);
  void Schedule(const std::array<uint8_t, tHostFrame::MaxFrameSize>& Frame, std::size_t Size,
                tClock::time_point Ready);
  void SendDue(tClock::time_point Now);
  void SendMessageAt(const tHostMessage& aMessage, tClock::time_point Ready);
  void AnswerStatus();
  void SendReports();
  void Drift();
  void Log(const std::string& Direction, const tHostMessage& aMessage);

  tSimCardConfig Config;
  tSendProc fSend;
  tLogProc fLog;
  tImageProc fOnImage;
  tClock::time_point Start;
  tClock::time_point NextReport;
  std::vector<uint8_t> Input;
  std::array<tHandler, 256> Handlers;
  bool RestartRequested = false;
  bool RestartIgnored = false;
  bool BootRequested = false;
  uint64_t FramesSent = 0;
  std::mt19937 Random;
  tSimFileUpdate FPGAUpdate;
  tSimFileUpdate USBAudioUpdate;
  bool KeepAliveAnswered = true;
  bool LowSupply = false;

  // The emulated wire: bytes on their way in, frames on their way out, and when each
  // direction is free again.
  struct tTimedBytes {
    tClock::time_point Due;
    std::vector<uint8_t> Bytes;
  };
  std::deque<tTimedBytes> Arriving;
  std::deque<tTimedBytes> Leaving;
  tClock::time_point InWireFree;
  tClock::time_point OutWireFree;
  tClock::time_point CurrentTime;  // the time of what is being handled
  tClock::duration Answering{};    // the answer delay while a message is handled
};
