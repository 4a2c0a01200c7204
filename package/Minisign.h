// Ed25519 signatures in the text format release managers already sign with: a public key file,
// a secret key file (plain, or sealed with a password through scrypt) and a detached signature
// file of four lines. A signature covers the message's BLAKE2b-512 hash ("ED", the default) or
// the message itself ("Ed", the older form), and a second signature covers the first together
// with the signature's trusted comment, so that comment cannot be changed either.
//
//   public key:  "untrusted comment: ..." / base64("Ed" | key id (8) | public key (32))
//   secret key:  "untrusted comment: ..." / base64("Ed" | KDF ("Sc" or two zero bytes) | "B2" |
//                salt (32) | ops limit (8, LE) | memory limit (8, LE) | key id (8) | secret key
//                (64) | checksum (32)); the last 104 bytes are XORed with the scrypt stream of
//                the password when the KDF is "Sc"; the checksum is BLAKE2b-256 of "Ed", the key
//                id and the secret key
//   signature:   "untrusted comment: ..." / base64(algorithm (2) | key id (8) | signature (64)) /
//                "trusted comment: TEXT" / base64(Ed25519 of signature | TEXT)
//
// Key ids are shown as minisign-style hex: the eight bytes read as a little-endian number,
// sixteen upper-case digits.
//
// Threads: any (libsodium is readied once, under a lock of its own).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

using tKeyId = std::array<uint8_t, 8>;
std::string KeyIdText(const tKeyId& Id);

struct tMinisignPublicKey {
  tKeyId Id{};
  std::array<uint8_t, 32> Key{};
  std::string Comment;  // the untrusted comment, for showing
};

struct tMinisignSecretKey {
  tKeyId Id{};
  std::array<uint8_t, 64> Key{};  // Ed25519 seed and public key
  ~tMinisignSecretKey();
};

struct tMinisignSignature {
  bool Prehashed = true;  // "ED": the message's BLAKE2b-512 hash is signed
  tKeyId Id{};
  std::array<uint8_t, 64> Signature{};
  std::string UntrustedComment;
  std::string TrustedComment;
  std::array<uint8_t, 64> GlobalSignature{};
};

// Each reader takes a file's text; nullopt with Why saying what is wrong.
std::optional<tMinisignPublicKey> ReadMinisignPublicKey(const std::string& Text, std::string& Why);
// Whether the secret key in Text is sealed with a password.
bool MinisignSecretKeyIsSealed(const std::string& Text);
// Password is ignored for an unsealed key; a wrong one fails the checksum ("wrong password").
std::optional<tMinisignSecretKey> ReadMinisignSecretKey(const std::string& Text,
                                                        const std::string& Password,
                                                        std::string& Why);
std::optional<tMinisignSignature> ReadMinisignSignature(const std::string& Text, std::string& Why);

// Signs Message prehashed, with TrustedComment, as a signature file's text.
std::string MinisignSign(const tMinisignSecretKey& Key, std::span<const uint8_t> Message,
                         const std::string& TrustedComment);

// Whether Signature is Key's over Message, comment included; Why says what failed otherwise.
bool MinisignVerify(const tMinisignPublicKey& Key, const tMinisignSignature& Signature,
                    std::span<const uint8_t> Message, std::string& Why);
