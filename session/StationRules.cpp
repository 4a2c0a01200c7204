#include "session/StationRules.h"

#include "serial/ComPorts.h"

namespace {

tStationAction& Push(tStationAction::tKind Kind, int32_t Port, tStationRules::tActions& Actions) {
  tStationAction& Action = Actions.emplace_back();
  Action.Kind = Kind;
  Action.Port = Port;
  return Action;
}

void Line(int32_t Port, const std::string& Text, tStationRules::tActions& Actions) {
  Push(tStationAction::sa_Line, Port, Actions).Text = ComPortName(Port) + " " + Text;
}

}  // namespace

tStationRules::tStationRules(std::vector<tStationStep> Recipe, std::chrono::milliseconds GoneLimit,
                             std::function<bool(int32_t Port)> PortPresent)
    : fRecipe(std::move(Recipe)), fGoneLimit(GoneLimit), fPortPresent(std::move(PortPresent)) {}

tStationRules::tActions tStationRules::Arrived(int32_t Port, tClock::time_point Now) {
  tActions Actions;
  if (const auto Found = fPorts.find(Port); Found != fPorts.end()) {
    // Its going counts first: a port back after longer than the gone limit brings a new card,
    // also when no Tick came between.
    if (!CheckGone(Port, Found->second, Now, Actions)) {
      if (Found->second.Unplugged)
        Found->second.NewArrival = true;
      else
        Found->second.GoneSince.reset();
      return Actions;
    }
    fPorts.erase(Found);
  }
  if (fClosing || fRecipe.empty()) return Actions;
  Line(Port, "arrived", Actions);
  StartStep(Port, fPorts[Port], Actions);
  return Actions;
}

void tStationRules::Removed(int32_t Port, tClock::time_point Now) {
  const auto Found = fPorts.find(Port);
  if (Found == fPorts.end()) return;
  tStation& Station = Found->second;
  if (Station.Unplugged) {
    // The card that arrived meanwhile has left as well.
    Station.NewArrival = false;
    return;
  }
  if (!Station.GoneSince) Station.GoneSince = Now;
}

tStationRules::tActions tStationRules::Tick(tClock::time_point Now) {
  tActions Actions;
  for (auto It = fPorts.begin(); It != fPorts.end();) {
    if (CheckGone(It->first, It->second, Now, Actions))
      It = fPorts.erase(It);
    else
      ++It;
  }
  return Actions;
}

tStationRules::tActions tStationRules::StepEnded(int32_t Port, int Exit, tClock::time_point Now) {
  tActions Actions;
  const auto Found = fPorts.find(Port);
  if (Found == fPorts.end() || Found->second.Done) return Actions;
  tStation& Station = Found->second;
  if (Station.Unplugged) {
    // Its card is gone; a card that arrived meanwhile is served afresh.
    const bool NewArrival = Station.NewArrival;
    Push(tStationAction::sa_Served, Port, Actions);
    Push(tStationAction::sa_Forget, Port, Actions);
    fPorts.erase(Found);
    if (NewArrival) {
      tActions More = Arrived(Port, Now);
      Actions.insert(Actions.end(), More.begin(), More.end());
    }
    return Actions;
  }
  if (Exit == 0 && ++Station.Step < fRecipe.size() && !fClosing) {
    StartStep(Port, Station, Actions);
    return Actions;
  }
  Station.Done = true;
  Push(tStationAction::sa_Served, Port, Actions);
  // A card whose port is gone counts from when it went (Removed), or from now when its going
  // was not noticed.
  if (!Station.GoneSince && fPortPresent && !fPortPresent(Port)) Station.GoneSince = Now;
  return Actions;
}

tStationRules::tActions tStationRules::StopAll(tChildProcess::tStop How) {
  fClosing = true;
  tActions Actions;
  for (const auto& [Port, Station] : fPorts) {
    if (Station.Done) continue;
    Push(tStationAction::sa_Stop, Port, Actions).How = How;
  }
  return Actions;
}

bool tStationRules::CheckGone(int32_t Port, tStation& Station, tClock::time_point Now,
                              tActions& Actions) {
  if (!Station.GoneSince || Now - *Station.GoneSince <= fGoneLimit) return false;
  if (Station.Done) {
    Line(Port, "unplugged", Actions);
    Push(tStationAction::sa_Forget, Port, Actions);
    return true;
  }
  // A card unplugged during a serial-link step has that step stopped, so that the next card in
  // its port is not taken for this one coming back from its restart.
  const tStationStep& Step = fRecipe[Station.Step];
  if (!Station.Unplugged && !Step.PortAwayDuringStep) {
    Line(Port, "unplugged during " + Step.Command + ": its update is stopped", Actions);
    Station.Unplugged = true;
    Push(tStationAction::sa_Stop, Port, Actions).How = tChildProcess::ps_Interrupt;
  }
  return false;
}

void tStationRules::StartStep(int32_t Port, const tStation& Station, tActions& Actions) const {
  const tStationStep& Step = fRecipe[Station.Step];
  tStationAction& Action = Push(tStationAction::sa_Start, Port, Actions);
  Action.Command = Step.Command;
  Action.File = Step.File;
}
