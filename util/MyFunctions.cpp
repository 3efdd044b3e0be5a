#include "util/MyFunctions.h"

#include <charconv>

#include <array>
#include <cstddef>

namespace
{

char UpperAscii(char C)
{
    return (C >= 'a' && C <= 'z') ? static_cast<char>(C - 'a' + 'A') : C;
}

// CRC-16 (polynomial 1021) of each nibble value shifted into the top of a zero register.
constexpr std::array<uint16_t, 16> Crc16Table = {0x0000, 0x1021, 0x2042, 0x3063, 0x4084, 0x50A5,
                                                 0x60C6, 0x70E7, 0x8108, 0x9129, 0xA14A, 0xB16B,
                                                 0xC18C, 0xD1AD, 0xE1CE, 0xF1EF};

bool IsLeapYear(int Year)
{
    return (Year % 4 == 0) && ((Year % 100 != 0) || (Year % 400 == 0));
}

} // namespace

std::string FetchToken(std::string& S, const std::string& Delimiter)
{
    if (Delimiter.empty())
        return {};
    const std::size_t p = S.find(Delimiter);
    if (p == std::string::npos) {
        std::string Result;
        Result.swap(S);
        return Result;
    }
    std::string Result = S.substr(0, p);
    S.erase(0, p + Delimiter.size());
    return Result;
}

std::string FetchTokenChar(std::string& S, char Delimiter)
{
    return FetchToken(S, std::string(1, Delimiter));
}

std::string GetToken(const std::string& S, int Index, char Delimiter)
{
    if (Index < 0)
        return {};
    std::string Rest = S;
    int Removed = 0;
    while (Removed < Index && !Rest.empty()) {
        FetchTokenChar(Rest, Delimiter);
        ++Removed;
    }
    if (Removed < Index)
        return {};
    return FetchTokenChar(Rest, Delimiter);
}

int TokenCount(const std::string& S, char Delimiter)
{
    if (S.empty())
        return 0;
    int Count = 1;
    for (char C : S)
        if (C == Delimiter)
            ++Count;
    return Count;
}

std::string FileNameNoExt(const std::string& Path)
{
    // "/" as well as "\" and ":": paths come from Linux file dialogs here.
    const std::size_t Sep = Path.find_last_of("\\:/");
    std::string Name = (Sep == std::string::npos) ? Path : Path.substr(Sep + 1);
    const std::size_t Dot = Name.rfind('.');
    if (Dot != std::string::npos)
        Name.erase(Dot);
    return Name;
}

std::string ReplaceAll(const std::string& S, const std::string& Find, const std::string& Replace,
                       bool CaseSensitive)
{
    if (Find.empty() || S.size() < Find.size())
        return S;
    auto Matches = [&](std::size_t At) {
        for (std::size_t i = 0; i < Find.size(); ++i) {
            const char A = S[At + i];
            const char B = Find[i];
            if (CaseSensitive ? (A != B) : (UpperAscii(A) != UpperAscii(B)))
                return false;
        }
        return true;
    };
    std::string Result;
    Result.reserve(S.size());
    std::size_t i = 0;
    while (i < S.size()) {
        if (i + Find.size() <= S.size() && Matches(i)) {
            Result += Replace;
            i += Find.size();
        } else {
            Result += S[i];
            ++i;
        }
    }
    return Result;
}

std::string JoinNonEmpty(const std::string& First, const std::string& Second, const std::string& Separator)
{
    if (!First.empty() && !Second.empty())
        return First + Separator + Second;
    return First.empty() ? Second : First;
}

double SafeEncodeDateTime(uint16_t Year, uint16_t Month, uint16_t Day, uint16_t Hour, uint16_t Minute,
                          uint16_t Second) noexcept
{
    static constexpr int MonthDays[2][12] = {{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                                             {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};
    if (Year < 1 || Year > 9999 || Month < 1 || Month > 12)
        return 0;
    const int Leap = IsLeapYear(Year) ? 1 : 0;
    if (Day < 1 || Day > MonthDays[Leap][Month - 1])
        return 0;
    if (Hour >= 24 || Minute >= 60 || Second >= 60)
        return 0;

    int DayOfYear = Day;
    for (int m = 0; m < Month - 1; ++m)
        DayOfYear += MonthDays[Leap][m];
    const int y = Year - 1;
    // 693594 days from 0001-01-01 (day 1) to 1899-12-30, the date-time epoch.
    const int Days = y * 365 + y / 4 - y / 100 + y / 400 + DayOfYear - 693594;
    const double Fraction = (Hour * 3600.0 + Minute * 60.0 + Second) / 86400.0;
    return Days + Fraction;
}

std::string IfStr(bool Condition, const std::string& WhenTrue, const std::string& WhenFalse)
{
    return Condition ? WhenTrue : WhenFalse;
}

int IfInt(bool Condition, int WhenTrue, int WhenFalse)
{
    return Condition ? WhenTrue : WhenFalse;
}

uint16_t Crc16Byte(uint16_t Crc, uint8_t B)
{
    // Two table steps, high nibble first.
    uint32_t c = Crc;
    uint32_t t = Crc16Table[((c >> 12) ^ (B >> 4)) & 0x0F];
    c = (t ^ (c << 4)) & 0xFFFF;
    t = Crc16Table[((c >> 12) ^ B) & 0x0F];
    c = (t ^ (c << 4)) & 0xFFFF;
    return static_cast<uint16_t>(c);
}

uint16_t Crc16Text(uint16_t Crc, const std::string& S)
{
    for (char C : S)
        Crc = Crc16Byte(Crc, static_cast<uint8_t>(C));
    return Crc;
}

uint32_t Crc32Words(const std::string& S, uint32_t Init)
{
    uint32_t x = Init;
    const std::size_t Groups = (S.size() + 3) / 4;
    for (std::size_t g = 0; g < Groups; ++g) {
        uint32_t Word = 0;
        // Little-endian word; missing bytes of the last group count as zero.
        for (std::size_t k = 0; k < 4; ++k) {
            const std::size_t At = g * 4 + k;
            if (At < S.size())
                Word |= static_cast<uint32_t>(static_cast<uint8_t>(S[At])) << (8 * k);
        }
        x ^= Word;
        for (int Bit = 0; Bit < 32; ++Bit)
            x = (x & 0x80000000u) ? ((x << 1) ^ 0x04C11DB7u) : (x << 1);
    }
    return x;
}

int ByteSum(const std::string& S, bool AsByte)
{
    uint32_t Sum = 0;
    for (char C : S)
        Sum += static_cast<uint8_t>(C);
    if (AsByte)
        Sum &= 0xFF;
    return static_cast<int>(Sum);
}

std::string FixedText(double Value, int Decimals)
{
    char Buf[64];
    const auto R = std::to_chars(Buf, Buf + sizeof Buf, Value, std::chars_format::fixed, Decimals);
    return R.ec == std::errc() ? std::string(Buf, R.ptr) : std::string();
}

std::string GroupedNumber(int64_t Value)
{
    const std::string Digits =
        std::to_string(Value < 0 ? -static_cast<uint64_t>(Value) : static_cast<uint64_t>(Value));
    std::string Out = Value < 0 ? "-" : "";
    for (std::size_t i = 0; i < Digits.size(); ++i) {
        if (i > 0 && (Digits.size() - i) % 3 == 0)
            Out += ',';
        Out += Digits[i];
    }
    return Out;
}
