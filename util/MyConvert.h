#pragma once
// Hexadecimal and decimal conversions of short numeric fields and payloads.
#include <cstdint>
#include <stdexcept>
#include <string>

// Raised by HexToBytes for a group above 255.
class ERangeError : public std::range_error
{
  public:
    using std::range_error::range_error;
};

uint8_t HexDigitValue(char Ch);
// Any length; the value wraps as a 32-bit register. Default for an empty text or a non-digit.
int32_t HexToIntDef(const std::string& S, int32_t Default);
// One leading sign, "," skipped, 32-bit wrapping; "", "-" and "+" give 0, other characters Default.
int32_t DecToIntDef(const std::string& S, int32_t Default);
std::string BytesToHex(const std::string& S, bool Spaced);
// Spaced: one byte per blank-separated group (an empty group is 0); else pairs of digits.
std::string HexToBytes(const std::string& S, bool Spaced); // throws ERangeError
std::string IntToStrZero(int32_t Value, uint8_t Width);
std::string UpperText(const std::string& S);
std::string LowerText(const std::string& S);
int32_t ByteToShortInt(uint8_t Value);
int32_t WordToSmallInt(uint16_t Value);
// Count may exceed 4; bytes above the fourth of Value are 0.
std::string IntToHexBytes(uint32_t Value, uint8_t Count);
std::string IntToRawBytes(uint32_t Value, uint8_t Count);
