// The console's text arithmetic, kept apart from the widgets so it can be tested alone:
// hexadecimal commands, port list items and the voltage fields.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hostlink/HostFrame.h"

// The port number that a port list item (or the port box's text) starts with: the part of
// its first 31 characters before the first space, read as a decimal number. -1 when there
// is no space or that part is not a number.
int32_t PortNumberOfItem(std::string_view Item);

// The index of the first item from 1 upward (item 0, "<none>", never counts) whose port
// number is nCom; -1 when none matches. Malformed items are passed over.
int32_t ComPortIndex(const std::vector<std::string>& Items, int32_t nCom);

// A voltage as "%3.1f" shows it, with the user's decimal separator.
std::string VoltageText(float Volts, char DecimalSeparator);
