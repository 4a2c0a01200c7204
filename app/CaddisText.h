// The console's text arithmetic, kept apart from the widgets so it can be tested alone:
// hexadecimal commands, port list items and the voltage fields.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Reads Text as hexadecimal: only the first 31 characters count, leading spaces are
// skipped, and every further character shifts the value by one digit, adding 0-15 for a
// hexadecimal digit and nothing for any other character ("5 " gives 80, "G1" gives 1).
int32_t HexToInt(std::string_view Text);

// The message bytes (identifier first) that a typed hex command stands for: the text, cut
// to 255 characters, is read in fixed pairs from its start; a trailing odd character is
// ignored ("01 02" gives 01 and 00).
std::vector<uint8_t> HexMessage(std::string_view Text);

// The port number that a port list item (or the port box's text) starts with: the part of
// its first 31 characters before the first space, read as a decimal number. -1 when there
// is no space or that part is not a number.
int32_t PortNumberOfItem(std::string_view Item);

// The index of the first item from 1 upward (item 0, "<none>", never counts) whose port
// number is nCom; -1 when none matches. Malformed items are passed over.
int32_t ComPortIndex(const std::vector<std::string>& Items, int32_t nCom);

// A voltage as "%3.1f" shows it, with the user's decimal separator.
std::string VoltageText(float Volts, char DecimalSeparator);

// Progress bar position for a fraction done: Amount * 100 rounded to the nearest integer,
// halves to the even neighbour.
int ProgressPosition(float Amount);
