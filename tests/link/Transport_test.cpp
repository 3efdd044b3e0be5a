// Frames on the wire, the byte receiver and the raw-text path, driven through
// the external-transport hooks (no port).
#include "LinkTest.h"

#include "firmware/SoftUpdate.h"
#include "link/CorvexFrames.h"
#include "serial/AppException.h"
#include "util/MyConvert.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

namespace
{

struct TFrameSeen {
    uint8_t CmdID;
    std::string Data;
};

struct ExtLink {
    TCorvex CX;
    std::string Tx;
    std::string Rx;
    int RxCalls = 0;
    std::vector<TFrameSeen> Dispatched; // every good frame, from DebugCommands
    std::vector<TFrameSeen> Unhandled;  // OnGotCommand

    explicit ExtLink(TCX_ConfigType Mode = cxctSTXb)
    {
        CX.SetExternalCom(true);
        CX.SetConfigType(Mode);
        CX.OnExternalComTx = [this](TCorvex* Sender, const std::string& S) {
            EXPECT_EQ(Sender, &CX);
            Tx += S;
        };
        CX.OnRX = [this](TCorvex*, const std::string& S) {
            Rx += S;
            ++RxCalls;
        };
        CX.DebugCommands = [this](TCorvex*, bool Outgoing, uint8_t CmdID, const std::string& Data) {
            if (!Outgoing)
                Dispatched.push_back({CmdID, Data});
        };
        CX.OnGotCommand = [this](TCorvex*, uint8_t CmdID, const std::string& Data) {
            Unhandled.push_back({CmdID, Data});
        };
    }
    void Feed(const std::string& B) { CX.ExternalComRx(B); }
    void FeedByteByByte(const std::string& B)
    {
        for (char C : B)
            CX.ExternalComRx(std::string(1, C));
    }
};

} // namespace

TEST(FrameBuild, ExamplesInAllThreeModes)
{
    EXPECT_EQ(Hex(CX_BuildFrame(cxctSTXb, 0x00, "")), "02 01 00 00 00");
    // The length 2 is escaped; the checksum covers the unescaped values.
    EXPECT_EQ(Hex(CX_BuildFrame(cxctSTXb, 0x03, Bytes("FF 48"))), "02 01 03 10 03 FF 48 4C");
    EXPECT_EQ(Hex(CX_BuildFrame(cxctSTX, 0x03, Bytes("FF 48"))), "02 01 03 10 03 FF 48 47");
    EXPECT_EQ(Hex(CX_BuildFrame(cxctCore2, 0x03, Bytes("FF 48"))), "5B 03 02 FF 48 47 5D");
    EXPECT_EQ(Hex(CX_BuildFrame(cxctSTX, 0x11, "")), "02 01 10 12 00 00");
    EXPECT_EQ(Hex(CX_BuildFrame(cxctSTXb, 0x11, "")), "02 01 10 12 00 10 12");
}

TEST(FrameBuild, EscapesEveryFieldButStartAndAddress)
{
    // Payload 02 10 11 13; STX sum = 0x36, not escaped.
    EXPECT_EQ(Hex(CX_BuildFrame(cxctSTX, 0x20, Bytes("02 10 11 13"))),
              "02 01 20 04 10 03 10 10 10 12 10 14 36");
    // Checksum 0x10 is escaped too.
    EXPECT_EQ(Hex(CX_BuildFrame(cxctSTX, 0x20, Bytes("10"))), "02 01 20 01 10 10 10 10");
    // Checksum 0x02 (0x10 + 0x01 + 0xF1) is escaped in STXb.
    EXPECT_EQ(Hex(CX_BuildFrame(cxctSTXb, 0x10, Bytes("F1"))), "02 01 10 10 01 F1 10 03");
    // Bracketed frames are never escaped.
    EXPECT_EQ(Hex(CX_BuildFrame(cxctCore2, 0x13, Bytes("02 10"))), "5B 13 02 02 10 12 5D");
    // A 255-byte payload keeps its length byte.
    const std::string Long(255, 'A');
    const std::string F = CX_BuildFrame(cxctCore2, 0x04, Long);
    ASSERT_EQ(F.size(), 260u);
    EXPECT_EQ(static_cast<uint8_t>(F[2]), 255);
}

TEST(SendCommand, SendsFramesThroughTheActiveTransport)
{
    ExtLink L;
    std::vector<std::string> Debug;
    L.CX.DebugCommands = [&](TCorvex*, bool Outgoing, uint8_t CmdID, const std::string& Data) {
        Debug.push_back((Outgoing ? ">" : "<") + Hex(std::string(1, static_cast<char>(CmdID))) + " " + Data);
    };
    int Tx = 0;
    L.CX.OnTX = [&](TCorvex*) { ++Tx; };
    L.CX.SendCommand(0x03, "FF 48", true);
    EXPECT_EQ(Hex(L.Tx), "02 01 03 10 03 FF 48 4C");
    EXPECT_EQ(Tx, 1);
    ASSERT_EQ(Debug.size(), 1u);
    EXPECT_EQ(Debug[0], ">03 FF 48");
    EXPECT_EQ(L.CX.LastCommand(), 0x03);
    EXPECT_TRUE(L.CX.LinkTimerEnabled());
    EXPECT_EQ(L.CX.LinkTimerInterval(), 10000);
    EXPECT_EQ(L.CX.LinkTimerTag(), 0);

    L.CX.SendCommand(0x05, "", false);
    EXPECT_EQ(L.CX.LastCommand(), -1);

    L.Tx.clear();
    L.CX.SetConfigType(cxctCore2);
    L.CX.SendCommand(0x03, "FF 48", true);
    EXPECT_EQ(Hex(L.Tx), "5B 03 02 FF 48 47 5D");
}

TEST(SendCommand, EndOfConnectionLeavesTheLinkTimerOff)
{
    ExtLink L;
    L.CX.SendCommand(0x00, "", true);
    ASSERT_TRUE(L.CX.LinkTimerEnabled());
    L.CX.Close(false);
    EXPECT_EQ(Hex(L.Tx), "02 01 00 00 00 02 01 FF 00 FF");
    EXPECT_FALSE(L.CX.LinkTimerEnabled());
    EXPECT_EQ(L.CX.LastCommand(), 0xFF);
}

TEST(SendCommand, DroppedWhenNothingCanCarryIt)
{
    TCorvex CX; // own port, never opened
    int Tx = 0;
    CX.OnTX = [&](TCorvex*) { ++Tx; };
    EXPECT_FALSE(CX.Active());
    CX.SendCommand(0x0A, "", true);
    EXPECT_EQ(Tx, 0);
    EXPECT_EQ(CX.LastCommand(), 0x0A) << "the command is remembered even when dropped";
    EXPECT_FALSE(CX.LinkTimerEnabled());

    // Pass-through: only its own switch goes out.
    ExtLink L;
    L.Feed(UnitFrame(cxctSTXb, 0x18, Bytes("01")));
    ASSERT_TRUE(L.CX.PassThroughActive());
    L.Tx.clear();
    L.CX.SendCommand(0x0A, "", true);
    EXPECT_EQ(L.Tx, "");
    L.CX.SetPassThroughActive(false);
    EXPECT_EQ(Hex(L.Tx), "02 01 18 01 00 19");
}

TEST(SendCommand, PropertySettersCompareStoreAndSend)
{
    ExtLink L;
    L.CX.SetOutputs(5);
    EXPECT_EQ(L.CX.Outputs(), 5);
    EXPECT_EQ(Hex(L.Tx), "02 01 25 01 05 2B");
    L.Tx.clear();
    L.CX.SetOutputs(5);
    EXPECT_EQ(L.Tx, "") << "the same value is not sent again";

    L.CX.SetPassThroughActive(true);
    EXPECT_TRUE(L.CX.PassThroughActive());
    EXPECT_EQ(Hex(L.Tx), "02 01 18 01 01 1A");
    L.Tx.clear();
    L.CX.SetPassThroughActive(true);
    L.CX.SendCommand(0x0A, "", true);
    EXPECT_EQ(L.Tx, "") << "nothing but the switch goes out while passing through";
}

TEST(SendCommand, RefusesPayloadsThatCannotBeFramed)
{
    ExtLink L;
    std::string Big;
    for (int i = 0; i < 256; ++i)
        Big += (i ? " 00" : "00");
    EXPECT_THROW(L.CX.SendCommand(0x1C, Big, true), std::invalid_argument);
    EXPECT_THROW(L.CX.SendCommand(0x1C, "1FF", true), ERangeError);
    EXPECT_EQ(L.Tx, "");
    EXPECT_EQ(L.CX.LastCommand(), -1);
}

TEST(Receiver, FramesSplitAnywhereAreAssembled)
{
    for (TCX_ConfigType Mode : {cxctCore2, cxctSTX, cxctSTXb}) {
        ExtLink L(Mode);
        const std::string F = UnitFrame(Mode, 0x27, Bytes("02 10 11 13 5D 7B"));
        L.FeedByteByByte(F + F);
        ASSERT_EQ(L.Dispatched.size(), 2u) << Mode;
        EXPECT_EQ(L.Dispatched[1].CmdID, 0x27);
        EXPECT_EQ(L.Dispatched[1].Data, "02 10 11 13 5D 7B");
        EXPECT_EQ(L.Rx, "") << "frame bytes are hidden";
        EXPECT_EQ(L.RxCalls, static_cast<int>(2 * F.size())) << "OnRX once per chunk";
    }
}

TEST(Receiver, EscapesAreUndone)
{
    ExtLink L(cxctSTX);
    // Escaped length 2, payload 10 10 and 10 12, checksum 0x21.
    L.Feed(Bytes("02 04 27 10 03 10 10 10 12 21"));
    ASSERT_EQ(L.Dispatched.size(), 1u);
    EXPECT_EQ(L.Dispatched[0].Data, "10 11");
    // An escaped checksum: payload 01 01 gives sum 02, sent as 10 03.
    L.Feed(Bytes("02 04 27 10 03 01 01 10 03"));
    ASSERT_EQ(L.Dispatched.size(), 2u);
    EXPECT_EQ(L.Dispatched[1].Data, "01 01");
    // DLE before any other byte keeps that byte as it is.
    L.Feed(Bytes("02 04 27 01 10 41 41"));
    ASSERT_EQ(L.Dispatched.size(), 3u);
    EXPECT_EQ(L.Dispatched[2].Data, "41");
    EXPECT_EQ(L.Rx, "");
}

TEST(Receiver, ABareStartByteResynchronises)
{
    ExtLink L;
    // A frame cut off after two payload bytes, then a complete one.
    L.Feed(Bytes("02 04 27 05 AA BB") + UnitFrame(cxctSTXb, 0x23, Bytes("07")));
    ASSERT_EQ(L.Dispatched.size(), 1u);
    EXPECT_EQ(L.Dispatched[0].CmdID, 0x23);
    EXPECT_EQ(L.Dispatched[0].Data, "07");
    EXPECT_EQ(L.Rx, "") << "the discarded frame is not shown either";
}

TEST(Receiver, OtherAddressesAreParsedButHidden)
{
    ExtLink L;
    // The echo of our own frame (address 01) and one from address 05.
    std::string Echo = CX_BuildFrame(cxctSTXb, 0x0A, "");
    std::string Other = UnitFrame(cxctSTXb, 0x27, Bytes("01"));
    Other[1] = 0x05;
    L.Feed(Echo + Other);
    EXPECT_TRUE(L.Dispatched.empty());
    EXPECT_TRUE(L.Unhandled.empty());
    EXPECT_EQ(L.Rx, "");
    L.Feed(UnitFrame(cxctSTXb, 0x27, Bytes("01")));
    EXPECT_EQ(L.Dispatched.size(), 1u) << "the receiver is back in step";
}

TEST(Receiver, TextOutsideFramesIsShownWithoutTheWakeUpEcho)
{
    ExtLink L;
    L.Feed("_CONFIGB\r\nOK\r\n");
    EXPECT_EQ(L.Rx, "\r\nOK\r\n");
    L.Rx.clear();
    L.Feed("Unit " + UnitFrame(cxctSTXb, 0x27, Bytes("01")) + "ready");
    EXPECT_EQ(L.Rx, "Unit ready");
    EXPECT_EQ(L.Dispatched.size(), 1u);

    L.Rx.clear();
    L.CX.SetShowRawRX(true);
    L.Feed(UnitFrame(cxctSTXb, 0x27, Bytes("10 01")));
    // Shown as the values received: start, address, command, length, payload (escape undone), sum.
    EXPECT_EQ(Hex(L.Rx), "02 04 27 02 10 01 3A");
    EXPECT_EQ(L.Dispatched.size(), 2u);
}

TEST(Receiver, BadChecksumIsDroppedAndShown)
{
    ExtLink L;
    L.Feed(Bytes("02 04 27 01 AA 00") + "next");
    EXPECT_TRUE(L.Dispatched.empty());
    EXPECT_TRUE(L.Unhandled.empty());
    EXPECT_EQ(Hex(L.Rx), Hex(Bytes("02 04 27 01 AA 00") + "next"));
}

TEST(Receiver, WrongLengthsReachOnGotCommand)
{
    ExtLink L;
    bool Opened = false;
    int Logger = 0, Voltage = 0;
    L.CX.OnAfterOpen = [&](TCorvex*) { Opened = true; };
    L.CX.OnLoggerStatus = [&](TCorvex*, const TCX_LoggerStatus&) { ++Logger; };
    L.CX.OnGotVoltage = [&](TCorvex*, const TCX_Voltage&) { ++Voltage; };
    L.Feed(UnitFrame(cxctSTXb, 0x01, Bytes("00 30 39 01 02 02 1F 05 2D 01 00"))); // 11 bytes
    L.Feed(UnitFrame(cxctSTXb, 0x28, Bytes("00 64 00")));
    L.Feed(UnitFrame(cxctSTXb, 0x07, Bytes("01 02 03 04")));
    L.Feed(UnitFrame(cxctSTXb, 0x77, ""));
    ASSERT_EQ(L.Unhandled.size(), 4u);
    EXPECT_EQ(L.Unhandled[0].CmdID, 0x01);
    EXPECT_EQ(L.Unhandled[0].Data, "00 30 39 01 02 02 1F 05 2D 01 00");
    EXPECT_EQ(L.Unhandled[1].CmdID, 0x28);
    EXPECT_EQ(L.Unhandled[2].CmdID, 0x07);
    EXPECT_EQ(L.Unhandled[3].CmdID, 0x77);
    EXPECT_FALSE(Opened);
    EXPECT_FALSE(L.CX.Connected());
    EXPECT_EQ(Logger + Voltage, 0);
}

TEST(Receiver, AFailingHandlerCostsNothingElse)
{
    ExtLink L;
    std::vector<std::string> Reported;
    SetApplicationExceptionHandler([&](const std::exception& E) { Reported.push_back(E.what()); });
    std::vector<int> States;
    L.CX.OnGotConnectState = [&](TCorvex*, uint8_t S) {
        States.push_back(S);
        if (S == 1)
            throw std::runtime_error("handler failed");
    };
    L.Feed(UnitFrame(cxctSTXb, 0x23, Bytes("01")) + "x" + UnitFrame(cxctSTXb, 0x23, Bytes("02")));
    SetApplicationExceptionHandler(nullptr);
    EXPECT_EQ(States, (std::vector<int>{1, 2}));
    EXPECT_EQ(Reported, (std::vector<std::string>{"handler failed"}));
    EXPECT_EQ(L.Rx, "x");
}

TEST(Receiver, BracketedFrames)
{
    ExtLink L(cxctCore2);
    L.Feed("text" + UnitFrame(cxctCore2, 0x27, Bytes("5B 02")));
    ASSERT_EQ(L.Dispatched.size(), 1u);
    EXPECT_EQ(L.Dispatched[0].Data, "5B 02");
    EXPECT_EQ(L.Rx, "text");
    // Without its closing byte the frame is not dispatched and the receiver waits for 5B.
    L.Feed(Bytes("5B 27 01 01 01 00") + UnitFrame(cxctCore2, 0x23, Bytes("01")));
    ASSERT_EQ(L.Dispatched.size(), 2u);
    EXPECT_EQ(L.Dispatched[1].CmdID, 0x23);
}

TEST(Receiver, CoreEscapeStaysOutOfTheRawText)
{
    ExtLink L(cxctCore2);
    // Core 5.56 (0x0538) escapes with 5C.
    L.Feed(UnitFrame(cxctCore2, 0x01, Bytes("00 30 39 01 02 02 1F 05 38 01 00 64")));
    ASSERT_EQ(L.CX.UnitInfo().CoreNumber, 0x0538);
    L.Rx.clear();
    L.Feed("a\\\\b\\c");
    EXPECT_EQ(L.Rx, "a\\bc");
}

TEST(Receiver, AutoDetectionSettlesTheMode)
{
    {
        ExtLink L(cxctCore2);
        L.CX.SetConfigTypeAutoDetect(true);
        std::string P = ShortUnitInfo();
        std::string Ext =
            Bytes("05") + P.substr(0, 3) + P.substr(0, 3) + Bytes("01 02 01 02 02 1F 05 2D 01 00 00 01 64");
        ASSERT_EQ(Ext.size(), 20u);
        L.Feed(UnitFrame(cxctSTXb, 0x0B, Ext));
        EXPECT_EQ(L.CX.ConfigType(), cxctSTXb);
        EXPECT_TRUE(L.CX.Connected());
    }
    {
        ExtLink L(cxctCore2);
        L.CX.SetConfigTypeAutoDetect(true);
        L.Feed(UnitFrame(cxctSTX, 0x01, ShortUnitInfo()));
        EXPECT_EQ(L.CX.ConfigType(), cxctSTX);
        EXPECT_TRUE(L.CX.Connected());
    }
    {
        ExtLink L(cxctSTXb);
        L.CX.SetConfigTypeAutoDetect(true);
        L.Feed(UnitFrame(cxctCore2, 0x01, ShortUnitInfo()));
        EXPECT_EQ(L.CX.ConfigType(), cxctCore2);
        EXPECT_TRUE(L.CX.Connected());
    }
}

namespace
{

// A narrow version of class 0 with blocks 2 and 3.
void AddTestVersion(TSoftwareVersionCollection& C, const std::string& Title, uint8_t Class)
{
    TSoftwareVersion V;
    V.Info.Title = Title;
    V.Info.Class = Class;
    V.Info.Version = 7;
    V.Blocks = std::string(1, '\x0C') + std::string(31, '\0');
    V.BlockNumbers = {"2", "3"};
    V.BlockData = {std::string(256, '\xA5'), std::string(256, '\x5A')};
    V.CRC = 0x1234;
    C.AddVersion(V);
}

} // namespace

TEST(Receiver, HeldBytesStayBounded)
{
    // A loaded firmware source while not connected takes every "{" as the start of a
    // block request; a stream of them must not pile up unseen.
    ExtLink L;
    TSoftwareVersionCollection C;
    AddTestVersion(C, "fw", 0);
    ASSERT_TRUE(L.CX.SelectSoftware(C, "fw"));
    const std::size_t N = 20000;
    for (std::size_t i = 0; i < N; ++i)
        L.Feed("{");
    EXPECT_GE(L.Rx.size(), N - TCorvex::MaxRawText - 1);
    EXPECT_EQ(L.Rx.find_first_not_of('{'), std::string::npos);
    EXPECT_EQ(L.Tx, "") << "no request was complete";
}

TEST(Receiver, ArbitraryBytesNeverBreakIt)
{
    std::mt19937 Rng(12345);
    for (TCX_ConfigType Mode : {cxctCore2, cxctSTX, cxctSTXb}) {
        ExtLink L(Mode);
        L.CX.SetConfigTypeAutoDetect(Mode == cxctCore2);
        TSoftwareVersionCollection C;
        AddTestVersion(C, "fw", 0);
        L.CX.SelectSoftware(C, "fw");
        for (int Chunk = 0; Chunk < 3000; ++Chunk) {
            std::string S(Rng() % 64, '\0');
            // Bias towards the bytes the receiver cares about.
            static const uint8_t Special[] = {0x02, 0x04, 0x10, 0x5B, 0x5D, 0x5C, 0x7B, 0x7D, 0x01, 0x0B};
            for (char& Ch : S)
                Ch = static_cast<char>(Rng() % 3 ? Special[Rng() % sizeof Special] : Rng() % 256);
            if (Chunk % 500 == 0)
                S += UnitFrame(L.CX.ConfigType(), 0x01, ShortUnitInfo());
            L.Rx.clear();
            L.Feed(S);
            // Held bytes plus this chunk, plus what a view-data frame may hand to OnRX.
            EXPECT_LE(L.Rx.size(), S.size() + TCorvex::MaxRawText + 256);
        }
        if (Mode != cxctCore2) {
            // Whatever came before, the next start byte brings the receiver back in step.
            L.Dispatched.clear();
            L.Feed(UnitFrame(Mode, 0x23, Bytes("05")));
            ASSERT_FALSE(L.Dispatched.empty()) << Mode;
            EXPECT_EQ(L.Dispatched.back().CmdID, 0x23);
            EXPECT_EQ(L.Dispatched.back().Data, "05");
        }
    }
}
