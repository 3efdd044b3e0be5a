// The unit's frame reader on its own: bytes in, frames and the text to show out,
// with no port, timer or link component around it.
#include "LinkTest.h"

#include "link/CorvexFrameReader.h"
#include "link/CorvexFrames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace
{

using TStrings = std::vector<std::string>;

struct Reader {
    TCX_FrameReader R;
    TCX_ReaderLine Line;
    std::vector<TCX_Frame> Frames;
    std::string Shown;

    explicit Reader(TCX_ConfigType Mode) { Line.ConfigType = Mode; }
    void Feed(const std::string& B) { Shown += R.Read(B, Line, Frames); }
    void FeedByteByByte(const std::string& B)
    {
        for (char C : B)
            Feed(std::string(1, C));
    }
    // "27 02 10" per frame, "27* ..." for another sender's.
    TStrings Seen() const
    {
        TStrings S;
        for (const TCX_Frame& F : Frames) {
            const std::string Id = Hex(std::string(1, static_cast<char>(F.CmdID))) + (F.Ignored ? "*" : "");
            S.push_back(F.Payload.empty() ? Id : Id + " " + Hex(F.Payload));
        }
        return S;
    }
};

} // namespace

// ---- Frames split anywhere ----

TEST(FrameReader, AFrameSplitAnywhereComesOutOnce)
{
    // Every byte the framing treats specially, in the payload.
    const std::string Payload = Bytes("02 10 11 13 5B 5C 5D 7B");
    for (TCX_ConfigType Mode : {cxctCore2, cxctSTX, cxctSTXb}) {
        const std::string F = UnitFrame(Mode, 0x27, Payload);
        for (std::size_t Cut = 0; Cut <= F.size(); ++Cut) {
            Reader L(Mode);
            L.Feed(F.substr(0, Cut));
            L.Feed(F.substr(Cut));
            EXPECT_EQ(L.Seen(), TStrings{"27 02 10 11 13 5B 5C 5D 7B"}) << Mode << " cut at " << Cut;
            EXPECT_EQ(L.Shown, "");
        }
        Reader L(Mode);
        L.FeedByteByByte(F + F);
        EXPECT_EQ(L.Seen(), (TStrings{"27 02 10 11 13 5B 5C 5D 7B", "27 02 10 11 13 5B 5C 5D 7B"})) << Mode;
    }
}

TEST(FrameReader, OurOwnEchoIsAssembledButMarked)
{
    Reader L(cxctSTXb);
    L.Feed(CX_BuildFrame(cxctSTXb, 0x0A, Bytes("01")) + UnitFrame(cxctSTXb, 0x23, Bytes("07")));
    EXPECT_EQ(L.Seen(), (TStrings{"0A* 01", "23 07"}));
    EXPECT_EQ(L.Shown, "");
}

// ---- Escapes ----

TEST(FrameReader, StxEscapesAreUndoneEvenAcrossReads)
{
    Reader L(cxctSTX);
    // Length 02 escaped, payload 10 and 11 escaped, checksum 21; cut after each DLE.
    L.Feed(Bytes("02 04 27 10"));
    L.Feed(Bytes("03 10"));
    L.Feed(Bytes("10 10"));
    L.Feed(Bytes("12 21"));
    // A DLE before a byte that needs no escape keeps that byte; an escaped checksum.
    L.Feed(Bytes("02 04 27 01 10 41 41 02 04 27 10 03 01 01 10 03"));
    EXPECT_EQ(L.Seen(), (TStrings{"27 10 11", "27 41", "27 01 01"}));
    EXPECT_EQ(L.Shown, "");

    // Shown raw, a frame is the values it carries: no DLE, escapes undone.
    Reader Raw(cxctSTX);
    Raw.Line.ShowRaw = true;
    Raw.Feed(Bytes("02 04 27 10 03 10 10 10 12 21"));
    EXPECT_EQ(Raw.Seen(), TStrings{"27 10 11"});
    EXPECT_EQ(Hex(Raw.Shown), "02 04 27 02 10 11 21");
}

TEST(FrameReader, CoreEscapeOnlyKeepsTheBackslashOutOfTheText)
{
    Reader L(cxctCore2);
    L.Line.CoreEscape = true;
    L.Feed("a\\\\b\\c");
    EXPECT_EQ(L.Shown, "a\\bc");

    // Inside a frame the parser still sees both bytes; shown raw, the 5C is missing.
    L.Shown.clear();
    L.Line.ShowRaw = true;
    L.Feed(UnitFrame(cxctCore2, 0x27, Bytes("5C 41")));
    EXPECT_EQ(L.Seen(), TStrings{"27 5C 41"});
    EXPECT_EQ(Hex(L.Shown), "5B 27 02 41 9D 5D");

    // Cores up to 555 do not escape.
    Reader Old(cxctCore2);
    Old.Feed("a\\\\b\\c");
    EXPECT_EQ(Old.Shown, "a\\\\b\\c");
}

// ---- Bad frames and resynchronisation ----

TEST(FrameReader, ABadChecksumShowsTheFramesValues)
{
    Reader Stx(cxctSTXb);
    Stx.Feed(Bytes("02 04 27 01 10 12 00") + "next");
    EXPECT_TRUE(Stx.Frames.empty());
    EXPECT_EQ(Hex(Stx.Shown), Hex(Bytes("02 04 27 01 11 00") + "next"));

    Reader Core2(cxctCore2);
    Core2.Feed(Bytes("5B 27 01 AA 00 5D") + UnitFrame(cxctCore2, 0x23, Bytes("07")));
    EXPECT_EQ(Core2.Seen(), TStrings{"23 07"});
    EXPECT_EQ(Hex(Core2.Shown), "5B 27 01 AA 00 5D");
}

TEST(FrameReader, ARawStartByteBeginsANewFrame)
{
    // Cut off after two of five payload bytes; its bytes are dropped unseen.
    Reader L(cxctSTXb);
    L.Feed(Bytes("02 04 27 05 AA BB") + UnitFrame(cxctSTXb, 0x23, Bytes("07")));
    EXPECT_EQ(L.Seen(), TStrings{"23 07"});
    EXPECT_EQ(L.Shown, "");

    // Even a pending escape gives way to it.
    L.Feed(Bytes("02 04 27 05 10") + UnitFrame(cxctSTXb, 0x23, Bytes("08")));
    EXPECT_EQ(L.Seen(), (TStrings{"23 07", "23 08"}));

    // Bracketed frames have no such byte: a cut-off frame swallows what follows,
    // unless the reader is told to wait for a new one (as after a wake-up).
    Reader B(cxctCore2);
    B.Feed(Bytes("5B 27 05 AA") + UnitFrame(cxctCore2, 0x23, Bytes("07")));
    EXPECT_TRUE(B.Frames.empty());
    Reader H(cxctCore2);
    H.Feed(Bytes("5B 27 05 AA"));
    H.R.Hunt();
    H.Feed(UnitFrame(cxctCore2, 0x23, Bytes("07")));
    EXPECT_EQ(H.Seen(), TStrings{"23 07"});
}

// ---- Auto-detection ----

TEST(FrameReader, AutoDetectionFollowsTheUnitsFirstFrame)
{
    const std::string Info = ShortUnitInfo();
    std::string Ext = Info + Bytes("01 02 03 04 05 06 07 08");
    struct TCase {
        TCX_ConfigType From, Sent;
        uint8_t Cmd;
        const std::string& Payload;
        TCX_ConfigType Detected;
    };
    const TCase Cases[] = {
        {cxctSTXb, cxctCore2, 0x01, Info, cxctCore2}, {cxctCore2, cxctSTX, 0x01, Info, cxctSTX},
        {cxctCore2, cxctSTX, 0x0B, Ext, cxctSTX},     {cxctCore2, cxctSTXb, 0x0B, Ext, cxctSTXb},
        {cxctSTXb, cxctSTX, 0x0B, Ext, cxctSTX},      {cxctSTX, cxctSTXb, 0x0B, Ext, cxctSTXb},
    };
    for (const TCase& C : Cases) {
        Reader L(C.From);
        L.Line.AutoDetect = true;
        L.Feed("_CONFIGB\r" + UnitFrame(C.Sent, C.Cmd, C.Payload));
        EXPECT_EQ(L.Line.ConfigType, C.Detected) << C.From << " to " << C.Sent;
        ASSERT_EQ(L.Frames.size(), 1u) << C.From << " to " << C.Sent;
        EXPECT_EQ(L.Frames[0].CmdID, C.Cmd);
        EXPECT_EQ(L.Frames[0].Payload, C.Payload);
        EXPECT_EQ(L.Shown, "_CONFIGB\r");
    }

    // Only the unit information settles the mode; anything else is text.
    Reader Other(cxctSTXb);
    Other.Line.AutoDetect = true;
    Other.Feed(UnitFrame(cxctCore2, 0x27, Bytes("01")));
    EXPECT_EQ(Other.Line.ConfigType, cxctSTXb);
    EXPECT_TRUE(Other.Frames.empty());
    EXPECT_EQ(Hex(Other.Shown), "5B 27 01 01 01 5D");

    // Once connected the mode stays.
    Reader Connected(cxctSTXb);
    Connected.Line.AutoDetect = true;
    Connected.Line.Connected = true;
    Connected.Feed(UnitFrame(cxctCore2, 0x01, Info));
    EXPECT_EQ(Connected.Line.ConfigType, cxctSTXb);
    EXPECT_TRUE(Connected.Frames.empty());
}

// ---- Held text ----

TEST(FrameReader, HeldTextIsBoundedAndDroppedOnRequest)
{
    // Bytes someone else takes (the block feed) are held, not shown, up to the bound.
    TCX_FrameReader R;
    TCX_ReaderLine Line;
    Line.ConfigType = cxctSTXb;
    std::string Shown;
    std::size_t MostHeld = 0;
    for (int i = 0; i < 3000; ++i) {
        bool Consumed = true;
        EXPECT_FALSE(R.Take('{', Line, Consumed, Shown));
        R.Settle(Consumed, false, Shown);
        MostHeld = std::max(MostHeld, R.HeldSize());
    }
    EXPECT_EQ(MostHeld, TCX_FrameReader::MaxRawText);
    // Shown in runs of MaxRawText + 1, oldest first.
    EXPECT_EQ(Shown, std::string(2 * (TCX_FrameReader::MaxRawText + 1), '{'));
    EXPECT_EQ(R.HeldSize(), 3000 - Shown.size());

    // A served request drops what is held and any pending escape: the 10 before
    // the drop no longer turns the following 03 into 02 (checksum 03 + 27 + 01).
    R.DropHeld();
    EXPECT_EQ(R.HeldSize(), 0u);
    std::vector<TCX_Frame> Frames;
    Shown = R.Read(Bytes("02 04 27 01 10"), Line, Frames);
    R.DropHeld();
    Shown += R.Read(Bytes("03 2B"), Line, Frames);
    ASSERT_EQ(Frames.size(), 1u);
    EXPECT_EQ(Hex(Frames[0].Payload), "03");
    EXPECT_EQ(Shown, "");
}
