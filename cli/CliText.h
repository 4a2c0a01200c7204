// The command line's text arithmetic, kept apart from ports and terminals so it can be
// tested alone: the card's status as lines or as one JSON object, addresses, progress bars
// and the explanation of a port that would not open.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class tOrvaneHost;

// An address as the card reports it (first byte received in the low 8 bits) in dotted form:
// the bytes 192 168 1 50 read as 192.168.1.50.
std::string DottedAddress(uint32_t Address);

// Text as a JSON string literal: quotes, backslash and control characters escaped; bytes
// above 127 (8-bit texts of the card) written as \u00XX so the result is plain ASCII.
std::string JsonString(const std::string& Text);

// The card's last reported state as one JSON object on one line, fields named as the host
// object names them.
std::string StatusJson(const tOrvaneHost& Host);
// The same as labelled lines for an operator.
std::vector<std::string> StatusLines(const tOrvaneHost& Host);
// One short line for the live monitor.
std::string MonitorLine(const tOrvaneHost& Host);

// Seconds for a message: "10", "0.5", "1.25" (at most three decimals, no trailing zeros).
std::string SecondsText(double Seconds);

// Why a port did not open, from the errno the port kept.
std::string OpenErrorReason(int Errno);

// "[#######.............]  35%": Width marks between the brackets, Fraction clamped to 0..1.
std::string ProgressBar(float Fraction, int Width);
// The percentage shown for a fraction done: rounded, clamped to 0..100.
int ProgressPercent(float Fraction);
