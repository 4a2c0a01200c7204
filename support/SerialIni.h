// The serial port settings table, read once at start-up from "Serial.ini" beside the
// executable. Nothing in the tool depends on it: the card's port is the one the operator
// chooses and the link always runs at 115200 baud. It is kept so that the same file reads
// the same way and the values are at hand.
#pragma once

#include <array>
#include <cstdint>
#include <string>

extern std::string SerialIniPath;
extern uint8_t PortCount;
extern uint16_t PortEnabledMask;
extern std::array<int32_t, 8> PortBaudRate;
extern std::array<int16_t, 8> PortComNumber;

// Builds SerialIniPath (support/FilePlaces.h: beside the program, or installed the user's or
// the system-wide settings) and reads the table from it.
std::string ReadSerialSettings();

// Reads the table from the file at Path (missing file, section, key or number: defaults).
// A file that is not read (see tIniFile) leaves the defaults too; the text that names it is
// returned for the operator, empty otherwise.
std::string ReadSerialSettingsFrom(const std::string& Path);
