// The update flows of the card session, one copy each for every front end (the window, the
// command line and, through the command line, the station):
//   - the card's link opened and its identity awaited;
//   - a restart seen through: the card seen to leave, then awaited back;
//   - an FPGA or USB-audio image sent over the link in acknowledged packets, and the restart
//     that makes the card run a new bitstream;
//   - a firmware update over USB DFU: Boot, the card's own boot loader found, its firmware read
//     back and kept, the download and verify, the card's return; a restore of kept firmware;
//   - the service record's line of each update, from its beginning to its end.
// The flows that only talk to the card (its status, the live watch, a message, a restart,
// Boot) are in session/LinkFlows.h.
// Each flow is a tFlow (session/Flow.h): the front end steps it from its own loop and gets its
// outcome as a value. What the operator is to see goes through tFlowReport, which each front
// end implements in its own way (lines and a progress bar on a terminal, JSON events, the
// window's message list and progress panel).
//
// Threads: user-interface thread, like the session the flows work on.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include <vector>

#include "session/CardSession.h"
#include "session/FirmwareProof.h"
#include "session/Flow.h"
#include "session/ServiceRecord.h"

class tFlowReport {
 public:
  virtual ~tFlowReport() = default;
  // An operator's line: "FPGA updated successfully", "Card back on COM5: ...".
  virtual void Line(const std::string& Text) = 0;
  // An aside that is not part of the flow's account: a limit of the machine, a step that was
  // let go ("real USB devices are not listed: ...").
  virtual void Warning(const std::string& Text) { Line(Text); }
  // The image the update sends is known: Path as given or found, and Size, the size of the
  // bytes read from it (none when it could not be read).
  virtual void Image(const std::string& Path, std::optional<uint64_t> Size) {
    (void)Path;
    (void)Size;
  }
  // The card identified itself: Phase "before" or "after" the update, "other" for a card that
  // answered in the updated card's place (another card: it was swapped), or null for a flow
  // that changes nothing.
  virtual void Card(const tOrvaneHost& Host, const char* Phase) {
    (void)Host;
    (void)Phase;
  }
  // A transfer of Total bytes to Target ("COM5", "USB SIM00021") starts, goes on (Label names
  // the phase on a bar, LineLabel on a line of its own) and ends.
  virtual void ProgressStart(const std::string& Target, uint64_t Total) {
    (void)Target;
    (void)Total;
  }
  virtual void Progress(const std::string& Label, const std::string& LineLabel, float Fraction) {
    (void)Label;
    (void)LineLabel;
    (void)Fraction;
  }
  virtual void ProgressEnd() {}
  // The card took the whole image What ("FPGA"): "FPGA updated successfully".
  virtual void ImageAccepted(const std::string& What) { Line(What + " updated successfully"); }
  // The boot loader a download goes to.
  virtual void BootLoader(const tDFUDeviceEntry& Device) { (void)Device; }
  // The update's line was appended to the record at Path, or could not be (Error).
  virtual void Recorded(const std::string& Path, const std::string& Error) {
    if (!Error.empty()) Warning(Error);
    (void)Path;
  }
  // How the operator of this front end puts File into the boot loader with serial Serial (may
  // be empty) and then finds the card on Port again: "caddis dfu download F --serial S --port N".
  virtual std::string BringBackCommand(const std::string& File, const std::string& Serial,
                                       int32_t Port) const {
    (void)File;
    (void)Serial;
    (void)Port;
    return {};
  }
};

// The record's line of one update, kept by the flow that runs it.
struct tRecordRequest {
  std::string Program;  // "caddis", "caddis-updater"
  std::string Path;     // as for ServiceRecordPath: empty for the default
};

// Port opened (fk_Port otherwise), the card asked for its identity at once and awaited for
// Timeout (fk_NoCard otherwise).
tFlow OpenIdentifiedFlow(tCardSession& Session, int32_t Port, std::chrono::milliseconds Timeout);

// The open link's card identifies itself within Timeout (keep-alive answered, then Status);
// fk_NoCard with the reason otherwise.
tFlow IdentityFlow(tCardSession& Session, std::chrono::milliseconds Timeout);

// Polls for the card on the session's port until Limit has passed: the port listed again,
// opened, and the card's identity within IdentityTimeout (a port that hangs up meanwhile is
// tried again). Success with the link open.
// Abandon, when given, is asked between the polls: a text ends the wait at once as a failure
// with that text (the card is somewhere it will not come back from by itself).
tFlow WaitForCardFlow(tCardSession& Session, std::chrono::milliseconds Limit,
                      std::function<std::string()> Abandon = {});

// Restart without the blind pause, the link kept open: the link's round trip is measured
// first, then within DownPause of the Restart the card must be seen to leave (its port gone, or
// a keep-alive left unanswered for longer than the round trip allows). The link is closed
// afterwards. Seen says how it went; the outcome's text says why for rs_NotSent and rs_Stayed.
tFlow RestartSeenLeavingFlow(tCardSession& Session, tCardSession::tRestartSeen& Seen);

// What to do when the card is to come back.
struct tReturnRequest {
  std::chrono::milliseconds Limit{10000};  // how long the card may take to come back
  // Added to the reason when the card did not restart ("power the card off and on ...").
  std::string IfStaying{};
  tFailKind NotBack = fk_NoCard;  // a card that does not come back
  // The card that left (noted before its update); unknown: any card that answers is taken.
  // RestartAndReturnFlow notes it itself when it is not given.
  tCardIdentity Expected{};
  // What was done to the card, for "the card on COMn is not the card that was updated".
  std::string Done = "updated";
  // What the card took before it left ("FPGA image"): a card that does not come back, or a
  // wait stopped before it did, is then said as "FPGA image accepted; the card left during its
  // restart and did not come back".
  std::string Accepted{};
  // Asked while the card is awaited, as WaitForCardFlow's Abandon.
  std::function<std::string()> Abandon{};
};

// "Waiting for the card on COMn", Pause, then the card awaited as WaitForCardFlow does; "Card
// back on COMn: device ID .., firmware version .." and Card(.., "after"). Another card than
// Request.Expected answering there ends it as Request.NotBack with "the card on COMn is not
// the card that was updated" and both identities; its card is then reported as Card(..,
// "other"), and the link stays open on it, so the record names it as the card after.
tFlow WaitForReturnFlow(tCardSession& Session, tFlowReport& Report, std::chrono::milliseconds Pause,
                        tReturnRequest Request);

// The card is restarted and seen to leave (RestartSeenLeavingFlow), "Restart sent on COMn", and
// then awaited back (WaitForReturnFlow): the same card, as the link knew it before the
// Restart unless Request.Expected names it. A card that kept answering did not restart: fk_Verify
// when NotBack is, else fk_Failure.
tFlow RestartAndReturnFlow(tCardSession& Session, tFlowReport& Report, tReturnRequest Request);

// "the card on COMn ... did not restart", with the advice for an FPGA update.
extern const char* const FPGARestartAdvice;

// An image file the operator names must be a readable regular file: its size, or fk_Image
// with "cannot read <File>: <reason>".
tFlowOutcome CheckReadableImage(const std::string& File, uint64_t& Size);

// A release's checks before anything is sent: the image's SHA-256 (Facts, of the bytes read)
// against Expected, and the card's device ID against DeviceIDs. fk_Image with the reason.
tFlowOutcome CheckReleaseHash(const std::string& File, const tImageFacts& Facts,
                              const std::optional<std::string>& Expected);
tFlowOutcome CheckReleaseFits(const std::string& File, const std::vector<uint8_t>& DeviceIDs,
                              const tCardSession& Session);
// The version policy of a firmware update for a card that runs firmware Now, the release's
// being New: send it, skip it (already current, unless Force), or a downgrade (refused unless
// allowed, whatever Force says).
// Text is what the operator reads: "Firmware already current (version 13)", or "F holds
// firmware version 12, older than the card's version 13".
struct tFirmwarePolicy {
  enum tVerdict { fp_Send, fp_Current, fp_Downgrade } Verdict = fp_Send;
  std::string Text;
};
tFirmwarePolicy FirmwarePolicyOf(const std::string& File, uint8_t Now,
                                 const std::optional<uint8_t>& New, bool Force);

// An FPGA version text as the card pads it, compared as it reads: trailing blanks and NULs
// do not count.
bool SameFPGAVersion(const std::string& A, const std::string& B);

// Why Bytes, read from File, are not an image of Kind, from what they show of their own kind:
// a DFU suffix (firmware, for the boot loader only), a made-up image of the other kind, an
// FPGA bitstream file's header when a USB-audio image is meant. Empty when nothing says so:
// an image of no kind the tool can tell is sent as it is.
std::string WrongKindReason(const std::string& File, std::span<const uint8_t> Bytes,
                            tImageKind Kind);

struct tImageUpdateRequest {
  tImageKind Kind = ik_FPGA;
  const char* What = "FPGA";  // the part updated, as the texts name it
  // The image: the file given, else the default image of Kind in ImageFolder.
  std::optional<std::string> File;
  std::string ImageFolder;  // empty: the tool's image folder
  // Opens Port and awaits the card's identity (IdentityTimeout) first; without it the
  // session's link is used as it is (the window's).
  bool OpenLink = true;
  int32_t Port = 0;
  std::chrono::milliseconds IdentityTimeout{5000};
  // A packet left without any answer for this long has stalled the transfer.
  std::chrono::milliseconds AckTimeout{10000};
  // After an FPGA image the card runs the new bitstream only after a restart.
  bool Restart = true;
  tReturnRequest Return{.Limit = std::chrono::milliseconds(10000),
                        .IfStaying = FPGARestartAdvice,
                        .NotBack = fk_Verify};
  tRecordRequest Record;
  // The reason recorded when the flow is stopped during the transfer.
  std::string StoppedDuringTransfer;
  // What a release says of the image (none of it set: the image is sent as it is).
  // The FPGA version text the release gives: a card already reporting it is skipped (unless
  // Force); after the update and restart the card must report it (fk_Verify otherwise).
  std::optional<std::string> ExpectedVersion;
  // The image's bytes as read must hash to this (lower-case hex), else fk_Image before the
  // first packet. For USB audio (whose image the card does not report) it also decides the
  // skip: the service record's newest successful USB-audio update of this card took it.
  std::optional<std::string> ExpectedSHA256;
  // The device IDs the image fits (empty: any); another card's is refused before the first
  // packet (fk_Image).
  std::vector<uint8_t> DeviceIDs;
  bool Force = false;                    // send the image to a card that already runs it
  std::optional<tReleaseFacts> Release;  // recorded
};

// The whole update of an FPGA or USB-audio image, recorded.
tFlow ImageUpdateFlow(tCardSession& Session, tFlowReport& Report, tImageUpdateRequest Request);

struct tFirmwareRequest {
  int32_t Port = 0;
  std::string File;  // the firmware image
  tDFUFilter Filter;
  bool Verify = true;
  bool Backup = true;  // read the card's firmware back and keep it first
  // Restore: put back firmware kept from another card (another boot loader serial, or of no
  // known card); the record says so.
  bool AnyCard = false;
  std::chrono::milliseconds IdentityTimeout{5000};
  std::chrono::milliseconds BootTimeout{10000};
  std::chrono::milliseconds ReturnTimeout{30000};
  tRecordRequest Record;
  // What a release says of the image (FirmwareUpdateFlow only; none set: sent as it is).
  // The firmware version the image holds: a card already reporting it is skipped (unless
  // Force); a lower one than the card's is a downgrade, refused before Boot (fk_Refused)
  // unless AllowDowngrade; after the download the card must report it.
  std::optional<uint8_t> ExpectedVersion;
  std::optional<std::string> ExpectedSHA256;  // of the image file's bytes, lower-case hex
  std::vector<uint8_t> DeviceIDs;             // the device IDs the image fits (empty: any)
  bool Force = false;
  bool AllowDowngrade = false;
  std::optional<tReleaseFacts> Release;  // recorded
  // What the card must show once back after the download, and whether a card that does not
  // is rolled back to the firmware kept before the download.
  tFirmwareProof Proof;
};

// The whole firmware update: the image checked, the card identified, Boot, its boot loader,
// its firmware kept, the download and verify, the card back and proving its new firmware
// (tFirmwareProof); recorded. A card that fails the proof (it does not come back, stays in its
// boot loader, reports another version, misses a keep-alive, fails the limits) gets the kept
// firmware back (same card, by identity and hash, as RestoreFlow checks it) unless
// Proof.Rollback is off: the record says "rolled-back" with the reason, the outcome is fk_Verify
// ("...; rolled back to firmware version N"). A rollback that fails is recorded as failed,
// naming both failures, and leaves the card where it is with the usual instructions.
tFlow FirmwareUpdateFlow(tCardSession& Session, tFlowReport& Report, tFirmwareRequest Request);

// The kept firmware put back: by default the newest kept for this card (Request.File empty;
// its device ID and port adapter, NewestKeptFirmware), checked against its SHA-256 and the card
// it was kept from while the card still runs (a missing SHA-256 or another device ID is
// refused before Boot); then as FirmwareUpdateFlow without the backup, except that the boot
// loader found after Boot must have the serial number the image was kept from, or nothing is
// written and the card is sent back to its firmware (Request.AnyCard overrides both checks,
// recorded as such).
tFlow RestoreFlow(tCardSession& Session, tFlowReport& Report, tFirmwareRequest Request);

struct tDFUDownloadRequest {
  std::string File;
  tDFUFilter Filter;
  bool Verify = true;
  std::chrono::milliseconds Wait{10000};  // to find the boot loader
  int32_t Port = 0;                       // where the card comes back afterwards (0: not awaited)
  std::chrono::milliseconds ReturnTimeout{30000};
};

// A firmware image into the boot loader already there (one chosen by Filter; never a guess
// between several), then the card awaited on Port through Session's link.
tFlow DFUDownloadFlow(tCardSession& Session, tFlowReport& Report, tDFUDownloadRequest Request);

// Sends Boot to the identified card, closes the link and waits up to Limit for a boot loader
// that Filter matches and that was not present before (Found). When more than one new one
// appears it stops (fk_Usage), listing them and asking for the serial number.
tFlow BootToLoaderFlow(tCardSession& Session, tDFUFilter Filter, std::chrono::milliseconds Limit,
                       tDFUDeviceEntry& Found);

// Polls every second (as the update dialog does) until Filter matches exactly one boot loader
// (Found), or Limit has passed. With several it stops at once (fk_Usage), listing them.
tFlow FindBootLoaderFlow(tDFUFilter Filter, std::chrono::milliseconds Limit,
                         tDFUDeviceEntry& Found);

// Readies the DFU library: fk_Failure when it cannot start; a machine whose real USB devices
// cannot be listed is said as a warning.
tFlowOutcome InitDFULibrary(tFlowReport& Report);

// The record of an update a front end has seen through itself (the firmware dialog's download):
// the line is written once the card is back on a link the session opened since the flow
// began (its identity known), or after Limit, with the card as the link knows it then. A stop
// writes it at once.
tFlow RecordOnReturnFlow(tCardSession& Session, tFlowReport& Report, tServiceRecorder& Record,
                         tFlowOutcome Outcome, std::chrono::milliseconds Limit);

// Writes the record's line for an update that ended with Outcome.
void FinishRecord(tServiceRecorder& Record, const tCardSession& Session, tFlowReport& Report,
                  const tFlowOutcome& Outcome);
