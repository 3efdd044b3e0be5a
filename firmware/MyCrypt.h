#pragma once
// AES-CBC deciphering of the embedded firmware packages, with the tool's own padding removal.
// Nothing is ever enciphered by the tool.
#include <cstddef>
#include <cstdint>
#include <string>

// Deciphers Data (AES in CBC mode) and removes padding.
//   Key        raw key bytes when HashKind is 0 (16, 24 or 32 bytes, matching CipherKind); otherwise
//              the text whose hash derives the key, as CryptoAPI's CryptDeriveKey does with the
//              key length set to the hash length: HashKind mod 128 picks 2 SHA-1, 3 SHA-256,
//              4 SHA-384, 5 SHA-512, anything else MD5. SHA-2 digests are used as they are;
//              MD5 and SHA-1 digests go through the 0x36/0x5C expansion. A hash whose length
//              is no AES key length of CipherKind (SHA-1, SHA-384, SHA-512, or MD5 / SHA-256
//              with another cipher than AES-128 / AES-256) yields no key.
//   CipherKind 1 AES-192, 2 AES-256, anything else AES-128.
//   IV         the initialisation vector, one block; empty means all zero bytes. Longer IVs
//              use their first 16 bytes; a shorter one is a failure.
//   Padding    0 (or anything but 1 and 2): none; 1: zero padding; 2: count-byte padding
//              (see Unpad).
// Plain receives the result; every failure (bad key, Data not a whole number of blocks, ...)
// leaves it empty. Returns whether Plain is non-empty. Never throws.
bool AesDecrypt(const std::string& Key, uint8_t HashKind, const std::string& Data, uint8_t CipherKind,
                const std::string& IV, uint8_t Padding, std::string& Plain) noexcept;

// The same, returning Plain.
std::string AesDecrypt(const std::string& Key, uint8_t HashKind, const std::string& Data, uint8_t CipherKind,
                       const std::string& IV, uint8_t Padding);

// CryptDeriveKey's rule for an AES key of KeyLen bytes from the hash of Text (HashKind as
// above): a SHA-2 digest gives its first KeyLen bytes; an MD5 or SHA-1 digest h gives the first
// KeyLen bytes of hash(64 x 0x36 ^ h) || hash(64 x 0x5C ^ h), however long h is. False when
// KeyLen exceeds what the rule yields.
bool DeriveKey(const std::string& Text, uint8_t HashKind, std::size_t KeyLen, std::string& Key);

// The tool's padding removal of a deciphered text with block length BlockLen.
//   Mode 1: shorter than one block gives empty; else trailing 0x00 bytes of the last block
//           only are removed.
//   Mode 2: shorter than 2 bytes gives empty; the last byte n > BlockLen gives empty, else the
//           last n bytes are removed (their values are not examined; n = 0 removes nothing).
//   Other modes: unchanged.
std::string Unpad(const std::string& Text, uint8_t Mode, std::size_t BlockLen);

// The embedded firmware image: 16-byte IV, then AES-128-CBC ciphertext whose plaintext
// (count-byte padded) is a label, "|", and a 7z archive.
struct TFirmwareImage {
    std::string Label;   // bytes before the first "|" (empty when there is none)
    std::string Archive; // bytes after it (the whole plaintext when there is no "|")
};

// Deciphers Image with Key and splits it. A wrong key or a damaged image normally gives an
// empty label and archive; noise that slips through is caught by the archive reader.
TFirmwareImage SplitFirmwareImage(const std::string& Image, const std::string& Key);

// The SHA-256 digest of Bytes as 64 lower-case hexadecimal digits (what a
// production line records to tell one image from another).
std::string Sha256Hex(const std::string& Bytes);
