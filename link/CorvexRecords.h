#pragma once
// Enumerations and records of the tracking-unit link. Multi-byte values in the
// unit's payloads are big-endian; the decoders live in CorvexDecode.*.
// Fields whose meaning belongs to the unit alone are named after the payload
// byte (or bit) they come from; the component only stores and forwards them.
#include <cstdint>
#include <string>

enum TCX_ConfigType { cxctCore2, cxctSTX, cxctSTXb };

enum TCX_ViewType {
    cxvOff,
    cxvGSM,
    cxvGPS,
    cxvLin,
    cxvMBLE,
    cxvSrvRX,
    cxvSrvTX,
    cxvMUX,
    cxvMUX1,
    cxvMUX2,
    cxvMUX3,
    cxvMUX4,
    cxvDebug
};

// High nibble of an action report's first byte; every value 0..15 occurs.
enum TCX_ActionType : uint8_t {
    cxatType0,
    cxatType1,
    cxatType2,
    cxatType3,
    cxatType4,
    cxatType5,
    cxatType6,
    cxatType7,
    cxatType8,
    cxatType9,
    cxatType10,
    cxatType11,
    cxatType12,
    cxatType13,
    cxatType14,
    cxatType15
};

// Low nibble of an action report's first byte; values above 12 are folded into cxasOther.
enum TCX_ActionSource : uint8_t {
    cxasSource0,
    cxasSource1,
    cxasSMS,
    cxasSource3,
    cxasSource4,
    cxasMagneticCard,
    cxasSource6,
    cxasSource7,
    cxasSource8,
    cxasSource9,
    cxasSource10,
    cxasSource11,
    cxasOther
};

enum TCX_EEPROMTest : uint8_t { cxetResult0, cxetResult1, cxetResult2, cxetResult3 };
enum TCX_EEPROMType : uint8_t { cxeeNone, cxeeType1, cxeeType2 };

struct TCX_UnitInfo {
    uint8_t Class = 0;
    int32_t UnitID = -1; // 24 bits; 16777215 = never tested
    int32_t OriginalID = -1;
    uint16_t HexType = 0;
    uint8_t HexTypeHi = 0;
    uint8_t HexTypeLo = 0;
    uint16_t OriginalHexType = 0;
    uint8_t OriginalHexTypeHi = 0;
    uint8_t OriginalHexTypeLo = 0;
    uint16_t HexType2 = 0;
    uint8_t HexType2Hi = 0;
    uint8_t HexType2Lo = 0;
    double Version = 0;         // major + minor / 100
    uint16_t VersionNumber = 0; // major << 8 | minor
    uint8_t Revision = 0;
    char RevisionLetter = 0;
    std::string VersionText; // "%0.2f", with the revision suffixes
    double CoreVersion = 0;
    uint16_t CoreNumber = 0; // protocol decisions are taken on this value
    std::string CoreText;
    double AuxVersion = 0;
    uint16_t AuxNumber = 0;
    std::string AuxText;
    int32_t ExtCode = 0;
    int32_t ExtSize = 0;
    bool WideParameters = false; // parameter numbers take two bytes
    bool ExtFlag2 = false;
    bool ExtFlag4 = false;
    bool Locked = false;
};

struct TCX_VersionInfo {
    bool Valid = false;
    uint8_t Hardware = 0;
    std::string HardwareText; // "2e5" for 0x25
    uint8_t HardwareRev = 0;
    std::string HardwareRevName;
    uint8_t Class = 0;
    int32_t Hardware2 = 0;
    std::string Hardware2Text;

    // Capability flags, named after their word and bit.
    uint8_t W1Mode = 0;
    bool W1Bit1 = false, W1Bit2 = false, W1Bit3 = false, W1Bit4 = false, W1Bit5 = false;
    bool W1Bit8 = false, W1Bit9 = false, W1Bit10 = false, W1Bit11 = false, W1Bit12 = false, W1Bit13 = false;
    bool W3Bit9 = false, W3Bit8 = false, W3Bit10 = false, W3Bit11 = false;
    bool W9Bit0 = false, W9Bit1 = false, W9Bit2 = false, W9Bit3 = false;
    bool W9Bit5 = false, W9Bit6 = false, W9Bit7 = false;
    bool W2Bit0 = false;
    uint8_t W2Mode = 0;
    bool W3Present = false;
    bool W3Low = false;
    uint8_t W3Kind = 0;
    bool W3Bit5 = false, W3Bit6 = false;
    bool W3Bit15 = false, W3Bit14 = false, W3Bit13 = false, W3Bit12 = false;
    bool W4Present = false;
    int32_t W4Value = 0;
    bool W4Bit11 = false;
    uint8_t W5Mode = 0;
    bool W5Bit3 = false, W5Bit4 = false, W5Bit5 = false, W5Bit6 = false, W5Bit7 = false, W5Bit8 = false;
    bool W5Bit9 = false;
    bool W5Bit10 = false, W5Bit11 = false, W5Bit12 = false, W5Bit13 = false;
    bool W6Present = false;
    bool W6Bit1 = false, W6Bit2 = false, W6Bit3 = false, W6Bit4 = false;
    bool B7Present = false;
    uint8_t B7Low = 0;
    bool B7Bit3 = false;
    bool B8Bit0 = false, B8Bit1 = false, B8Bit2 = false, B8Bit3 = false, B8Bit4 = false, B8Bit5 = false,
         B8Bit6 = false;

    // Controller of the unit.
    bool McuPresent = false;
    int32_t McuCode = 0;
    std::string McuName;   // "STM32F103xB"
    int32_t FlashSize = 0; // bytes
    bool McuFlag = false;  // bit 4 of W9
};

struct TCX_GPSLocation {
    double DateTime = 0; // days since 1899-12-30; 0 when the date or time is invalid
    uint16_t Year = 0;
    uint16_t Month = 0;
    uint16_t Day = 0;
    uint16_t Hour = 0;
    uint16_t Minute = 0;
    uint16_t Second = 0;
    uint8_t LatDegrees = 0;
    double LatMinutes = 0;
    uint8_t LatExtra = 0;
    uint8_t LonDegrees = 0;
    double LonMinutes = 0;
    uint8_t LonExtra = 0;
    uint8_t Value17 = 0;
    int32_t Value18 = 0;
    int32_t Value20 = 0;
    uint8_t Value22Low = 0;
    int32_t Value22High = 0;
    uint8_t Value29 = 0;
    int32_t Value27 = 0;
    double Tenths23 = 0;
    double Tenths24 = 0;
    double Tenths25 = 0;
    bool LocalTime = false;
    uint8_t Bits26 = 0;
    bool Flag26a = false;
    bool Flag26b = false;
};

struct TCX_LoggerStatus {
    int32_t Current = 0;
    int32_t Total = 0;
};

struct TCX_Voltage {
    bool Flag0 = false;
    bool Flag1 = false;
    bool Flag2 = false;
    double Value1 = 0; // bytes 1..2 / 1000
    double Value3 = 0; // bytes 3..4 / 1000
};

struct TCX_PinCodeState {
    uint8_t State = 0;
    std::string Code1; // 4 decimal digits
    std::string Code2;
};

struct TCX_Cell {
    int32_t A = 0;
    int32_t B = 0;
    int32_t C = 0;
    int32_t Level = 0; // minus the reported byte
};

struct TCX_RxQuality {
    uint8_t Technology = 0;
    uint8_t Code1 = 0;
    uint8_t Code2 = 0;
    int32_t Value1 = 0;
    int32_t Value2 = 0;
    int32_t Value3 = 0;
    bool FlagBit3 = false;
    bool FlagBit0 = false;
    bool FlagBit2 = false;
    bool FlagBit1 = false;
    uint8_t Address[4] = {0, 0, 0, 0};
    std::string AddressText; // "%d.%d.%d.%d"
    uint8_t CellCount = 0;
    TCX_Cell Cells[7];
};

struct TCX_Time {
    uint16_t Year = 0;
    uint8_t Month = 0;
    uint8_t Day = 0;
    uint8_t Value4 = 0; // byte 4 without bit 7
    uint8_t Hour = 0;
    uint8_t Minute = 0;
    uint8_t Second = 0;
    double DateTime = 0; // 0 when invalid
    bool Flag4 = false;  // bit 7 of byte 4
};

struct TCX_GSMRequests {
    int32_t V0 = 0, V1 = 0, V2 = 0, V3 = 0, V4 = 0, V5 = 0;
    int32_t V6 = 0, V7 = 0, V8 = 0, V9 = 0, V10 = 0, V11 = 0;
};

struct TCX_BatteryInfo {
    double Value0 = 0, Value4 = 0, Value8 = 0; // 32-bit / 1000
    double Value12 = 0;                        // signed 16-bit / 100
    double Value14 = 0, Value16 = 0, Value18 = 0, Value20 = 0, Value22 = 0, Value24 = 0; // 16-bit / 1000
    bool Flag26Bit7 = false, Flag26Bit6 = false, Flag26Bit5 = false, Flag26Bit4 = false;
    double Value27 = 0; // byte / 128
    int32_t Value29 = 0;
    int32_t Value30 = 0;
};

// The SMS inside an action report. Not decoded by this tool: the events that
// carry it exist for handlers written against them, but are never fired.
struct PDU_Record {
    std::string Phone;
    std::string Text; // UTF-8
    std::string RawPDU;
};
