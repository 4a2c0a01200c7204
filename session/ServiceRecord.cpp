#include "session/ServiceRecord.h"

#include <cctype>
#include <cstdio>
#include <random>

#include "hostlink/OrvaneHost.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/PortCatalogue.h"
#include "session/CardSession.h"
#include "session/Shutdown.h"
#include "support/JsonLine.h"
#include "support/Sha256.h"

#ifndef CADDIS_VERSION
#error "CADDIS_VERSION is set by the build"
#endif

namespace {

constexpr const char* RecordFileName = "service-record.jsonl";

std::string DefaultRecordPath() {
  return tPaths::StateFolder() + "/" + RecordFileName;
}

bool IsHex4(const std::string& Text) {
  if (Text.size() != 4) return false;
  for (char C : Text)
    if (!std::isxdigit(static_cast<unsigned char>(C))) return false;
  return true;
}

std::string FileNameOf(const std::string& Path) {
  const auto Slash = Path.find_last_of("/\\");
  return Slash == std::string::npos ? Path : Path.substr(Slash + 1);
}

void CardObject(tJsonObject& Line, const char* Name, const tCardFacts& Card) {
  if (!Card.Known) {
    Line.Null(Name);
    return;
  }
  Line.Object(Name, tJsonObject()
                        .UInt(tRecordField::DeviceID, Card.DeviceID)
                        .UInt(tRecordField::FirmwareVersion, Card.FirmwareVersion)
                        .String(tRecordField::FPGAVersion, Card.FPGAVersion));
}

void TextOrNull(tJsonObject& Line, const char* Name, const std::string& Text) {
  if (Text.empty())
    Line.Null(Name);
  else
    Line.String(Name, Text);
}

void AdapterObject(tJsonObject& Line, const char* Name, const tAdapterIdentity& Adapter) {
  if (!Adapter.Known()) {
    Line.Null(Name);
    return;
  }
  tJsonObject Object;
  Object.String("Vendor", Adapter.Vendor).String("Product", Adapter.Product);
  TextOrNull(Object, "Serial", Adapter.Serial);
  TextOrNull(Object, "Name", Adapter.Name);
  Line.Object(Name, Object);
}

void ReleaseObject(tJsonObject& Line, const std::optional<tReleaseFacts>& Release) {
  if (!Release) {
    Line.Null(tRecordField::Release);
    return;
  }
  tJsonObject Object;
  Object.String(tRecordField::Name, Release->Name)
      .String(tRecordField::Version, Release->Version)
      .String(tRecordField::File, Release->File)
      .String(tRecordField::SHA256, Release->SHA256);
  TextOrNull(Object, tRecordField::Signer, Release->Signer);
  Object.Bool(tRecordField::Signed, Release->Signed);
  Line.Object(tRecordField::Release, Object);
}

}  // namespace

tCardFacts CardFactsOf(const tOrvaneHost* Host) {
  tCardFacts Facts;
  if (!Host || Host->DeviceID == 0) return Facts;
  Facts.Known = true;
  Facts.DeviceID = Host->DeviceID;
  Facts.FirmwareVersion = Host->FirmwareVersion;
  Facts.FPGAVersion = Host->FPGAVersion;
  return Facts;
}

tAdapterIdentity AdapterIdentityOf(const std::string& UsbText) {
  tAdapterIdentity Identity;
  const std::string Ids = UsbText.substr(0, UsbText.find_first_of(" ,"));
  const auto Colon = Ids.find(':');
  if (Colon == std::string::npos || !IsHex4(Ids.substr(0, Colon)) || !IsHex4(Ids.substr(Colon + 1)))
    return Identity;
  Identity.Vendor = Ids.substr(0, Colon);
  Identity.Product = Ids.substr(Colon + 1);
  std::string Rest = UsbText.substr(Ids.size());
  constexpr std::string_view SerialMark = ", serial ";
  if (const auto Mark = Rest.rfind(SerialMark); Mark != std::string::npos) {
    Identity.Serial = Rest.substr(Mark + SerialMark.size());
    Rest.resize(Mark);
  }
  const auto First = Rest.find_first_not_of(' ');
  Identity.Name = First == std::string::npos ? "" : Rest.substr(First);
  return Identity;
}

tAdapterIdentity AdapterOfPort(int32_t Port) {
  for (const auto& Listed : tPortCatalogue::ListPorts())
    if (Listed.Number == Port) return AdapterIdentityOf(Listed.Usb);
  return {};
}

bool SameCard(const tCardIdentity& Then, const tCardIdentity& Now) {
  if (Then.DeviceID != Now.DeviceID) return false;
  if (!Then.Adapter.Known()) return true;
  return Then.Adapter.Vendor == Now.Adapter.Vendor && Then.Adapter.Product == Now.Adapter.Product &&
         Then.Adapter.Serial == Now.Adapter.Serial;
}

std::string CardIdentityText(const tCardIdentity& Card) {
  std::string Text =
      Card.Known() ? "device ID " + std::to_string(Card.DeviceID) : std::string("no device ID");
  if (Card.Adapter.Known())
    Text += ", adapter " + Card.Adapter.Vendor + ":" + Card.Adapter.Product +
            (Card.Adapter.Serial.empty() ? std::string(" without serial")
                                         : " serial " + Card.Adapter.Serial);
  return Text;
}

tImageFacts ImageFactsOf(const std::string& Path) {
  tImageFacts Facts;
  Facts.Path = Path;
  Facts.Known = Sha256OfFile(Path, Facts.SHA256, Facts.Size, Facts.Error);
  return Facts;
}

tImageFacts ImageFactsOf(const std::string& Path, std::span<const uint8_t> Bytes) {
  tImageFacts Facts;
  Facts.Path = Path;
  Facts.Known = true;
  Facts.Size = Bytes.size();
  Facts.SHA256 = tSha256::HexOf(Bytes);
  return Facts;
}

tImageFacts ImageFactsOf(const tImageFile& Image) {
  if (Image.Read) return ImageFactsOf(Image.Path, Image.Bytes);
  tImageFacts Facts;
  Facts.Path = Image.Path;
  Facts.Error = Image.Error;
  return Facts;
}

std::string FileUpdateFailure(tTivaUpdateEnd End, tTivaUpdateError Code) {
  switch (End) {
    case ue_WrongReply:
      return "the card acknowledged the wrong packet";
    case ue_DamagedReply:
      return "the card's answer arrived damaged";
    case ue_LinkLost:
      return "the card's port hung up";
    default:
      break;
  }
  if (Code == tu_NoAnswer) return "the card stopped answering";
  return "the card answered " + tTivaFileUpdater::ErrorName(Code) + " (code " +
         std::to_string(Code) + ")";
}

const char* ServiceResultName(tServiceResult Result) {
  switch (Result) {
    case sr_Succeeded:
      return "success";
    case sr_Interrupted:
      return "interrupted";
    case sr_Skipped:
      return "skipped";
    case sr_RolledBack:
      return "rolled-back";
    case sr_Failed:
      break;
  }
  return "failed";
}

std::string UtcStamp(std::chrono::system_clock::time_point Time, bool Compact) {
  using namespace std::chrono;
  const auto Ms = floor<milliseconds>(Time);
  const auto Day = floor<days>(Ms);
  const year_month_day Date{Day};
  const hh_mm_ss Clock{Ms - Day};
  char Text[40];
  std::snprintf(Text, sizeof Text,
                Compact ? "%04d%02u%02uT%02d%02d%02d%03dZ" : "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(Date.year()), static_cast<unsigned>(Date.month()),
                static_cast<unsigned>(Date.day()), static_cast<int>(Clock.hours().count()),
                static_cast<int>(Clock.minutes().count()),
                static_cast<int>(Clock.seconds().count()),
                static_cast<int>(Clock.subseconds().count()));
  return Text;
}

const char* ToolVersion() {
  return CADDIS_VERSION;
}

std::string ServiceRecordLine(const tServiceEntry& Entry) {
  tJsonObject Line;
  Line.String(tRecordField::Start, UtcStamp(Entry.Start))
      .String(tRecordField::End, UtcStamp(Entry.End))
      .Number(tRecordField::DurationSeconds, Entry.DurationSeconds, 3)
      .String(tRecordField::Program, Entry.Program)
      .String(tRecordField::ToolVersion, ToolVersion())
      .String(tRecordField::HostName, Entry.HostName)
      .Int(tRecordField::Port, Entry.Port);
  AdapterObject(Line, tRecordField::Adapter, Entry.Adapter);
  // The card by the identity it gave before the update, else after it.
  const tCardFacts& Card = Entry.Before.Known ? Entry.Before : Entry.After;
  if (Card.Known)
    Line.UInt(tRecordField::DeviceID, Card.DeviceID);
  else
    Line.Null(tRecordField::DeviceID);
  CardObject(Line, tRecordField::Before, Entry.Before);
  CardObject(Line, tRecordField::After, Entry.After);
  AdapterObject(Line, tRecordField::AdapterAfter, Entry.AdapterAfter);
  if (Entry.Image.Path.empty()) {
    Line.Null(tRecordField::Image);
  } else {
    tJsonObject Image;
    Image.String(tRecordField::File, FileNameOf(Entry.Image.Path))
        .String(tRecordField::Path, Entry.Image.Path);
    if (Entry.Image.Known)
      Image.UInt(tRecordField::Size, Entry.Image.Size)
          .String(tRecordField::SHA256, Entry.Image.SHA256);
    else
      Image.Null(tRecordField::Size).Null(tRecordField::SHA256);
    Line.Object(tRecordField::Image, Image);
  }
  Line.String(tRecordField::Action, Entry.Action)
      .String(tRecordField::Result, ServiceResultName(Entry.Result));
  TextOrNull(Line, tRecordField::Failure, Entry.Failure);
  Line.Raw(tRecordField::LinkHealth, LinkHealthJson(Entry.Health));
  if (Entry.KeptFile.empty())
    Line.Null(tRecordField::KeptFirmware);
  else
    Line.Object(tRecordField::KeptFirmware, tJsonObject()
                                                .String(tRecordField::File, Entry.KeptFile)
                                                .String(tRecordField::SHA256, Entry.KeptSHA256));
  TextOrNull(Line, tRecordField::BootLoaderSerial, Entry.BootLoaderSerial);
  TextOrNull(Line, tRecordField::Override, Entry.Override);
  ReleaseObject(Line, Entry.Release);
  Line.Bool(tRecordField::Downgrade, Entry.Downgrade);
  if (!Entry.Id.empty()) Line.String(tRecordField::Id, Entry.Id);
  return Line.Text();
}

std::string RecordLineId(const std::string& HostName, std::chrono::system_clock::time_point At) {
  // std::random_device reads the system's random source (getrandom on Linux), never a
  // seeded generator, so two stations started together cannot draw the same key.
  thread_local std::random_device Source;
  char Random[33];
  std::snprintf(Random, sizeof Random, "%08x%08x%08x%08x", Source(), Source(), Source(), Source());
  return HostName + "/" + UtcStamp(At, true) + "/" + Random;
}

std::string ServiceRecordPath(const std::string& Given) {
  if (!Given.empty()) return Given;
  if (const auto Named = tEnvironment::Get("CADDIS_RECORD"); Named && !Named->empty())
    return *Named;
  return DefaultRecordPath();
}

bool AppendServiceRecord(const std::string& Path, const tServiceEntry& Entry, std::string& Error) {
  const std::string Cannot = "cannot write the service record " + Path + ": ";
  if (Path == DefaultRecordPath()) {
    if (std::string Why; !tPaths::MakeFolders(tPaths::StateFolder(), Why)) {
      Error = Cannot + Why;
      return false;
    }
  }
  if (std::string Why; !tFiles::AppendDurably(Path, ServiceRecordLine(Entry) + "\n", Why)) {
    Error = Cannot + Why;
    return false;
  }
  return true;
}

bool ServiceRecordUsable(const std::string& Path, std::string& Error) {
  tFiles::tFileInfo Info;
  if (int Code = 0; !tFiles::Describe(Path, Info, Code) || Info.Regular) return true;
  Error = "cannot write the service record " + Path + ": " + tFiles::NotRegularText(Info.Type);
  return false;
}

tServiceRecorder::tServiceRecorder(std::string Program, std::string RecordPath)
    : fRecordPath(ServiceRecordPath(RecordPath)) {
  fEntry.Program = std::move(Program);
}

void tServiceRecorder::Begin(tCardSession& Session, const std::string& Action,
                             const std::string& ImagePath) {
  Begin(Session, Action, ImagePath.empty() ? tImageFacts{} : ImageFactsOf(ImagePath));
}

void tServiceRecorder::Begin(tCardSession& Session, const std::string& Action,
                             const tImageFacts& Image) {
  const std::string Program = fEntry.Program;
  fEntry = {};
  fEntry.Program = Program;
  fEntry.Action = Action;
  fEntry.Start = std::chrono::system_clock::now();
  fStarted = std::chrono::steady_clock::now();
  fEntry.HostName = tEnvironment::HostName();
  fEntry.Port = Session.ComPort;
  if (Session.AdapterOf) fEntry.Adapter = Session.AdapterOf(Session.ComPort);
  fEntry.Before = CardFactsOf(Session.Host.get());
  fEntry.Image = Image;
  Session.ResetLinkHealth();
  fRunning = true;
  tShutdown::UpdateBegun(this, Action);
}

tServiceRecorder::~tServiceRecorder() {
  tShutdown::UpdateEnded(this);
}

void tServiceRecorder::SetKept(const std::string& File, const std::string& SHA256) {
  fEntry.KeptFile = File;
  fEntry.KeptSHA256 = SHA256;
}

bool tServiceRecorder::Finish(const tCardSession& Session, tServiceResult Result,
                              const std::string& Failure, std::string& Error) {
  if (!fRunning) return true;
  fRunning = false;
  fEntry.End = std::chrono::system_clock::now();
  fEntry.DurationSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - fStarted).count();
  fEntry.After = CardFactsOf(Session.Host.get());
  // The adapter the card answered on at the end: a card swapped meanwhile shows its own.
  if (fEntry.After.Known && Session.AdapterOf)
    fEntry.AdapterAfter = Session.AdapterOf(Session.ComPort);
  fEntry.Result = Result;
  fEntry.Failure = Result == sr_Succeeded ? std::string() : Failure;
  fEntry.Health = Session.LinkHealth();
  if (Result == sr_Interrupted) fEntry.Failure = tShutdown::InterruptedFailure(fEntry.Failure);
  tShutdown::UpdateEnded(this);
  fEntry.Id = RecordLineId(fEntry.HostName, fEntry.End);
  return AppendServiceRecord(fRecordPath, fEntry, Error);
}
