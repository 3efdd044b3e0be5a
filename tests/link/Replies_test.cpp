// Reply decoding, field by field, and the commands whose answers it interprets.
#include "LinkTest.h"

#include "util/MyFunctions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <map>
#include <set>
#include <tuple>

namespace
{

struct TPanelSpy : TCX_Panel {
    std::string Caption, Hint;
    bool Led = false;
    void SetPanelCaption(const std::string& C) override { Caption = C; }
    void SetPanelHint(const std::string& H) override { Hint = H; }
    void SetPanelLed(bool On) override { Led = On; }
};

struct Replies : ::testing::Test {
    TCorvex CX;
    std::string Tx;
    std::vector<std::pair<int, std::string>> Unhandled;

    void SetUp() override
    {
        CX.SetExternalCom(true);
        CX.SetConfigType(cxctSTXb);
        CX.OnExternalComTx = [this](TCorvex*, const std::string& S) { Tx += S; };
        CX.OnGotCommand = [this](TCorvex*, uint8_t CmdID, const std::string& Data) {
            Unhandled.emplace_back(CmdID, Data);
        };
    }
    void Reply(uint8_t CmdID, const std::string& HexData) { CX.DispatchFrame(CmdID, HexData); }
    // Connects with an extended unit information: class 5, core 5.45, MaxLength 100, flags byte F.
    void ConnectExtended(uint8_t Flags)
    {
        Reply(0x0B,
              "05 00 30 39 00 30 39 01 02 01 02 02 1F 05 2D 01 00 00 01 64 " + Hex(std::string(1, Flags)));
        ASSERT_TRUE(CX.Connected());
    }
    // The payload bytes of the last frame sent, in STXb.
    std::string SentPayload()
    {
        // Undo the escaping of everything after start and address.
        std::string Raw;
        for (std::size_t i = 2; i < Tx.size(); ++i) {
            uint8_t B = static_cast<uint8_t>(Tx[i]);
            if (B == 0x10 && i + 1 < Tx.size()) {
                const uint8_t N = static_cast<uint8_t>(Tx[++i]);
                B = N == 0x10 ? 0x10 : static_cast<uint8_t>(N - 1);
            }
            Raw += static_cast<char>(B);
        }
        return Hex(Raw.substr(2, Raw.size() - 3)); // without command, length and sum
    }
    uint8_t SentCommand() const { return static_cast<uint8_t>(Tx.size() > 2 ? Tx[2] : 0); }
};

} // namespace

// ---- Unit information ----

TEST_F(Replies, ShortUnitInformationEstablishesTheLink)
{
    int Opened = 0, Infos = 0, Reported = 0;
    CX.OnAfterOpen = [&](TCorvex*) { ++Opened; };
    CX.OnGotUnitInfo = [&](TCorvex*, const TCX_UnitInfo& U) {
        ++Infos;
        Reported = U.UnitID;
    };
    Reply(0x01, "00 30 39 01 02 02 1F 02 2D 01 00 64");
    const TCX_UnitInfo& U = CX.UnitInfo();
    EXPECT_EQ(U.UnitID, 12345);
    EXPECT_EQ(U.OriginalID, 12345);
    EXPECT_EQ(U.HexType, 0x0102);
    EXPECT_EQ(U.HexTypeHi, 0x01);
    EXPECT_EQ(U.HexTypeLo, 0x02);
    EXPECT_EQ(U.OriginalHexType, 0x0102);
    EXPECT_EQ(U.VersionText, "2.31");
    EXPECT_DOUBLE_EQ(U.Version, 2.31);
    EXPECT_EQ(U.VersionNumber, 0x021F);
    EXPECT_EQ(U.CoreNumber, 0x022D);
    EXPECT_EQ(U.CoreText, "2.45");
    EXPECT_EQ(U.AuxText, "1.00");
    EXPECT_EQ(U.Class, 0);
    EXPECT_EQ(U.ExtCode, -1);
    EXPECT_EQ(U.ExtSize, 1024);
    EXPECT_FALSE(U.WideParameters);
    EXPECT_EQ(CX.MaxLength(), 100);
    EXPECT_TRUE(CX.Connected());
    EXPECT_EQ(Opened, 1);
    EXPECT_EQ(Infos, 1);
    EXPECT_EQ(Reported, 12345);
    EXPECT_TRUE(CX.LinkTimerEnabled());
    EXPECT_EQ(CX.LinkTimerInterval(), 10000);
    EXPECT_EQ(CX.LinkTimerTag(), 0);
    EXPECT_TRUE(Unhandled.empty());

    // Again while connected: refreshed, reported, but not a new connection.
    Reply(0x01, "00 30 3A 01 02 02 1F 02 2D 01 00 64");
    EXPECT_EQ(CX.UnitInfo().UnitID, 12346);
    EXPECT_EQ(Reported, 12346);
    EXPECT_EQ(Opened, 1);
    EXPECT_EQ(Infos, 2);
}

TEST_F(Replies, ShortUnitInformationForms)
{
    // 14 bytes: original type.
    Reply(0x01, "00 30 39 01 02 03 04 02 1F 02 2D 01 00 64");
    EXPECT_EQ(CX.UnitInfo().OriginalHexType, 0x0304);
    EXPECT_EQ(CX.UnitInfo().OriginalID, 12345);
    // FF FF stands for "same as the type".
    Reply(0x01, "00 30 39 01 02 FF FF 02 1F 02 2D 01 00 64");
    EXPECT_EQ(CX.UnitInfo().OriginalHexType, 0x0102);
    // 15 bytes: original ID, no original type.
    Reply(0x01, "00 30 39 00 00 07 01 02 02 1F 02 2D 01 00 50");
    EXPECT_EQ(CX.UnitInfo().OriginalID, 7);
    EXPECT_EQ(CX.UnitInfo().OriginalHexType, 0x0102);
    EXPECT_EQ(CX.MaxLength(), 0x50);
    // 17 bytes: both.
    Reply(0x01, "00 30 39 00 00 07 01 02 03 04 02 1F 02 2D 01 00 60");
    EXPECT_EQ(CX.UnitInfo().OriginalID, 7);
    EXPECT_EQ(CX.UnitInfo().OriginalHexType, 0x0304);
    EXPECT_EQ(CX.UnitInfo().VersionText, "2.31");
    EXPECT_EQ(CX.MaxLength(), 0x60);
    EXPECT_TRUE(Unhandled.empty());
}

TEST_F(Replies, ExtendedUnitInformation)
{
    CX.SetText_ShowRevision(true);
    // 23 bytes: flags 0F, revision 0, letter 'o'.
    Reply(0x0B, "05 00 30 39 00 00 07 01 02 FF FF 02 1F 02 4D 01 02 12 34 C8 0F 00 6F");
    const TCX_UnitInfo& U = CX.UnitInfo();
    EXPECT_EQ(U.Class, 5);
    EXPECT_EQ(U.UnitID, 12345);
    EXPECT_EQ(U.OriginalID, 7);
    EXPECT_EQ(U.OriginalHexType, 0x0102);
    EXPECT_EQ(U.ExtCode, 0x1234);
    EXPECT_EQ(CX.MaxLength(), 200);
    EXPECT_TRUE(U.WideParameters);
    EXPECT_TRUE(U.ExtFlag2);
    EXPECT_TRUE(U.ExtFlag4);
    EXPECT_TRUE(U.Locked);
    EXPECT_EQ(U.Revision, 0);
    EXPECT_EQ(U.RevisionLetter, 'o');
    EXPECT_EQ(U.VersionText, "2.31o");
    EXPECT_EQ(U.HexType2, 0x0102) << "copied without its own bytes";
    EXPECT_EQ(U.ExtSize, 2048) << "core 589 with ExtFlag2";

    // Revision 3 and letter; HexType2 and ExtSize present (27 bytes).
    Reply(0x0B, "05 00 30 39 00 30 39 01 02 01 02 02 1F 02 4E 01 02 12 34 C8 01 03 61 0A 0B 20 00");
    EXPECT_EQ(CX.UnitInfo().VersionText, "2.31.03a");
    EXPECT_EQ(CX.UnitInfo().HexType2, 0x0A0B);
    EXPECT_EQ(CX.UnitInfo().ExtSize, 0x2000);
    EXPECT_FALSE(CX.UnitInfo().ExtFlag2);

    // 20 bytes, core 590 (0x024E is 590): only WideParameters is cleared; ExtSize from the core.
    Reply(0x0B, "05 00 30 39 00 30 39 01 02 01 02 02 1F 02 4E 01 02 12 34 C8");
    EXPECT_FALSE(CX.UnitInfo().WideParameters);
    EXPECT_EQ(CX.UnitInfo().Revision, 0);
    EXPECT_EQ(CX.UnitInfo().ExtSize, 4096);
    EXPECT_EQ(CX.UnitInfo().VersionText, "2.31");

    CX.SetText_ShowRevision(false);
    Reply(0x0B, "05 00 30 39 00 30 39 01 02 01 02 02 1F 02 4E 01 02 12 34 C8 0F 03 6F");
    EXPECT_EQ(CX.UnitInfo().VersionText, "2.31");

    Reply(0x0B, "05 00 30 39 00 30 39 01 02 01 02 02 1F 02 4E 01 02 12 34"); // 19 bytes
    ASSERT_EQ(Unhandled.size(), 1u);
    EXPECT_EQ(Unhandled[0].first, 0x0B);
}

TEST_F(Replies, PanelsShowTheUnitIdentity)
{
    TPanelSpy Id, Version, Type;
    CX.SetPanel_UnitID(&Id);
    CX.SetPanel_Version(&Version);
    CX.SetPanel_HexType(&Type);
    Reply(0x01, "FF FF FF 00 00 07 01 02 03 04 02 1F 02 2D 01 00 64");
    EXPECT_EQ(Id.Caption, "Not tested");
    EXPECT_EQ(Id.Hint, "Original ID: 7");
    EXPECT_TRUE(Id.Led);
    EXPECT_EQ(Version.Caption, "2.31");
    EXPECT_EQ(Type.Caption, "0102");
    EXPECT_EQ(Type.Hint, "Original Type: 0304");
    EXPECT_TRUE(Type.Led);

    CX.SetText_UnitNotTested("");
    CX.SetText_VersionAndCore(true);
    Reply(0x01, "FF FF FF 01 02 02 1F 02 2D 01 00 64");
    EXPECT_EQ(Id.Caption, "16777215");
    EXPECT_EQ(Id.Hint, "");
    EXPECT_FALSE(Id.Led);
    EXPECT_EQ(Version.Caption, "v2.31 / c2.45");
    EXPECT_FALSE(Type.Led);

    CX.SetPanel_ClearOnClose(false);
    CX.Close(true);
    EXPECT_EQ(Id.Caption, "16777215") << "kept without ClearOnClose";
    CX.SetPanel_ClearOnClose(true);
    CX.Close(true);
    EXPECT_EQ(Id.Caption, "");
    EXPECT_EQ(Type.Caption, "");
    CX.SetPanel_UnitID(nullptr);
    CX.SetPanel_Version(nullptr);
    CX.SetPanel_HexType(nullptr);
}

// ---- Version information ----

TEST_F(Replies, VersionInformationShortest)
{
    int Got = 0;
    CX.OnGotVersionInfo = [&](TCorvex*, const TCX_VersionInfo& V) {
        ++Got;
        EXPECT_TRUE(V.Valid);
    };
    Reply(0x01, "00 30 39 01 02 02 1F 02 2D 01 00 64"); // core 557: below 596
    // Hardware 25; W1 0041, W2 0009, W3 001E, W4 0A05, W5 0003, W6 0000, B7 0D, B8 41.
    Reply(0x0A, "25 00 41 00 09 00 1E 0A 05 00 03 00 00 0D 41");
    const TCX_VersionInfo& V = CX.VersionInfo();
    EXPECT_EQ(Got, 1);
    ASSERT_EQ(Unhandled.size(), 1u) << "also reaches OnGotCommand";
    EXPECT_EQ(Unhandled[0].first, 0x0A);
    EXPECT_EQ(V.Hardware, 0x25);
    EXPECT_EQ(V.HardwareText, "2e5");
    EXPECT_EQ(V.HardwareRev, 0);
    EXPECT_EQ(V.Class, 0);
    EXPECT_EQ(V.Hardware2, 0x25);
    EXPECT_EQ(V.Hardware2Text, "2e5");
    EXPECT_EQ(V.W1Mode, 1);
    EXPECT_TRUE(CX.UnitInfo().ExtFlag4) << "W1 bit 0";
    EXPECT_FALSE(V.W1Bit1);
    EXPECT_TRUE(V.W2Bit0);
    EXPECT_EQ(V.W2Mode, 2);
    EXPECT_TRUE(V.W3Present);
    EXPECT_TRUE(V.W3Low);
    EXPECT_EQ(V.W3Kind, 9) << "kind 7 is stored as 9";
    EXPECT_FALSE(V.W3Bit5);
    EXPECT_TRUE(V.W4Present);
    EXPECT_EQ(V.W4Value, 0x205);
    EXPECT_TRUE(V.W4Bit11);
    EXPECT_EQ(V.W5Mode, 0);
    EXPECT_TRUE(V.W5Bit9) << "forced below core 596";
    EXPECT_FALSE(V.W6Present);
    EXPECT_TRUE(V.B7Present);
    EXPECT_EQ(V.B7Low, 5);
    EXPECT_TRUE(V.B7Bit3);
    EXPECT_TRUE(V.B8Bit0);
    EXPECT_TRUE(V.B8Bit6);
    EXPECT_FALSE(V.B8Bit1);
    EXPECT_FALSE(V.McuPresent);

    Reply(0x0A, "25 00 41 00 09 00 1E 0A 05 00 03 00 00 0D"); // 14 bytes
    EXPECT_EQ(Got, 1);
    EXPECT_EQ(Unhandled.size(), 2u);
}

TEST_F(Replies, VersionInformationOptionalBytesAndMcu)
{
    ConnectExtended(0x00); // class 5, core 5.45 (0x052D): W5Bit9 comes from the unit
    // 16 bytes: HardwareRev FF is stored as 0 and empties the hardware text.
    Reply(0x0A, "3A FF 00 C0 00 00 00 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(CX.VersionInfo().HardwareRev, 0);
    EXPECT_EQ(CX.VersionInfo().HardwareText, "");
    EXPECT_EQ(CX.VersionInfo().Hardware2Text, "3e10");
    EXPECT_EQ(CX.VersionInfo().W1Mode, 0) << "both mode bits set";
    EXPECT_FALSE(CX.VersionInfo().W5Bit9);
    EXPECT_FALSE(CX.VersionInfo().W3Present);
    EXPECT_FALSE(CX.VersionInfo().W4Present);
    EXPECT_FALSE(CX.VersionInfo().B7Present);

    // 17 bytes: HardwareRev 3, Hardware2 0x26; Class still the unit's.
    Reply(0x0A, "3A 03 26 00 80 00 00 00 00 00 00 00 02 00 12 00 00");
    EXPECT_EQ(CX.VersionInfo().HardwareText, "3e10");
    EXPECT_EQ(CX.VersionInfo().HardwareRev, 3);
    EXPECT_EQ(CX.VersionInfo().HardwareRevName, CX_HardwareCodeName(3));
    EXPECT_EQ(CX.VersionInfo().Class, 5);
    EXPECT_EQ(CX.VersionInfo().Hardware2, 0x26);
    EXPECT_EQ(CX.VersionInfo().W1Mode, 2);
    EXPECT_EQ(CX.VersionInfo().W5Mode, 2);
    EXPECT_TRUE(CX.VersionInfo().W6Present);
    EXPECT_TRUE(CX.VersionInfo().W6Bit1);
    EXPECT_TRUE(CX.VersionInfo().W6Bit4);

    // 22 bytes: class byte, MCU 103 with 4 x 32 KiB, W9 = 0x00F1.
    Reply(0x0A, "25 01 07 25 00 00 00 00 00 00 00 00 00 00 00 00 00 00 67 04 00 F1");
    const TCX_VersionInfo& V = CX.VersionInfo();
    EXPECT_EQ(V.Class, 7);
    EXPECT_EQ(V.Hardware2, 0x25);
    EXPECT_TRUE(V.McuPresent);
    EXPECT_EQ(V.McuCode, 103);
    EXPECT_EQ(V.McuName, "STM32F103xB");
    EXPECT_EQ(V.FlashSize, 131072);
    EXPECT_TRUE(V.W9Bit0);
    EXPECT_FALSE(V.W9Bit1);
    EXPECT_TRUE(V.McuFlag) << "W9 bit 4";
    EXPECT_TRUE(V.W9Bit5);
    EXPECT_TRUE(V.W9Bit7);

    // M = 255: no MCU. Unknown M with an odd flash size: generic name, no letter.
    Reply(0x0A, "25 01 07 25 00 00 00 00 00 00 00 00 00 00 00 00 00 00 FF 04");
    EXPECT_FALSE(CX.VersionInfo().McuPresent);
    EXPECT_EQ(CX.VersionInfo().McuName, "");
    Reply(0x0A, "25 01 07 25 00 00 00 00 00 00 00 00 00 00 00 00 00 00 11 03");
    EXPECT_EQ(CX.VersionInfo().McuName, "STM32F10xx");
    Reply(0x0A, "25 01 07 25 00 00 00 00 00 00 00 00 00 00 00 00 00 00 70 10");
    EXPECT_EQ(CX.VersionInfo().McuName, "STM32F412xE");
}

TEST_F(Replies, RequestVersionInformationByCore)
{
    int Got = 0;
    TCX_VersionInfo Last;
    CX.OnGotVersionInfo = [&](TCorvex*, const TCX_VersionInfo& V) {
        ++Got;
        Last = V;
    };
    Reply(0x01, "00 30 39 01 02 02 1F 02 2D 01 00 64"); // core 557: no command 0x0A
    Tx.clear();
    CX.RequestVersionInfo(false);
    EXPECT_EQ(Got, 0);
    EXPECT_EQ(Tx, "");
    CX.RequestVersionInfo(true);
    EXPECT_EQ(Got, 1);
    EXPECT_EQ(Last.Hardware, 0x25);
    EXPECT_EQ(Last.HardwareText, "2e5");
    EXPECT_EQ(Last.Hardware2Text, "2e5");
    EXPECT_EQ(Tx, "");

    Reply(0x01, "00 30 39 01 02 02 1F 02 37 01 00 64"); // core 567
    CX.RequestVersionInfo(false);
    EXPECT_EQ(Hex(Tx), "02 01 0A 00 0A");
    Reply(0x0A, "25 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    Tx.clear();
    CX.RequestVersionInfo(false);
    EXPECT_EQ(Tx, "") << "a valid record is reported again without asking";
    EXPECT_EQ(Got, 3);
}

// ---- GPS location ----

TEST_F(Replies, GpsLocationLongForm)
{
    std::vector<TCX_GPSLocation> Seen;
    CX.OnGPSLocation = [&](TCorvex*, const TCX_GPSLocation& L) { Seen.push_back(L); };
    ConnectExtended(0x00);              // core 0x052D: above 2.48 and 597
    Reply(0x05, "07 E8 03 0F 0C 22 38 " // 2024-03-15 12:34:56
                "36 0C 13 88 4E "       // lat 54° 12.5 ', extra 'N'
                "17 1E 27 10 45 "       // lon 23° 31.0 ', extra 'E'
                "09 01 2C FF 9C A7 "    // 9, 300, -100, 0xA7
                "0F 14 C8 "             // 1.5, 2.0, 20.0
                "C5 12 34 56");         // bits 26, 0x1234, 0x56
    ASSERT_EQ(Seen.size(), 1u);
    const TCX_GPSLocation& L = Seen[0];
    EXPECT_EQ(L.Year, 2024);
    EXPECT_EQ(L.Month, 3);
    EXPECT_EQ(L.Day, 15);
    EXPECT_EQ(L.Hour, 12);
    EXPECT_EQ(L.Minute, 34);
    EXPECT_EQ(L.Second, 56);
    EXPECT_DOUBLE_EQ(L.DateTime, SafeEncodeDateTime(2024, 3, 15, 12, 34, 56));
    EXPECT_EQ(L.LatDegrees, 54);
    EXPECT_DOUBLE_EQ(L.LatMinutes, 12.5);
    EXPECT_EQ(L.LatExtra, 'N');
    EXPECT_EQ(L.LonDegrees, 23);
    EXPECT_DOUBLE_EQ(L.LonMinutes, 31.0);
    EXPECT_EQ(L.LonExtra, 'E');
    EXPECT_EQ(L.Value17, 9);
    EXPECT_EQ(L.Value18, 300);
    EXPECT_EQ(L.Value20, -100);
    EXPECT_EQ(L.Value22Low, 7);
    EXPECT_EQ(L.Value22High, 0xA);
    EXPECT_DOUBLE_EQ(L.Tenths23, 1.5);
    EXPECT_DOUBLE_EQ(L.Tenths24, 2.0);
    EXPECT_DOUBLE_EQ(L.Tenths25, 20.0);
    EXPECT_EQ(L.Bits26, 0x05);
    EXPECT_TRUE(L.Flag26a);
    EXPECT_TRUE(L.Flag26b);
    EXPECT_FALSE(L.LocalTime);
    EXPECT_EQ(L.Value27, 0x1234);
    EXPECT_EQ(L.Value29, 0x56);

    // An old core: no high nibble, no bits, Flag26b follows Flag26a; year 2000 is "no time".
    Reply(0x01, "00 30 39 01 02 02 1F 02 30 01 00 64"); // core 2.48 (0x0230 = 560)
    Reply(0x05, "07 D0 01 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 A7 00 00 00 45");
    ASSERT_EQ(Seen.size(), 2u);
    EXPECT_EQ(Seen[1].Year, 0);
    EXPECT_EQ(Seen[1].DateTime, 0);
    EXPECT_EQ(Seen[1].Value22High, -1);
    EXPECT_EQ(Seen[1].Bits26, 0);
    EXPECT_FALSE(Seen[1].Flag26a);
    EXPECT_FALSE(Seen[1].Flag26b);
    EXPECT_EQ(Seen[1].Value27, 0) << "absent in the 27-byte form";

    Reply(0x05, "00 00 00 00 00 00 00 00 00 00 00 00 00"); // 13 bytes
    EXPECT_EQ(Seen.size(), 2u);
    ASSERT_EQ(Unhandled.size(), 1u);
}

TEST_F(Replies, GpsLocationShortFormTakesTheHostClock)
{
    std::vector<TCX_GPSLocation> Seen;
    CX.OnGPSLocation = [&](TCorvex*, const TCX_GPSLocation& L) { Seen.push_back(L); };
    const std::time_t Before = std::time(nullptr);
    Reply(0x05, "36 0C 13 88 4E 17 1E 27 10 45 00 2A");
    ASSERT_EQ(Seen.size(), 1u);
    const TCX_GPSLocation& L = Seen[0];
    std::tm Local{};
    localtime_r(&Before, &Local);
    EXPECT_EQ(L.Year, Local.tm_year + 1900);
    EXPECT_GT(L.DateTime, 40000.0);
    EXPECT_EQ(L.LatDegrees, 54);
    EXPECT_DOUBLE_EQ(L.LatMinutes, 12.5);
    EXPECT_EQ(L.LonExtra, 'E');
    EXPECT_EQ(L.Value27, 42);
    EXPECT_TRUE(L.LocalTime);
    EXPECT_TRUE(L.Flag26a);
    EXPECT_TRUE(L.Flag26b);
}

// ---- Parameters ----

TEST_F(Replies, WideParameters)
{
    std::vector<std::tuple<int, bool, std::string, std::string>> Got;
    CX.OnRequestParameter = [&](TCorvex*, int32_t P, bool Valid, const std::string& V, const std::string& H) {
        Got.emplace_back(P, Valid, V, H);
    };
    ConnectExtended(0x01);
    Tx.clear();
    CX.RequestParameter(65352);
    EXPECT_EQ(Hex(Tx), "02 01 03 10 03 FF 48 4C");
    EXPECT_EQ(CX.LastParameter(), 65352);
    Reply(0x03, "FF 48 31 2C 32");
    ASSERT_EQ(Got.size(), 1u);
    EXPECT_EQ(Got[0], std::make_tuple(65352, true, std::string("1,2"), std::string("31 2C 32")));
    Reply(0x03, "FF 4A");
    ASSERT_EQ(Got.size(), 2u);
    EXPECT_EQ(Got[1], std::make_tuple(65354, true, std::string(), std::string()));
    EXPECT_EQ(CX.LastParameter(), 65354);

    // The unit refuses: an acknowledgement instead of the value.
    CX.RequestParameter(7);
    Reply(0x02, "00");
    ASSERT_EQ(Got.size(), 3u);
    EXPECT_EQ(Got[2], std::make_tuple(7, false, std::string(), std::string()));

    Tx.clear();
    CX.RequestParameter(65536);
    CX.RequestParameter(-1);
    EXPECT_EQ(Tx, "");
    ASSERT_EQ(Got.size(), 5u);
    EXPECT_FALSE(std::get<1>(Got[3]));
    EXPECT_EQ(std::get<0>(Got[4]), -1);
}

TEST_F(Replies, NarrowParameters)
{
    std::vector<std::tuple<int, bool, std::string, std::string>> Got;
    CX.OnRequestParameter = [&](TCorvex*, int32_t P, bool Valid, const std::string& V, const std::string& H) {
        Got.emplace_back(P, Valid, V, H);
    };
    Reply(0x01, "00 30 39 01 02 02 1F 02 2D 01 00 64");
    Tx.clear();
    CX.RequestParameter(65352);
    EXPECT_EQ(Tx, "") << "out of range without wide numbers";
    ASSERT_EQ(Got.size(), 1u);
    EXPECT_EQ(Got[0], std::make_tuple(65352, false, std::string(), std::string()));
    CX.RequestParameter(60);
    EXPECT_EQ(Hex(Tx), "02 01 03 01 3C 40");
    Reply(0x03, "3C 41 42");
    ASSERT_EQ(Got.size(), 2u);
    EXPECT_EQ(Got[1], std::make_tuple(60, true, std::string("AB"), std::string("41 42")));
    Reply(0x03, "");
    EXPECT_EQ(Got.size(), 2u);
    ASSERT_EQ(Unhandled.size(), 1u) << "an empty parameter frame is not decoded";
}

TEST_F(Replies, SettingParameters)
{
    std::vector<std::pair<int, bool>> Set;
    CX.OnSetParameter = [&](TCorvex*, int32_t P, bool S) { Set.emplace_back(P, S); };
    int Unlocked = 0;
    CX.OnUnitUnlock = [&](TCorvex*) { ++Unlocked; };

    CX.SetParameterInt(5, 1);
    ASSERT_EQ(Set.size(), 1u);
    EXPECT_EQ(Set[0], std::make_pair(5, false)) << "nothing fits before the unit reported MaxLength";
    EXPECT_EQ(Tx, "");

    ConnectExtended(0x09); // wide numbers, locked
    CX.SetParameterInt(65352, 1);
    EXPECT_EQ(SentCommand(), 0x04);
    EXPECT_EQ(SentPayload(), "FF 48 31");
    Reply(0x02, "01");
    ASSERT_EQ(Set.size(), 2u);
    EXPECT_EQ(Set[1], std::make_pair(65352, true));
    Tx.clear();
    CX.SetParameterText(12, "ab");
    EXPECT_EQ(SentPayload(), "00 0C 61 62");
    Reply(0x02, "00");
    EXPECT_EQ(Set[2], std::make_pair(12, false));

    // 98 data bytes fit in MaxLength 100 with a two-byte number; 99 do not.
    Tx.clear();
    CX.SetParameterText(1, std::string(99, 'x'));
    EXPECT_EQ(Tx, "");
    EXPECT_EQ(Set[3], std::make_pair(1, false));
    CX.SetParameterText(1, std::string(98, 'x'));
    EXPECT_NE(Tx, "");

    // Writing parameter 60 on a locked unit unlocks it.
    EXPECT_TRUE(CX.UnitInfo().Locked);
    CX.SetParameterHex(60, "31 32");
    Reply(0x02, "01");
    EXPECT_EQ(Unlocked, 1);
    EXPECT_FALSE(CX.UnitInfo().Locked);
    EXPECT_EQ(Set.back(), std::make_pair(60, true));
}

// ---- Acknowledgements ----

TEST_F(Replies, AcknowledgementsByLastCommand)
{
    std::vector<std::string> Events;
    CX.OnCalibrateVoltage = [&](TCorvex*) { Events.push_back("calibrate"); };
    CX.OnFastSpeed = [&](TCorvex*) { Events.push_back("fast"); };
    CX.OnManualSMS = [&](TCorvex*, bool S) { Events.push_back(S ? "sms+" : "sms-"); };
    CX.OnEEPromDataWrite = [&](TCorvex*, bool S) { Events.push_back(S ? "write+" : "write-"); };
    CX.OnGPSResetCommand = [&](TCorvex*, bool S) { Events.push_back(S ? "reset+" : "reset-"); };
    CX.OnNewDef = [&](TCorvex*, bool S) { Events.push_back(S ? "def+" : "def-"); };
    CX.OnResetSettings = [&](TCorvex*) { Events.push_back("defaults"); };
    CX.OnSettingsSaved = [&](TCorvex*) { Events.push_back("saved"); };
    CX.OnUnitUnlock = [&](TCorvex*) { Events.push_back("unlock"); };
    ConnectExtended(0x08); // locked

    const std::vector<std::tuple<uint8_t, std::string, std::string>> Cases = {
        {0x00, "01", ""},       {0x13, "01", "calibrate"}, {0x14, "01", "fast"},   {0x1A, "01", "sms+"},
        {0x1A, "00", "sms-"},   {0x1C, "01", "write+"},    {0x1C, "00", "write-"}, {0x1C, "01 01", "write-"},
        {0x1E, "01", "reset+"}, {0x31, "00", "def-"},      {0x32, "01", "def+"},   {0xF0, "", "defaults"},
        {0xF1, "01", "saved"},  {0xF4, "00", ""},          {0xF4, "01", "unlock"}, {0xF4, "01", ""},
        {0x06, "01", ""},
    };
    for (const auto& [Cmd, Ack, Expected] : Cases) {
        Events.clear();
        CX.SendCommand(Cmd, "", true);
        Reply(0x02, Ack);
        EXPECT_EQ(Events.size(), Expected.empty() ? 0u : 1u) << Hex(std::string(1, char(Cmd)));
        if (!Expected.empty() && !Events.empty()) {
            EXPECT_EQ(Events[0], Expected) << Hex(std::string(1, char(Cmd)));
        }
    }
    EXPECT_TRUE(Unhandled.empty()) << "every listed command's acknowledgement is handled";
    EXPECT_EQ(CX.ViewMode(), cxvOff);

    // Others fall through.
    CX.SendCommand(0x05, "01", true);
    Reply(0x02, "01");
    ASSERT_EQ(Unhandled.size(), 1u);
    EXPECT_EQ(Unhandled[0], std::make_pair(0x02, std::string("01")));
}

TEST_F(Replies, EepromWriteCommandAndAnswers)
{
    std::vector<bool> Results;
    CX.OnEEPromDataWrite = [&](TCorvex*, bool R) { Results.push_back(R); };
    CX.WriteEEPromData(0x12345, "AA BB");
    EXPECT_EQ(SentCommand(), 0x1C);
    EXPECT_EQ(SentPayload(), "00 01 23 45 AA BB");
    Reply(0x02, "01");
    Reply(0x02, "00");
    EXPECT_EQ(Results, (std::vector<bool>{true, false}));

    std::vector<std::pair<int, std::string>> Reads;
    Reply(0x1B, "00 01 00 00 41 42");
    EXPECT_TRUE(Reads.empty());
    CX.OnEEPromDataRead = [&](TCorvex*, int32_t A, const std::string& D) { Reads.emplace_back(A, D); };
    Reply(0x1B, "00 01 00 00 41 42");
    Reply(0x1B, "00 01 00 00");
    ASSERT_EQ(Reads.size(), 1u);
    EXPECT_EQ(Reads[0], std::make_pair(0x10000, std::string("41 42")));
    EXPECT_EQ(Unhandled.size(), 3u) << "EEPROM data also reaches OnGotCommand";
}

TEST_F(Replies, TurnOffAcknowledgementEndsTheConnection)
{
    int Closed = 0;
    CX.OnAfterClose = [&](TCorvex*) { ++Closed; };
    TPanelSpy Id;
    CX.SetPanel_UnitID(&Id);
    ConnectExtended(0x00);
    EXPECT_EQ(Id.Caption, "12345");
    Tx.clear();
    CX.TurnOff();
    EXPECT_EQ(Hex(Tx), "02 01 F2 00 F2");
    Reply(0x02, "00"); // whatever the payload
    EXPECT_EQ(Closed, 1);
    EXPECT_FALSE(CX.Connected());
    EXPECT_FALSE(CX.LinkTimerEnabled());
    EXPECT_EQ(Id.Caption, "");
    CX.SetPanel_UnitID(nullptr);
}

TEST_F(Replies, SpeedSwitchWithExternalTransportAnswersAtOnce)
{
    int Fast = 0;
    CX.OnFastSpeed = [&](TCorvex*) { ++Fast; };
    CX.SetFastSpeed();
    EXPECT_EQ(Fast, 1);
    EXPECT_EQ(Tx, "");
}

// ---- Logger, pass-through, small replies ----

TEST_F(Replies, LoggerStatus)
{
    std::vector<std::pair<int, int>> Got;
    CX.OnLoggerStatus = [&](TCorvex*, const TCX_LoggerStatus& S) { Got.emplace_back(S.Current, S.Total); };
    Reply(0x28, "00 64 00 32"); // Current 100 above Total 50
    Reply(0x28, "00 05 00 00"); // Total 0
    Reply(0x28, "00 01 00 00 00 02 00 00");
    Reply(0x28, "00 00 00 01 FF FF FF FF"); // Total negative
    Reply(0x28, "00 01 00");
    ASSERT_EQ(Got.size(), 2u);
    EXPECT_EQ(Got[0], std::make_pair(50, 50));
    EXPECT_EQ(Got[1], std::make_pair(0x10000, 0x20000));
    EXPECT_EQ(Unhandled.size(), 5u) << "logger frames also reach OnGotCommand";
}

TEST_F(Replies, PassThroughState)
{
    std::vector<bool> Got;
    CX.OnPassThrough = [&](TCorvex*, bool S) { Got.push_back(S); };
    Reply(0x18, "01");
    EXPECT_TRUE(CX.PassThroughActive());
    Reply(0x18, "01 01");
    EXPECT_FALSE(CX.PassThroughActive());
    Reply(0x18, "");
    EXPECT_EQ(Got, (std::vector<bool>{true, false, false}));
    EXPECT_TRUE(Unhandled.empty());
}

TEST_F(Replies, VoltageTemperatureCurrent)
{
    TCX_Voltage V;
    CX.OnGotVoltage = [&](TCorvex*, const TCX_Voltage& X) { V = X; };
    Reply(0x07, "05 30 39 00 64");
    EXPECT_TRUE(V.Flag0);
    EXPECT_FALSE(V.Flag1);
    EXPECT_TRUE(V.Flag2);
    EXPECT_DOUBLE_EQ(V.Value1, 12.345);
    EXPECT_DOUBLE_EQ(V.Value3, 0.1);
    EXPECT_DOUBLE_EQ(CX.Voltage().Value1, 12.345);

    std::vector<std::tuple<int, bool, bool, bool>> T;
    CX.OnGotTemperature = [&](TCorvex*, int32_t Value, bool In, bool Real, bool Modem) {
        T.emplace_back(Value, In, Real, Modem);
    };
    Reply(0x08, "00 F6 03"); // 8-bit degrees: -10, in range
    Reply(0x08, "F6 3C 04"); // hundredths: -25.00
    Reply(0x08, "00 FA 04"); // 2.50 rounds to even: 2
    Reply(0x08, "FF 38 18"); // 16-bit degrees -200, modem out of range
    Reply(0x08, "12 34 00"); // no form: invalid
    Reply(0x08, "12 34");    // flags absent: invalid
    ASSERT_EQ(T.size(), 6u);
    EXPECT_EQ(T[0], std::make_tuple(-10, true, true, true));
    EXPECT_EQ(T[1], std::make_tuple(-25, false, true, true));
    EXPECT_EQ(T[2], std::make_tuple(2, false, true, true));
    EXPECT_EQ(T[3], std::make_tuple(-200, false, true, false));
    EXPECT_EQ(T[4], std::make_tuple(0, false, false, true));
    EXPECT_FALSE(CX.TemperatureValid());
    Reply(0x08, "F6 3C 04");
    EXPECT_DOUBLE_EQ(CX.Temperature(), -25.0);
    EXPECT_TRUE(CX.TemperatureValid());

    std::vector<int> Currents;
    CX.OnGotCurrent = [&](TCorvex*, int32_t C) { Currents.push_back(C); };
    Reply(0x16, "01 F4");
    Reply(0x16, "FF FF");
    Reply(0x16, "");
    EXPECT_EQ(Currents, (std::vector<int>{500, -1, 0}));
    Reply(0x07, "05 30 39 00");
    Reply(0x08, "05");
    EXPECT_EQ(Unhandled.size(), 2u);
}

TEST_F(Replies, ActionsAndMagneticCards)
{
    std::vector<std::tuple<int, int, std::string>> Actions;
    CX.OnGotTxRxAction = [&](TCorvex*, TCX_ActionType T, TCX_ActionSource S, const std::string& D) {
        Actions.emplace_back(T, S, D);
    };
    Reply(0x09, "32 07 91 44");    // source 2 (SMS) is delivered undecoded
    Reply(0x09, "1F");             // source 15 folds into 12
    Reply(0x09, "45 01 02 41 42"); // source 5 without a card handler
    ASSERT_EQ(Actions.size(), 3u);
    EXPECT_EQ(Actions[0], std::make_tuple(3, int(cxasSMS), std::string("07 91 44")));
    EXPECT_EQ(Actions[1], std::make_tuple(1, int(cxasOther), std::string()));
    EXPECT_EQ(Actions[2], std::make_tuple(4, int(cxasMagneticCard), std::string("01 02 41 42")));

    std::vector<std::tuple<bool, std::string, std::string, std::string>> Cards;
    CX.OnGotTxRxMagneticCard = [&](TCorvex*, bool V, const std::string& A, const std::string& B,
                                   const std::string& C) { Cards.emplace_back(V, A, B, C); };
    Reply(0x09, "05 01 02 41 42 00 03 31 32 33");
    Reply(0x09, "05 00 09 41"); // the count runs past the end
    ASSERT_EQ(Cards.size(), 2u);
    EXPECT_EQ(Cards[0], std::make_tuple(true, std::string("AB"), std::string(), std::string("123")));
    EXPECT_EQ(Cards[1], std::make_tuple(false, std::string("A"), std::string(), std::string()));
    Reply(0x09, "05");
    EXPECT_EQ(Actions.size(), 4u) << "no card data: an action";
    Reply(0x09, "");
    EXPECT_EQ(Unhandled.size(), 1u);
}

TEST_F(Replies, EepromTest)
{
    std::vector<std::tuple<int, int, int, int, int>> Got;
    Reply(0x0C, "01");
    EXPECT_EQ(Unhandled.size(), 1u);
    CX.OnEEPROMTest = [&](TCorvex*, int32_t N, TCX_EEPROMTest R, TCX_EEPROMType C, uint8_t Need,
                          uint8_t Found) { Got.emplace_back(N, R, C, Need, Found); };
    Reply(0x0C, "00");
    Reply(0x0C, "01");
    Reply(0x0C, "FF");
    Reply(0x0C, "07");
    ASSERT_EQ(Got.size(), 3u);
    EXPECT_EQ(Got[0], std::make_tuple(1, 0, 0, 0, 0));
    EXPECT_EQ(Got[1], std::make_tuple(1, 1, 1, 16, 16));
    EXPECT_EQ(Got[2], std::make_tuple(1, 2, 1, 16, 16));
    Got.clear();
    // Pairs (S, F): type bits differ; size check passed; size mismatch; plain 1; no event.
    Reply(0x0C, "50 10 90 10");
    Reply(0x0C, "D0 52 01 13");
    Reply(0x0C, "05 05");
    ASSERT_EQ(Got.size(), 4u);
    EXPECT_EQ(Got[0], std::make_tuple(1, 1, 2, 0x10, 0x50));
    EXPECT_EQ(Got[1], std::make_tuple(2, 2, 1, 0x10, 0x10));
    EXPECT_EQ(Got[2], std::make_tuple(1, 3, 2, 0x12, 0x10));
    EXPECT_EQ(Got[3], std::make_tuple(2, 1, 1, 0x13, 0));
    Reply(0x0C, "01 02 03");
    EXPECT_EQ(Got.size(), 4u);
    EXPECT_EQ(Unhandled.size(), 9u) << "EEPROM tests also reach OnGotCommand";
}

TEST_F(Replies, MotionTimeShockGsmBattery)
{
    std::vector<double> Adxl;
    CX.OnGotADXLData = [&](TCorvex*, double X, double Y, double Z, double MX, double MY, double MZ) {
        Adxl = {X, Y, Z, MX, MY, MZ};
    };
    Reply(0x0D, "0A F6 00 03 E8 FC 18 00 01");
    ASSERT_EQ(Adxl.size(), 6u);
    EXPECT_DOUBLE_EQ(Adxl[0], 0.18);
    EXPECT_DOUBLE_EQ(Adxl[1], -0.18);
    EXPECT_DOUBLE_EQ(Adxl[3], 1.0);
    EXPECT_DOUBLE_EQ(Adxl[4], -1.0);
    EXPECT_DOUBLE_EQ(Adxl[5], 0.001);
    Reply(0x0D, "01 02 03");
    EXPECT_DOUBLE_EQ(Adxl[3], 0);

    TCX_Time T;
    CX.OnGotTime = [&](TCorvex*, const TCX_Time& X) { T = X; };
    Reply(0x0E, "07 E8 02 1D 83 17 3B 3B");
    EXPECT_EQ(T.Year, 2024);
    EXPECT_EQ(T.Month, 2);
    EXPECT_EQ(T.Day, 29);
    EXPECT_EQ(T.Value4, 3);
    EXPECT_TRUE(T.Flag4);
    EXPECT_EQ(T.Hour, 23);
    EXPECT_DOUBLE_EQ(T.DateTime, SafeEncodeDateTime(2024, 2, 29, 23, 59, 59));
    Reply(0x0E, "07 E7 02 1D 00 00 00 00");
    EXPECT_EQ(T.DateTime, 0) << "2023 has no 29 February";

    int Shock = -1;
    CX.OnGotShockData = [&](TCorvex*, int32_t S) { Shock = S; };
    Reply(0x0F, "12 34");
    EXPECT_EQ(Shock, 0x1234);

    std::vector<TCX_GSMRequests> G;
    CX.OnGSMRequests = [&](TCorvex*, const TCX_GSMRequests& X) { G.push_back(X); };
    Reply(0x19, "01 02 03 04 05 06 07 08 09 0A 0C");             // 11: no V10
    Reply(0x19, "01 02 03 04 05 06 07 08 09 0A 0B 0C");          // 12
    Reply(0x19, "01 00 02 00 03 04 05 06 00 07 08 09 0A 0C");    // 14: wide V0, V1, V5
    Reply(0x19, "01 00 02 00 03 04 05 06 00 07 08 09 0A 0B 0C"); // 15
    ASSERT_EQ(G.size(), 4u);
    EXPECT_EQ(G[0].V10, 255);
    EXPECT_EQ(G[0].V11, 0x0C);
    EXPECT_EQ(G[1].V10, 0x0B);
    EXPECT_EQ(G[2].V0, 0x0100);
    EXPECT_EQ(G[2].V1, 0x0200);
    EXPECT_EQ(G[2].V5, 0x0600);
    EXPECT_EQ(G[2].V9, 0x0A);
    EXPECT_EQ(G[2].V10, 255);
    EXPECT_EQ(G[3].V10, 0x0B);
    EXPECT_EQ(G[3].V11, 0x0C);

    TCX_BatteryInfo B;
    CX.OnGotBatteryInfo = [&](TCorvex*, const TCX_BatteryInfo& X) { B = X; };
    Reply(0x2B, "00 00 30 39 00 00 00 01 00 01 00 00 FF 9C 03 E8 00 00 00 00 00 00 00 00 07 D0 "
                "A0 40 99 05 06");
    EXPECT_DOUBLE_EQ(B.Value0, 12.345);
    EXPECT_DOUBLE_EQ(B.Value4, 0.001);
    EXPECT_DOUBLE_EQ(B.Value8, 65.536);
    EXPECT_DOUBLE_EQ(B.Value12, -1.0);
    EXPECT_DOUBLE_EQ(B.Value14, 1.0);
    EXPECT_DOUBLE_EQ(B.Value24, 2.0);
    EXPECT_TRUE(B.Flag26Bit7);
    EXPECT_FALSE(B.Flag26Bit6);
    EXPECT_TRUE(B.Flag26Bit5);
    EXPECT_FALSE(B.Flag26Bit4);
    EXPECT_DOUBLE_EQ(B.Value27, 0.5);
    EXPECT_EQ(B.Value29, 5);
    EXPECT_EQ(B.Value30, 6);
    EXPECT_EQ(Unhandled.size(), 10u) << "each of these also reaches OnGotCommand";
}

TEST_F(Replies, PinConnectIoNetworkSimGpsType)
{
    TCX_PinCodeState Pin;
    CX.OnGotPinCodeState = [&](TCorvex*, const TCX_PinCodeState& P) { Pin = P; };
    Reply(0x21, "02 00 07 30 39");
    EXPECT_EQ(Pin.State, 2);
    EXPECT_EQ(Pin.Code1, "0007");
    EXPECT_EQ(Pin.Code2, "1234") << "a five-digit value keeps its first four";

    int Connect = -1, Sim = -1, GpsType = -1;
    CX.OnGotConnectState = [&](TCorvex*, uint8_t S) { Connect = S; };
    CX.OnGotActiveSIM = [&](TCorvex*, uint8_t S) { Sim = S; };
    CX.OnGotGPSType = [&](TCorvex*, uint8_t S) { GpsType = S; };
    Reply(0x23, "03");
    Reply(0x2E, "02");
    Reply(0x27, "09 01");
    EXPECT_EQ(Connect, 3);
    EXPECT_EQ(Sim, 2);
    EXPECT_EQ(GpsType, 9);

    std::vector<std::pair<int, int>> Io;
    CX.OnGotIOState = [&](TCorvex*, int32_t In, int32_t Out) { Io.emplace_back(In, Out); };
    Reply(0x01, "00 30 39 01 02 02 1F 02 2D 01 00 64"); // class 0
    Reply(0x24, "FF 03");
    EXPECT_EQ(Io.back(), std::make_pair(0xC03F, 3));
    Reply(0x24, "12 34 05 0F 01");
    EXPECT_EQ(Io.back(), std::make_pair(0x1234, 5));
    EXPECT_TRUE(CX.HasIOMask());
    EXPECT_EQ(CX.InputMask(), 0x0F);
    EXPECT_EQ(CX.OutputMask(), 0x01);
    EXPECT_EQ(CX.Inputs(), 0x1234);
    EXPECT_EQ(CX.Outputs(), 5);
    Reply(0x24, "12 34 05");
    EXPECT_FALSE(CX.HasIOMask());
    EXPECT_EQ(CX.InputMask(), 0xFFFF);
    EXPECT_EQ(CX.OutputMask(), 0xFF);
    ConnectExtended(0x00);
    Reply(0x0B, "01 00 30 39 00 30 39 01 02 01 02 02 1F 05 2D 01 00 00 01 64"); // class 1
    Reply(0x24, "FF 00");
    EXPECT_EQ(Io.back(), std::make_pair(0xC0FC, 0));

    std::vector<std::tuple<std::string, int, int>> Net;
    CX.OnGotNetworkInfo = [&](TCorvex*, const std::string& N, int32_t Mcc, int32_t Mnc) {
        Net.emplace_back(N, Mcc, Mnc);
    };
    std::vector<std::string> Names;
    CX.OnGotNetworkName = [&](TCorvex*, const std::string& N) { Names.push_back(N); };
    Reply(0x26, "54 65 6C 65");
    Reply(0x2F, "00 03 AA 7A 4C 56"); // 240250: MCC 240, MNC 250
    Reply(0x2F, "00 00 5D C1 41");    // 24001: two-digit MNC widened to 240 / 1
    EXPECT_EQ(Names, (std::vector<std::string>{"Tele", "LV", "A"}));
    ASSERT_EQ(Net.size(), 3u);
    EXPECT_EQ(Net[0], std::make_tuple(std::string("Tele"), 0, 0));
    EXPECT_EQ(Net[1], std::make_tuple(std::string("LV"), 240, 250));
    EXPECT_EQ(Net[2], std::make_tuple(std::string("A"), 240, 1));
    EXPECT_EQ(CX.NetworkName(), "A");

    Reply(0x21, "02 00 07 30");
    Reply(0x23, "");
    Reply(0x24, "01 02 03 04");
    Reply(0x2F, "00 00 5D");
    EXPECT_EQ(Unhandled.size(), 4u);
}

TEST_F(Replies, ViewData)
{
    std::vector<std::pair<int, std::string>> Views;
    std::string Rx;
    CX.OnRX = [&](TCorvex*, const std::string& S) { Rx += S; };
    Reply(0x06, "02 41 42");
    EXPECT_EQ(Rx, "AB") << "without a view handler the data is shown as received text";
    CX.OnView = [&](TCorvex*, TCX_ViewType V, const std::string& D) { Views.emplace_back(V, D); };
    const std::map<std::string, TCX_ViewType> Sources = {
        {"01", cxvGSM},   {"02", cxvGPS},   {"03", cxvLin}, {"04", cxvMBLE},
        {"21", cxvSrvRX}, {"22", cxvSrvTX}, {"10", cxvMUX}, {"11", cxvMUX1},
        {"14", cxvMUX4},  {"32", cxvDebug}, {"05", cxvOff}, {"FF", cxvOff},
    };
    for (const auto& [Source, View] : Sources) {
        Reply(0x06, Source + " 00");
        ASSERT_FALSE(Views.empty());
        EXPECT_EQ(Views.back().first, View) << Source;
        EXPECT_EQ(Views.back().second, std::string(1, '\0'));
    }
    Reply(0x06, "01");
    EXPECT_EQ(Views.size(), Sources.size());
    EXPECT_EQ(Unhandled.size(), Sources.size() + 2) << "view data also reaches OnGotCommand";
}

TEST_F(Replies, CellReports)
{
    std::vector<TCX_RxQuality> Got;
    CX.OnGotRxQuality = [&](TCorvex*, const TCX_RxQuality& Q) { Got.push_back(Q); };
    // 0x22: flags 0x09 (bits 3 and 0), address 10.0.0.1, three 5-byte cells, the third repeating the first.
    const std::string Cells22 = "09 0A 00 00 01 00 01 00 02 50 00 03 00 04 40 00 01 00 02 30";
    Reply(0x22, Cells22);
    ASSERT_EQ(Got.size(), 1u);
    const TCX_RxQuality& Q = Got[0];
    EXPECT_EQ(Q.Technology, 0);
    EXPECT_TRUE(Q.FlagBit3);
    EXPECT_TRUE(Q.FlagBit0);
    EXPECT_FALSE(Q.FlagBit2);
    EXPECT_FALSE(Q.FlagBit1);
    EXPECT_EQ(Q.AddressText, "10.0.0.1");
    ASSERT_EQ(Q.CellCount, 3);
    EXPECT_EQ(Q.Cells[0].A, 1);
    EXPECT_EQ(Q.Cells[0].B, 2);
    EXPECT_EQ(Q.Cells[0].C, 0);
    EXPECT_EQ(Q.Cells[0].Level, -0x50);
    EXPECT_EQ(Q.Cells[2].Level, -0x30);

    CX.SetOptimizeCells(true);
    Reply(0x22, Cells22);
    ASSERT_EQ(Got.size(), 2u);
    ASSERT_EQ(Got[1].CellCount, 2) << "the repeated cell is dropped";
    EXPECT_EQ(Got[1].Cells[0].Level, -0x50) << "the first one stays";
    EXPECT_EQ(Got[1].Cells[1].A, 3);
    EXPECT_EQ(CX.CellInfo().CellCount, 2);

    // 0x2A: 7-byte cells with C.
    Reply(0x2A, "00 C0 A8 01 02 00 01 00 02 00 03 44 FF");
    ASSERT_EQ(Got.size(), 3u);
    EXPECT_EQ(Got[2].AddressText, "192.168.1.2");
    ASSERT_EQ(Got[2].CellCount, 1) << "a trailing partial cell is not a cell";
    EXPECT_EQ(Got[2].Cells[0].C, 3);
    EXPECT_EQ(Got[2].Cells[0].Level, -0x44);

    // 0x2C: technology 9 -> 6, 9-byte cells with a 32-bit B.
    Reply(0x2C, "09 06 01 02 03 04 00 05 00 01 00 00 00 06 3A");
    ASSERT_EQ(Got.size(), 4u);
    EXPECT_EQ(Got[3].Technology, 6);
    EXPECT_TRUE(Got[3].FlagBit2);
    EXPECT_TRUE(Got[3].FlagBit1);
    EXPECT_EQ(Got[3].Cells[0].B, 0x10000);
    EXPECT_EQ(Got[3].Cells[0].C, 6);

    // 0x2D: header with codes and integers; eight cells are cut to seven.
    std::string P = "08 36 01 F4 07 08 00 7F 00 00 01";
    for (int i = 0; i < 8; ++i)
        P += " 00 0" + std::to_string(i) + " 00 00 00 01 00 00 20";
    CX.SetOptimizeCells(false);
    Reply(0x2D, P);
    ASSERT_EQ(Got.size(), 5u);
    EXPECT_EQ(Got[4].Technology, 5);
    EXPECT_EQ(Got[4].Code1, 4);
    EXPECT_EQ(Got[4].Code2, 1) << "nibble 6 is out of 1..5";
    EXPECT_EQ(Got[4].Value1, 500);
    EXPECT_EQ(Got[4].Value2, 7);
    EXPECT_EQ(Got[4].Value3, 8);
    EXPECT_EQ(Got[4].AddressText, "127.0.0.1");
    EXPECT_EQ(Got[4].CellCount, 7);
    EXPECT_EQ(Got[4].Cells[6].A, 6);

    Reply(0x2D, "08 36 01 F4 07 08 00 7F 00 00");
    Reply(0x22, "00 00 00 00");
    EXPECT_EQ(Got.size(), 5u);
    EXPECT_EQ(Unhandled.size(), 2u);
}

TEST(Names, ModelAndHardwareCodeTables)
{
    std::set<std::string> Models;
    for (int i = 0; i < 32; ++i) {
        EXPECT_NE(CX_UnitModelName(i), "Unknown") << i;
        Models.insert(CX_UnitModelName(i));
    }
    EXPECT_EQ(CX_UnitModelName(27), CX_UnitModelName(20));
    EXPECT_EQ(CX_UnitModelName(31), CX_UnitModelName(3));
    EXPECT_EQ(Models.size(), 30u) << "only those two pairs share a name";
    EXPECT_EQ(CX_UnitModelName(32), "Unknown");
    EXPECT_EQ(CX_UnitModelName(-1), "Unknown");

    std::set<std::string> Codes;
    for (int i = 1; i <= 63; ++i) {
        const std::string C = CX_HardwareCodeName(i);
        EXPECT_GE(C.size(), 1u);
        EXPECT_LE(C.size(), 3u);
        for (char Ch : C)
            EXPECT_TRUE((Ch >= 'A' && Ch <= 'Z') || (Ch >= '0' && Ch <= '9')) << C;
        Codes.insert(C);
    }
    EXPECT_EQ(Codes.size(), 63u);
    EXPECT_EQ(CX_HardwareCodeName(0), "");
    EXPECT_EQ(CX_HardwareCodeName(64), "");
}

TEST(Properties, DefaultsAndPortName)
{
    TCorvex CX;
    EXPECT_EQ(CX.ConfigType(), cxctCore2);
    EXPECT_FALSE(CX.ConfigTypeAutoDetect());
    EXPECT_TRUE(CX.CloseBeforeOpen());
    EXPECT_EQ(CX.BaudRate(), 9600u);
    EXPECT_EQ(CX.ComPort(), "COM1");
    EXPECT_EQ(CX.InputMask(), 0xFFFF);
    EXPECT_EQ(CX.OutputMask(), 0xFF);
    EXPECT_EQ(CX.MaxLength(), 0);
    EXPECT_EQ(CX.ViewMode(), cxvOff);
    EXPECT_EQ(CX.UnitInfo().UnitID, -1);
    EXPECT_EQ(CX.UnitInfo().OriginalID, -1);
    EXPECT_EQ(CX.Text_UnitNotTested(), "Not tested");
    EXPECT_EQ(CX.Text_OriginalID(), "Original ID: %s");
    EXPECT_EQ(CX.Text_OriginalType(), "Original Type: %s");
    EXPECT_TRUE(CX.Panel_UseHints());
    EXPECT_TRUE(CX.Panel_ClearOnClose());
    EXPECT_FALSE(CX.ExternalCom());
    EXPECT_FALSE(CX.Active());
    EXPECT_FALSE(CX.LinkTimerEnabled());
    EXPECT_EQ(CX.LastCommand(), -1);

    CX.SetComNumber(7);
    EXPECT_EQ(CX.ComPort(), "COM7");
    CX.SetComPort("com12");
    EXPECT_EQ(CX.ComNumber(), 12);
    CX.SetComPort("LPT1");
    EXPECT_EQ(CX.ComNumber(), 0);
    CX.SetComPort("COM");
    EXPECT_EQ(CX.ComNumber(), 0);
    CX.SetComPort("COM3x");
    EXPECT_EQ(CX.ComNumber(), 0);
}
