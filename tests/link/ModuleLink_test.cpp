// The External GPS module link without a module: frames built, escaped and
// checked, frames read byte by byte,
// dropped frames, answers paired with the question asked, status frames
// told from our own command coming back, and what the bytes are in each
// receive mode. Its port stays closed; what the link writes is traced.
#include "LinkTest.h"
#include "link/ModuleFrameReader.h"
#include "link/ModuleFrames.h"
#include "link/ModuleLink.h"

#include <gtest/gtest.h>

namespace
{

uint8_t Sum(const std::string& S)
{
    unsigned V = 0;
    for (unsigned char C : S)
        V += C;
    return static_cast<uint8_t>(V);
}

// An answer frame on the wire: FF, payload, sum of the payload.
std::string Answer(const std::string& Payload)
{
    return EscapeModuleFrame("\xFF" + Payload + static_cast<char>(Sum(Payload)));
}

std::string Status(const std::string& Payload)
{
    const std::string Body = std::string("\x00\x2C", 2) + Payload;
    return EscapeModuleFrame(Body + static_cast<char>(Sum(Body)));
}

// ID 3C 10 3E 01 (each needs an escape), the version bytes, the name.
std::string Identity(uint8_t Major, uint8_t Minor)
{
    return Bytes("3C 10 3E 01") + static_cast<char>(Major) + static_cast<char>(Minor) + "EGPS";
}

const std::string Version = "AXN_5.1.9_3333_23110100,5110,MC-GG,1.1";

class ModuleLink : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        L.Port().SetRaiseErrors(false);
        L.SetReceive(TModuleReceive::Frames);
        L.OnFrame = [this](TModuleLink*, bool Outgoing, const std::string& B) {
            (Outgoing ? Out : In).push_back(B);
        };
        L.OnIdentity = [this](TModuleLink*, const TModuleIdentity& I) {
            Events.push_back("identity " + I.UnitID + " " + std::to_string(I.Version).substr(0, 4) + " " +
                             I.Class);
        };
        L.OnReceiverVersion = [this](TModuleLink*, const std::string& V) {
            Events.push_back("version " + V);
        };
        L.OnReceiverReady = [this](TModuleLink*) { Events.push_back("ready"); };
        L.OnStatus = [this](TModuleLink*, TModuleStatus S) {
            static const char* Names[] = {"ready", "accepted", "refused", "other"};
            Events.push_back(std::string("status ") + Names[static_cast<int>(S)]);
        };
        L.OnDot = [this](TModuleLink*) { Events.push_back("dot"); };
    }
    std::string Take()
    {
        std::string All;
        for (const std::string& E : Events)
            All += (All.empty() ? "" : "; ") + E;
        Events.clear();
        return All;
    }

    TModuleLink L;
    std::vector<std::string> Out, In, Events;
};

} // namespace

TEST_F(ModuleLink, IdentifyAnswerWithEscapedBytesSplitAnywhere)
{
    L.SendModuleIdentify();
    EXPECT_EQ(L.PendingCmd(), 0x01);
    ASSERT_EQ(Out.size(), 1u);
    EXPECT_EQ(Hex(Out[0]), "3C 00 2C 01 1D 4A 3E");

    const std::string Wire = Answer(Identity(2, 5));
    // 3C, 10 and 3E of the module ID travel escaped.
    EXPECT_NE(Wire.find(Bytes("10 01 10 10 10 02")), std::string::npos);
    for (char C : Wire)
        L.Received(std::string(1, C));
    EXPECT_EQ(Take(), "identity 3C103E01 2.05 EGPS");
    EXPECT_EQ(L.PendingCmd(), 0);
    ASSERT_EQ(In.size(), 1u);
    EXPECT_EQ(In[0], "\xFF" + Identity(2, 5) + static_cast<char>(Sum(Identity(2, 5))));

    // A question asked in reaction to an answer is pending afterwards.
    L.OnIdentity = [this](TModuleLink*, const TModuleIdentity&) { L.SendToGPS("Q"); };
    L.SendModuleIdentify();
    L.Received(Answer(Identity(1, 99)));
    EXPECT_EQ(Hex(Out.back()), "3C 00 2C FA 51 77 3E");
    EXPECT_EQ(L.PendingCmd(), 0xFA);
    L.SendStartControllerUpdate();
    EXPECT_EQ(Hex(Out.back()), "3C 00 2C 7F 1D C8 3E");
}

TEST_F(ModuleLink, FramesThatAreDropped)
{
    L.SendModuleIdentify();
    // Wrong checksum.
    std::string Bad = Answer(Identity(2, 5));
    Bad[Bad.size() - 2] ^= 1;
    L.Received(Bad);
    // Content of two bytes (checksum included) is no frame.
    L.Received(Bytes("3C FF 00 3E"));
    // An unknown escape abandons the frame; its end marker then ends nothing.
    std::string Broken = Answer(Identity(2, 5));
    Broken.insert(3, Bytes("10 05"));
    L.Received(Broken);
    // Bytes outside a frame are ignored.
    L.Received("garbage>>\x10");
    EXPECT_EQ(Take(), "");
    EXPECT_EQ(L.PendingCmd(), 0x01);
    // Too short an identity: no event, but the question is answered.
    L.Received(Answer(Bytes("01 02 03 04 02 00")));
    EXPECT_EQ(Take(), "");
    EXPECT_EQ(L.PendingCmd(), 0);
    // An answer with nothing pending is not taken for one.
    L.Received(Answer(Identity(2, 5)));
    EXPECT_EQ(Take(), "");
    // And the reader still works after all that.
    L.SendModuleIdentify();
    L.Received(Answer(Identity(2, 5)));
    EXPECT_EQ(Take(), "identity 3C103E01 2.05 EGPS");
}

TEST_F(ModuleLink, StatusFramesAndThePendingCommand)
{
    L.SendToGPS("Q");
    EXPECT_EQ(L.PendingCmd(), 0xFA);
    // Our own command coming back is ignored while it is pending.
    L.Received(Status("\xFAQ"));
    EXPECT_EQ(Take(), "");
    EXPECT_EQ(L.PendingCmd(), 0xFA);
    // "R" 01 is status, not our command: reported while FA is pending.
    L.Received(Status("R\x01") + Status("S\x01") + Status("T\xFF") + Status("S\x02") + Status("T\x02") +
               Status("R\x02") + Status(""));
    EXPECT_EQ(Take(), "status ready; status accepted; status accepted; status refused; status refused; "
                      "status other; status other");
    L.SendAcknowledge();
    EXPECT_EQ(Hex(Out.back()), "3C FF FF FF 3E");
    // A frame for another address clears what is pending.
    L.Received(EscapeModuleFrame(Bytes("01 02 33") + static_cast<char>(Sum(Bytes("01 02 33")))));
    EXPECT_EQ(L.PendingCmd(), 0);
    // With nothing pending, a status starting with FA is a status.
    L.Received(Status("\xFAQ"));
    EXPECT_EQ(Take(), "status other");
}

// Answers name no command: a late answer to an earlier question must not be
// taken for the answer to the one pending now.
TEST_F(ModuleLink, AnswersPairedWithTheQuestionAsked)
{
    L.SendToGPS("Q");
    // An empty answer is too short to be a frame: no version, still pending.
    L.Received(Answer(""));
    EXPECT_EQ(Take(), "");
    EXPECT_EQ(L.PendingCmd(), 0xFA);

    L.SendToGPS("Q");
    // The answer to a repeated identify arrives late: it is no version text.
    L.Received(Answer(Identity(2, 5)));
    EXPECT_EQ(Take(), "");
    EXPECT_EQ(L.PendingCmd(), 0xFA) << "the question stays pending";
    L.Received(Answer(Version));
    EXPECT_EQ(Take(), "version " + Version);
    EXPECT_EQ(L.PendingCmd(), 0);

    // Block 0 pending: a late version answer is not the module's "R".
    L.SendToGPS(Bytes("52 00 01"));
    L.Received(Answer(Version) + Answer(Identity(2, 5)));
    EXPECT_EQ(Take(), "");
    EXPECT_EQ(L.PendingCmd(), 0xFA);
    L.Received(Answer("R"));
    EXPECT_EQ(Take(), "ready");
    EXPECT_EQ(L.PendingCmd(), 0);
}

TEST_F(ModuleLink, WhatTheBytesAreInEachReceiveMode)
{
    const std::string Dots = "..";
    L.Received(Dots + Status("R\x01"));
    EXPECT_EQ(Take(), "status ready") << "dots count only while preparing";

    L.SetReceive(TModuleReceive::Preparing);
    L.Received(Dots + Status("R\x01"));
    EXPECT_EQ(Take(), "dot; dot; status ready");

    // A controller updating itself sends no frames: a read is traced whole.
    L.SetReceive(TModuleReceive::Controller);
    L.SendToGPS("Q");
    In.clear();
    const std::string Read = Answer(Version) + "{0}";
    L.Received(Read);
    EXPECT_EQ(Take(), "");
    std::string Traced;
    for (const std::string& B : In)
        Traced += B;
    EXPECT_EQ(Traced, Read);
}

TEST(ModuleFrames, BuiltEscapedAndChecked)
{
    const auto CommandFrame = [](uint8_t Cmd, const std::string& Payload) {
        return Hex(EscapeModuleFrame(ModuleCommandBody(Cmd, Payload)));
    };
    EXPECT_EQ(CommandFrame(0x01, "\x1D"), "3C 00 2C 01 1D 4A 3E");
    EXPECT_EQ(CommandFrame(0xFA, "Q"), "3C 00 2C FA 51 77 3E");
    EXPECT_EQ(CommandFrame(0x7F, "\x1D"), "3C 00 2C 7F 1D C8 3E");
    EXPECT_EQ(CommandFrame(0xFA, Bytes("52 00 01")), "3C 00 2C FA 52 00 01 79 3E");

    EXPECT_EQ(Hex(EscapeModuleFrame(Bytes("10 3C 3E 11 01 02"))), "3C 10 10 10 01 10 02 11 01 02 3E");
    // 00 + 2C + 10 = 3C: the checksum itself needs the escape.
    EXPECT_EQ(CommandFrame(0x10, ""), "3C 00 2C 10 10 10 01 3E");
    // 2C + FA + 18 = 13E: a checksum of 3E.
    EXPECT_EQ(CommandFrame(0xFA, Bytes("18")), "3C 00 2C FA 18 10 02 3E");
    EXPECT_EQ(CommandFrame(0xFA, Bytes("3C")), "3C 00 2C FA 10 01 62 3E");
    EXPECT_EQ(Hex(EscapeModuleFrame("")), "3C 3E");

    std::string Content;
    // Status frame: address and payload are summed.
    EXPECT_TRUE(ModuleFrameValid(Bytes("00 2C 52 01 7F"), Content));
    EXPECT_EQ(Hex(Content), "00 2C 52 01");
    // Answer frame: the leading FF is not summed.
    EXPECT_TRUE(ModuleFrameValid(Bytes("FF 10 20 30"), Content));
    EXPECT_EQ(Hex(Content), "FF 10 20");
    EXPECT_FALSE(ModuleFrameValid(Bytes("FF 10 20 2F"), Content));
    EXPECT_FALSE(ModuleFrameValid(Bytes("00 2C 52 01 80"), Content));
    // Two bytes or fewer, checksum included, are never a frame.
    EXPECT_FALSE(ModuleFrameValid(Bytes("05 05"), Content));
    EXPECT_FALSE(ModuleFrameValid(Bytes("FF 00"), Content));
    EXPECT_FALSE(ModuleFrameValid("", Content));
    // The shortest answer that counts: FF, one payload byte, its checksum.
    EXPECT_TRUE(ModuleFrameValid(Bytes("FF 07 07"), Content));
}

TEST(ModuleFrameReader, FramesEscapesAndBounds)
{
    TModuleFrameReader R;
    std::vector<std::string> Frames;
    const auto Feed = [&](const std::string& Bytes) {
        for (char C : Bytes)
            if (R.Feed(static_cast<uint8_t>(C)))
                Frames.push_back(R.Frame());
    };
    // Escapes undone; a "<" inside a frame starts a new one; an empty frame is a frame.
    Feed(Bytes("3C 01 10 01 10 02 10 10 02 3E 3C 05 3C 06 3E 3C 3E"));
    ASSERT_EQ(Frames.size(), 3u);
    EXPECT_EQ(Hex(Frames[0]), "01 3C 3E 10 02");
    EXPECT_EQ(Hex(Frames[1]), "06");
    EXPECT_EQ(Frames[2], "");
    // An unknown escape abandons the frame; a ">" always ends one, even after an escape.
    Feed(Bytes("3C 01 10 05 3E 3C 01 10 3E"));
    ASSERT_EQ(Frames.size(), 4u);
    EXPECT_EQ(Hex(Frames[3]), "01");
    Frames.pop_back();
    // Line noise without an end is not held beyond MaxFrame.
    Feed("<" + std::string(TModuleFrameReader::MaxFrame + 1, 'x'));
    EXPECT_FALSE(R.InFrame());
    Feed(">");
    EXPECT_EQ(Frames.size(), 3u);
    // A new connection abandons the frame under way.
    Feed("<abc");
    R.Abandon();
    Feed("d>");
    EXPECT_EQ(Frames.size(), 3u);
}

TEST(ModuleVersionText, WhatCountsAsAVersion)
{
    EXPECT_TRUE(IsModuleVersionText(""));
    EXPECT_TRUE(IsModuleVersionText("AXN_3.8_3333_15043022,3424,MC-GG,1.0"));
    EXPECT_TRUE(IsModuleVersionText(std::string("MC-1513 1.0\0\0", 13)));
    EXPECT_TRUE(IsModuleVersionText("MC-1513\r\n"));
    EXPECT_FALSE(IsModuleVersionText(std::string("\x00\x01\x86\xA0\x02\x03EGPS", 10)));
    EXPECT_FALSE(IsModuleVersionText("MC\n1513"));
    EXPECT_FALSE(IsModuleVersionText("MC-1513\x7F"));
    EXPECT_FALSE(IsModuleVersionText(std::string("\0MC-1513", 8)));
}
