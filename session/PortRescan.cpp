#include "session/PortRescan.h"

#include <string>

#include "platform/PortCatalogue.h"

namespace {

std::vector<int32_t> MachinePorts() {
  return tPortCatalogue::PortNumbers();
}

std::string PortName(int32_t Port) {
  return "COM" + std::to_string(Port);
}

}  // namespace

tPortRescan::tPortRescan(tLister Lister, std::chrono::milliseconds Period)
    : fLister(Lister ? std::move(Lister) : tLister(MachinePorts)), fPeriod(Period) {}

void tPortRescan::Start(tClock::time_point Now) {
  fKnown.clear();
  Known(fLister());
  fLastReading = Now;
}

void tPortRescan::Known(const std::vector<int32_t>& Ports) {
  fKnown.insert(Ports.begin(), Ports.end());
}

bool tPortRescan::Noted(const tDeviceChange& Change) {
  const int Port = PortNumberFromName(Change.PortName);
  if (Port <= 0) return true;  // not the rescan's to judge
  if (Change.Kind == tDeviceChange::dc_Arrival) return fKnown.insert(Port).second;
  return fKnown.erase(Port) != 0;
}

std::vector<tDeviceChange> tPortRescan::Due(tClock::time_point Now) {
  std::vector<tDeviceChange> Changes;
  if (fLastReading && Now - *fLastReading < fPeriod) return Changes;
  fLastReading = Now;
  const std::vector<int32_t> Listed = fLister();
  std::set<int32_t> Present;
  for (const int32_t Port : Listed)
    if (Port > 0) Present.insert(Port);
  for (const int32_t Port : fKnown)
    if (!Present.count(Port)) Changes.push_back({tDeviceChange::dc_RemoveComplete, PortName(Port)});
  for (const int32_t Port : Present)
    if (!fKnown.count(Port)) Changes.push_back({tDeviceChange::dc_Arrival, PortName(Port)});
  fKnown = std::move(Present);
  if (!Changes.empty()) ++fCaught;
  return Changes;
}
