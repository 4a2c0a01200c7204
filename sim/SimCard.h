// tSimCard: the card's side of the host link, written from the card's point of view.
//
// It takes the bytes that arrive on its wire, frames and checks them with the same frame
// code as the tool, answers through a table of message handlers, and sends its own reports
// once a second. It knows nothing of pseudo-terminals: bytes go out through a send procedure
// and time comes in as arguments, so tests can run it in-process with a made-up clock.
// Not thread-safe: one thread drives it.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "hostlink/HostFrame.h"

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
  uint32_t Seed = 1;               // for the drift of the reported values
};

class tSimCard {
 public:
  using tClock = std::chrono::steady_clock;
  using tSendProc = std::function<void(const uint8_t* Bytes, std::size_t Count)>;
  using tLogProc = std::function<void(const std::string& Line)>;
  using tHandler = std::function<void(const tHostMessage& aMessage)>;

  static constexpr auto ReportPeriod = std::chrono::seconds(1);

  tSimCard(const tSimCardConfig& aConfig, tSendProc aSend, tClock::time_point Now);

  // Bytes from the wire; every complete frame is handled at once.
  void Receive(const uint8_t* Bytes, std::size_t Count, tClock::time_point Now);
  // Sends the periodic reports when they are due.
  void Tick(tClock::time_point Now);
  // The link was dropped and comes back: bytes half received are gone, reports restart.
  void Reconnect(tClock::time_point Now);

  // True once after a "Restart" arrived; the owner then drops off the link for a while.
  bool TakeRestartRequest();
  bool IsSilent(tClock::time_point Now) const;

  // Replaces (or adds) the card's reaction to one message identifier.
  void SetHandler(uint8_t Id, tHandler Handler);
  // Frames and sends one message, applying the injected faults.
  void SendMessage(const tHostMessage& aMessage);
  void SetLog(tLogProc Log) { fLog = std::move(Log); }

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
  void AnswerStatus();
  void SendReports();
  void Drift();
  void Log(const std::string& Direction, const tHostMessage& aMessage);

  tSimCardConfig Config;
  tSendProc fSend;
  tLogProc fLog;
  tClock::time_point Start;
  tClock::time_point NextReport;
  std::vector<uint8_t> Input;
  std::array<tHandler, 256> Handlers;
  bool RestartRequested = false;
  uint64_t FramesSent = 0;
  std::mt19937 Random;
};
