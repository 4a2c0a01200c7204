// The production line's station: which card in which port gets which step of the recipe, and
// when a port's card has been unplugged.
//
// Serial ports arrive and leave (hot-plug notices). Each new card gets the recipe (say FPGA,
// then USB audio, then firmware), one step after the other, each carried out by the front end
// (a child program per step); a step that fails ends the card's recipe. A card whose recipe has
// ended is done until it is unplugged. A card's port also leaves while the card restarts during
// its own update, and comes back: only a port gone for longer than the gone limit (longer than
// a card's restart takes) counts as unplugged, so a card that an update restarted is never
// served twice. A card unplugged during a serial-link step has its step stopped, so that the
// next card in its port is not taken for this one coming back from its restart; that next card
// is served afresh once the stopped step has ended. During the firmware step the card leaves
// its serial port for the whole download (it runs its boot loader), and its step follows it
// there: a port gone then is not an unplugging.
//
// A step that finds another card in the port where its card restarted (a card swapped during
// the restart) ends that card's recipe; the card in the port is a new one, served at once. A
// step that finds its port in use by another program is tried again every second for a while,
// then given up, and the line says that this plugging is not served.
//
// The rules keep no clock and start nothing themselves: the front end passes the time with each
// event and carries out the actions each event returns, in their order. Whether a port is
// present now is asked of the front end (PortPresent).
//
// Threads: any one thread (the command line's user-interface thread).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Process.h"
#include "session/ServiceRecord.h"

// One step of the recipe.
struct tStationStep {
  std::string Command;  // "update-fpga"
  std::string File;     // its image
  // The card leaves its serial port for the whole step (the firmware download).
  bool PortAwayDuringStep = false;
};

// What the front end is to do.
struct tStationAction {
  enum tKind {
    sa_Start,   // start the step Command of the recipe, with its File, for Port's card
    sa_Stop,    // stop the step running for Port (How)
    sa_Line,    // Text: a line for the station's log ("COM5 arrived")
    sa_Served,  // Port's card is served: its row, as its last step left it, is a finished one
    sa_Forget,  // Port's card is gone: its row leaves the station's table
    sa_Check,   // ask the card in Port who it is (the answer goes to Checked)
  } Kind = sa_Line;
  int32_t Port = 0;
  std::string Command;  // sa_Start: the step's command ("update-fpga")
  std::string File;     // sa_Start: the step's image
  tChildProcess::tStop How = tChildProcess::ps_Interrupt;  // sa_Stop
  std::string Text;                                        // sa_Line
};

class tStationRules {
 public:
  using tClock = std::chrono::steady_clock;
  using tActions = std::vector<tStationAction>;

  static constexpr std::chrono::seconds BusyRetryEvery{1};
  static constexpr std::chrono::seconds BusyRetryFor{5};

  // Recipe: the steps (with none, no card is served). GoneLimit: how long a port may be away before
  // its card counts as unplugged. PortPresent(Port): whether the port is there now.
  tStationRules(std::vector<tStationStep> Recipe, std::chrono::milliseconds GoneLimit,
                std::function<bool(int32_t Port)> PortPresent);

  // A port has arrived: a card not served yet starts the recipe; a port back within the gone
  // limit is the same card (a done card's is asked first: sa_Check) (one back later is a new card,
  // whether a Tick saw it gone or not); a card that arrives while the unplugged card's step is
  // still ending is served once that step has ended. Nothing new starts once closing.
  tActions Arrived(int32_t Port, tClock::time_point Now);
  // A port has left; its card counts as gone from Now. A card that arrived in the port of an
  // unplugged card, and leaves again before that card's step has ended, is no longer there to
  // be served.
  void Removed(int32_t Port, tClock::time_point Now);
  // The ports gone for longer than the gone limit at Now: their cards were unplugged. A done
  // card is forgotten; a card in a serial-link step has that step stopped.
  tActions Tick(tClock::time_point Now);
  // The step running for Port has ended with the exit status Exit (0: it succeeded). A step
  // that could not be started ends this way too, with a failure. Success starts the next
  // step; failure, the last step or closing serves the card.
  tActions StepEnded(int32_t Port, int Exit, tClock::time_point Now);
  // The step running for Port has found another card in the port in its card's place; when the
  // step ends, its card is served and the card in the port is served as a new one.
  void OtherCardSeen(int32_t Port);
  // The card in Port is Card, as its first step found it.
  void CardIdentified(int32_t Port, const tCardIdentity& Card);
  // The card in Port answered a check (sa_Check) as Card (not Known: it did not answer). A done
  // card's port back within the gone limit is asked: the same card is shown as not served
  // again, another card is served as a new one at once.
  tActions Checked(int32_t Port, const tCardIdentity& Card, tClock::time_point Now);
  // The step for Port could not open the port: another program (Holder) has it. The step is
  // tried again every BusyRetryEvery; after BusyRetryFor the plugging is given up, not served.
  tActions StepBusy(int32_t Port, const std::string& Holder, tClock::time_point Now);
  // From now on no step starts; the steps running go on to their end.
  void Close() { fClosing = true; }
  // Closes and stops every step running.
  tActions StopAll(tChildProcess::tStop How);

 private:
  // A port the station serves.
  struct tStation {
    std::size_t Step = 0;  // the recipe's step under way or next
    bool Done = false;     // the recipe has ended; nothing more until the card is unplugged
    std::optional<tClock::time_point> GoneSince;  // the port has left since then
    // The card was unplugged while its step ran: the step was told to stop; a card that
    // arrives meanwhile is a new one (NewArrival).
    bool Unplugged = false;
    bool NewArrival = false;
    // The step found another card in the port: a new card once the step has ended.
    bool OtherCard = false;
    tCardIdentity Card;     // the card served, as its first step found it
    bool Checking = false;  // the port is back while done: its card is being asked who it is
    // The port was busy from BusySince (held by BusyHolder); the step is tried again at RetryAt.
    std::optional<tClock::time_point> BusySince;
    std::optional<tClock::time_point> RetryAt;
    std::string BusyHolder;
  };

  // Applies the gone limit at Now to Port's station; true when the station is to be forgotten
  // (a done card unplugged).
  bool CheckGone(int32_t Port, tStation& Station, tClock::time_point Now, tActions& Actions);
  // Tries a busy step again when due at Now, or gives it up (closing, its port gone).
  void CheckBusy(int32_t Port, tStation& Station, tClock::time_point Now, tActions& Actions);
  void GiveUpBusy(int32_t Port, tStation& Station, const std::string& Why, tActions& Actions);
  void StartStep(int32_t Port, const tStation& Station, tActions& Actions) const;

  std::vector<tStationStep> fRecipe;
  std::chrono::milliseconds fGoneLimit;
  std::function<bool(int32_t)> fPortPresent;
  bool fClosing = false;
  std::map<int32_t, tStation> fPorts;
};
