// The module frame receiver, fed byte by byte: escapes, checksums, frames
// that must be dropped, and which frames count as answers or status.
#include "AppTestSupport.h"
#include "app/ModuleFrames.h"
#include "app/UpdateSession.h"

#include <gtest/gtest.h>

namespace
{

class ModuleReceiver : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        // No port: what the session answers goes nowhere, silently.
        S.cCom1.SetRaiseErrors(false);
        ASSERT_TRUE(S.SetDeviceType(dtExternalGPS));
        S.OnModuleFrame = [this](TUpdateSession*, bool Outgoing, const std::string& Bytes) {
            (Outgoing ? Out : In).push_back(Bytes);
        };
    }
    void Feed(const std::string& Wire)
    {
        for (char C : Wire)
            S.ModuleRxByte(static_cast<uint8_t>(C));
    }
    // An answer frame on the wire: FF, payload, sum of the payload.
    static std::string Answer(const std::string& Payload)
    {
        std::string Content(1, '\xFF');
        Content += Payload;
        Content += static_cast<char>(Sum(Payload));
        return EscapeModuleFrame(Content);
    }
    static std::string Status(const std::string& Payload)
    {
        std::string Body("\x00\x2C", 2);
        Body += Payload;
        Body += static_cast<char>(Sum(Body));
        return EscapeModuleFrame(Body);
    }
    static uint8_t Sum(const std::string& S)
    {
        unsigned V = 0;
        for (unsigned char C : S)
            V += C;
        return static_cast<uint8_t>(V);
    }
    static std::string Identity(uint8_t Major, uint8_t Minor)
    {
        return Bytes({0x3C, 0x10, 0x3E, 0x01}) + static_cast<char>(Major) + static_cast<char>(Minor) + "EGPS";
    }

    TUpdateSession S;
    std::vector<std::string> Out, In;
};

} // namespace

TEST_F(ModuleReceiver, IdentifyAnswerWithEscapedBytes)
{
    S.SendModuleIdentify();
    EXPECT_EQ(S.PendingCmd(), 0x01);
    ASSERT_EQ(Out.size(), 1u);
    EXPECT_EQ(Hex(Out[0]), "3C 00 2C 01 1D 4A 3E");

    const std::string Wire = Answer(Identity(2, 5));
    // 3C, 10 and 3E of the module ID travel escaped.
    EXPECT_NE(Wire.find(Bytes({0x10, 0x01, 0x10, 0x10, 0x10, 0x02})), std::string::npos);
    Feed(Wire);
    EXPECT_EQ(S.Display().vUnitID, "3C103E01");
    EXPECT_EQ(S.Display().vVersion, "2.05");
    EXPECT_EQ(S.Display().vClass, "EGPS");
    // 2.00 or more: the receiver's version is asked next, and that question is pending.
    ASSERT_EQ(Out.size(), 2u);
    EXPECT_EQ(Hex(Out[1]), "3C 00 2C FA 51 77 3E");
    EXPECT_EQ(S.PendingCmd(), 0xFA);
    ASSERT_EQ(In.size(), 1u);
    std::string Expected(1, '\xFF');
    Expected += Identity(2, 5);
    Expected += static_cast<char>(Sum(Identity(2, 5)));
    EXPECT_EQ(In[0], Expected);
}

TEST_F(ModuleReceiver, ControllerBelow200StartsItsUpdate)
{
    S.SendModuleIdentify();
    Feed(Answer(Identity(1, 99)));
    EXPECT_EQ(S.Display().vVersion, "1.99");
    EXPECT_EQ(S.UpdateState(), 5);
    EXPECT_EQ(S.Display().vGPSCurrent, "Updating EGPS module");
    ASSERT_EQ(Out.size(), 2u);
    EXPECT_EQ(Hex(Out[1]), "3C 00 2C 7F 1D C8 3E");
    EXPECT_FALSE(S.TimerE3.isActive());
}

TEST_F(ModuleReceiver, FramesThatAreDropped)
{
    S.SendModuleIdentify();
    // Wrong checksum.
    std::string Bad = Answer(Identity(2, 5));
    Bad[Bad.size() - 2] ^= 1;
    Feed(Bad);
    EXPECT_EQ(S.Display().vUnitID, "");
    // Content of two bytes (checksum included) is no frame.
    Feed(Bytes({0x3C, 0xFF, 0x00, 0x3E}));
    // An unknown escape abandons the frame; its end marker then ends nothing.
    std::string Broken = Answer(Identity(2, 5));
    Broken.insert(3, Bytes({0x10, 0x05}));
    Feed(Broken);
    EXPECT_EQ(S.Display().vUnitID, "");
    // Bytes outside a frame are ignored.
    Feed("garbage>>" + std::string(1, '\x10'));
    EXPECT_EQ(S.PendingCmd(), 0x01);
    // Too short an identity: nothing, the timer asks again.
    Feed(Answer(Bytes({1, 2, 3, 4, 2, 0})));
    EXPECT_EQ(S.Display().vVersion, "");
    EXPECT_EQ(S.PendingCmd(), 0);
    // An answer with nothing pending is not taken for one.
    Feed(Answer(Identity(2, 5)));
    EXPECT_EQ(S.Display().vUnitID, "");
    // And the receiver still works after all that.
    S.SendModuleIdentify();
    Feed(Answer(Identity(2, 5)));
    EXPECT_EQ(S.Display().vUnitID, "3C103E01");
}

TEST_F(ModuleReceiver, StatusFramesAndThePendingCommand)
{
    S.SendToGPS("Q");
    EXPECT_EQ(S.PendingCmd(), 0xFA);
    // Our own command coming back is ignored while it is pending.
    Feed(Status(Bytes({0xFA, 'Q'})));
    EXPECT_EQ(S.PendingCmd(), 0xFA);
    EXPECT_EQ(S.UpdateState(), 0);
    // "R" 01 is status, not our command: accepted while FA is pending.
    Feed(Status(Bytes({'R', 0x01})));
    EXPECT_EQ(S.UpdateState(), 3);
    EXPECT_EQ(S.Display().pSendProgress.Position, S.Display().pSendProgress.Maximum);
    ASSERT_FALSE(Out.empty());
    EXPECT_EQ(Out.back(), ModuleRawAck);
    // A frame for another address clears what is pending.
    const std::string Other = Bytes({0x01, 0x02, 0x33});
    Feed(EscapeModuleFrame(Other + static_cast<char>(Sum(Other))));
    EXPECT_EQ(S.PendingCmd(), 0);
}

TEST_F(ModuleReceiver, EmptyVersionAnswerIsNoVersion)
{
    S.SendToGPS("Q");
    Feed(Answer(""));
    EXPECT_EQ(S.Display().vGPSCurrent, "");
    EXPECT_EQ(S.UpdateState(), 0);
    EXPECT_EQ(S.Display().vGPSNeeded, "");
    S.SendToGPS("Q");
    Feed(Answer("AXN_5.1.9_3333_23110100,5110,MC-GG,1.1"));
    EXPECT_EQ(S.Display().vGPSCurrent, "AXN_5.1.9_3333_23110100,5110,MC-GG,1.1");
    EXPECT_EQ(S.Display().vGPSNeeded, "AXN_5.1.9_3333_23110100,5110,MC-GG,1.1");
    EXPECT_EQ(S.UpdateState(), 4);
}

// Answers name no command: a late answer to an earlier question must not be
// taken for the answer to the one pending now.
TEST_F(ModuleReceiver, LateAnswersToEarlierQuestionsAreNotTakenForTheCurrentOne)
{
    S.SendModuleIdentify();
    Feed(Answer(Identity(2, 5)));
    ASSERT_EQ(S.PendingCmd(), 0xFA) << "the version question follows";
    // The answer to a repeated identify arrives late: it is no version text.
    Feed(Answer(Identity(2, 5)));
    EXPECT_EQ(S.Display().vGPSCurrent, "");
    EXPECT_EQ(S.Display().vGPSNeeded, "");
    EXPECT_EQ(S.UpdateState(), 0);
    EXPECT_EQ(S.PendingCmd(), 0xFA) << "the question stays pending";
    // Its own answer still counts.
    Feed(Answer("AXN_5.1.9_3333_23110100,5110,MC-GG,1.1"));
    EXPECT_EQ(S.Display().vGPSCurrent, "AXN_5.1.9_3333_23110100,5110,MC-GG,1.1");
    EXPECT_EQ(S.PendingCmd(), 0);
    const int Before = S.UpdateState();

    // Block 0 pending: a late version answer is not the module's "R".
    S.SendToGPS(Bytes({'R', 0x00, 0x01}));
    Feed(Answer("AXN_3.8_3333_15043022,3424,MC-GG,1.0"));
    Feed(Answer(Identity(2, 5)));
    EXPECT_EQ(S.UpdateState(), Before);
    EXPECT_NE(S.Display().vProgress, "Waiting");
    EXPECT_EQ(S.PendingCmd(), 0xFA);
    Feed(Answer("R"));
    EXPECT_EQ(S.UpdateState(), 2);
    EXPECT_EQ(S.Display().vProgress, "Waiting");
    EXPECT_EQ(S.PendingCmd(), 0);
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
