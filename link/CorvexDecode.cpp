#include "link/CorvexDecode.h"

#include "link/CorvexFrames.h"
#include "link/CorvexNames.h"
#include "util/MyFunctions.h"

#include <charconv>
#include <ctime>

uint8_t TCX_PayloadReader::Byte()
{
    const uint8_t B = Pos < P.size() ? static_cast<uint8_t>(P[Pos]) : 0;
    ++Pos;
    return B;
}

uint16_t TCX_PayloadReader::Word()
{
    const uint16_t Hi = Byte();
    return static_cast<uint16_t>((Hi << 8) | Byte());
}

uint32_t TCX_PayloadReader::Long()
{
    const uint32_t Hi = Word();
    return (Hi << 16) | Word();
}

std::string TCX_PayloadReader::Bytes(std::size_t Count)
{
    std::string Result;
    if (Pos < P.size())
        Result = P.substr(Pos, Count);
    Pos += Count;
    return Result;
}

std::string TCX_PayloadReader::Rest()
{
    return Pos < P.size() ? P.substr(Pos) : std::string();
}

std::string CX_FormatVersion(double Version)
{
    char Buf[64];
    const auto R = std::to_chars(Buf, Buf + sizeof Buf, Version, std::chars_format::fixed, 2);
    return std::string(Buf, R.ptr);
}

std::string CX_HardwareText(int32_t Hardware)
{
    return std::to_string((Hardware >> 4) & 0x0F) + "e" + std::to_string(Hardware & 0x0F);
}

namespace
{

bool Bit(uint32_t Value, unsigned N)
{
    return (Value >> N) & 1u;
}

// A version pair a, b: a + b/100 and a << 8 | b.
void ReadVersion(TCX_PayloadReader& R, double& Version, uint16_t& Number, std::string& Text)
{
    const uint8_t A = R.Byte();
    const uint8_t B = R.Byte();
    Version = A + B / 100.0;
    Number = static_cast<uint16_t>((A << 8) | B);
    Text = CX_FormatVersion(Version);
}

void SetHexType(TCX_UnitInfo& Info, uint8_t Hi, uint8_t Lo)
{
    Info.HexTypeHi = Hi;
    Info.HexTypeLo = Lo;
    Info.HexType = static_cast<uint16_t>((Hi << 8) | Lo);
}

// FF FF stands for "same as the current type".
void SetOriginalHexType(TCX_UnitInfo& Info, uint8_t Hi, uint8_t Lo)
{
    if (Hi == 0xFF && Lo == 0xFF) {
        Hi = Info.HexTypeHi;
        Lo = Info.HexTypeLo;
    }
    Info.OriginalHexTypeHi = Hi;
    Info.OriginalHexTypeLo = Lo;
    Info.OriginalHexType = static_cast<uint16_t>((Hi << 8) | Lo);
}

int32_t Id24(TCX_PayloadReader& R)
{
    const int32_t Hi = R.Byte();
    return (Hi << 16) | R.Word();
}

} // namespace

void CX_DecodeUnitInfo(const std::string& P, bool ShowRevision, TCX_UnitInfo& Info, uint8_t& MaxLength)
{
    (void)ShowRevision; // the short form carries no revision
    const std::size_t Len = P.size();
    Info.Class = 0;
    Info.ExtCode = -1;
    Info.ExtSize = 1024;
    Info.WideParameters = false;
    Info.ExtFlag2 = false;
    Info.ExtFlag4 = false;
    Info.Revision = 0;

    TCX_PayloadReader R(P);
    Info.UnitID = Id24(R);
    Info.OriginalID = Len >= 15 ? Id24(R) : Info.UnitID;
    const uint8_t Hi = R.Byte();
    SetHexType(Info, Hi, R.Byte());
    // Only the 14- and 17-byte forms carry the original type.
    if (Len == 14 || Len == 17) {
        const uint8_t OHi = R.Byte();
        SetOriginalHexType(Info, OHi, R.Byte());
    } else {
        SetOriginalHexType(Info, Info.HexTypeHi, Info.HexTypeLo);
    }
    ReadVersion(R, Info.Version, Info.VersionNumber, Info.VersionText);
    ReadVersion(R, Info.CoreVersion, Info.CoreNumber, Info.CoreText);
    ReadVersion(R, Info.AuxVersion, Info.AuxNumber, Info.AuxText);
    MaxLength = R.Byte();
}

void CX_DecodeExtUnitInfo(const std::string& P, bool ShowRevision, TCX_UnitInfo& Info, uint8_t& MaxLength)
{
    const std::size_t Len = P.size();
    TCX_PayloadReader R(P);
    Info.Class = R.Byte();
    Info.UnitID = Id24(R);
    Info.OriginalID = Id24(R);
    const uint8_t Hi = R.Byte();
    SetHexType(Info, Hi, R.Byte());
    const uint8_t OHi = R.Byte();
    SetOriginalHexType(Info, OHi, R.Byte());
    ReadVersion(R, Info.Version, Info.VersionNumber, Info.VersionText);
    ReadVersion(R, Info.CoreVersion, Info.CoreNumber, Info.CoreText);
    ReadVersion(R, Info.AuxVersion, Info.AuxNumber, Info.AuxText);
    Info.ExtCode = R.Word();
    MaxLength = R.Byte();

    if (Len >= 21) {
        const uint8_t Flags = R.Byte();
        Info.WideParameters = Bit(Flags, 0);
        Info.ExtFlag2 = Bit(Flags, 1);
        Info.ExtFlag4 = Bit(Flags, 2);
        Info.Locked = Bit(Flags, 3);
    } else {
        Info.WideParameters = false;
    }
    if (Len >= 22) {
        Info.Revision = R.Byte();
        if (ShowRevision && Info.Revision > 0) {
            const std::string Two = std::to_string(Info.Revision);
            Info.VersionText += "." + (Two.size() < 2 ? "0" + Two : Two);
        }
    } else {
        Info.Revision = 0;
    }
    if (Len >= 23) {
        Info.RevisionLetter = static_cast<char>(R.Byte());
        if (ShowRevision && Info.RevisionLetter != 0)
            Info.VersionText += Info.RevisionLetter;
    }
    if (Len >= 25) {
        Info.HexType2Hi = R.Byte();
        Info.HexType2Lo = R.Byte();
    } else {
        Info.HexType2Hi = Info.HexTypeHi;
        Info.HexType2Lo = Info.HexTypeLo;
    }
    Info.HexType2 = static_cast<uint16_t>((Info.HexType2Hi << 8) | Info.HexType2Lo);
    if (Len >= 27)
        Info.ExtSize = R.Word();
    else if (Info.CoreNumber >= 590)
        Info.ExtSize = 4096;
    else
        Info.ExtSize = Info.ExtFlag2 ? 2048 : 1024;
}

namespace
{

std::string McuBaseName(uint8_t M)
{
    switch (M) {
    case 30:
        return "STM32F030x";
    case 100:
        return "STM32F100x";
    case 101:
        return "STM32F101x";
    case 103:
        return "STM32F103x";
    case 105:
        return "STM32F105x";
    case 112:
        return "STM32F412x";
    case 151:
        return "STM32L151x";
    default:
        return "STM32F10xx";
    }
}

// STM32 part numbers end in a letter for the flash size in KiB.
std::string FlashLetter(int32_t KiB)
{
    switch (KiB) {
    case 64:
        return "8";
    case 128:
        return "B";
    case 256:
        return "C";
    case 384:
        return "D";
    case 512:
        return "E";
    default:
        return "";
    }
}

} // namespace

void CX_DecodeVersionInfo(const std::string& P, TCX_UnitInfo& Unit, TCX_VersionInfo& Info)
{
    const std::size_t Len = P.size();
    Info = TCX_VersionInfo();
    Info.Valid = true;

    TCX_PayloadReader R(P);
    Info.Hardware = R.Byte();
    Info.HardwareText = CX_HardwareText(Info.Hardware);
    if (Len >= 16) {
        Info.HardwareRev = R.Byte();
        if (Info.HardwareRev == 0xFF) {
            // FF: the revision was never programmed, so the hardware text is not trusted either.
            Info.HardwareRev = 0;
            Info.HardwareText.clear();
        }
    }
    if (Unit.Class != 0)
        Info.HardwareRevName = CX_HardwareCodeName(Info.HardwareRev);
    Info.Class = Len >= 18 ? R.Byte() : Unit.Class;
    Info.Hardware2 = Len >= 17 ? R.Byte() : Info.Hardware;
    Info.Hardware2Text = CX_HardwareText(Info.Hardware2);

    const uint16_t W1 = R.Word();
    const uint16_t W2 = R.Word();
    const uint16_t W3 = R.Word();
    const uint16_t W4 = R.Word();
    const uint16_t W5 = R.Word();
    const uint16_t W6 = R.Word();
    const uint8_t B7 = R.Byte();
    const uint8_t B8 = R.Byte();
    uint8_t M = 255;
    uint8_t F = 0;
    if (Len >= 20) {
        M = R.Byte();
        F = R.Byte();
    }
    const uint16_t W9 = Len >= 22 ? R.Word() : 0;

    switch (W1 & 0xC0) {
    case 0x40:
        Info.W1Mode = 1;
        break;
    case 0x80:
        Info.W1Mode = 2;
        break;
    default:
        Info.W1Mode = 0;
    }
    Info.W1Bit1 = Bit(W1, 1);
    Info.W1Bit2 = Bit(W1, 2);
    Info.W1Bit3 = Bit(W1, 3);
    Info.W1Bit4 = Bit(W1, 4);
    Info.W1Bit5 = Bit(W1, 5);
    Info.W1Bit8 = Bit(W1, 8);
    Info.W1Bit9 = Bit(W1, 9);
    Info.W1Bit10 = Bit(W1, 10);
    Info.W1Bit11 = Bit(W1, 11);
    Info.W1Bit12 = Bit(W1, 12);
    Info.W1Bit13 = Bit(W1, 13);
    Unit.ExtFlag4 = Bit(W1, 0);

    Info.W3Bit9 = Bit(W3, 9);
    Info.W3Bit8 = Bit(W3, 8);
    Info.W3Bit10 = Bit(W3, 10);
    Info.W3Bit11 = Bit(W3, 11);

    Info.W9Bit0 = Bit(W9, 0);
    Info.W9Bit1 = Bit(W9, 1);
    Info.W9Bit2 = Bit(W9, 2);
    Info.W9Bit3 = Bit(W9, 3);
    Info.McuFlag = Bit(W9, 4);
    Info.W9Bit5 = Bit(W9, 5);
    Info.W9Bit6 = Bit(W9, 6);
    Info.W9Bit7 = Bit(W9, 7);

    Info.W2Bit0 = Bit(W2, 0);
    switch (W2 & 0x0C) {
    case 0x04:
        Info.W2Mode = 1;
        break;
    case 0x08:
        Info.W2Mode = 2;
        break;
    default:
        Info.W2Mode = 0;
    }

    if (W3 & 0x1C) {
        Info.W3Present = true;
        Info.W3Low = (W3 & 0x03) == 2;
        Info.W3Kind = static_cast<uint8_t>((W3 & 0x1C) >> 2);
        if (Info.W3Kind == 7)
            Info.W3Kind = 9;
        Info.W3Bit5 = Bit(W3, 5);
        Info.W3Bit6 = Bit(W3, 6);
    }
    Info.W3Bit15 = Bit(W3, 15);
    Info.W3Bit14 = Bit(W3, 14);
    Info.W3Bit13 = Bit(W3, 13);
    Info.W3Bit12 = Bit(W3, 12);

    if (W4 > 0) {
        Info.W4Present = true;
        Info.W4Value = W4 & 0x7FF;
        Info.W4Bit11 = Bit(W4, 11);
    }

    const uint8_t W5Low = W5 & 0x03;
    Info.W5Mode = (W5Low == 1 || W5Low == 2) ? W5Low : 0;
    Info.W5Bit3 = Bit(W5, 3);
    Info.W5Bit4 = Bit(W5, 4);
    Info.W5Bit5 = Bit(W5, 5);
    Info.W5Bit6 = Bit(W5, 6);
    Info.W5Bit7 = Bit(W5, 7);
    Info.W5Bit8 = Bit(W5, 8);
    // Cores before 596 have the capability without reporting it.
    Info.W5Bit9 = Bit(W5, 9) || Unit.CoreNumber < 596;
    Info.W5Bit10 = Bit(W5, 10);
    Info.W5Bit11 = Bit(W5, 11);
    Info.W5Bit12 = Bit(W5, 12);
    Info.W5Bit13 = Bit(W5, 13);

    if (W6 > 0) {
        Info.W6Present = true;
        Info.W6Bit1 = Bit(W6, 1);
        Info.W6Bit2 = Bit(W6, 2);
        Info.W6Bit3 = Bit(W6, 3);
        Info.W6Bit4 = Bit(W6, 4);
    }

    Info.B7Present = B7 > 0;
    Info.B7Low = B7 & 0x07;
    Info.B7Bit3 = Bit(B7, 3);
    Info.B8Bit0 = Bit(B8, 0);
    Info.B8Bit1 = Bit(B8, 1);
    Info.B8Bit2 = Bit(B8, 2);
    Info.B8Bit3 = Bit(B8, 3);
    Info.B8Bit4 = Bit(B8, 4);
    Info.B8Bit5 = Bit(B8, 5);
    Info.B8Bit6 = Bit(B8, 6);

    if (M < 255) {
        Info.McuPresent = true;
        Info.McuCode = M;
        Info.FlashSize = F * 32 * 1024;
        Info.McuName = McuBaseName(M) + FlashLetter(F * 32);
    }
}

namespace
{
// Latitude, then longitude: degrees, whole minutes, ten-thousandths of a
// minute, and a byte of extra data each.
void ReadPosition(TCX_PayloadReader& R, TCX_GPSLocation& L)
{
    L.LatDegrees = R.Byte();
    L.LatMinutes = R.Byte();
    L.LatMinutes += R.Word() / 10000.0;
    L.LatExtra = R.Byte();
    L.LonDegrees = R.Byte();
    L.LonMinutes = R.Byte();
    L.LonMinutes += R.Word() / 10000.0;
    L.LonExtra = R.Byte();
}
} // namespace

void CX_DecodeGPSLocation(const std::string& P, const TCX_UnitInfo& Unit, TCX_GPSLocation& L)
{
    L = TCX_GPSLocation();
    const std::size_t Len = P.size();
    TCX_PayloadReader R(P);
    if (Len == 12) {
        // The short form carries no time: the report is stamped with the host's clock.
        const std::time_t Now = std::time(nullptr);
        std::tm Local{};
        localtime_r(&Now, &Local);
        L.Year = static_cast<uint16_t>(Local.tm_year + 1900);
        L.Month = static_cast<uint16_t>(Local.tm_mon + 1);
        L.Day = static_cast<uint16_t>(Local.tm_mday);
        L.Hour = static_cast<uint16_t>(Local.tm_hour);
        L.Minute = static_cast<uint16_t>(Local.tm_min);
        L.Second = static_cast<uint16_t>(Local.tm_sec > 59 ? 59 : Local.tm_sec); // leap second
        L.DateTime = SafeEncodeDateTime(L.Year, L.Month, L.Day, L.Hour, L.Minute, L.Second);
        ReadPosition(R, L);
        L.Value27 = R.Word();
        L.LocalTime = true;
        L.Flag26a = true;
        L.Flag26b = true;
        return;
    }

    L.Year = R.Word();
    if (L.Year == 2000) // the unit's "no time yet"
        L.Year = 0;
    L.Month = R.Byte();
    L.Day = R.Byte();
    L.Hour = R.Byte();
    L.Minute = R.Byte();
    L.Second = R.Byte();
    L.DateTime = SafeEncodeDateTime(L.Year, L.Month, L.Day, L.Hour, L.Minute, L.Second);
    ReadPosition(R, L);
    L.Value17 = R.Byte();
    L.Value18 = R.Word();
    L.Value20 = static_cast<int16_t>(R.Word());
    const uint8_t B22 = R.Byte();
    L.Value22Low = B22 & 0x0F;
    // Cores up to 2.48 leave the high nibble undefined. Compared on the integer pair so that
    // 2.48 itself is not taken as above.
    const int CoreHundredths = (Unit.CoreNumber >> 8) * 100 + (Unit.CoreNumber & 0xFF);
    L.Value22High = CoreHundredths > 248 ? (B22 >> 4) : -1;
    L.Tenths23 = R.Byte() / 10.0;
    L.Tenths24 = R.Byte() / 10.0;
    L.Tenths25 = R.Byte() / 10.0;
    const uint8_t B26 = R.Byte();
    L.Bits26 = Unit.CoreNumber >= 597 ? (B26 & 0x3F) : 0;
    L.Flag26a = Bit(B26, 7);
    L.Flag26b = Unit.CoreNumber >= 590 ? Bit(B26, 6) : L.Flag26a;
    L.LocalTime = false;
    if (Len >= 29)
        L.Value27 = R.Word();
    if (Len >= 30)
        L.Value29 = R.Byte();
}

namespace
{

uint8_t Technology(uint8_t T)
{
    if (T <= 4)
        return T;
    if (T == 8)
        return 5;
    if (T == 9)
        return 6;
    return 7;
}

uint8_t NibbleCode(uint8_t N)
{
    return (N >= 1 && N <= 5) ? static_cast<uint8_t>(N + 1) : 1;
}

} // namespace

bool CX_DecodeRxQuality(uint8_t CmdID, const std::string& P, bool OptimizeCells, TCX_RxQuality& Q)
{
    std::size_t Header = 0;
    std::size_t CellSize = 0;
    switch (CmdID) {
    case CX_Cmd::RxQuality:
        Header = 5;
        CellSize = 5;
        break;
    case CX_Cmd::RxQuality7:
        Header = 5;
        CellSize = 7;
        break;
    case CX_Cmd::RxQualityTech:
        Header = 6;
        CellSize = 9;
        break;
    case CX_Cmd::RxQualityFull:
        Header = 11;
        CellSize = 9;
        break;
    default:
        return false;
    }
    if (P.size() < Header)
        return false;

    TCX_RxQuality N;
    TCX_PayloadReader R(P);
    if (CmdID == CX_Cmd::RxQualityTech || CmdID == CX_Cmd::RxQualityFull)
        N.Technology = Technology(R.Byte());
    if (CmdID == CX_Cmd::RxQualityFull) {
        const uint8_t Codes = R.Byte();
        N.Code1 = NibbleCode(Codes >> 4);
        N.Code2 = NibbleCode(Codes & 0x0F);
        N.Value1 = R.Word();
        N.Value2 = R.Byte();
        N.Value3 = R.Byte();
    }
    const uint8_t Flags = R.Byte();
    N.FlagBit3 = Bit(Flags, 3);
    N.FlagBit0 = Bit(Flags, 0);
    N.FlagBit2 = Bit(Flags, 2);
    N.FlagBit1 = Bit(Flags, 1);
    for (uint8_t& A : N.Address)
        A = R.Byte();
    N.AddressText = std::to_string(N.Address[0]) + "." + std::to_string(N.Address[1]) + "." +
                    std::to_string(N.Address[2]) + "." + std::to_string(N.Address[3]);

    std::size_t Count = (P.size() - Header) / CellSize;
    if (Count > 7)
        Count = 7;
    for (std::size_t i = 0; i < Count; ++i) {
        TCX_Cell Cell;
        Cell.A = R.Word();
        Cell.B = CellSize == 9 ? static_cast<int32_t>(R.Long()) : R.Word();
        if (CellSize >= 7)
            Cell.C = R.Word();
        Cell.Level = -static_cast<int32_t>(R.Byte());
        if (OptimizeCells) {
            bool Duplicate = false;
            for (std::size_t k = 0; k < N.CellCount; ++k)
                if (N.Cells[k].A == Cell.A && N.Cells[k].B == Cell.B)
                    Duplicate = true;
            if (Duplicate)
                continue;
        }
        N.Cells[N.CellCount++] = Cell;
    }
    Q = N;
    return true;
}
