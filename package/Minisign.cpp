#include "package/Minisign.h"

#include <sodium.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace {

constexpr size_t PublicKeyBytes = 2 + 8 + 32;
constexpr size_t SecretKeySize = 2 + 2 + 2 + 32 + 8 + 8 + 8 + 64 + 32;
constexpr size_t SealedBytes = 8 + 64 + 32;  // key id, secret key, checksum
constexpr size_t SignatureBytes = 2 + 8 + 64;

void ReadySodium() {
  static std::once_flag Once;
  static bool Ready = false;
  std::call_once(Once, [] { Ready = sodium_init() >= 0; });
  if (!Ready) throw std::runtime_error("the signature library cannot start");
}

// The file's lines without their line ends ("\r\n" too, for a file from Windows).
std::vector<std::string> LinesOf(const std::string& Text) {
  std::vector<std::string> Lines;
  size_t Start = 0;
  while (Start < Text.size()) {
    size_t End = Text.find('\n', Start);
    if (End == std::string::npos) End = Text.size();
    std::string Line = Text.substr(Start, End - Start);
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    Lines.push_back(std::move(Line));
    Start = End + 1;
  }
  return Lines;
}

std::optional<std::vector<uint8_t>> FromBase64(const std::string& Text, size_t Expected) {
  std::vector<uint8_t> Bytes(Expected + 3);
  size_t Length = 0;
  const char* End = nullptr;
  if (sodium_base642bin(Bytes.data(), Bytes.size(), Text.data(), Text.size(), nullptr, &Length,
                        &End, sodium_base64_VARIANT_ORIGINAL) != 0 ||
      End != Text.data() + Text.size() || Length != Expected)
    return std::nullopt;
  Bytes.resize(Length);
  return Bytes;
}

std::string ToBase64(std::span<const uint8_t> Bytes) {
  std::string Text(sodium_base64_ENCODED_LEN(Bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(Text.data(), Text.size(), Bytes.data(), Bytes.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  Text.resize(std::strlen(Text.c_str()));
  return Text;
}

bool StartsWith(const std::string& Text, const std::string& Lead) {
  return Text.compare(0, Lead.size(), Lead) == 0;
}

const std::string UntrustedLead = "untrusted comment: ";
const std::string TrustedLead = "trusted comment: ";

// The comment and key lines of a key file: the first line must be a comment, the second the
// key's base64; anything after them is ignored, as other readers of the format do.
bool KeyLines(const std::string& Text, std::string& Comment, std::string& Data, std::string& Why) {
  const std::vector<std::string> Lines = LinesOf(Text);
  if (Lines.size() < 2 || !StartsWith(Lines[0], UntrustedLead)) {
    Why = "not a key file (it must start with \"untrusted comment:\" and a line of key data)";
    return false;
  }
  Comment = Lines[0].substr(UntrustedLead.size());
  Data = Lines[1];
  return true;
}

uint64_t LittleEndian64(const uint8_t* Bytes) {
  uint64_t Value = 0;
  for (int i = 7; i >= 0; --i)
    Value = (Value << 8) | Bytes[i];
  return Value;
}

std::array<uint8_t, 32> SecretKeyChecksum(const tKeyId& Id, const uint8_t* Key) {
  std::array<uint8_t, 32> Sum{};
  crypto_generichash_state State;
  crypto_generichash_init(&State, nullptr, 0, Sum.size());
  crypto_generichash_update(&State, reinterpret_cast<const uint8_t*>("Ed"), 2);
  crypto_generichash_update(&State, Id.data(), Id.size());
  crypto_generichash_update(&State, Key, 64);
  crypto_generichash_final(&State, Sum.data(), Sum.size());
  return Sum;
}

std::array<uint8_t, 64> Blake2b512(std::span<const uint8_t> Message) {
  std::array<uint8_t, 64> Hash{};
  crypto_generichash(Hash.data(), Hash.size(), Message.data(), Message.size(), nullptr, 0);
  return Hash;
}

// What the first signature covers: the message's hash, or the message itself.
std::vector<uint8_t> SignedPart(bool Prehashed, std::span<const uint8_t> Message) {
  if (!Prehashed) return {Message.begin(), Message.end()};
  const std::array<uint8_t, 64> Hash = Blake2b512(Message);
  return {Hash.begin(), Hash.end()};
}

std::vector<uint8_t> GlobalPart(const std::array<uint8_t, 64>& Signature,
                                const std::string& TrustedComment) {
  std::vector<uint8_t> Part(Signature.begin(), Signature.end());
  Part.insert(Part.end(), TrustedComment.begin(), TrustedComment.end());
  return Part;
}

}  // namespace

std::string KeyIdText(const tKeyId& Id) {
  char Text[17];
  std::snprintf(Text, sizeof Text, "%016llX",
                static_cast<unsigned long long>(LittleEndian64(Id.data())));
  return Text;
}

tMinisignSecretKey::~tMinisignSecretKey() {
  sodium_memzero(Key.data(), Key.size());
}

std::optional<tMinisignPublicKey> ReadMinisignPublicKey(const std::string& Text, std::string& Why) {
  ReadySodium();
  tMinisignPublicKey Key;
  std::string Data;
  if (!KeyLines(Text, Key.Comment, Data, Why)) return std::nullopt;
  const auto Bytes = FromBase64(Data, PublicKeyBytes);
  if (!Bytes || (*Bytes)[0] != 'E' || (*Bytes)[1] != 'd') {
    Why = "not an Ed25519 public key";
    return std::nullopt;
  }
  std::memcpy(Key.Id.data(), Bytes->data() + 2, 8);
  std::memcpy(Key.Key.data(), Bytes->data() + 10, 32);
  return Key;
}

namespace {
std::optional<std::vector<uint8_t>> SecretKeyBytes(const std::string& Text, std::string& Why) {
  std::string Comment, Data;
  if (!KeyLines(Text, Comment, Data, Why)) return std::nullopt;
  auto Bytes = FromBase64(Data, SecretKeySize);
  if (!Bytes || std::memcmp(Bytes->data(), "Ed", 2) != 0 ||
      std::memcmp(Bytes->data() + 4, "B2", 2) != 0) {
    Why = "not an Ed25519 secret key";
    return std::nullopt;
  }
  const bool Sealed = std::memcmp(Bytes->data() + 2, "Sc", 2) == 0;
  if (!Sealed && ((*Bytes)[2] != 0 || (*Bytes)[3] != 0)) {
    Why = "the secret key is sealed in a way this tool does not know";
    return std::nullopt;
  }
  return Bytes;
}
}  // namespace

bool MinisignSecretKeyIsSealed(const std::string& Text) {
  ReadySodium();
  std::string Why;
  const auto Bytes = SecretKeyBytes(Text, Why);
  return Bytes && std::memcmp(Bytes->data() + 2, "Sc", 2) == 0;
}

std::optional<tMinisignSecretKey> ReadMinisignSecretKey(const std::string& Text,
                                                        const std::string& Password,
                                                        std::string& Why) {
  ReadySodium();
  auto Bytes = SecretKeyBytes(Text, Why);
  if (!Bytes) return std::nullopt;
  uint8_t* Sealed = Bytes->data() + SecretKeySize - SealedBytes;
  const bool IsSealed = std::memcmp(Bytes->data() + 2, "Sc", 2) == 0;
  if (IsSealed) {
    const uint8_t* Salt = Bytes->data() + 6;
    const uint64_t Ops = LittleEndian64(Bytes->data() + 38);
    const uint64_t Memory = LittleEndian64(Bytes->data() + 46);
    // Limits far above what a key maker uses would make the tool spin or exhaust memory.
    if (Memory > (uint64_t{1} << 32) || Ops > (uint64_t{1} << 32)) {
      Why = "the secret key asks for an unreasonable password-hashing effort";
      return std::nullopt;
    }
    std::array<uint8_t, SealedBytes> Stream{};
    if (crypto_pwhash_scryptsalsa208sha256(Stream.data(), Stream.size(), Password.data(),
                                           Password.size(), Salt, Ops,
                                           static_cast<size_t>(Memory)) != 0) {
      Why = "the password cannot be turned into a key (out of memory?)";
      return std::nullopt;
    }
    for (size_t i = 0; i < SealedBytes; ++i)
      Sealed[i] ^= Stream[i];
    sodium_memzero(Stream.data(), Stream.size());
  }
  tMinisignSecretKey Key;
  std::memcpy(Key.Id.data(), Sealed, 8);
  std::memcpy(Key.Key.data(), Sealed + 8, 64);
  // A sealed key carries the checksum that tells a wrong password; an unsealed one may leave it
  // zero. Either way the key's second half must be the public key its first half makes.
  const std::array<uint8_t, 32> Sum = SecretKeyChecksum(Key.Id, Key.Key.data());
  const std::array<uint8_t, 32> Zero{};
  const bool SumGood = sodium_memcmp(Sum.data(), Sealed + 72, 32) == 0 ||
                       (!IsSealed && sodium_memcmp(Zero.data(), Sealed + 72, 32) == 0);
  std::array<uint8_t, 32> Public{};
  std::array<uint8_t, 64> Remade{};
  crypto_sign_seed_keypair(Public.data(), Remade.data(), Key.Key.data());
  const bool PairGood = sodium_memcmp(Remade.data(), Key.Key.data(), 64) == 0;
  sodium_memzero(Remade.data(), Remade.size());
  sodium_memzero(Bytes->data(), Bytes->size());
  if (!SumGood || !PairGood) {
    Why = IsSealed ? "wrong password, or a damaged secret key" : "the secret key is damaged";
    return std::nullopt;
  }
  return Key;
}

std::optional<tMinisignSignature> ReadMinisignSignature(const std::string& Text, std::string& Why) {
  ReadySodium();
  const std::vector<std::string> Lines = LinesOf(Text);
  if (Lines.size() < 4 || !StartsWith(Lines[0], UntrustedLead) ||
      !StartsWith(Lines[2], TrustedLead)) {
    Why = "not a signature file (four lines: two comments, each followed by its data)";
    return std::nullopt;
  }
  tMinisignSignature Signature;
  Signature.UntrustedComment = Lines[0].substr(UntrustedLead.size());
  Signature.TrustedComment = Lines[2].substr(TrustedLead.size());
  const auto First = FromBase64(Lines[1], SignatureBytes);
  const auto Global = FromBase64(Lines[3], 64);
  if (!First || !Global) {
    Why = "the signature's data is damaged";
    return std::nullopt;
  }
  if (std::memcmp(First->data(), "ED", 2) == 0) {
    Signature.Prehashed = true;
  } else if (std::memcmp(First->data(), "Ed", 2) == 0) {
    Signature.Prehashed = false;
  } else {
    Why = "the signature is of an algorithm this tool does not know";
    return std::nullopt;
  }
  std::memcpy(Signature.Id.data(), First->data() + 2, 8);
  std::memcpy(Signature.Signature.data(), First->data() + 10, 64);
  std::memcpy(Signature.GlobalSignature.data(), Global->data(), 64);
  return Signature;
}

std::string MinisignSign(const tMinisignSecretKey& Key, std::span<const uint8_t> Message,
                         const std::string& TrustedComment) {
  ReadySodium();
  std::array<uint8_t, SignatureBytes> First{};
  std::memcpy(First.data(), "ED", 2);
  std::memcpy(First.data() + 2, Key.Id.data(), 8);
  const std::vector<uint8_t> Part = SignedPart(true, Message);
  std::array<uint8_t, 64> Signature{};
  crypto_sign_detached(Signature.data(), nullptr, Part.data(), Part.size(), Key.Key.data());
  std::memcpy(First.data() + 10, Signature.data(), 64);
  const std::vector<uint8_t> Global = GlobalPart(Signature, TrustedComment);
  std::array<uint8_t, 64> GlobalSignature{};
  crypto_sign_detached(GlobalSignature.data(), nullptr, Global.data(), Global.size(),
                       Key.Key.data());
  return UntrustedLead + "signature from caddis secret key " + KeyIdText(Key.Id) + "\n" +
         ToBase64(First) + "\n" + TrustedLead + TrustedComment + "\n" + ToBase64(GlobalSignature) +
         "\n";
}

bool MinisignVerify(const tMinisignPublicKey& Key, const tMinisignSignature& Signature,
                    std::span<const uint8_t> Message, std::string& Why) {
  ReadySodium();
  if (Key.Id != Signature.Id) {
    Why = "signed by key " + KeyIdText(Signature.Id) + ", not by key " + KeyIdText(Key.Id);
    return false;
  }
  const std::vector<uint8_t> Part = SignedPart(Signature.Prehashed, Message);
  if (crypto_sign_verify_detached(Signature.Signature.data(), Part.data(), Part.size(),
                                  Key.Key.data()) != 0) {
    Why = "the signature does not match: the signed file was changed";
    return false;
  }
  const std::vector<uint8_t> Global = GlobalPart(Signature.Signature, Signature.TrustedComment);
  if (crypto_sign_verify_detached(Signature.GlobalSignature.data(), Global.data(), Global.size(),
                                  Key.Key.data()) != 0) {
    Why = "the signature's trusted comment was changed";
    return false;
  }
  return true;
}
