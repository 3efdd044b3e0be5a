// The simulated External GPS module over a real pty, played from the tool's side.
#include "DevsimTest.h"
#include "tools/devsim/GpsModule.h"
#include "tools/devsim/ReceiverImage.h"
#include "util/DeflateText.h"

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

using namespace devsim;

namespace
{

const std::string OldReceiver = "AXN_3.8_3333_15043022,3424,MC-GG,1.0";
const std::string NewReceiver = "AXN_5.1_9999_22010101,5000,MC-GG,1.1";
const std::string RawAck = "\x3C\xFF\xFF\xFF\x3E";
constexpr int Wait = 10000;

double SecondsSince(std::chrono::steady_clock::time_point T)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - T).count();
}

ModuleConfig Quick()
{
    ModuleConfig C;
    C.PrepareDots = 3;
    C.DotIntervalMs = 20;
    C.ProgrammingMs = 100;
    C.RestartMs = 100;
    C.BlockTimeoutMs = 2000;
    return C;
}

// The blocks as the tool builds them: "R" and the page count, then 2048-byte chunks
// sent plain ("S") or as raw deflate ("T"), whichever is not longer.
std::vector<std::string> ToolBlocks(const std::string& Image)
{
    const uint32_t Pages = (ImageDeclaredLength(Image) + 255) / 256;
    std::vector<std::string> B{Bytes({'R', static_cast<int>(Pages >> 8), static_cast<int>(Pages & 0xFF)})};
    for (std::size_t i = 0; i * 2048 < Image.size(); ++i) {
        const std::string Chunk = Image.substr(i * 2048, 2048);
        const std::string Z = DeflateText(Chunk, true);
        const char Index = static_cast<char>(i & 0xFF);
        B.push_back(Chunk.size() < Z.size() ? std::string("S") + Index + Chunk
                                            : std::string("T") + Index + Z);
    }
    return B;
}

class ModuleTest : public ::testing::Test
{
  protected:
    void Begin(const ModuleConfig& C = Quick())
    {
        Module = std::make_unique<GpsModule>(C);
        ASSERT_TRUE(Module->Ok()) << Module->Error();
        Port = std::make_unique<ToolPort>(Module->SlavePath());
        ASSERT_TRUE(Port->Ok());
    }
    // Sends a command and waits for the next module frame; false when none came.
    bool Ask(uint8_t Cmd, const std::string& Payload, ModuleFrame* Reply, int Timeout = Wait)
    {
        const std::size_t Had = ParseModuleFrames(Port->Buffer).size();
        Port->Write(ModuleCommand(Cmd, Payload));
        const bool Got =
            Port->ReadUntil([&](const std::string& B) { return ParseModuleFrames(B).size() > Had; }, Timeout);
        if (Got && Reply)
            *Reply = ParseModuleFrames(Port->Buffer)[Had];
        return Got;
    }
    std::string Receiver(int Timeout = Wait)
    {
        ModuleFrame F;
        if (!Ask(0xFA, "Q", &F, Timeout))
            return "(no answer)";
        EXPECT_TRUE(F.Answer);
        return F.Payload;
    }
    // "R" answered, the line moved to 57600, dots, then status "R" 01.
    void StartImage(const std::string& Block0)
    {
        ModuleFrame F;
        ASSERT_TRUE(Ask(0xFA, Block0, &F));
        ASSERT_TRUE(F.Answer);
        EXPECT_EQ(F.Payload, "R");
        EXPECT_EQ(Module->DeviceRate(), 57600u);
        Port->SetRate(57600);
        Port->Buffer.clear();
        ASSERT_TRUE(
            Port->ReadUntil([](const std::string& B) { return B.find('<') != std::string::npos; }, Wait));
        const auto Status = ParseModuleFrames(Port->Buffer);
        ASSERT_EQ(Status.size(), 1u);
        EXPECT_FALSE(Status[0].Answer);
        EXPECT_EQ(Hex(Status[0].Payload), "52 01");
        EXPECT_GE(Port->Buffer.find('<'), 3u) << "dots come first";
        EXPECT_EQ(Port->Buffer.substr(0, 3), "...");
        Port->Write(RawAck);
    }
    // Sends one block, returns the status payload (hex) or "" for none.
    std::string SendBlock(const std::string& Block, int Timeout = Wait, bool Acknowledge = true)
    {
        ModuleFrame F;
        if (!Ask(0xFA, Block, &F, Timeout))
            return "";
        EXPECT_FALSE(F.Answer);
        if (Acknowledge)
            Port->Write(RawAck);
        return Hex(F.Payload);
    }
    // Frames from index From on, as "answer TEXT" or "status HEX".
    std::vector<std::string> FramesFrom(std::size_t From) const
    {
        std::vector<std::string> Out;
        const auto All = ParseModuleFrames(Port->Buffer);
        for (std::size_t i = From; i < All.size(); ++i)
            Out.push_back(All[i].Answer ? "answer " + All[i].Payload : "status " + Hex(All[i].Payload));
        return Out;
    }

    std::unique_ptr<GpsModule> Module;
    std::unique_ptr<ToolPort> Port;
};

} // namespace

TEST_F(ModuleTest, CommandFramesOfTheToolAreTheDocumentedBytes)
{
    // The helper the other tests use, checked against the wire bytes the tool sends.
    EXPECT_EQ(Hex(ModuleCommand(0x01, "\x1D")), "3C 00 2C 01 1D 4A 3E");
    EXPECT_EQ(Hex(ModuleCommand(0xFA, "Q")), "3C 00 2C FA 51 77 3E");
    EXPECT_EQ(Hex(ModuleCommand(0x7F, "\x1D")), "3C 00 2C 7F 1D C8 3E");
    EXPECT_EQ(Hex(ModuleCommand(0xFA, Bytes({'R', 0, 1}))), "3C 00 2C FA 52 00 01 79 3E");
    EXPECT_EQ(Hex(GpsModule::CommandFrame(0xFA, Bytes({'R', 0, 1}))), "3C 00 2C FA 52 00 01 79 3E");
    EXPECT_EQ(Hex(GpsModule::Escape(Bytes({0x10, 0x3C, 0x3E, 0x11}))), "3C 10 10 10 01 10 02 11 3E");
}

TEST_F(ModuleTest, IdentifyAnswersIdVersionAndName)
{
    Begin();
    Port->Write(ModuleCommand(0x01, "\x1D"));
    ASSERT_TRUE(Port->ReadUntil([](const std::string& B) { return B.find('>') != std::string::npos; }, Wait));
    // FF, ID 00C0FFEE, version 2.10, "EGPS-3339", sum of the payload (FF not counted).
    EXPECT_EQ(Hex(Port->Buffer), "3C FF 00 C0 FF EE 02 0A 45 47 50 53 2D 33 33 33 39 E7 3E");
    EXPECT_EQ(Module->Report().Identifies, 1);
}

TEST_F(ModuleTest, VersionQuestionAnswersTheReceiverText)
{
    Begin();
    EXPECT_EQ(Receiver(), OldReceiver);
    // Asked again within the tool's re-send period: a retry.
    EXPECT_EQ(Receiver(), OldReceiver);
    EXPECT_EQ(Module->Report().QuestionRepeats, 1);
}

TEST_F(ModuleTest, UnreadableReceiverGivesAnEmptyAnswer)
{
    ModuleConfig C = Quick();
    C.ReceiverReadable = false;
    Begin(C);
    Port->Write(ModuleCommand(0xFA, "Q"));
    ASSERT_TRUE(Port->ReadUntil([](const std::string& B) { return B.find('>') != std::string::npos; }, Wait));
    EXPECT_EQ(Hex(Port->Buffer), "3C FF 00 3E");
}

TEST_F(ModuleTest, BadChecksumsAndOtherAddressesAreIgnored)
{
    Begin();
    std::string Bad = ModuleCommand(0x01, "\x1D");
    Bad[5] = 0x4B;
    Port->Write(Bad);
    Port->Write("<\x00\x2D\x01\x1D\x4B>"); // address 002D
    Port->Write("<\x10\x05>");             // not an escape
    EXPECT_EQ(Port->ReadFor(300), "");
    EXPECT_GE(Module->Line().BadFrames, 2u);
}

TEST_F(ModuleTest, CorrectBlockSequenceCompletesTheImage)
{
    Begin();
    const std::string Image = MakeMediaTekImage(NewReceiver, 9000, 21);
    const auto Blocks = ToolBlocks(Image);
    ASSERT_EQ(Blocks.size(), 6u); // "R" and five chunks
    EXPECT_EQ(Hex(Blocks[0]), "52 00 24");
    int Plain = 0, Packed = 0;
    for (std::size_t i = 1; i < Blocks.size(); ++i)
        (Blocks[i][0] == 'S' ? Plain : Packed)++;
    EXPECT_GT(Plain, 0) << "the image should need both block kinds";
    EXPECT_GT(Packed, 0);

    StartImage(Blocks[0]);
    for (std::size_t i = 1; i < Blocks.size(); ++i)
        EXPECT_EQ(SendBlock(Blocks[i]), Hex(std::string(1, Blocks[i][0]) + "\x01")) << "block " << i;
    // The acknowledgement of the last status takes the module back to 9600; it programs the receiver.
    ASSERT_TRUE(Module->WaitUntil([](const ModuleReport& R) { return R.Rate == 9600; }, Wait));
    Port->SetRate(9600);
    ASSERT_TRUE(Module->WaitUntil([](const ModuleReport& R) { return R.Programmings == 1; }, Wait));
    EXPECT_EQ(Module->ReceiverImage(), Image);
    EXPECT_EQ(Receiver(), NewReceiver);
    const ModuleReport R = Module->Report();
    EXPECT_EQ(R.BlocksReceived, 5);
    EXPECT_EQ(R.ImageStarts, 1);
    EXPECT_EQ(R.Transfers, 1);
    EXPECT_EQ(R.ImagesReceived, 1);
    EXPECT_EQ(R.TransferFailures, 0);
    EXPECT_EQ(R.RawAcks, 6);
    EXPECT_EQ(R.LastAckTimeouts, 0);
    EXPECT_GE(R.DotsSent, 3);
    EXPECT_EQ(R.Rate, 9600u);
}

TEST_F(ModuleTest, ARepeatedBlockIsAcknowledgedOnce)
{
    Begin();
    const std::string Image = MakeMediaTekImage(NewReceiver, 4096, 2);
    const auto Blocks = ToolBlocks(Image);
    ASSERT_EQ(Blocks.size(), 3u);
    StartImage(Blocks[0]);
    EXPECT_NE(SendBlock(Blocks[1]), "");
    EXPECT_EQ(SendBlock(Blocks[1]).substr(3), "01") << "its status was lost: the tool sends it again";
    EXPECT_NE(SendBlock(Blocks[2]), "");
    Port->SetRate(9600);
    ASSERT_TRUE(Module->WaitUntil([](const ModuleReport& R) { return R.Programmings == 1; }, Wait));
    EXPECT_EQ(Module->ReceiverImage(), Image);
    EXPECT_EQ(Module->Report().BlockRepeats, 1);
}

TEST_F(ModuleTest, BadBlocksAreRefusedWithStatus02)
{
    struct Case {
        const char* Name;
        // Damages the blocks and returns the number of the block the module refuses.
        std::function<std::size_t(std::vector<std::string>&)> Damage;
        const char* Reason;
    };
    const std::string Image = MakeMediaTekImage(NewReceiver, 9000, 21);
    const std::vector<Case> Cases = {
        {"index skipped",
         [](auto& B) {
             B[3][1] = 3;
             return std::size_t{3};
         },
         "block index 3 where 2 was due"},
        {"does not inflate",
         [](auto& B) {
             for (std::size_t i = 1; i < B.size(); ++i)
                 if (B[i][0] == 'T') {
                     B[i].resize(B[i].size() / 2);
                     return i;
                 }
             return std::size_t{0};
         },
         "does not inflate"},
        {"short block early",
         [](auto& B) {
             B[1].resize(1000);
             return std::size_t{1};
         },
         "short block 0"},
        {"pages disagree with the header",
         [](auto& B) {
             B[0][2] = 0x20;
             return std::size_t{1};
         },
         "declares 9000 bytes, not 32 pages"},
        {"more data than pages",
         [](auto& B) {
             B[0][2] = 0x01;
             return std::size_t{1};
         },
         "more data than the 1 pages announced"},
        {"not a MediaTek image",
         [](auto& B) {
             B[1][2 + 144] = 'X';
             return std::size_t{1};
         },
         "not a MediaTek image"},
    };
    for (const Case& K : Cases) {
        SCOPED_TRACE(K.Name);
        Begin();
        auto Blocks = ToolBlocks(Image);
        // The first chunk plain, so that header damage is a plain byte change.
        Blocks[1] = std::string("S") + '\0' + Image.substr(0, 2048);
        const std::size_t Bad = K.Damage(Blocks);
        ASSERT_GT(Bad, 0u);
        StartImage(Blocks[0]);
        for (std::size_t i = 1; i < Bad; ++i)
            ASSERT_EQ(SendBlock(Blocks[i]).substr(3), "01") << "block " << i;
        EXPECT_EQ(SendBlock(Blocks[Bad]), Hex(std::string(1, Blocks[Bad][0]) + "\x02"));
        const ModuleReport R = Module->Report();
        EXPECT_EQ(R.TransferFailures, 1);
        EXPECT_NE(R.TransferError.find(K.Reason), std::string::npos) << R.TransferError;
        EXPECT_EQ(R.Programmings, 0);
        EXPECT_EQ(R.Rate, 9600u) << "back at 9600 for the tool's restart";
        EXPECT_EQ(R.ReceiverVersion, OldReceiver);
        Port.reset();
        Module.reset();
    }
}

TEST_F(ModuleTest, StatusAfterTheLastBlockCanBeLeftOut)
{
    ModuleConfig C = Quick();
    C.StatusAfterLastBlock = false;
    Begin(C);
    const auto Blocks = ToolBlocks(MakeMediaTekImage(NewReceiver, 3000, 4));
    ASSERT_EQ(Blocks.size(), 3u);
    StartImage(Blocks[0]);
    EXPECT_NE(SendBlock(Blocks[1]), "");
    EXPECT_EQ(SendBlock(Blocks[2], 400), "");
    ASSERT_TRUE(Module->WaitUntil([](const ModuleReport& R) { return R.Programmings == 1; }, Wait));
}

TEST_F(ModuleTest, StatusFFAndRefusalsOnRequest)
{
    ModuleConfig C = Quick();
    C.StatusFFShare = 1.0;
    Begin(C);
    const auto Blocks = ToolBlocks(MakeMediaTekImage(NewReceiver, 6000, 4));
    StartImage(Blocks[0]);
    EXPECT_EQ(SendBlock(Blocks[1]).substr(3), "FF");
    Faults F;
    F.RefuseWrites = 1.0;
    Module->SetFaults(F);
    EXPECT_EQ(SendBlock(Blocks[2]).substr(3), "02");
    EXPECT_EQ(Module->Line().RefusedWrites, 1u);
}

TEST_F(ModuleTest, TransferWaitsForTheToolToFollowTo57600)
{
    // The tool stays at 9600: the dots at 57600 reach it as garbage, one byte per
    // six dots (nothing when such bytes are lost), no "R" 01 comes, and the module
    // gives up. The same seed gives the same garbage.
    std::vector<std::string> Garbage;
    for (const bool AsGarbage : {true, true, false}) {
        SCOPED_TRACE(AsGarbage ? "garbage" : "lost");
        ModuleConfig C = Quick();
        C.ToolSwitchTimeoutMs = 1000;
        C.WrongRateGarbage = AsGarbage;
        Begin(C);
        Faults F;
        F.Seed = 7;
        Module->SetFaults(F);
        ModuleFrame A;
        ASSERT_TRUE(Ask(0xFA, ToolBlocks(MakeMediaTekImage(NewReceiver, 3000, 4))[0], &A));
        const std::string Answer = "3C FF 52 52 3E"; // "R", at 9600 still
        ASSERT_EQ(Hex(Port->Buffer.substr(0, 5)), Answer);
        ASSERT_TRUE(Module->WaitUntil([](const ModuleReport& R) { return R.TransferFailures == 1; }, Wait));
        EXPECT_NE(Module->Report().TransferError.find("57600"), std::string::npos);
        const ModuleReport R = Module->Report();
        EXPECT_GE(R.DotsSent, 3);
        EXPECT_EQ(R.Line.SpeedMismatchOut, static_cast<uint64_t>(R.DotsSent));
        EXPECT_EQ(R.Line.GarbageOut, AsGarbage ? static_cast<uint64_t>(R.DotsSent / 6) : 0u);
        EXPECT_EQ(R.Line.BytesOut, 5 + R.Line.GarbageOut);
        ASSERT_TRUE(
            Port->ReadUntil([&](const std::string& B) { return B.size() == 5 + R.Line.GarbageOut; }, Wait));
        EXPECT_EQ(ParseModuleFrames(Port->Buffer).size(), 1u) << Hex(Port->Buffer);
        if (AsGarbage)
            Garbage.push_back(Port->Buffer.substr(5));
        EXPECT_EQ(Receiver(), OldReceiver) << "back at 9600";
        Port.reset();
        Module.reset();
    }
    ASSERT_EQ(Garbage.size(), 2u);
    const std::size_t N = std::min(Garbage[0].size(), Garbage[1].size());
    ASSERT_GT(N, 0u);
    EXPECT_EQ(Hex(Garbage[0].substr(0, N)), Hex(Garbage[1].substr(0, N)));
}

TEST_F(ModuleTest, AfterTheLastStatusTheModuleWaitsAt57600ForTheAcknowledgement)
{
    // Acknowledged: back to 9600 as the acknowledgement arrives (the wait allowed
    // is far longer). Not acknowledged: back to 9600 after the wait.
    for (const bool Acknowledge : {true, false}) {
        SCOPED_TRACE(Acknowledge ? "acknowledged" : "not acknowledged");
        ModuleConfig C = Quick();
        C.LastAckWaitMs = Acknowledge ? 600000 : 500;
        Begin(C);
        const auto Blocks = ToolBlocks(MakeMediaTekImage(NewReceiver, 3000, 4));
        ASSERT_EQ(Blocks.size(), 3u);
        StartImage(Blocks[0]);
        EXPECT_NE(SendBlock(Blocks[1]), "");
        const auto Before = std::chrono::steady_clock::now();
        EXPECT_EQ(SendBlock(Blocks[2], Wait, false).substr(3), "01");
        EXPECT_EQ(Module->Report().ImagesReceived, 1);
        if (Acknowledge) {
            EXPECT_EQ(Module->DeviceRate(), 57600u);
            Port->Write(RawAck);
        }
        ASSERT_TRUE(Module->WaitUntil([](const ModuleReport& R) { return R.Rate == 9600; }, Wait));
        if (!Acknowledge) {
            EXPECT_GE(SecondsSince(Before), 0.5);
        }
        const ModuleReport R = Module->Report();
        EXPECT_EQ(R.LastAckTimeouts, Acknowledge ? 0 : 1);
        EXPECT_EQ(R.RawAcks, Acknowledge ? 3 : 2);
        Port->SetRate(9600);
        ASSERT_TRUE(Module->WaitUntil([](const ModuleReport& R) { return R.Programmings == 1; }, Wait));
        EXPECT_EQ(Receiver(), NewReceiver);
        Port.reset();
        Module.reset();
    }
}

TEST_F(ModuleTest, ProgrammingTakesItsTimeAndVersionQuestionsGetTheChosenAnswer)
{
    struct Case {
        BusyAnswer Answer;
        bool Status; // status 02 when done
        const char* Name;
    };
    for (const Case K : {Case{BusyAnswer::OldVersion, true, "old version, status when done"},
                         Case{BusyAnswer::Empty, false, "empty"}, Case{BusyAnswer::None, false, "none"}}) {
        SCOPED_TRACE(K.Name);
        ModuleConfig C = Quick();
        C.ProgrammingMs = 1500;
        C.AnswerWhileProgramming = K.Answer;
        C.StatusWhenProgrammed = K.Status;
        Begin(C);
        const auto Blocks = ToolBlocks(MakeMediaTekImage(NewReceiver, 3000, 4));
        StartImage(Blocks[0]);
        EXPECT_NE(SendBlock(Blocks[1]), "");
        const auto Before = std::chrono::steady_clock::now();
        EXPECT_NE(SendBlock(Blocks[2]), "");
        ASSERT_TRUE(Module->WaitUntil([](const ModuleReport& R) { return R.Rate == 9600; }, Wait));
        Port->SetRate(9600);
        const std::size_t From = ParseModuleFrames(Port->Buffer).size();
        const std::size_t FromByte = Port->Buffer.size();
        Port->Write(ModuleCommand(0xFA, "Q"));
        ASSERT_TRUE(Module->WaitUntil([](const ModuleReport& R) { return R.BusyQuestions == 1; }, Wait));
        // An image start while it programs is counted and ignored.
        Port->Write(ModuleCommand(0xFA, Blocks[0]));
        ASSERT_TRUE(Module->WaitUntil([](const ModuleReport& R) { return R.ImageStarts == 2; }, Wait));
        EXPECT_EQ(Module->Report().Programmings, 0);
        ASSERT_TRUE(Module->WaitUntil([](const ModuleReport& R) { return R.Programmings == 1; }, Wait));
        EXPECT_GE(SecondsSince(Before), 1.5);
        Port->Write(ModuleCommand(0xFA, "Q"));
        // An empty answer is too short to count as a frame for the tool: its bytes are checked below.
        std::vector<std::string> Expected;
        if (K.Answer == BusyAnswer::OldVersion)
            Expected.push_back("answer " + OldReceiver);
        if (K.Status)
            Expected.push_back("status " + Hex(std::string(1, Blocks[2][0]) + "\x02"));
        Expected.push_back("answer " + NewReceiver);
        ASSERT_TRUE(Port->ReadUntil(
            [&](const std::string& B) { return ParseModuleFrames(B).size() >= From + Expected.size(); },
            Wait));
        EXPECT_EQ(FramesFrom(From), Expected);
        EXPECT_EQ(Hex(Port->Buffer.substr(FromByte, 4)) == "3C FF 00 3E", K.Answer == BusyAnswer::Empty)
            << Hex(Port->Buffer.substr(FromByte));
        const ModuleReport R = Module->Report();
        EXPECT_EQ(R.ImageStarts, 2);
        EXPECT_EQ(R.Transfers, 1);
        EXPECT_EQ(R.ImagesReceived, 1);
        EXPECT_EQ(R.Programmings, 1);
        Port.reset();
        Module.reset();
    }
}

TEST_F(ModuleTest, OldControllerPullsItsFirmwareAndRestartsAs200)
{
    ModuleConfig C = Quick();
    C.VersionMajor = 1;
    C.VersionMinor = 99;
    Begin(C);
    ModuleFrame F;
    ASSERT_TRUE(Ask(0x01, "\x1D", &F));
    EXPECT_EQ(Hex(F.Payload.substr(4, 2)), "01 63");
    Port->Buffer.clear();
    Port->Write(ModuleCommand(0x7F, "\x1D"));
    FirmwareServer S;
    S.Map = std::string(64, '\0');
    S.Map[3] = '\x03'; // blocks 24, 25
    S.Blocks.resize(26);
    S.Blocks[24] = std::string(256, 'a');
    S.Blocks[25] = std::string(256, 'b');
    S.Crc = FirmwareCrc(S.Map, S.Blocks);
    Port->ReadUntil(
        [&](const std::string& B) {
            const std::string A = S.Feed(B);
            Port->Buffer.clear();
            if (!A.empty())
                Port->Write(A);
            return S.Ended;
        },
        Wait);
    EXPECT_EQ(S.Requests, (std::vector<int>{0xFFFD, 25, 24, 0xFFFF}));
    ASSERT_TRUE(Module->WaitUntil([](const ModuleReport& R) { return R.ControllerVersion == "2.00"; }, Wait));
    EXPECT_EQ(Module->Report().ControllerUpdates, 1);
    EXPECT_EQ(FirmwareBytes(Module->Firmware()), std::string(256, 'a') + std::string(256, 'b'));
    ModuleFrame G;
    ASSERT_TRUE(Port->ReadUntil([&](const std::string&) { return Ask(0x01, "\x1D", &G, 300); }, Wait));
    EXPECT_EQ(Hex(G.Payload.substr(4, 2)), "02 00");
}

TEST_F(ModuleTest, CurrentControllerIgnoresTheUpdateStart)
{
    Begin();
    Port->Write(ModuleCommand(0x7F, "\x1D"));
    EXPECT_EQ(Port->ReadFor(400).find('{'), std::string::npos);
    EXPECT_FALSE(Module->Report().InLoader);
}

TEST_F(ModuleTest, LoaderAsksForFirmwareByItself)
{
    ModuleConfig C = Quick();
    C.StartInLoader = true;
    C.VersionMajor = 1;
    C.VersionMinor = 50;
    C.BlockTimeoutMs = 100;
    Begin(C);
    ASSERT_TRUE(Port->ReadUntil(
        [](const std::string& B) { return B.find("\x7B\xFF\xFD\x7D") != std::string::npos; }, Wait));
    EXPECT_TRUE(Module->Report().InLoader);
}

TEST_F(ModuleTest, ClosingThePortAbandonsATransfer)
{
    Begin();
    const auto Blocks = ToolBlocks(MakeMediaTekImage(NewReceiver, 6000, 4));
    StartImage(Blocks[0]);
    EXPECT_NE(SendBlock(Blocks[1]), "");
    Port->Close();
    ASSERT_TRUE(Module->WaitUntil(
        [](const ModuleReport& R) { return R.TransferFailures == 1 && R.Rate == 9600; }, Wait));
    Port = std::make_unique<ToolPort>(Module->SlavePath());
    EXPECT_EQ(Receiver(), OldReceiver);
}

// A station swaps the module on a cable whose adapter stays plugged in, here
// in the middle of a transfer: a fresh module answers on the same pty.
TEST_F(ModuleTest, ExchangePutsAFreshModuleOnTheSameLine)
{
    const ModuleConfig C = Quick();
    Begin(C);
    const auto Blocks = ToolBlocks(MakeMediaTekImage(NewReceiver, 6000, 4));
    StartImage(Blocks[0]);
    EXPECT_NE(SendBlock(Blocks[1]), "");

    ModuleConfig Next = C;
    Next.ModuleId = C.ModuleId + 1;
    const auto Departed = Module->Exchange(Next, 5);
    ASSERT_TRUE(Departed.has_value());
    EXPECT_TRUE(Departed->Receiving);
    EXPECT_EQ(Departed->BlocksReceived, 1);
    const ModuleReport R = Module->Report();
    EXPECT_FALSE(R.Receiving);
    EXPECT_EQ(R.Rate, 9600u);
    EXPECT_EQ(R.Transfers, 0);
    EXPECT_EQ(R.TransferFailures, 0) << "the old module's transfer is not the new one's";
    EXPECT_EQ(R.Line.BytesIn, 0u);
    EXPECT_FALSE(Port->HungUp());
    EXPECT_EQ(Module->ToolRate(), 57600u) << "the tool's port keeps the rate it set";

    Port->SetRate(9600);
    Port->Buffer.clear();
    ModuleFrame F;
    ASSERT_TRUE(Ask(0x01, "\x1D", &F));
    EXPECT_EQ(Hex(F.Payload.substr(0, 6)), "00 C0 FF EF 02 0A");

    // A controller that starts in its loader asks for its firmware as soon as
    // it is on the cable.
    Next.ModuleId += 1;
    Next.StartInLoader = true;
    Next.VersionMajor = 1;
    ASSERT_TRUE(Module->Exchange(Next, 6).has_value());
    EXPECT_TRUE(Module->Report().InLoader);
    EXPECT_TRUE(Port->ReadUntil(
        [](const std::string& B) { return B.find("\x7B\xFF\xFD\x7D") != std::string::npos; }, Wait));
}
