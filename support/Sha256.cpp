#include "support/Sha256.h"

#include <cstdio>
#include <memory>

#include "platform/Files.h"

namespace {

constexpr std::array<uint32_t, 64> K = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint32_t Rotate(uint32_t X, int N) {
  return (X >> N) | (X << (32 - N));
}

}  // namespace

void tSha256::Reset() {
  fState = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  fBuffered = 0;
  fLength = 0;
}

void tSha256::Block(const uint8_t* Data) {
  uint32_t W[64];
  for (int i = 0; i < 16; ++i)
    W[i] = uint32_t{Data[4 * i]} << 24 | uint32_t{Data[4 * i + 1]} << 16 |
           uint32_t{Data[4 * i + 2]} << 8 | uint32_t{Data[4 * i + 3]};
  for (int i = 16; i < 64; ++i) {
    const uint32_t S0 = Rotate(W[i - 15], 7) ^ Rotate(W[i - 15], 18) ^ (W[i - 15] >> 3);
    const uint32_t S1 = Rotate(W[i - 2], 17) ^ Rotate(W[i - 2], 19) ^ (W[i - 2] >> 10);
    W[i] = W[i - 16] + S0 + W[i - 7] + S1;
  }
  uint32_t A = fState[0], B = fState[1], C = fState[2], D = fState[3];
  uint32_t E = fState[4], F = fState[5], G = fState[6], H = fState[7];
  for (int i = 0; i < 64; ++i) {
    const uint32_t S1 = Rotate(E, 6) ^ Rotate(E, 11) ^ Rotate(E, 25);
    const uint32_t Choice = (E & F) ^ (~E & G);
    const uint32_t T1 = H + S1 + Choice + K[i] + W[i];
    const uint32_t S0 = Rotate(A, 2) ^ Rotate(A, 13) ^ Rotate(A, 22);
    const uint32_t Majority = (A & B) ^ (A & C) ^ (B & C);
    const uint32_t T2 = S0 + Majority;
    H = G;
    G = F;
    F = E;
    E = D + T1;
    D = C;
    C = B;
    B = A;
    A = T1 + T2;
  }
  fState[0] += A;
  fState[1] += B;
  fState[2] += C;
  fState[3] += D;
  fState[4] += E;
  fState[5] += F;
  fState[6] += G;
  fState[7] += H;
}

void tSha256::Update(std::span<const uint8_t> Bytes) {
  fLength += Bytes.size();
  std::size_t At = 0;
  if (fBuffered > 0) {
    while (fBuffered < fBuffer.size() && At < Bytes.size())
      fBuffer[fBuffered++] = Bytes[At++];
    if (fBuffered < fBuffer.size()) return;
    Block(fBuffer.data());
    fBuffered = 0;
  }
  for (; Bytes.size() - At >= fBuffer.size(); At += fBuffer.size())
    Block(Bytes.data() + At);
  while (At < Bytes.size())
    fBuffer[fBuffered++] = Bytes[At++];
}

tSha256::tDigest tSha256::Final() {
  const uint64_t Bits = fLength * 8;
  // The message ends with one 1 bit, zeros up to 56 bytes of the last block, and its length
  // in bits as a big-endian 64-bit number.
  const uint8_t One = 0x80;
  Update({&One, 1});
  const uint8_t Zero = 0;
  while (fBuffered != 56)
    Update({&Zero, 1});
  uint8_t Length[8];
  for (int i = 0; i < 8; ++i)
    Length[i] = static_cast<uint8_t>(Bits >> (56 - 8 * i));
  Update(Length);
  tDigest Digest;
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 4; ++j)
      Digest[4 * i + j] = static_cast<uint8_t>(fState[i] >> (24 - 8 * j));
  Reset();
  return Digest;
}

std::string tSha256::Hex(const tDigest& Digest) {
  static const char* const Digits = "0123456789abcdef";
  std::string Text;
  for (uint8_t Byte : Digest) {
    Text += Digits[Byte >> 4];
    Text += Digits[Byte & 15];
  }
  return Text;
}

std::string tSha256::HexOf(std::span<const uint8_t> Bytes) {
  tSha256 Hash;
  Hash.Update(Bytes);
  return Hex(Hash.Final());
}

bool Sha256OfFile(const std::string& Path, std::string& Hex, uint64_t& Size, std::string& Error) {
  tFiles::tFileInfo Info;
  int Code = 0;
  if (!tFiles::Describe(Path, Info, Code)) {
    Error = tFiles::SystemErrorText(Code);
    return false;
  }
  if (!Info.Regular) {
    Error = tFiles::NotRegularText(Info.Type);
    return false;
  }
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> In(
      tFiles::OpenRegular(Path, tFiles::of_Read, Code, Error), std::fclose);
  if (!In) return false;
  tSha256 Hash;
  uint64_t Read = 0;
  uint8_t Buffer[64 * 1024];
  for (;;) {
    const std::size_t Got = std::fread(Buffer, 1, sizeof Buffer, In.get());
    Hash.Update({Buffer, Got});
    Read += Got;
    if (Got < sizeof Buffer) break;
  }
  if (std::ferror(In.get())) {
    Error = "read error";
    return false;
  }
  Hex = tSha256::Hex(Hash.Final());
  Size = Read;
  return true;
}
