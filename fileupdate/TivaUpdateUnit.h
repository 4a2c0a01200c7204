// Sends one file to the card's microcontroller over the host link in numbered packets of at
// most 128 file bytes, stop-and-wait: each packet waits for the card's acknowledgement. The
// file is read whole before the start packet leaves, so the card receives exactly the bytes
// the file held when the update began, whatever happens to the file meanwhile.
//
// The updater knows nothing of frames or ports: packets leave through the send event as host
// messages, and the owner passes the card's replies to ReceiveMessage. All of it runs on the
// user-interface thread; events are called synchronously. The finished event is the last
// thing the updater does, so its owner may destroy the updater inside it.
//
// Packets (after the message identifier, numbers big-endian, low 16 bits):
//   start  [0, PacketCount]   data [1, PacketNumber, 1..128 file bytes]   finish [2, Checksum]
// Replies: [identifier, packet type, tTivaUpdateError code, packet number (data only)].
// A reply must acknowledge the packet last sent, by type and (for data) by number; anything
// else ends the transfer as a sequence error. There is no retransmission (the card's sequence
// check may refuse a repeated packet), so a packet left unanswered for the answer time-out
// (DefaultAckTimeout unless the owner gives another) ends the transfer too.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/HostMessage.h"

using tTivaUpdateEvent = std::function<void(float Progress, tTivaUpdateError AckCode)>;

// What ended a transfer, for callers that decide on it: the acknowledgement code alone does
// not say whether the card refused a packet or the tool found the card's reply wrong.
enum tTivaUpdateEnd : uint8_t {
  ue_Running = 0,   // not ended yet
  ue_Accepted,      // the card acknowledged the finish packet
  ue_CardRefused,   // the card answered a packet with an error code
  ue_WrongReply,    // the card acknowledged another packet than the one last sent
  ue_NoAnswer,      // the packet last sent went unanswered for the answer time-out
  ue_LinkLost,      // the card's port went away
  ue_Aborted,       // the owner aborted the transfer
  ue_DamagedReply,  // the card's answer arrived damaged on the link (it is not sent again)
};
using tTivaSendEvent = std::function<void(const tHostMessage& aMessage)>;

// An image file read whole, once: the bytes an update sends, hashes and records, so all of
// them are the file's content at one moment, whatever happens to the file afterwards.
struct tImageFile {
  std::string Path;
  std::vector<uint8_t> Bytes;
  bool Read = false;     // Bytes hold the whole file
  bool Missing = false;  // no file of that name
  // Why it was not read: the system's text, "not a regular file", or "too large (N bytes, at
  // most M)" (then Size is the file's size and Bytes are empty).
  std::string Error;
  uint64_t Size = 0;  // the file's size: Bytes.size() once read
};
// Reads the file at Path whole; a file larger than Limit is not read.
tImageFile ReadImageFile(const std::string& Path, uint64_t Limit);

class tTivaFileUpdater {
 public:
  // The largest file whose packet count and numbers fit 16 bits: 65535 packets of 128 bytes.
  static constexpr int64_t MaxFileSize = 65535LL * 128;
  static constexpr std::chrono::milliseconds DefaultAckTimeout{10000};

  // Reads aFilename whole and sends the start packet at once. A file that cannot be read, is
  // empty or is larger than MaxFileSize would start a transfer that cannot end properly, so it
  // is refused before anything is sent: this throws std::runtime_error with the reason.
  // anAckTimeout: how long the card may leave a packet unanswered.
  tTivaFileUpdater(tTivaSendEvent aSendEvent, int32_t anUpdateHeader, const std::string& aFilename,
                   std::chrono::milliseconds anAckTimeout = DefaultAckTimeout);
  // The same with the image already read (anImage): aFilename only names it in the texts.
  tTivaFileUpdater(tTivaSendEvent aSendEvent, int32_t anUpdateHeader, const std::string& aFilename,
                   std::vector<uint8_t> anImage,
                   std::chrono::milliseconds anAckTimeout = DefaultAckTimeout);
  ~tTivaFileUpdater();
  tTivaFileUpdater(const tTivaFileUpdater&) = delete;
  tTivaFileUpdater& operator=(const tTivaFileUpdater&) = delete;

  // Sends the start packet: of the file read again, or of the image given.
  void Start();
  void Continue();
  void Finish();
  void Abort(tTivaUpdateError Error, const std::string& Reason);
  void SendPacket(const uint8_t* Packet, int32_t DataLength);
  // Handles one reply from the card (identifier included).
  void ReceiveMessage(const tHostMessage& aMessage);
  // Called every main-loop tick: aborts with tu_NoAnswer once the packet last sent has gone
  // unanswered for the answer time-out (counted from the first tick after it left).
  void Service(std::chrono::steady_clock::time_point Now);
  // The card can no longer answer (its port hung up): aborts with tu_NoAnswer at once.
  void LinkLost(const std::string& Why);
  // A frame from the card was thrown away as damaged (Damage says how) while a packet was
  // unanswered. Identifier is the frame's identifier byte as it came, or -1 when not known.
  // A frame with the update's identifier was the answer, which the card does not send again:
  // the transfer ends at once. Another may have been one of the card's own reports, so the
  // answer can still come; should it not, the time-out names the damage.
  void ReplyDamaged(const std::string& Damage, int Identifier);
  static std::string ErrorName(tTivaUpdateError Error);
  // Why Image, not read, cannot be sent: "Tiva file updater: cannot read file X" or "... is
  // too large (...)".
  static std::string UnreadText(const tImageFile& Image);

  // Event properties: read or assign, e.g. Updater.OnUpdateFinished() = Handler.
  tTivaSendEvent& OnSend() { return fOnSend; }
  tTivaUpdateEvent& OnUpdatePacket() { return fOnUpdatePacket; }
  tTivaUpdateEvent& OnUpdateFinished() { return fOnUpdateFinished; }

  // The image is held (from the start until the transfer has ended).
  bool FileOpen() const { return !Image.empty(); }
  std::chrono::milliseconds AckTimeout() const { return fAckTimeout; }
  // What ended the transfer (ue_Running until it has ended); set before the finished event.
  tTivaUpdateEnd End() const { return fEnd; }

 private:
  void CloseFile();
  // Takes Bytes as the image (refusing an empty or too large one) and sends the start packet.
  void Begin(std::vector<uint8_t> Bytes);
  float Progress() const;
  // The packet last sent, as the texts name it ("the start packet", "packet 3").
  std::string OutstandingName() const;
  void Finished(float Progress, tTivaUpdateError AckCode);
  // Ends the transfer for Why, then as Abort.
  void Stop(tTivaUpdateEnd Why, tTivaUpdateError Error, const std::string& Reason);

  int32_t UpdateHeader;
  std::string Filename;
  std::vector<uint8_t> Image;  // the file as read at the start
  // The image given at construction, for a Start again; empty when the file is read.
  std::optional<std::vector<uint8_t>> Given;
  std::size_t Sent = 0;  // image bytes sent so far
  std::chrono::milliseconds fAckTimeout;
  int32_t Checksum = 0;
  int32_t PacketCount = 0;
  int32_t PacketNumber = 0;
  uint8_t Outstanding = 0;  // the type of the packet last sent
  bool Ended = false;       // finished or aborted: nothing more is sent or reported
  tTivaUpdateEnd fEnd = ue_Running;
  bool SentSinceService = false;
  std::string Damage;  // how a frame that arrived while the packet was unanswered was damaged
  // When the packet last sent must have been answered; empty before the first went out.
  std::optional<std::chrono::steady_clock::time_point> AnswerDeadline;
  tTivaSendEvent fOnSend;
  tTivaUpdateEvent fOnUpdatePacket;
  tTivaUpdateEvent fOnUpdateFinished;
};
