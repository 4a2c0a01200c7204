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
      tStation& Station = Found->second;
      if (Station.Unplugged) {
        Station.NewArrival = true;
        return Actions;
      }
      const bool WasAway = Station.GoneSince.has_value();
      Station.GoneSince.reset();
      // A done card's port back within the limit is that card after a restart, or another card
      // plugged in quickly: only the card itself can tell.
      if (Station.Done && WasAway && Station.Card.Known() && !Station.Checking && !fClosing) {
        Station.Checking = true;
        Push(tStationAction::sa_Check, Port, Actions);
      }
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
    CheckBusy(It->first, It->second, Now, Actions);
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
  Station.BusySince.reset();
  if (Station.OtherCard && !Station.Unplugged) {
    // The card in the port is not the one this step updated: that card is served as its step
    // left it, and the card in the port is a new one, served at once (no waiting for the gone
    // limit, which only tells a restart from an unplugging).
    Push(tStationAction::sa_Served, Port, Actions);
    Push(tStationAction::sa_Forget, Port, Actions);
    fPorts.erase(Found);
    if (fPortPresent && !fPortPresent(Port))
      Line(Port, "another card came in place of the updated one and has left; not served", Actions);
    else if (fClosing || fRecipe.empty())
      Line(Port,
           "another card came in place of the updated one; the station is closing: not served",
           Actions);
    else {
      Line(Port, "another card came in place of the updated one: served as a new card", Actions);
      StartStep(Port, fPorts[Port], Actions);
    }
    return Actions;
  }
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

void tStationRules::CardIdentified(int32_t Port, const tCardIdentity& Card) {
  if (const auto Found = fPorts.find(Port); Found != fPorts.end()) Found->second.Card = Card;
}

tStationRules::tActions tStationRules::Checked(int32_t Port, const tCardIdentity& Card,
                                               tClock::time_point) {
  tActions Actions;
  const auto Found = fPorts.find(Port);
  if (Found == fPorts.end() || !Found->second.Checking) return Actions;
  tStation& Station = Found->second;
  Station.Checking = false;
  if (Station.GoneSince) return Actions;  // gone again: its going counts as any other
  if (!Card.Known()) {
    Line(Port, "back, but its card did not say who it is; not served", Actions);
  } else if (SameCard(Station.Card, Card)) {
    Line(Port, "the same card (" + CardIdentityText(Card) + ") is back; not served again", Actions);
  } else {
    Push(tStationAction::sa_Forget, Port, Actions);
    fPorts.erase(Found);
    if (fClosing || fRecipe.empty()) {
      Line(Port, "another card (" + CardIdentityText(Card) + ") is in the port; not served",
           Actions);
      return Actions;
    }
    Line(Port, "another card (" + CardIdentityText(Card) + ") is in the port: served as a new card",
         Actions);
    tStation& New = fPorts[Port];
    New.Card = Card;
    StartStep(Port, New, Actions);
  }
  return Actions;
}

void tStationRules::OtherCardSeen(int32_t Port) {
  if (const auto Found = fPorts.find(Port); Found != fPorts.end() && !Found->second.Done)
    Found->second.OtherCard = true;
}

tStationRules::tActions tStationRules::StepBusy(int32_t Port, const std::string& Holder,
                                                tClock::time_point Now) {
  const auto Found = fPorts.find(Port);
  if (Found == fPorts.end() || Found->second.Done) return {};
  tStation& Station = Found->second;
  // A card unplugged meanwhile (its step told to stop) ends as any stopped step does.
  if (Station.Unplugged) return StepEnded(Port, 3, Now);
  tActions Actions;
  Station.BusyHolder = Holder;
  if (!Station.BusySince) {
    Station.BusySince = Now;
    Line(Port,
         "busy (in use by " + Holder + "): trying again for " +
             std::to_string(BusyRetryFor.count()) + " s",
         Actions);
  }
  if (Now - *Station.BusySince >= BusyRetryFor)
    GiveUpBusy(Port, Station, "for " + std::to_string(BusyRetryFor.count()) + " s", Actions);
  else
    Station.RetryAt = Now + BusyRetryEvery;
  return Actions;
}

tStationRules::tActions tStationRules::StopAll(tChildProcess::tStop How) {
  fClosing = true;
  tActions Actions;
  for (auto& [Port, Station] : fPorts) {
    if (Station.Done) continue;
    if (Station.RetryAt) {
      GiveUpBusy(Port, Station, "until the station closed", Actions);
      continue;
    }
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
  // A step waiting to be tried again is not running: its retry sees the port gone.
  if (Station.RetryAt) return false;
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

void tStationRules::CheckBusy(int32_t Port, tStation& Station, tClock::time_point Now,
                              tActions& Actions) {
  if (!Station.RetryAt || Now < *Station.RetryAt) return;
  if (fClosing)
    GiveUpBusy(Port, Station, "until the station closed", Actions);
  else if (fPortPresent && !fPortPresent(Port))
    GiveUpBusy(Port, Station, "until the card left", Actions);
  else {
    Station.RetryAt.reset();
    StartStep(Port, Station, Actions);
  }
}

void tStationRules::GiveUpBusy(int32_t Port, tStation& Station, const std::string& Why,
                               tActions& Actions) {
  Line(Port, "busy (in use by " + Station.BusyHolder + ") " + Why + "; this plugging is not served",
       Actions);
  Station.RetryAt.reset();
  Station.BusySince.reset();
  Station.Done = true;
  Push(tStationAction::sa_Served, Port, Actions);
}

void tStationRules::StartStep(int32_t Port, const tStation& Station, tActions& Actions) const {
  const tStationStep& Step = fRecipe[Station.Step];
  tStationAction& Action = Push(tStationAction::sa_Start, Port, Actions);
  Action.Command = Step.Command;
  Action.File = Step.File;
}
