// The command line's text arithmetic, kept apart from ports and terminals so it can be
// tested alone: the card's status as lines or as one JSON object, addresses, progress bars
// and the explanation of a port that would not open.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "hostlink/CardDefs.h"
#include "hostlink/LinkHealth.h"
#include "session/CardSession.h"

class tOrvaneHost;

// An address as the card reports it (first byte received in the low 8 bits) in dotted form:
// the bytes 192 168 1 50 read as 192.168.1.50.
std::string DottedAddress(uint32_t Address);

// Text as a JSON string literal: quotes, backslash and control characters escaped; bytes
// above 127 (8-bit texts of the card) written as \u00XX so the result is plain ASCII.
std::string JsonString(const std::string& Text);

// An 8-bit text of the card (each byte one character) as UTF-8.
std::string Utf8FromLatin1(const std::string& Text);

// A JSON value on one line in plain ASCII (bytes of a text that is not UTF-8 as U+FFFD).
std::string JsonText(const nlohmann::ordered_json& Value);

// The card's last reported state as one JSON object, fields named as the host object names
// them; values of reports that never arrived are null.
nlohmann::ordered_json StatusObject(const tOrvaneHost& Host);
// The same as labelled lines for an operator ("not received" for a missing report).
std::vector<std::string> StatusLines(const tOrvaneHost& Host);
// One short line for the live monitor.
std::string MonitorLine(const tOrvaneHost& Host);
// That line followed by the link's health: "...; link: round trip 1.2 ms (...), ...".
std::string MonitorLine(const tOrvaneHost& Host, const tLinkHealth& Health);
// The monitor's line for a terminal Columns wide (0: no limit): the whole line where it fits,
// else a shorter one that always keeps the port, the card, its firmware, its IP address and
// the link's health in brief ("link 0.3 ms, 0 unanswered, 0 damaged"), leaving out the rates,
// then the supply, the FPGA version, the temperature and the transport, in that order.
std::string FittedMonitorLine(const tOrvaneHost& Host, const tLinkHealth& Health,
                              std::size_t Columns);

// Seconds for a message: "10", "0.5", "1.25" (at most three decimals, no trailing zeros).
std::string SecondsText(double Seconds);

// TransferLine fitted to a status line of at most Columns characters (0: no limit) that never
// loses its percentage: the bar narrows first, then the bytes, rate and time left go, then the
// bar; at the narrowest the percentage alone.
std::string FittedTransferLine(const std::string& Label, float Fraction, uint64_t Total,
                               double Elapsed, std::size_t Columns);

// The message of a frame the card sent (Frame: count byte, message, checksum) in the form
// send-hex takes: two lower-case hex digits per byte, identifier first ("3c0102").
std::string AnswerHex(const uint8_t* Frame, std::size_t Size);

// Whether a line that is shown when its value changes is due at Now: the first, one whose
// Key differs from the last shown, or one Beat after the last shown (a heartbeat while nothing
// changes). Taking a due line counts it as shown.
class tChangeOrBeat {
 public:
  using tClock = std::chrono::steady_clock;
  explicit tChangeOrBeat(std::chrono::milliseconds aBeat) : fBeat(aBeat) {}
  bool Due(const std::string& Key, tClock::time_point Now);

 private:
  std::chrono::milliseconds fBeat;
  std::optional<tClock::time_point> fShownAt;
  std::string fKey;
};

// Rows of cells as lines of aligned columns, two spaces apart. The last column is not padded
// (it may hold a long failure text), and no line ends in spaces.
std::vector<std::string> AlignedColumns(const std::vector<std::vector<std::string>>& Rows);

// "[#######.............]  35%": Width marks between the brackets, Fraction clamped to 0..1.
std::string ProgressBar(float Fraction, int Width);

// A transfer's line on a terminal: "FPGA [#####...]  35%  22.4/64.1 kB  6.3 kB/s  0:07 left":
// Label, the bar (Width marks), the bytes done of Total (kB = 1000 bytes), the rate since the
// phase began Elapsed seconds ago, and the time left at that rate ("--:--" before any rate).
std::string TransferLine(const std::string& Label, float Fraction, uint64_t Total, double Elapsed,
                         int Width);
