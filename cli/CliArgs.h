// The command line's option values: port numbers, seconds and indexes as typed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A port number as the port list shows it ("5"), or with the COM prefix ("COM5"): 1..65535.
bool ParsePortNumber(const std::string& Text, int32_t& Port);
// Whether Text names a device by its path (/dev/ttyUSB0, /dev/serial/by-id/..., \\.\COM5)
// rather than by a port number.
bool IsDevicePath(const std::string& Text);
// Seconds as a plain decimal number ("5", "0.5"), 0 to 86400.
bool ParseSeconds(const std::string& Text, double& Seconds);
// A whole number in 0..Max.
bool ParseIndex(const std::string& Text, int32_t Max, int32_t& Value);
// A message typed in hexadecimal: an even number of hex digits, nothing else ("3c", "3C01").
// False with Why saying what is wrong.
bool ParseHexBytes(const std::string& Text, std::vector<uint8_t>& Bytes, std::string& Why);
