#include "util/MyConvert.h"

#include <cstddef>

uint8_t HexDigitValue(char Ch)
{
    if (Ch >= '0' && Ch <= '9')
        return static_cast<uint8_t>(Ch - '0');
    if (Ch >= 'A' && Ch <= 'F')
        return static_cast<uint8_t>(Ch - 'A' + 10);
    if (Ch >= 'a' && Ch <= 'f')
        return static_cast<uint8_t>(Ch - 'a' + 10);
    return 255;
}

int32_t HexToIntDef(const std::string& S, int32_t Default)
{
    if (S.empty())
        return Default;
    // Unsigned arithmetic: long texts wrap as a 32-bit register would.
    uint32_t Value = 0;
    for (char C : S) {
        const uint8_t d = HexDigitValue(C);
        if (d > 15)
            return Default;
        Value = Value * 16u + d;
    }
    return static_cast<int32_t>(Value);
}

int32_t DecToIntDef(const std::string& S, int32_t Default)
{
    std::size_t i = 0;
    bool Negative = false;
    if (!S.empty() && (S[0] == '-' || S[0] == '+')) {
        Negative = S[0] == '-';
        i = 1;
    }
    uint32_t Value = 0;
    for (; i < S.size(); ++i) {
        const char C = S[i];
        if (C == ',')
            continue; // thousands separator
        if (C < '0' || C > '9')
            return Default;
        Value = Value * 10u + static_cast<uint32_t>(C - '0');
    }
    if (Negative)
        Value = 0u - Value;
    return static_cast<int32_t>(Value);
}

std::string BytesToHex(const std::string& S, bool Spaced)
{
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string Result;
    Result.reserve(S.size() * (Spaced ? 3 : 2));
    for (std::size_t i = 0; i < S.size(); ++i) {
        if (Spaced && i > 0)
            Result += ' ';
        const auto B = static_cast<uint8_t>(S[i]);
        Result += Digits[B >> 4];
        Result += Digits[B & 0x0F];
    }
    return Result;
}

namespace
{

char GroupByte(const std::string& Group)
{
    const auto Value = static_cast<uint32_t>(HexToIntDef(Group, 0));
    if (Value > 255)
        throw ERangeError("Range check error");
    return static_cast<char>(Value);
}

} // namespace

std::string HexToBytes(const std::string& S, bool Spaced)
{
    std::string Result;
    if (Spaced) {
        // Each blank ends a group, so two blanks in a row give a zero byte; a blank at the
        // very end opens no further group.
        std::size_t Start = 0;
        while (Start < S.size()) {
            std::size_t Blank = S.find(' ', Start);
            if (Blank == std::string::npos)
                Blank = S.size();
            Result += GroupByte(S.substr(Start, Blank - Start));
            Start = Blank + 1;
        }
    } else {
        Result.reserve((S.size() + 1) / 2);
        for (std::size_t i = 0; i < S.size(); i += 2)
            Result += GroupByte(S.substr(i, 2));
    }
    return Result;
}

std::string IntToStrZero(int32_t Value, uint8_t Width)
{
    std::string Text = std::to_string(Value);
    if (Text.size() < Width)
        Text.insert(0, Width - Text.size(), '0');
    return Text;
}

namespace
{

// ASCII letters From..From+25 moved to To..To+25; every other byte stays.
std::string ShiftLetters(std::string S, char From, char To)
{
    for (char& C : S)
        if (C >= From && C <= From + 25)
            C = static_cast<char>(C - From + To);
    return S;
}

} // namespace

std::string UpperText(const std::string& S)
{
    return ShiftLetters(S, 'a', 'A');
}

std::string LowerText(const std::string& S)
{
    return ShiftLetters(S, 'A', 'a');
}

int32_t ByteToShortInt(uint8_t Value)
{
    return static_cast<int8_t>(Value);
}

int32_t WordToSmallInt(uint16_t Value)
{
    return static_cast<int16_t>(Value);
}

namespace
{

// Byte k (0 = least significant) of a 32-bit value; bytes above the fourth are zero.
uint8_t ByteOf(uint32_t Value, unsigned k)
{
    return k < 4 ? static_cast<uint8_t>(Value >> (8 * k)) : 0;
}

} // namespace

std::string IntToHexBytes(uint32_t Value, uint8_t Count)
{
    std::string Raw;
    for (unsigned k = Count; k-- > 0;)
        Raw += static_cast<char>(ByteOf(Value, k));
    return BytesToHex(Raw, true);
}

std::string IntToRawBytes(uint32_t Value, uint8_t Count)
{
    std::string Raw;
    for (unsigned k = 0; k < Count; ++k)
        Raw += static_cast<char>(ByteOf(Value, k));
    return Raw;
}
