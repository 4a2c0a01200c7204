// Updates and the end of the user's session (shutdown, restart, log-off).
//
// While an update runs (a service record begun and not yet finished) the front end's hold is
// asked to hold the session's end off, with a reason the system shows the user. When the session
// ends anyway, SessionEnding stops every running loop (as a termination request does) and the
// record of an update cut short says "interrupted by shutdown".
//
// Threads: UpdateBegun and UpdateEnded on the user-interface thread; SessionEnding and Ending
// on any thread; the hold is called on the thread that changed it.
#pragma once

#include <functional>
#include <string>

namespace tShutdown {

// Reason empty: nothing to hold off any more. Set it once, before any update.
void SetHold(std::function<void(const std::string& Reason)> Hold);
// An update (its record's action, "update-fpga") has begun or ended; Key tells apart several
// under way at once.
void UpdateBegun(const void* Key, const std::string& Action);
void UpdateEnded(const void* Key);
// The reason given while Action runs.
std::string HoldReason(const std::string& Action);

// The system ends the session now.
void SessionEnding();
bool Ending();
// The failure text a record gives an interrupted update: "interrupted by shutdown" and what
// was cut short, once the session is ending; Failure as it is otherwise.
std::string InterruptedFailure(const std::string& Failure);

// For tests: forgets that the session is ending (and the loops' stop request) and every
// update under way.
void Reset();

}  // namespace tShutdown
