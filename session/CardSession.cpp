#include "session/CardSession.h"

#include "hostlink/CardLeaving.h"

#include "hostlink/OrvaneHost.h"
#include "platform/PortCatalogue.h"
#include "platform/UIThread.h"
#include "serial/ComPorts.h"
#include "support/DisplayMessage.h"

std::string OpenErrorReason(const tSerialError& Error, int32_t Port) {
  switch (Error.Kind) {
    case tSerialError::se_NotFound:
      return "no such port (caddis ports lists the ports present)";
    case tSerialError::se_Busy:
      return (Port > 0 ? "COM" + std::to_string(Port) : std::string("the port")) +
             " is in use by " + (Error.Holder.empty() ? "another program" : Error.Holder);
    case tSerialError::se_Denied:
      return "permission denied: add your user to the dialout group "
             "(sudo usermod -aG dialout $USER) and log in again";
    case tSerialError::se_None:
      return "reason unknown";
    default:
      return Error.Text();
  }
}

tCardSession::tCardSession(tPause Pause) : fPause(std::move(Pause)) {}

tCardSession::~tCardSession() = default;

tCardIdentity tCardSession::CardIdentity() const {
  tCardIdentity Card;
  if (!Host) return Card;
  Card.DeviceID = Host->DeviceID;
  if (AdapterOf) Card.Adapter = AdapterOf(ComPort);
  return Card;
}

bool tCardSession::Open(int32_t Port) {
  DropHost();
  fLinkLost = false;
  ComPort = Port;
  ++fOpenings;
  Host = std::make_unique<tOrvaneHost>(static_cast<uint32_t>(Port), false, "Caddis");
  const bool Opened = Host->ComPort != nullptr;
  OpenFailure = Host->OpenFailure();
  OpenError = Opened ? std::string()
                     : "Cannot open ComPort " + std::to_string(Port) + ": " +
                           OpenErrorReason(OpenFailure, Port);
  if (!Opened)
    if (const std::string Problem = tPortCatalogue::PortFolderProblem(); !Problem.empty())
      OpenError += " (registered ports are ignored: " + Problem + ")";
  if (OnLinkChange) OnLinkChange();
  return Opened;
}

bool tCardSession::OpenCard(int32_t Port, std::string& Error) {
  if (Open(Port)) {
    Host->LogErrors = true;
    return true;
  }
  Error = OpenError;
  Close();
  return false;
}

void tCardSession::DropHost() {
  if (Host) fClosedLinks += Host->LinkHealth();
  Host.reset();
}

void tCardSession::Drop() {
  DropHost();
  if (OnLinkChange) OnLinkChange();
}

void tCardSession::Close() {
  fLinkLost = false;
  Drop();
}

tCardSession::tLinkChange tCardSession::KeepLink(std::chrono::steady_clock::time_point Now) {
  const std::string Port = "COM" + std::to_string(ComPort);
  if (Host) {
    if (!Host->ComPort || !Host->ComPort->HungUp()) return lc_None;
    // Nothing sent reaches the card any more, and nothing comes from it: as removed.
    Drop();
    fLinkLost = true;
    fFailedDevice.clear();
    fNextReopen = Now + PollPeriod;
    DisplayMessage(Port + " hung up");
    return lc_HungUp;
  }
  if (!fLinkLost || (fNextReopen && Now < *fNextReopen)) return lc_None;
  fNextReopen = Now + PollPeriod;
  const std::string Device = tPortCatalogue::RealDevicePathFor(ComPort);
  if (Device.empty() || Device == fFailedDevice) {
    if (Device.empty()) fFailedDevice.clear();
    return lc_None;
  }
  if (!Open(ComPort)) {
    Drop();
    fLinkLost = true;
    fFailedDevice = Device;
    return lc_None;
  }
  DisplayMessage(Port + " reopened");
  return lc_Reopened;
}

tLinkHealth tCardSession::LinkHealth() const {
  tLinkHealth Health = fClosedLinks;
  if (Host) Health += Host->LinkHealth();
  return Health;
}

void tCardSession::ResetLinkHealth() {
  fClosedLinks = {};
  if (Host) Host->ResetLinkHealth();
}

bool tCardSession::PortListed() const {
  return ComPort > 0 && !tPortCatalogue::DevicePathFor(ComPort).empty();
}

bool tCardSession::Reopen() {
  if (Host || !PortListed()) return false;
  return Open(ComPort);
}

bool tCardSession::Restart(bool AwaitDown) {
  if (!Host) return false;
  Host->SendHeader(tHostId::Restart);
  if (!fPause(RestartPause)) return false;
  Close();
  return !AwaitDown || fPause(DownPause);
}

namespace {

// The finish event of an update of Kind that notes the restart a new bitstream needs.
tTivaUpdateEvent NoteRestart(bool& RestartDue, tImageKind Kind, tTivaUpdateEvent Finish) {
  return [&RestartDue, Kind, Finish = std::move(Finish)](float Amount, tTivaUpdateError Code) {
    if (Kind == ik_FPGA && Code == tu_Ack) RestartDue = true;
    if (Finish) Finish(Amount, Code);
  };
}

}  // namespace

void tCardSession::StartUpdate(tImageKind Kind, const std::string& Path, tTivaUpdateEvent Progress,
                               tTivaUpdateEvent Finish) {
  if (!Host) return;
  fRestartDue = false;
  auto Finished = NoteRestart(fRestartDue, Kind, std::move(Finish));
  if (Kind == ik_FPGA)
    Host->UpdateHostFPGA(std::move(Progress), Finished, Path);
  else
    Host->UpdateUSBAudio(std::move(Progress), Finished, Path);
}

void tCardSession::StartUpdate(tImageKind Kind, const tImageFile& Image, tTivaUpdateEvent Progress,
                               tTivaUpdateEvent Finish) {
  if (!Host) return;
  fRestartDue = false;
  auto Finished = NoteRestart(fRestartDue, Kind, std::move(Finish));
  if (Kind == ik_FPGA)
    Host->UpdateHostFPGA(std::move(Progress), Finished, Image);
  else
    Host->UpdateUSBAudio(std::move(Progress), Finished, Image);
}

bool tCardSession::TakeRestartDue() {
  const bool Due = fRestartDue;
  fRestartDue = false;
  return Due;
}

void tCardSession::SendBoot() {
  if (Host) Host->SendHeader(tHostId::Boot);
}

std::string BootLoaderList(const std::vector<tDFUDeviceEntry>& Entries) {
  std::string Text;
  for (const auto& Entry : Entries)
    Text += "  index " + std::to_string(Entry.Index) + ": serial " +
            (Entry.Serial.Text.empty() ? "(none)" : Entry.Serial.Text) + " at " + Entry.Location +
            "\n";
  return Text;
}
