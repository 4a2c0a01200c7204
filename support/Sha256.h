// SHA-256 of images and kept firmware: what the service record names an image by, and what
// a kept firmware image is checked against before it goes back into the card.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

class tSha256 {
 public:
  using tDigest = std::array<uint8_t, 32>;

  tSha256() { Reset(); }
  void Reset();
  // Adds bytes to the message; may be called any number of times.
  void Update(std::span<const uint8_t> Bytes);
  // The digest of everything added since the last Reset; the object is reset afterwards.
  tDigest Final();

  // The digest as 64 lower-case hexadecimal digits.
  static std::string Hex(const tDigest& Digest);
  static std::string HexOf(std::span<const uint8_t> Bytes);

 private:
  void Block(const uint8_t* Data);

  std::array<uint32_t, 8> fState{};
  std::array<uint8_t, 64> fBuffer{};
  std::size_t fBuffered = 0;
  uint64_t fLength = 0;  // bytes added
};

// The SHA-256 of the file at Path as hexadecimal digits, and its size. False with Error set
// ("No such file or directory") when it cannot be read to its end.
bool Sha256OfFile(const std::string& Path, std::string& Hex, uint64_t& Size, std::string& Error);
