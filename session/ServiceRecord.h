// The service record: one JSON object on one line (JSON Lines) for every card update, from
// the command line or the window, appended to a file that only ever grows. It answers "what
// does this card run, who updated it, with which image, and did it work": start and end,
// the tool and the machine, the port and its USB adapter, the card before and after, the
// image with its SHA-256, what was done, the result and the link's health meanwhile.
//
// The file is $CADDIS_RECORD when set, else "service-record.jsonl" in the user's state
// folder; a front end may name another (caddis --record FILE). Each line is appended with
// one write and flushed to the disk before the call returns. A record that cannot be written
// is an error the caller shows; it never changes the update's own result.
//
// Threads: user-interface thread (it reads the session's host object).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "fileupdate/TivaUpdateUnit.h"
#include "hostlink/LinkHealth.h"

class tCardSession;
class tOrvaneHost;

// The names of the record's fields, for the writer here and the readers of the record.
namespace tRecordField {
constexpr const char* Start = "Start";  // "2026-12-08T10:39:07.123Z" (UTC)
constexpr const char* End = "End";
constexpr const char* DurationSeconds = "DurationSeconds";
constexpr const char* Program = "Program";  // "caddis", "caddis-updater"
constexpr const char* ToolVersion = "ToolVersion";
constexpr const char* HostName = "HostName";
constexpr const char* Port = "Port";        // the port's number n of "COMn"
constexpr const char* Adapter = "Adapter";  // {Vendor, Product, Serial, Name} or null
// The adapter of the port the card answered on at the end, as Adapter.
constexpr const char* AdapterAfter = "AdapterAfter";
constexpr const char* DeviceID = "DeviceID";
constexpr const char* Before = "Before";  // {DeviceID, FirmwareVersion, FPGAVersion} or null
constexpr const char* After = "After";
constexpr const char* FirmwareVersion = "FirmwareVersion";
constexpr const char* FPGAVersion = "FPGAVersion";
constexpr const char* Image = "Image";  // {File, Path, Size, SHA256} or null
constexpr const char* File = "File";
constexpr const char* Path = "Path";
constexpr const char* Size = "Size";
constexpr const char* SHA256 = "SHA256";
constexpr const char* Action = "Action";  // "update-fpga", "update-usb-audio", ...
// "success", "failed", "interrupted", "skipped" (the card already ran the image), "rolled-back"
// (a new firmware failed its proof and the kept one went back)
constexpr const char* Result = "Result";
constexpr const char* Failure = "Failure";
constexpr const char* LinkHealth = "LinkHealth";
constexpr const char* KeptFirmware = "KeptFirmware";  // {File, SHA256} or null
// The USB serial number of the card's boot loader, where a firmware update or restore found it.
constexpr const char* BootLoaderSerial = "BootLoaderSerial";
// An identity check the operator overrode (restore --any-card), said as such; or null.
constexpr const char* Override = "Override";
// The release the image came from: {Name, Version, File, SHA256, Signer, Signed} or null.
constexpr const char* Release = "Release";
constexpr const char* Name = "Name";
constexpr const char* Version = "Version";
constexpr const char* Signer = "Signer";
constexpr const char* Signed = "Signed";
// A firmware older than the card's went in (allowed by the operator): true, else false.
constexpr const char* Downgrade = "Downgrade";
// The line's own key, unique across stations (RecordLineId): what the site database keeps
// each line once by.
constexpr const char* Id = "Id";
}  // namespace tRecordField

// The release an update's image belongs to, as its package names it.
struct tReleaseFacts {
  std::string Name, Version;
  std::string File;    // the package file's path
  std::string SHA256;  // of the package file
  std::string Signer;  // the signing key's id text; empty when unsigned
  bool Signed = false;
};

// What the updates are called in the record.
namespace tRecordAction {
constexpr const char* FPGA = "update-fpga";
constexpr const char* USBAudio = "update-usb-audio";
constexpr const char* Firmware = "update-firmware";
constexpr const char* Restore = "restore-firmware";
}  // namespace tRecordAction

// The card as it identified itself.
struct tCardFacts {
  bool Known = false;
  uint8_t DeviceID = 0;
  uint8_t FirmwareVersion = 0;
  std::string FPGAVersion;
};
// Known when Host is there and its card has identified itself.
tCardFacts CardFactsOf(const tOrvaneHost* Host);

// The USB serial adapter a port belongs to, as far as the system tells.
struct tAdapterIdentity {
  std::string Vendor;   // "0403"
  std::string Product;  // "6001"
  std::string Serial;   // "A10KJ3XQ", or empty
  std::string Name;     // "FTDI FT232R USB UART", or empty
  bool Known() const { return !Vendor.empty(); }
};
// Reads the port list's USB text ("0403:6001 FTDI FT232R USB UART, serial A10KJ3XQ");
// nothing is known from an empty or unrecognised text.
tAdapterIdentity AdapterIdentityOf(const std::string& UsbText);
// The adapter of port Port as the port list gives it now.
tAdapterIdentity AdapterOfPort(int32_t Port);

// One card told apart from the others as far as the system tells: its device ID, and the
// USB serial adapter its port belongs to where the system names one.
struct tCardIdentity {
  uint8_t DeviceID = 0;  // 0: not known
  tAdapterIdentity Adapter;
  bool Known() const { return DeviceID != 0; }
};
// Whether the card Now is the card Then: the same device ID and, where Then's adapter was
// known, the same adapter (vendor, product and serial number). A card on another adapter, or
// on a port that no longer names the adapter it had, is another card.
bool SameCard(const tCardIdentity& Then, const tCardIdentity& Now);
// "device ID 21, adapter 0403:6001 serial A10KJ3XQ" ("device ID 21" without an adapter).
std::string CardIdentityText(const tCardIdentity& Card);

// An image file: its path, size and SHA-256; Error says why it could not be read.
struct tImageFacts {
  bool Known = false;
  std::string Path;
  uint64_t Size = 0;
  std::string SHA256;
  std::string Error;
};
tImageFacts ImageFactsOf(const std::string& Path);
// The facts of the image read from Path: Bytes, the very bytes that are sent.
tImageFacts ImageFactsOf(const std::string& Path, std::span<const uint8_t> Bytes);
// The facts of an image file as ReadImageFile left it: its bytes when read, else the reason.
tImageFacts ImageFactsOf(const tImageFile& Image);

enum tServiceResult { sr_Succeeded, sr_Failed, sr_Interrupted, sr_Skipped, sr_RolledBack };
const char* ServiceResultName(tServiceResult Result);

struct tServiceEntry {
  std::string Action;
  std::string Program;
  std::chrono::system_clock::time_point Start, End;
  double DurationSeconds = 0;
  std::string HostName;
  int32_t Port = 0;
  tAdapterIdentity Adapter;
  tAdapterIdentity AdapterAfter;  // where the card answered at the end
  tCardFacts Before, After;
  tImageFacts Image;
  tServiceResult Result = sr_Failed;
  std::string Failure;
  tLinkHealth Health;
  // The firmware read back and kept before a firmware update, when it was.
  std::string KeptFile, KeptSHA256;
  std::string BootLoaderSerial;
  std::string Override;
  std::optional<tReleaseFacts> Release;
  bool Downgrade = false;
  std::string Id;  // RecordLineId's; a line without one is written without the field
};

// A new line's key: the host's name, the moment (compact UTC) and 128 bits from the system's
// random source, "bench-3/20261208T103907123Z/9f0c...". Unique without asking anyone.
std::string RecordLineId(const std::string& HostName, std::chrono::system_clock::time_point At);

// Why a file update over the link ended without the card accepting the image, as the
// operator and the record read it: "the card answered <error name> (code N)", "the card
// stopped answering", "the card acknowledged the wrong packet".
std::string FileUpdateFailure(tTivaUpdateEnd End, tTivaUpdateError Code);

// A moment in UTC: "2026-12-08T10:39:07.123Z", or with Compact "20261208T103907123Z" (for file
// names, which sort by it).
std::string UtcStamp(std::chrono::system_clock::time_point Time, bool Compact = false);

// The tool's version, as caddis --version shows it.
const char* ToolVersion();

// The entry as the record's line, without the line end.
std::string ServiceRecordLine(const tServiceEntry& Entry);

// The record's file: Given when not empty, else $CADDIS_RECORD when set and not empty, else
// tPaths::StateFolder() + "/service-record.jsonl".
std::string ServiceRecordPath(const std::string& Given = {});

// Appends the entry's line to the record at Path (the state folder is made when the default
// file is meant). False with Error ("cannot write the service record <path>: <reason>").
bool AppendServiceRecord(const std::string& Path, const tServiceEntry& Entry, std::string& Error);

// Whether the record at Path can take a line at all: false with Error (as
// AppendServiceRecord's) when the name leads to a FIFO, a device or a folder, so an update is
// refused before the card is touched instead of ending unrecorded. A missing file is usable.
bool ServiceRecordUsable(const std::string& Path, std::string& Error);

// The bookkeeping of one update for a front end: Begin notes what is known before (and
// counts the link's health afresh), Finish what is known after, and appends the line. From
// Begin to Finish the update holds off the end of the user's session (tShutdown); one that the
// session's end interrupted says so in its failure text.
class tServiceRecorder {
 public:
  // RecordPath as for ServiceRecordPath.
  explicit tServiceRecorder(std::string Program, std::string RecordPath = {});
  // An update begun and never finished no longer holds off the end of the session.
  ~tServiceRecorder();
  tServiceRecorder(const tServiceRecorder&) = default;
  tServiceRecorder& operator=(const tServiceRecorder&) = default;

  // Notes the start: the time, the session's port and its adapter, the card as the open
  // link knows it, and the image (its SHA-256 is computed here).
  void Begin(tCardSession& Session, const std::string& Action, const std::string& ImagePath);
  // The same with the image's facts taken already (from the bytes that are sent).
  void Begin(tCardSession& Session, const std::string& Action, const tImageFacts& Image);
  bool Running() const { return fRunning; }
  // The firmware kept before the update.
  void SetKept(const std::string& File, const std::string& SHA256);
  // The card's boot loader, found after Boot.
  void SetBootLoader(const std::string& Serial) { fEntry.BootLoaderSerial = Serial; }
  // An identity check overridden by the operator, in words.
  void SetOverride(const std::string& Text) { fEntry.Override = Text; }
  // The release the image came from, and whether the update is an allowed downgrade.
  void SetRelease(const std::optional<tReleaseFacts>& Release) { fEntry.Release = Release; }
  void SetDowngrade(bool Downgrade) { fEntry.Downgrade = Downgrade; }
  // Notes the end (the time, the card as the session's link knows it now, the link's
  // health) and appends the line. False with Error when the line could not be written (the
  // update's result stands as it is); nothing happens without Begin.
  bool Finish(const tCardSession& Session, tServiceResult Result, const std::string& Failure,
              std::string& Error);

  const tServiceEntry& Entry() const { return fEntry; }
  const std::string& RecordPath() const { return fRecordPath; }

 private:
  std::string fRecordPath;
  tServiceEntry fEntry;
  std::chrono::steady_clock::time_point fStarted;
  bool fRunning = false;
};
