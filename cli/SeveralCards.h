// Several cards in one command: the command runs itself once per card, each a child program
// with its own port and card session ("caddis update-fpga --port 5 --json ..."), so the serial
// work of every card goes on at once while each program keeps the one user-interface thread
// of the core. The parent reads the children's JSON Lines events, shows each as a line named
// by its port, and ends with a table of the cards. Station mode runs its recipes the same way.
//
// The children run through support/ChildRunner.h. Threads: user-interface thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/Outcome.h"
#include "support/ChildRunner.h"

struct tCliContext;
struct tPortsGroup;

// What the parent knows of one card, from its child's events.
struct tCardRow {
  int32_t Port = 0;
  std::string Card;    // "7" (device ID), "" before the card identified itself
  std::string Before;  // "fw 3, FPGA 1.2"
  std::string After;
  // The card before and after as its child's card events gave it ({"device_id", "firmware",
  // "fpga"}, as the update commands' result event has them); null while not known.
  nlohmann::ordered_json BeforeCard, AfterCard;
  std::string Phase;   // the step under way: "FPGA update 40%", "waiting"
  std::string Result;  // "ok", "refused: the card answered ...", "" while running
  int Exit = -1;       // -1 while running
  double Seconds = 0;
  bool Running() const { return Exit < 0; }
};

// Takes one event of the card's child into its row.
void TakeEvent(tCardRow& Row, const nlohmann::json& Event);
// The line a person reads for a child's event ("COM5 FPGA update: 40%"); "" for an event not
// shown (progress between tenths).
std::string EventText(int32_t Port, const nlohmann::json& Event);
// The table of the cards: a heading, then one line per row.
std::vector<std::string> CardTable(const std::vector<tCardRow>& Rows);
// The cards of a summary event: {"port", "card", "before", "after", "result", "exit",
// "duration_s"} per row, before and after as the update commands' events have them (null when
// not known).
nlohmann::ordered_json SummaryCards(const std::vector<tCardRow>& Rows);
// Ends a row still running from its child's exit status, for a child that wrote no final
// event of its own (it could not start, or was killed): "<kind>: <Why>", or "<kind>: ended
// with exit status N" without Why.
void FinishRow(tCardRow& Row, int Exit, const std::string& Why);

// The arguments of the child for Port: the parent's own (Arguments, the program first) less
// --port, --all and --json, then "--port <Port> --json". Program replaces the first.
std::vector<std::string> ChildArguments(const std::vector<std::string>& Arguments,
                                        const std::string& Program, int32_t Port);

// Runs the command of Context on every port Ports names (or, with --all, on every port where a
// card answers within ProbeTimeout seconds), a child per card; the exit status of them all
// (CombinedExit).
tCliResult RunOnSeveralCards(const tCliContext& Context, const tPortsGroup& Ports,
                             double ProbeTimeout);
