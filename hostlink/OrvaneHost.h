// tOrvaneHost: the tool's model of one card on one serial port.
//
// It owns the port, frames and checks every message on the link, keeps the card's last
// reported state, turns received messages into that state and into events, names messages
// for the traffic log, sends the keep-alive and notices a silent card.
//
// Threading contract: every operation runs on the user-interface thread. The main loop calls
// ServiceReceive and then ServiceAYT once per 10 ms tick. Events are called synchronously
// from inside ServiceReceive; a handler must not destroy the host object.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>

#include "fileupdate/TivaUpdateUnit.h"
#include "hostlink/HostFrame.h"
#include "hostlink/LinkHealth.h"
#include "serial/ComPorts.h"

// The card's audio ports.
enum tOrvanePort : uint8_t {
  oh_Kelp0 = 0,
  oh_Kelp1 = 1,
  oh_WordClock = 2,
  oh_USBAudio = 3,
};
constexpr int OrvanePortCount = 4;
constexpr int OrvaneVoltageCount = 7;

using tOrvaneSampleRateEvent = std::function<void(tOrvanePort OrvanePort, uint32_t SampleRate)>;
using tOrvaneEngineUpdateEvent = std::function<void(uint8_t Updated)>;

// Creates the port a host object opens; replaced by tests with one that builds a fake port.
// Throws (any exception) when the port cannot be opened.
using tComPortFactory =
    std::function<std::unique_ptr<tComPort>(uint32_t aComPort, int32_t BaudRate, bool FlowControl)>;

// Message identifiers of the catalogue.
namespace tHostId {
constexpr uint8_t AYT = 0;
constexpr uint8_t Restart = 1;
constexpr uint8_t Error = 2;
constexpr uint8_t Boot = 4;
constexpr uint8_t Echo = 5;
constexpr uint8_t UpdateHostFPGA = 39;
constexpr uint8_t UpdateUSBAudio = 40;
constexpr uint8_t UpdateXMOS = 41;
constexpr uint8_t Status = 60;
constexpr uint8_t SampleRate = 61;
constexpr uint8_t ResetEngine = 62;
constexpr uint8_t UpdateEngineFPGA = 63;
constexpr uint8_t SyncSource = 64;
constexpr uint8_t Temperature = 65;
constexpr uint8_t Voltages = 66;
constexpr uint8_t IPAddress = 68;
constexpr uint8_t SubnetMask = 69;
constexpr uint8_t UDPorTCP = 70;
constexpr uint8_t RecoveryState = 80;
}  // namespace tHostId

// Which of the card's own reports have arrived since the port opened (or the last Clear):
// bits of tOrvaneHost::ReportsReceived.
enum tOrvaneReport : uint32_t {
  or_Temperature = 1u << 0,
  or_Voltages = 1u << 1,
  or_SampleRate0 = 1u << 2,  // one bit per audio port: or_SampleRate0 << port
  or_IPAddress = 1u << 6,
  or_SubnetMask = 1u << 7,
  or_UDPorTCP = 1u << 8,
  or_AllReports = (1u << 9) - 1,
};

// Payload bytes each report needs; a shorter report changes nothing.
namespace tHostPayload {
constexpr int Status = 12;
constexpr int SampleRate = 5;
constexpr int Voltages = OrvaneVoltageCount;
constexpr int Address = 4;
constexpr int RecoveryState = 2;
}  // namespace tHostPayload

class tOrvaneHost {
 public:
  static constexpr int32_t LinkBaudRate = 115200;
  static constexpr int MaxHostName = 31;
  static constexpr int FPGAVersionLength = 10;
  // Keep-alive: one every AYTPeriodTicks main-loop ticks; the link is lost when this many in
  // a row go unanswered.
  static constexpr int32_t AYTPeriodTicks = 100;
  static constexpr int32_t AYTLostCount = 3;

  // Opens port aComPort (0 = no port). A port that cannot be opened gives the error line
  // "Cannot open ComPort <n>" and an object without a port, which accepts every call.
  tOrvaneHost(uint32_t aComPort, bool ErrorLogging, const std::string& aName);
  virtual ~tOrvaneHost();
  tOrvaneHost(const tOrvaneHost&) = delete;
  tOrvaneHost& operator=(const tOrvaneHost&) = delete;

  static uint8_t GetChecksum(const tHostMessage& aMessage);
  // The catalogue name of a message identifier, or the identifier and "?" ("64?").
  static std::string MessageName(uint8_t Header);

  void OpenComPort();
  void CloseComPort();

  // One traffic line to the message display: the prefix (cut to 31), the message's name and
  // every message byte in decimal.
  void LogMessage(const std::string& Prefix, const tHostMessage& aMessage);
  // HostName + " Host " + aMessage to the log file always, and to the message display when
  // Logging or LogErrors is set.
  void LogError(const std::string& aMessage);

  // Empties the port's queues and forgets the card's status, sample rates and voltages.
  void Clear();

  void SendHeader(uint8_t Header);
  // Sends one message per identifier (without data) in a single write to the port, so they
  // reach the card back to back.
  void SendHeaders(std::initializer_list<uint8_t> Headers);
  // A keep-alive has just been sent by another (the restart watch's probes): its reply counts
  // in the link health's round trips like the host's own.
  void NoteKeepAliveSent();
  void SendError(tTivaUpdateError Error);
  void SendData(uint8_t Header, const void* Data, uint8_t DataLength);
  // aMessage must be 1..254 bytes long.
  void SendMessage(const tHostMessage& aMessage);
  // The next valid message from the port, or an empty one (length 0) when there is none.
  tHostMessage ReceiveMessage();

  // Handles every complete frame waiting, in arrival order; then ends a running file update
  // whose card has stopped answering (FileAckTimeout) or whose port hung up.
  void ServiceReceive();
  // Counts one main-loop tick of the keep-alive.
  void ServiceAYT();
  // Sends the keep-alive and the Status request at once instead of on the 100th tick, for a
  // front end that wants the card's identity without delay.
  void AskIdentity();

  void ResetEngine();
  void SetSyncSource(tOrvanePort aPort);
  void SetUDPorTCP(bool UseTCP);
  // Asks the card for its recovery state; the reply sets RecoveryState later. Returns the
  // last value known.
  int16_t GetRecoveryState();

  // File updates over the link. aPath is the image; empty, the image of that kind beside the
  // tool's executable. A missing file is reported on the message display and raises no
  // event. ProgressEvent fires with 0.0 before the call returns, then after every
  // acknowledged data packet; FinishEvent exactly once at the end. A second update while one
  // runs is refused with a message; the first goes on.
  std::string GetFPGAFilename() const;
  void UpdateHostFPGA(tTivaUpdateEvent ProgressEvent, tTivaUpdateEvent FinishEvent,
                      const std::string& aPath = {});
  void UpdateUSBAudio(tTivaUpdateEvent ProgressEvent, tTivaUpdateEvent FinishEvent,
                      const std::string& aPath = {});
  // The same with the image read already (ReadImageFile): exactly its bytes are sent, and a
  // file that was not read is reported as the path-taking calls report it.
  void UpdateHostFPGA(tTivaUpdateEvent ProgressEvent, tTivaUpdateEvent FinishEvent,
                      const tImageFile& Image);
  void UpdateUSBAudio(tTivaUpdateEvent ProgressEvent, tTivaUpdateEvent FinishEvent,
                      const tImageFile& Image);
  void FileUpdaterFinished(float Progress, tTivaUpdateError AckCode);
  bool Updating() const { return FileUpdater != nullptr; }
  // What ended the last file update (ue_Running while one runs or before the first).
  tTivaUpdateEnd FileUpdateEnd() const { return FileUpdater ? ue_Running : LastFileUpdateEnd; }

  tOrvaneSampleRateEvent& OnSampleRateChange() { return fOnSampleRateChange; }
  tOrvaneEngineUpdateEvent& OnEngineFPGAUpdateComplete() { return fOnEngineFPGAUpdateComplete; }
  tOrvaneEngineUpdateEvent& OnXMOSUpdateComplete() { return fOnXMOSUpdateComplete; }

  // Keep-alive counters, read by the window and the tests.
  int32_t GetAYTQFCount() const { return AYTQFCount; }
  int32_t GetAYTFailCount() const { return AYTFailCount; }
  bool GetStatusRequested() const { return StatusRequested; }
  // Frames thrown away by the receive path (bad length, bad checksum), and Status replies
  // taken, since creation: they tell a lost identity reply from a card that reports ID 0.
  uint32_t GetDiscardedFrames() const { return DiscardedFrames; }
  uint32_t GetStatusReplies() const { return StatusReplies; }
  // Keep-alive replies taken since creation, and when the last one was taken (empty before
  // the first).
  uint32_t GetAYTReplies() const { return AYTReplies; }
  std::optional<std::chrono::steady_clock::time_point> GetLastAYTReplyTime() const {
    return LastAYTReplyTime;
  }
  // The link's health since creation (or the last ResetLinkHealth).
  const tLinkHealth& LinkHealth() const { return Health; }
  void ResetLinkHealth() { Health = {}; }

  // The factory every host object uses to open its port; an empty one restores the real
  // serial port. Set it before creating host objects (user-interface thread only).
  static void SetComPortFactory(tComPortFactory Factory);
  // Why the port did not open when the object was made: the error the port's failure
  // carried (se_None when it opened, or when the failure gave no reason).
  const tSerialError& OpenFailure() const { return fOpenFailure; }

  std::string HostName;
  uint8_t DeviceID = 0;
  uint8_t FirmwareVersion = 0;
  uint8_t Temperature = 0;
  std::string FPGAVersion;
  uint32_t ComPortID = 0;
  uint32_t IPAddress = 0;
  uint32_t SubnetMask = 0;
  bool UDPorTCP = false;
  std::array<uint32_t, OrvanePortCount> SampleRates{};
  std::array<float, OrvaneVoltageCount> Voltages{};
  int16_t RecoveryState = 0;
  uint32_t ReportsReceived = 0;  // tOrvaneReport bits
  std::unique_ptr<tComPort> ComPort;
  std::unique_ptr<tTivaFileUpdater> FileUpdater;
  tTivaUpdateEvent FileUpdateFinishedEvent;
  tTivaUpdateEnd LastFileUpdateEnd = ue_Running;
  bool Logging = false;
  bool LogErrors = false;
  bool AYTActive = true;
  // How long the card may leave a file-update packet unanswered, for updates started from
  // now on.
  std::chrono::milliseconds FileAckTimeout = tTivaFileUpdater::DefaultAckTimeout;
  // Every whole frame as it leaves (Outgoing) or arrives, count byte to checksum, for a
  // front end's trace. Called on the user-interface thread.
  std::function<void(bool Outgoing, const uint8_t* Frame, std::size_t Size)> OnFrame;
  // The clock the host reads its times from (keep-alive replies and round trips, the file
  // update's answer deadline); a test that steps a made-up clock puts it here.
  std::function<std::chrono::steady_clock::time_point()> Clock = [] {
    return std::chrono::steady_clock::now();
  };

 private:
  // Logs and traces aMessage and frames it into Frame; the frame's size.
  std::size_t PrepareFrame(const tHostMessage& aMessage,
                           std::array<uint8_t, tHostFrame::MaxFrameSize>& Frame);
  // Sends framed bytes on the open port, counts them in the link health and logs a short send.
  void Transmit(const uint8_t* Bytes, int32_t Size);
  void ReceiveAll();
  void ServiceFileUpdate();
  void ProcessMessage(const tHostMessage& aMessage);
  void ProcessAYTReply();
  void ProcessStatus(const uint8_t* Payload, int PayloadLength);
  void ProcessSampleRate(uint8_t OrvanePort, const uint8_t* RateBytes);
  void ProcessEngineFPGAUpdate(uint8_t Updated);
  void ProcessXMOSUpdate(uint8_t Updated);
  // Replies to a file-update packet (identifiers 39 and 40) belong to the running file
  // update; with none running they are dropped.
  void ProcessFileUpdateReply(const tHostMessage& aMessage);
  void StartFileUpdate(const tImageFile& Image, int32_t UpdateHeader, const std::string& What,
                       tTivaUpdateEvent ProgressEvent, tTivaUpdateEvent FinishEvent);
  void ReportLengthError(uint8_t N);
  // A frame thrown away as damaged (how, and its identifier byte or -1).
  void ReceiveDiscarded(const std::string& Damage, int Identifier);
  void ReportChecksumError(const tHostMessage& Frame, const tHostFrame::tDecodeResult& Decoded);
  // Sends the keep-alive and notes when, for its round trip.
  void SendAYT();
  void BringCardInStep();
  // Empties the port's receive queue; what it held counts as received.
  void DropInput();

  int32_t AYTQFCount = 0;
  int32_t AYTFailCount = 0;
  bool StatusRequested = false;
  bool ResyncSent = false;              // zero bytes went out; the card's Error answer is expected
  uint32_t MessagesSinceKeepAlive = 0;  // other than keep-alive replies
  uint32_t DiscardedFrames = 0;
  uint32_t StatusReplies = 0;
  uint32_t AYTReplies = 0;
  std::optional<std::chrono::steady_clock::time_point> LastAYTReplyTime;
  tLinkHealth Health;
  // When the keep-alive without a reply yet went out.
  std::optional<std::chrono::steady_clock::time_point> AYTSentAt;
  // When the file update's packet last sent went out; empty once it has been answered.
  std::optional<std::chrono::steady_clock::time_point> PacketSentAt;
  bool HangUpCounted = false;
  tSerialError fOpenFailure;
  tOrvaneSampleRateEvent fOnSampleRateChange;
  tOrvaneEngineUpdateEvent fOnEngineFPGAUpdateComplete;
  tOrvaneEngineUpdateEvent fOnXMOSUpdateComplete;
};
