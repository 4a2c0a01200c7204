// The command line's option values: port numbers, seconds and indexes as typed.
#pragma once

#include <cstdint>
#include <string>

// A port number as the port list shows it ("5"), or with the COM prefix ("COM5"): 1..65535.
bool ParsePortNumber(const std::string& Text, int32_t& Port);
// Seconds as a plain decimal number ("5", "0.5"), 0 to 86400.
bool ParseSeconds(const std::string& Text, double& Seconds);
// A whole number in 0..Max.
bool ParseIndex(const std::string& Text, int32_t Max, int32_t& Value);
