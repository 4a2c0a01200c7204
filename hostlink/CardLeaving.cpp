#include "hostlink/CardLeaving.h"

#include <filesystem>

#include "hostlink/OrvaneHost.h"
#include "platform/PortCatalogue.h"

namespace {

// The device a port number leads to now, followed through its links; empty when the port is
// not listed.
std::string DeviceBehind(int32_t aComPort) {
  const std::string Path = tPortCatalogue::DevicePathFor(aComPort);
  if (Path.empty()) return {};
  std::error_code Failed;
  const auto Real = std::filesystem::canonical(Path, Failed);
  return Failed ? Path : Real.string();
}

}  // namespace

tCardLeaveWatch::tCardLeaveWatch(int32_t aComPort)
    : ComPort(aComPort), Device(DeviceBehind(aComPort)) {}

tCardLeaveWatch::~tCardLeaveWatch() = default;

void tCardLeaveWatch::Leave(const std::string& How) {
  fHow = How;
  Probe.reset();
}

void tCardLeaveWatch::Step(tClock::time_point Now) {
  if (Left()) return;
  const std::string Current = DeviceBehind(ComPort);
  if (Current.empty() || Current != Device) {
    Leave("its port went away");
    return;
  }
  if (!Watching) {
    Watching = true;
    LastAnswer = Now;
  }
  if (!Probe) {
    Probe = std::make_unique<tOrvaneHost>(static_cast<uint32_t>(ComPort), false, "Caddis");
    Probe->AYTActive = false;
    if (!Probe->ComPort) {
      // Busy or absent for a moment (the card's side is going down): tried again next tick.
      // A port that stays listed but cannot be opened (a Windows COM name whose device has
      // gone) is as silent as a card that does not answer.
      Probe.reset();
      if (Now - LastAnswer >= SilenceLimit) Leave("it fell silent");
      return;
    }
    RepliesSeen = 0;
    LastAnswer = Now;
    NextProbe = Now;
  }
  Probe->ServiceReceive();
  if (!Probe->ComPort || Probe->ComPort->HungUp()) {
    Leave("its port went away");
    return;
  }
  if (Probe->GetAYTReplies() != RepliesSeen) {
    RepliesSeen = Probe->GetAYTReplies();
    LastAnswer = Now;
  }
  if (Now - LastAnswer >= SilenceLimit) {
    Leave("it fell silent");
    return;
  }
  if (Now >= NextProbe) {
    Probe->SendHeader(tHostId::AYT);
    NextProbe = Now + ProbePeriod;
  }
}
