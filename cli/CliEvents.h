// What a command run with --json writes: JSON Lines on standard output, one object per event,
// each with "event", "port" (the number, or null where no port applies) and "time" (UTC with
// milliseconds). The events and their fields are a contract scripts rely on (the README lists
// them): start, card, progress, message, then result on success or error on failure, last.
//
// One command runs per program, so the events are the program's: Enable once, from main.
// Threads: user-interface thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/Outcome.h"

class tOrvaneHost;

namespace tCliEvents {

// Switches the events on (--json was given); without it every call below does nothing and
// On() is false. Until SetCommand names the command that writes events, only an error ends
// the output (bad arguments, or a command that writes one JSON value of its own).
void Enable();
bool On();
void SetCommand(const std::string& Command);
// Ends the output once the command has ended as Ended says, unless a result or error event
// ended it already: the result event (the command set's events only) or an error event of the
// exit status's kind with Ended's text as its message.
void Finish(const tCliResult& Ended);
// A final event of the caller's own ("summary") has ended the output.
void MarkEnded();
// The port the events name from now on (0: none, null in JSON).
void SetPort(int32_t Port);

// {"event":Name,"port":...,"time":...}, for a line to be completed and written.
nlohmann::ordered_json Event(const char* Name);
// Writes Line on a line of its own and flushes it.
void Emit(const nlohmann::ordered_json& Line);

// An image for the start event: {"file" (absolute), "size"}, Size being the size of the bytes
// read from it (null when they could not be read); null for an empty Path.
nlohmann::ordered_json ImageObject(const std::string& Path, std::optional<uint64_t> Size);
// "start", with "command", and "image" when the command sends one (Image: its facts).
void Start(const nlohmann::ordered_json& Image = nullptr);
// "card" once the card has identified itself; Phase "before" or "after" its update, or null
// for a command that changes nothing. Kept for the result's "before" and "after".
void Card(const tOrvaneHost& Host, const char* Phase = nullptr);
// "progress" of Phase ("FPGA update", "Downloading"), at most once per whole percent.
void Progress(const std::string& Phase, float Fraction);
// "message": an operator text the command would print.
void Message(const std::string& Text);
// The service record the command appended to, named in the result.
void SetRecord(const std::string& Path);
// "result", last on success: ok, exit 0, duration_s since Enable, before, after and record
// where known, and Extra's fields.
void Result(const nlohmann::ordered_json& Extra = nlohmann::ordered_json::object());
// "error", last on failure: ok false, the exit status, the kind's name and the message.
void Error(tFailKind Kind, const std::string& Message);

}  // namespace tCliEvents
