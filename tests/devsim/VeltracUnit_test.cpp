// The simulated Veltrac unit over a real pty, played from the tool's side with
// hand-made frames.
#include "DevsimTest.h"
#include "tools/devsim/ReceiverImage.h"
#include "tools/devsim/VeltracUnit.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

using namespace devsim;

namespace
{

const std::string OldReceiver = "AXN_3.8_3333_15043022,3424,MC-GG,1.0";
const std::string NewReceiver = "AXN_5.1_9999_22010101,5000,MC-GG,1.1";
constexpr int Wait = 10000; // generous: the machine may be loaded

UnitConfig Quick()
{
    UnitConfig C;
    C.ProgrammingMs = 300;
    C.ProgramGapMs = 0; // programming begins with the acknowledgement (the gap has a test of its own)
    C.LoggerIntervalMs = 50;
    C.GpsIntervalMs = 100;
    C.RestartMs = 100;
    C.BlockTimeoutMs = 2000;
    return C;
}

std::string Param(int N)
{
    return Bytes({(N >> 8) & 0xFF, N & 0xFF});
}

std::string Address(uint32_t A)
{
    return Bytes({static_cast<int>(A >> 24), static_cast<int>((A >> 16) & 0xFF),
                  static_cast<int>((A >> 8) & 0xFF), static_cast<int>(A & 0xFF)});
}

class UnitTest : public ::testing::Test
{
  protected:
    void Begin(const UnitConfig& C = Quick())
    {
        Unit = std::make_unique<VeltracUnit>(C);
        ASSERT_TRUE(Unit->Ok()) << Unit->Error();
        Port = std::make_unique<ToolPort>(Unit->SlavePath());
        ASSERT_TRUE(Port->Ok());
    }
    // Sends Cmd and waits for the next frame with ReplyCmd; empty payload and false when none came.
    bool Ask(uint8_t Cmd, const std::string& Payload, uint8_t ReplyCmd, UnitFrame* Reply = nullptr,
             int Timeout = Wait)
    {
        const std::size_t Had = FramesOf(Port->Buffer, ReplyCmd).size();
        Port->Write(ToolFrame(Cmd, Payload));
        const bool Got = Port->ReadUntil(
            [&](const std::string& B) { return FramesOf(B, ReplyCmd).size() > Had; }, Timeout);
        if (Got && Reply)
            *Reply = FramesOf(Port->Buffer, ReplyCmd)[Had];
        return Got;
    }
    // The acknowledgement payload (01 or 00) of Cmd; "" when none came.
    std::string Acked(uint8_t Cmd, const std::string& Payload, int Timeout = Wait)
    {
        UnitFrame F;
        return Ask(Cmd, Payload, 0x02, &F, Timeout) ? Hex(F.Payload) : "";
    }
    bool Wake()
    {
        const std::size_t Had = FramesOf(Port->Buffer, 0x0B).size();
        Port->Write("_CONFIGB\r");
        return Port->ReadUntil([&](const std::string& B) { return FramesOf(B, 0x0B).size() > Had; }, Wait);
    }
    std::string ParamValue(int N)
    {
        UnitFrame F;
        if (!Ask(0x03, Param(N), 0x03, &F))
            return "(no answer)";
        EXPECT_EQ(F.Payload.substr(0, 2), Param(N));
        return F.Payload.substr(2);
    }
    // Writes Data at Address in records as the tool cuts them; false at the first refusal.
    bool WriteRecords(uint32_t At, const std::string& Data, std::size_t Chunk = 246)
    {
        for (std::size_t i = 0; i < Data.size(); i += Chunk) {
            const std::string Part = Data.substr(i, Chunk);
            if (Acked(0x1C, Address(At + static_cast<uint32_t>(i)) + Part) != "01")
                return false;
        }
        return true;
    }
    bool Program() { return Acked(0x04, Param(65352) + "1") == "01"; }

    std::unique_ptr<VeltracUnit> Unit;
    std::unique_ptr<ToolPort> Port;
};

} // namespace

// ---- Wake-up and identity ----

TEST_F(UnitTest, WakeUpIsEchoedAndAnsweredWithExtendedUnitInformation)
{
    Begin();
    Port->Write("_CONFIGB\r");
    ASSERT_TRUE(Port->ReadUntil([](const std::string& B) { return HasUnitFrame(B, 0x0B); }, Wait));
    // Class 7, ID 123456 twice, type 0000 / FFFF, version 2.40, core 2.90, aux 1.00, ExtCode 0,
    // MaxLength 250, flags 01 (wide parameters), revision 0, letter 0, type 2 0000, size 1000.
    // 02 (of 2.40 and 2.90) and 10 (of 1000) go escaped; the sum is 03.
    EXPECT_EQ(Hex(Port->Buffer),
              "5F 43 4F 4E 46 49 47 42 0D 0A "
              "02 04 0B 1B 07 01 E2 40 01 E2 40 00 00 FF FF 10 03 28 10 03 5A 01 00 00 00 FA "
              "01 00 00 00 00 10 10 00 03");
    EXPECT_TRUE(Unit->Report().Framed);
    EXPECT_EQ(Unit->Report().Wakeups, 1);
}

TEST_F(UnitTest, UnitInformationCarriesTheConfiguredIdentity)
{
    UnitConfig C = Quick();
    C.Class = 12;
    C.UnitId = 0xABCDEF;
    C.OriginalId = 0x000102;
    C.HexType = 0x1234;
    C.VersionMajor = 2;
    C.VersionMinor = 31;
    C.RevisionLetter = 'o';
    C.MaxLength = 200;
    C.EchoWakeup = false;
    C.Banner = "Veltrac ready\r\n";
    Begin(C);
    ASSERT_TRUE(Wake());
    EXPECT_EQ(Port->Buffer.substr(0, 15), "Veltrac ready\r\n");
    const UnitFrame F = FramesOf(Port->Buffer, 0x0B).at(0);
    ASSERT_EQ(F.Payload.size(), 27u);
    EXPECT_EQ(Hex(F.Payload.substr(0, 13)), "0C AB CD EF 00 01 02 12 34 FF FF 02 1F");
    EXPECT_EQ(static_cast<uint8_t>(F.Payload[19]), 200);
    EXPECT_EQ(F.Payload[20], '\x01');
    EXPECT_EQ(F.Payload[22], 'o');
    EXPECT_EQ(Hex(F.Payload.substr(23, 2)), "12 34");
    EXPECT_EQ(Unit->Report().VersionText, "2.31o");
}

TEST_F(UnitTest, CommandsBeforeTheWakeUpGoUnanswered)
{
    Begin();
    Port->Write(ToolFrame(0x0A, ""));
    EXPECT_EQ(Port->ReadFor(300), "");
    ASSERT_TRUE(Wake());
    UnitFrame V;
    ASSERT_TRUE(Ask(0x0A, "", 0x0A, &V));
    // Hardware 25, revision 3, class 7, hardware 2 25, six capability words, B7, B8,
    // MCU 103 with 4 x 32 KiB flash, W9.
    EXPECT_EQ(Hex(V.Payload), "25 03 07 25 00 00 00 00 00 00 00 00 00 00 00 00 00 00 67 04 00 00");
    EXPECT_EQ(Unit->Report().VersionRequests, 1);
}

TEST_F(UnitTest, AcknowledgementFrameEscapesItsCommandByte)
{
    Begin();
    ASSERT_TRUE(Wake());
    Port->Buffer.clear();
    Port->Write(ToolFrame(0x00, ""));
    ASSERT_TRUE(Port->ReadUntil([](const std::string& B) { return B.size() >= 7; }, Wait));
    EXPECT_EQ(Hex(Port->Buffer), "02 04 10 03 01 01 04");
}

TEST_F(UnitTest, BadFramesAndOtherAddressesAreIgnored)
{
    Begin();
    ASSERT_TRUE(Wake());
    std::string Bad = ToolFrame(0x0A, "");
    Bad.back() ^= 1;
    std::string Other = ToolFrame(0x0A, "");
    Other[1] = '\x05';
    Port->Write(Bad + Other);
    EXPECT_FALSE(Port->ReadUntil([](const std::string& B) { return HasUnitFrame(B, 0x0A); }, 300));
    EXPECT_GE(Unit->Line().BadFrames, 1u);
    // A bare 02 restarts reception, so a frame cut short does not swallow the next one.
    Port->Write(std::string("\x02\x01\x0A\x05\x11") + ToolFrame(0x0A, ""));
    EXPECT_TRUE(Port->ReadUntil([](const std::string& B) { return HasUnitFrame(B, 0x0A); }, Wait));
}

// ---- Parameters ----

TEST_F(UnitTest, ReceiverParametersAnswerAddressReadinessContainerAndVersion)
{
    Begin();
    ASSERT_TRUE(Wake());
    Port->Buffer.clear();
    Port->Write(ToolFrame(0x03, Param(65352)));
    ASSERT_TRUE(Port->ReadUntil([](const std::string& B) { return HasUnitFrame(B, 0x03); }, Wait));
    // 03, length 11, FF 48, "10000,1,C", sum.
    EXPECT_EQ(Hex(Port->Buffer), "02 04 03 0B FF 48 31 30 30 30 30 2C 31 2C 43 12");
    EXPECT_EQ(ParamValue(65354), OldReceiver);
    EXPECT_EQ(Acked(0x03, Param(1234)), "00") << "an unknown parameter is refused";
    EXPECT_EQ(Acked(0x04, Param(1234) + "77"), "01");
    EXPECT_EQ(ParamValue(1234), "77");
}

TEST_F(UnitTest, UnitWithoutReceiverUpdatesAnswersEmpty)
{
    UnitConfig C = Quick();
    C.ReceiverUpdates = false;
    Begin(C);
    ASSERT_TRUE(Wake());
    EXPECT_EQ(ParamValue(65352), "");
    EXPECT_EQ(Acked(0x04, Param(65352) + "1"), "00");
}

TEST_F(UnitTest, UnreadableReceiverReportsReadinessZeroUntilProgrammed)
{
    UnitConfig C = Quick();
    C.ReceiverReadable = false;
    C.Container = 'V';
    Begin(C);
    ASSERT_TRUE(Wake());
    EXPECT_EQ(ParamValue(65352), "10000,0,V");
    EXPECT_EQ(ParamValue(65354), "");
    ASSERT_TRUE(WriteRecords(0x10000, MakeGpsContainer(MakeMediaTekImage(NewReceiver, 3000, 1), false)));
    ASSERT_TRUE(Program());
    ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return R.Programmings == 1; }, Wait));
    EXPECT_EQ(ParamValue(65352), "10000,1,V");
    EXPECT_EQ(ParamValue(65354), NewReceiver);
}

// ---- EEPROM ----

TEST_F(UnitTest, EepromWritesAreStoredOrRefusedOutOfRange)
{
    UnitConfig C = Quick();
    C.EepromSize = 0x20000;
    C.MaxLength = 100;
    Begin(C);
    ASSERT_TRUE(Wake());
    EXPECT_EQ(Acked(0x1C, Address(0x12345) + "hello"), "01");
    EXPECT_EQ(Unit->Eeprom(0x12344, 7), "\xFFhello\xFF");
    EXPECT_EQ(Acked(0x1C, Address(0x1FFFE) + "ab"), "01") << "the last two bytes";
    EXPECT_EQ(Acked(0x1C, Address(0x1FFFE) + "abc"), "00") << "one past the end";
    EXPECT_EQ(Acked(0x1C, Address(0xFFFFFFFF) + "a"), "00");
    EXPECT_EQ(Acked(0x1C, Bytes({0, 1, 2})), "00") << "no room for an address";
    EXPECT_EQ(Acked(0x1C, Address(0x100) + std::string(97, 'x')), "00") << "above MaxLength";
    EXPECT_EQ(Acked(0x1C, Address(0x100) + std::string(96, 'x')), "01");
    EXPECT_EQ(Acked(0x1C, Address(0x12345) + "hello"), "01");
    const UnitReport R = Unit->Report();
    EXPECT_EQ(R.EepromRefused, 4);
    EXPECT_EQ(R.EepromRewrites, 1) << "the same record again";
    EXPECT_EQ(Unit->Eeprom(0x1FFFE, 2), "ab");
}

// ---- Receiver programming ----

class UnitProgramming : public UnitTest, public ::testing::WithParamInterface<char>
{
};

TEST_P(UnitProgramming, CorrectImageIsProgrammedWithLoggerStatusAndNewVersion)
{
    UnitConfig C = Quick();
    C.Container = GetParam();
    Begin(C);
    ASSERT_TRUE(Wake());
    const std::string Image = MakeMediaTekImage(NewReceiver, 40000, 3);
    const std::string Data = C.Container == 'R' ? Image : MakeGpsContainer(Image, C.Container == 'C');
    ASSERT_TRUE(WriteRecords(C.EepromAddress, Data));
    Port->Write(ToolFrame(0x28, "\x01"));
    Port->Buffer.clear();
    ASSERT_TRUE(Program());
    EXPECT_EQ(ParamValue(65354), OldReceiver) << "the old version until the new one is in";
    ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return R.Programmings == 1; }, Wait));
    EXPECT_EQ(Unit->ReceiverImage(), Image);
    const UnitReport R = Unit->Report();
    EXPECT_EQ(R.ProgrammingError, "");
    EXPECT_EQ(R.UnwrittenBytes, 0u);
    EXPECT_EQ(R.ProgrammedFrom, C.Container == 'C'   ? "packed container"
                                : C.Container == 'V' ? "plain container"
                                                     : "raw image");
    EXPECT_EQ(R.ReceiverVersion, NewReceiver);
    EXPECT_EQ(ParamValue(65354), NewReceiver);
    // Logger status: Current climbs to Total = 157 pages (16-bit form).
    const auto Logger = FramesOf(Port->Buffer, 0x28);
    ASSERT_GE(Logger.size(), 2u);
    EXPECT_EQ(Hex(Logger.back().Payload), "00 9D 00 9D");
    EXPECT_EQ(Logger.front().Payload.substr(2), Bytes({0x00, 0x9D}));
    // GPS reports come back by themselves.
    ASSERT_TRUE(Port->ReadUntil([](const std::string& B) { return HasUnitFrame(B, 0x05); }, Wait));
    EXPECT_EQ(FramesOf(Port->Buffer, 0x05).at(0).Payload.size(), 27u);
}

INSTANTIATE_TEST_SUITE_P(Containers, UnitProgramming, ::testing::Values('C', 'V', 'R'));

TEST_F(UnitTest, WrongCrcIsRefusedAndTheReceiverKeepsItsVersion)
{
    UnitConfig C = Quick();
    C.Container = 'V';
    Begin(C);
    ASSERT_TRUE(Wake());
    std::string Data = MakeGpsContainer(MakeMediaTekImage(NewReceiver, 5000, 2), false);
    Data[3000] ^= 0x40;
    ASSERT_TRUE(WriteRecords(C.EepromAddress, Data));
    ASSERT_TRUE(Program());
    ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return R.ProgrammingFailures == 1; }, Wait));
    const UnitReport R = Unit->Report();
    EXPECT_EQ(R.ProgrammingError, "container payload CRC mismatch");
    EXPECT_EQ(R.Programmings, 0);
    EXPECT_EQ(Unit->ReceiverImage(), "");
    EXPECT_EQ(ParamValue(65354), OldReceiver);
}

TEST_F(UnitTest, TruncatedContainerIsRefused)
{
    UnitConfig C = Quick();
    C.Container = 'C';
    Begin(C);
    ASSERT_TRUE(Wake());
    const std::string Data = MakeGpsContainer(MakeMediaTekImage(NewReceiver, 30000, 9), true);
    ASSERT_TRUE(WriteRecords(C.EepromAddress, Data.substr(0, Data.size() - 246)));
    ASSERT_TRUE(Program());
    ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return R.ProgrammingFailures == 1; }, Wait));
    const UnitReport R = Unit->Report();
    EXPECT_EQ(R.ProgrammingError, "container payload CRC mismatch");
    EXPECT_EQ(R.UnwrittenBytes, 246u) << "the missing record";
    EXPECT_EQ(ParamValue(65354), OldReceiver);
}

TEST_F(UnitTest, RawImageWithABadHeaderIsRefused)
{
    UnitConfig C = Quick();
    C.Container = 'R';
    Begin(C);
    ASSERT_TRUE(Wake());
    std::string Image = MakeMediaTekImage(NewReceiver, 3000, 2);
    Image.replace(144, 6, "MTKGPZ");
    ASSERT_TRUE(WriteRecords(C.EepromAddress, Image));
    ASSERT_TRUE(Program());
    ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return R.ProgrammingFailures == 1; }, Wait));
    EXPECT_EQ(Unit->Report().ProgrammingError, "no \"MTKGPS\" at offset 144");
    // An erased header declares no length.
    ASSERT_TRUE(WriteRecords(C.EepromAddress, std::string(448, '\xFF')));
    ASSERT_TRUE(Program());
    ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return R.ProgrammingFailures == 2; }, Wait));
    EXPECT_EQ(Unit->Report().ProgrammingError, "no readable image header at the image address");
}

TEST_F(UnitTest, ReceiverTakesOnlyImagesOfItsOwnFamily)
{
    const std::string Eva = "EVA_2.0_M10_24031500,2000,EVA-M10,1.0+F";
    UnitConfig C = Quick();
    C.Container = 'V';
    C.ReceiverVersion = "EVA_1.0_M10_20010100,1000,EVA-M10,1.0+F";
    Begin(C);
    ASSERT_TRUE(Wake());
    ASSERT_TRUE(
        WriteRecords(C.EepromAddress, MakeGpsContainer(MakeMediaTekImage(NewReceiver, 3000, 1), false)));
    ASSERT_TRUE(Program());
    ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return R.ProgrammingFailures == 1; }, Wait));
    EXPECT_EQ(Unit->Report().ProgrammingError, "an AXN image for an EVA receiver");
    ASSERT_TRUE(WriteRecords(C.EepromAddress, MakeGpsContainer(MakeMediaTekImage(Eva, 3000, 1), false)));
    ASSERT_TRUE(Program());
    ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return R.Programmings == 1; }, Wait));
    EXPECT_EQ(ParamValue(65354), Eva);
}

TEST_F(UnitTest, ProgramStartRepeatedWhileProgrammingIsCountedNotRestarted)
{
    UnitConfig C = Quick();
    C.ProgrammingMs = 1500;
    C.Container = 'R';
    C.ResumeGpsAfterProgramming = false;
    Begin(C);
    ASSERT_TRUE(Wake());
    ASSERT_TRUE(WriteRecords(C.EepromAddress, MakeMediaTekImage(NewReceiver, 2000, 4)));
    ASSERT_TRUE(Program());
    ASSERT_TRUE(Program());
    EXPECT_EQ(Acked(0x1C, Address(0x100) + "x"), "00") << "busy while programming";
    ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return R.Programmings == 1; }, Wait));
    const UnitReport R = Unit->Report();
    EXPECT_EQ(R.ProgramStarts, 2);
    EXPECT_EQ(R.ProgramStartRepeats, 1);
    EXPECT_GE(R.Retries(), 1);
    EXPECT_FALSE(Port->ReadUntil([](const std::string& B) { return HasUnitFrame(B, 0x05); }, 400))
        << "GPS reports stay off when the unit does not resume them";
}

TEST_F(UnitTest, ReceiverVersionWhileProgrammingIsTheChosenAnswer)
{
    for (const BusyAnswer A : {BusyAnswer::OldVersion, BusyAnswer::Empty, BusyAnswer::None}) {
        SCOPED_TRACE(static_cast<int>(A));
        UnitConfig C = Quick();
        C.Container = 'R';
        C.ProgrammingMs = 1500;
        C.AnswerWhileProgramming = A;
        Begin(C);
        ASSERT_TRUE(Wake());
        ASSERT_TRUE(WriteRecords(C.EepromAddress, MakeMediaTekImage(NewReceiver, 3000, 5)));
        const auto Before = std::chrono::steady_clock::now();
        ASSERT_TRUE(Program());
        const std::size_t From = FramesOf(Port->Buffer, 0x03).size();
        Port->Write(ToolFrame(0x03, Param(65354)));
        ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return R.BusyQuestions == 1; }, Wait));
        EXPECT_EQ(Unit->Report().Programmings, 0);
        ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return R.Programmings == 1; }, Wait));
        EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - Before).count(), 1.5);
        Port->Write(ToolFrame(0x03, Param(65354)));
        std::vector<std::string> Expected;
        if (A != BusyAnswer::None)
            Expected.push_back(A == BusyAnswer::OldVersion ? OldReceiver : "");
        Expected.push_back(NewReceiver);
        ASSERT_TRUE(Port->ReadUntil(
            [&](const std::string& B) { return FramesOf(B, 0x03).size() >= From + Expected.size(); }, Wait));
        std::vector<std::string> Answers;
        for (const auto& F : FramesOf(Port->Buffer, 0x03))
            Answers.push_back(F.Payload.substr(2));
        Answers.erase(Answers.begin(), Answers.begin() + static_cast<long>(From));
        EXPECT_EQ(Answers, Expected);
        EXPECT_EQ(Unit->Report().ReceiverQuestions, 2);
        Port.reset();
        Unit.reset();
    }
}

// A real unit takes a moment after acknowledging 65352 := 1 before its
// receiver programs; meanwhile it still reports the old version, even for a
// receiver that could not report one. Whatever ends the link from then on is
// listed: it would leave a real receiver half-programmed.
TEST_F(UnitTest, ProgrammingBeginsAfterAGapAndLinkEndsMeanwhileAreListed)
{
    UnitConfig C = Quick();
    C.Container = 'R';
    C.ProgramGapMs = 500;
    C.ProgrammingMs = 1000;
    C.ReceiverReadable = false;
    Begin(C);
    ASSERT_TRUE(Wake());
    ASSERT_TRUE(WriteRecords(C.EepromAddress, MakeMediaTekImage(NewReceiver, 2000, 7)));
    EXPECT_EQ(ParamValue(65354), "") << "it cannot report before";
    ASSERT_TRUE(Program());
    EXPECT_FALSE(Unit->Report().Programming);
    EXPECT_EQ(ParamValue(65354), OldReceiver) << "the gap answers the old version";
    EXPECT_EQ(Acked(0x1C, Address(C.EepromAddress) + "x"), "00") << "busy in the gap";
    EXPECT_EQ(Acked(0xFF, ""), "01");
    ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return R.Programming; }, Wait));
    ASSERT_TRUE(Wake());
    EXPECT_EQ(Acked(0xF2, ""), "01");
    Port.reset(); // the tool closes its port while the receiver programs
    ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return R.Programmings == 1; }, Wait));
    const UnitReport R = Unit->Report();
    EXPECT_EQ(R.EndsWhileProgramming,
              (std::vector<std::string>{"FF end of connection", "F2 turn off", "port closed"}));
    EXPECT_EQ(R.ReceiverVersion, NewReceiver);
    EXPECT_EQ(R.GapQuestions, 1);
}

TEST_F(UnitTest, TransfersCountImageStartsNotReSentRecords)
{
    UnitConfig C = Quick();
    C.Container = 'R';
    C.ProgrammingMs = 1500;
    Begin(C);
    ASSERT_TRUE(Wake());
    const std::string Image = MakeMediaTekImage(NewReceiver, 1000, 6);
    // The first record's answer is lost: the tool sends it again, then the rest.
    ASSERT_EQ(Acked(0x1C, Address(C.EepromAddress) + Image.substr(0, 246)), "01");
    ASSERT_TRUE(WriteRecords(C.EepromAddress, Image));
    EXPECT_EQ(Unit->Report().Transfers, 1);
    ASSERT_TRUE(Program());
    // A tool that starts again while the receiver programs: refused, still a start.
    EXPECT_EQ(Acked(0x1C, Address(C.EepromAddress) + Image.substr(0, 246)), "00");
    EXPECT_EQ(Unit->Report().Transfers, 2);
    EXPECT_EQ(Unit->Report().Programmings, 0);
    ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return R.Programmings == 1; }, Wait));
    // That transfer goes on with the first record again; one started over it, and one
    // after a new wake-up.
    ASSERT_TRUE(WriteRecords(C.EepromAddress, Image));
    ASSERT_TRUE(WriteRecords(C.EepromAddress, Image.substr(0, 492)));
    EXPECT_EQ(Acked(0xFF, ""), "01");
    ASSERT_TRUE(Wake());
    ASSERT_TRUE(WriteRecords(C.EepromAddress, Image));
    const UnitReport R = Unit->Report();
    EXPECT_EQ(R.Transfers, 4);
    EXPECT_EQ(R.Programmings, 1);
}

// ---- A unit found programming ----

// A unit that kept its power while the tool was away is found with its
// receiver programming, shown in one of the two ways real units show it.
struct Presentation {
    BusyAnswer Answer;
    bool Gps;
};

class UnitFoundProgramming : public UnitTest, public ::testing::WithParamInterface<Presentation>
{
};

TEST_P(UnitFoundProgramming, AnswersQuestionsRefusesWritesAndCountsWhatTheToolDid)
{
    const Presentation P = GetParam();
    UnitConfig C = Quick();
    C.ProgrammingMs = 8000; // half of it done when the unit is found
    C.ProgrammingAtStartMs = 4000;
    C.AnswerWhileProgramming = P.Answer;
    C.GpsWhileProgramming = P.Gps;
    C.ImageAtStart = MakeMediaTekImage(NewReceiver, 40000, 8);
    Begin(C);
    const std::string Stored = MakeGpsContainer(C.ImageAtStart, true);
    EXPECT_EQ(Unit->Eeprom(C.EepromAddress, static_cast<uint32_t>(Stored.size())), Stored);
    // The port list's look at a port that has appeared: opened and closed.
    Port->Close();
    ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return R.Line.PortCloses == 1; }, Wait));
    Port = std::make_unique<ToolPort>(Unit->SlavePath());

    ASSERT_TRUE(Wake());
    UnitFrame V;
    ASSERT_TRUE(Ask(0x0A, "", 0x0A, &V));
    EXPECT_EQ(ParamValue(65352), "10000,1,C") << "ready, as ever";
    EXPECT_EQ(ParamValue(65354), P.Answer == BusyAnswer::OldVersion ? OldReceiver : "");
    Port->Write(ToolFrame(0x05, "\x01") + ToolFrame(0x28, "\x01"));
    ASSERT_TRUE(Port->ReadUntil([](const std::string& B) { return FramesOf(B, 0x28).size() >= 2; }, Wait));
    const auto First = FramesOf(Port->Buffer, 0x28).front().Payload;
    ASSERT_EQ(First.size(), 4u);
    const int Current = (static_cast<uint8_t>(First[0]) << 8) | static_cast<uint8_t>(First[1]);
    EXPECT_EQ(Hex(First.substr(2)), "00 9D") << "157 pages";
    EXPECT_GE(Current, 157 / 3) << "the programming was under way before";
    EXPECT_LT(Current, 157);
    EXPECT_EQ(Port->ReadUntil([](const std::string& B) { return HasUnitFrame(B, 0x05); }, P.Gps ? Wait : 600),
              P.Gps);

    // A tool that does not look: switches the speed, writes the image, starts programming again.
    EXPECT_EQ(Acked(0x14, ""), "01");
    Port->SetRate(57600);
    EXPECT_EQ(Acked(0x1C, Address(C.EepromAddress) + "junk"), "00");
    EXPECT_EQ(Acked(0x1C, Address(C.EepromAddress) + "junk"), "00") << "sent again: the same transfer";
    EXPECT_EQ(Acked(0x1C, Address(C.EepromAddress + 4) + "more"), "00");
    ASSERT_TRUE(Program());
    ASSERT_TRUE(Unit->Report().Programming) << "too slow to play the tool within the programming";

    ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return R.Programmings == 1; }, Wait));
    EXPECT_EQ(ParamValue(65354), NewReceiver);
    EXPECT_EQ(Unit->ReceiverImage(), C.ImageAtStart);
    EXPECT_EQ(Unit->Eeprom(C.EepromAddress, static_cast<uint32_t>(Stored.size())), Stored)
        << "nothing written while it programmed";
    EXPECT_EQ(Hex(FramesOf(Port->Buffer, 0x28).back().Payload), "00 9D 00 9D");
    EXPECT_TRUE(Port->ReadUntil([](const std::string& B) { return HasUnitFrame(B, 0x05); }, Wait))
        << "GPS reports once it has ended";

    const UnitReport R = Unit->Report();
    EXPECT_TRUE(R.ProgrammingAtStart);
    EXPECT_EQ(R.BusyQuestions, 1);
    EXPECT_EQ(R.Transfers, 1);
    EXPECT_EQ(R.TransfersWhileProgramming, 1);
    EXPECT_EQ(R.SpeedSwitchesWhileProgramming, 1);
    EXPECT_EQ(R.EepromWritesWhileProgramming, 3);
    EXPECT_EQ(R.EepromRefused, 3);
    EXPECT_EQ(R.ProgramStartRepeats, 1);
    EXPECT_EQ(R.EndsWhileProgramming, (std::vector<std::string>{"port closed"}));
    EXPECT_EQ(
        R.CommandsWhileProgramming,
        (std::map<int, int>{{0x03, 2}, {0x04, 1}, {0x05, 1}, {0x0A, 1}, {0x14, 1}, {0x1C, 3}, {0x28, 1}}));
    const auto Log = Unit->LogLines();
    EXPECT_EQ(std::count_if(Log.begin(), Log.end(),
                            [](const std::string& L) {
                                return L.find("EEPROM write while programming refused") != std::string::npos;
                            }),
              3);
}

INSTANTIATE_TEST_SUITE_P(Presentations, UnitFoundProgramming,
                         ::testing::Values(Presentation{BusyAnswer::OldVersion, true},
                                           Presentation{BusyAnswer::Empty, false}),
                         [](const auto& I) { return I.param.Gps ? "OldVersionGpsOn" : "EmptyGpsStopped"; });

// The adapter drops out as the receiver begins to program; the unit keeps its
// power: the programming goes on while the port is gone, is found under way
// when the port is back, and ends by itself while the port is gone again.
TEST_F(UnitTest, ProgrammingGoesOnWhileThePortIsGone)
{
    UnitConfig C = Quick();
    C.Container = 'R';
    C.ProgrammingMs = 4000;
    Begin(C);
    Faults F;
    F.HangUpAt = "programming";
    F.ReplugAfterMs = 300;
    Unit->SetFaults(F);
    ASSERT_TRUE(Wake());
    const std::string Image = MakeMediaTekImage(NewReceiver, 3000, 5);
    ASSERT_TRUE(WriteRecords(C.EepromAddress, Image));
    Port->Write(ToolFrame(0x28, "\x01") + ToolFrame(0x04, Param(65352) + "1"));
    ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return R.Line.Replugs == 1; }, Wait));
    EXPECT_EQ(Unit->Report().Line.HangUps, 1);
    ASSERT_TRUE(Unit->Report().Programming);

    Port = std::make_unique<ToolPort>(Unit->SlavePath());
    EXPECT_TRUE(Port->ReadUntil([](const std::string& B) { return HasUnitFrame(B, 0x28); }, Wait))
        << "nothing told the unit: its session and logger status go on";
    ASSERT_TRUE(Wake());
    EXPECT_EQ(ParamValue(65354), OldReceiver);
    EXPECT_EQ(Acked(0x1C, Address(C.EepromAddress) + "x"), "00");
    ASSERT_TRUE(Unit->Report().Programming);

    Unit->SetFaults(Faults{});
    Unit->HangUp();
    ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return R.Programmings == 1; }, Wait));
    EXPECT_FALSE(Unit->Plugged());
    ASSERT_TRUE(Unit->Replug());
    Port = std::make_unique<ToolPort>(Unit->SlavePath());
    ASSERT_TRUE(Wake());
    EXPECT_EQ(ParamValue(65354), NewReceiver);
    EXPECT_EQ(Unit->ReceiverImage(), Image);
    const UnitReport R = Unit->Report();
    EXPECT_TRUE(R.EndsWhileProgramming.empty()) << "the line dropped out; the tool ended nothing";
    EXPECT_EQ(R.EepromWritesWhileProgramming, 1);
    EXPECT_FALSE(R.ProgrammingAtStart);
}

// ---- Line speed ----

TEST_F(UnitTest, SpeedSwitchMovesTheUnitTo57600)
{
    Begin();
    ASSERT_TRUE(Wake());
    EXPECT_EQ(Acked(0x14, ""), "01");
    EXPECT_EQ(Unit->DeviceRate(), 57600u);
    // The tool still at 9600: the unit's UART sees noise.
    EXPECT_EQ(Acked(0x00, "", 400), "");
    EXPECT_GT(Unit->Line().SpeedMismatchIn, 0u);
    Port->SetRate(57600);
    EXPECT_EQ(Unit->ToolRate(), 57600u);
    EXPECT_EQ(Acked(0x00, ""), "01");
    EXPECT_EQ(Unit->Report().SpeedSwitches, 1);
}

TEST_F(UnitTest, ToolBytesAtAnotherRateReachTheUnitAsGarbage)
{
    // The unit at 57600 takes each byte of a tool at 9600 for one garbage byte;
    // at 9600 it takes six bytes of a tool at 57600 for one, the rest carried over.
    // Lost instead, when so configured.
    for (const bool AsGarbage : {true, false}) {
        SCOPED_TRACE(AsGarbage ? "garbage" : "lost");
        UnitConfig C = Quick();
        C.SpeedFallbackMs = 300;
        C.WrongRateGarbage = AsGarbage;
        Begin(C);
        ASSERT_TRUE(Wake());
        EXPECT_EQ(Acked(0x14, ""), "01");
        const uint64_t In = Unit->Line().BytesIn;
        const std::string KeepAlive = ToolFrame(0x00, "");
        ASSERT_EQ(KeepAlive.size(), 5u);
        Port->Write(KeepAlive);
        const uint64_t G1 = AsGarbage ? 5 : 0;
        ASSERT_TRUE(Unit->WaitUntil(
            [&](const UnitReport& R) { return R.Line.SpeedMismatchIn == 5 && R.Line.GarbageIn == G1; },
            Wait));
        // The unit gives up on the fast rate; now the tool is the faster one.
        ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return R.SpeedFallbacks == 1; }, Wait));
        Port->SetRate(57600);
        Port->Write(KeepAlive + KeepAlive);
        const uint64_t G2 = AsGarbage ? 5 + 1 : 0; // 10 bytes: one, four sixths carried over
        ASSERT_TRUE(Unit->WaitUntil(
            [&](const UnitReport& R) { return R.Line.SpeedMismatchIn == 15 && R.Line.GarbageIn == G2; },
            Wait));
        Port->Write(KeepAlive + Bytes({0, 0, 0}));
        const uint64_t G3 = AsGarbage ? 5 + 3 : 0; // 18 bytes in all: three
        ASSERT_TRUE(Unit->WaitUntil(
            [&](const UnitReport& R) { return R.Line.SpeedMismatchIn == 23 && R.Line.GarbageIn == G3; },
            Wait));
        const UnitReport R = Unit->Report();
        EXPECT_EQ(R.Line.BytesIn, In + G3) << "the unit took in the garbage, nothing else";
        EXPECT_EQ(R.Commands.count(0x00), 0u) << "no keep-alive came through";
        Port.reset();
        Unit.reset();
    }
}

TEST_F(UnitTest, UnitFallsBackWhenNoFrameComesAtTheFastRate)
{
    UnitConfig C = Quick();
    C.SpeedFallbackMs = 300;
    Begin(C);
    ASSERT_TRUE(Wake());
    EXPECT_EQ(Acked(0x14, ""), "01");
    ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return R.SpeedFallbacks == 1; }, Wait));
    EXPECT_EQ(Unit->DeviceRate(), 9600u);
    EXPECT_EQ(Acked(0x00, ""), "01");
}

TEST_F(UnitTest, ClosingThePortEndsTheSessionAndResetsTheSpeed)
{
    Begin();
    ASSERT_TRUE(Wake());
    EXPECT_EQ(Acked(0x14, ""), "01");
    Port->Close();
    ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return !R.Framed && R.Rate == 9600; }, Wait));
    EXPECT_EQ(Unit->Line().PortCloses, 1);
    Port = std::make_unique<ToolPort>(Unit->SlavePath(), 9600);
    EXPECT_TRUE(Wake());
}

// ---- End of the link ----

TEST_F(UnitTest, TurnOffSilencesTheUnitForAWhile)
{
    UnitConfig C = Quick();
    C.OffMs = 2000;
    Begin(C);
    ASSERT_TRUE(Wake());
    EXPECT_EQ(Acked(0xF2, ""), "01");
    EXPECT_TRUE(Unit->Report().Off);
    Port->Close(); // the tool closes its port after the acknowledgement
    Port = std::make_unique<ToolPort>(Unit->SlavePath());
    Port->Write("_CONFIGB\r");
    EXPECT_EQ(Port->ReadFor(200), "");
    ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return !R.Off; }, Wait));
    EXPECT_TRUE(Wake());
    EXPECT_EQ(Unit->Report().TurnOffs, 1);
}

TEST_F(UnitTest, EndOfConnectionLeavesFramedMode)
{
    Begin();
    ASSERT_TRUE(Wake());
    EXPECT_EQ(Acked(0xFF, ""), "01");
    EXPECT_FALSE(Unit->Report().Framed);
    EXPECT_EQ(Acked(0x00, "", 300), "");
    EXPECT_TRUE(Wake());
}

// ---- Own firmware ----

class UnitFirmware : public UnitTest
{
  protected:
    void Serve(FirmwareServer& S)
    {
        Port->ReadUntil(
            [&](const std::string& B) {
                const std::string A = S.Feed(B);
                Port->Buffer.clear();
                if (!A.empty())
                    Port->Write(A);
                return S.Ended;
            },
            Wait);
    }
    static FirmwareServer Version(bool Wide)
    {
        FirmwareServer S;
        S.Wide = Wide;
        S.Map = std::string(Wide ? 64 : 32, '\0');
        S.Map[2] = '\x81'; // blocks 16 and 23
        S.Map[5] = '\x02'; // block 41
        S.Blocks.resize(42);
        for (int n : {16, 23, 41})
            S.Blocks[static_cast<std::size_t>(n)] = std::string(256, static_cast<char>(n));
        S.Crc = FirmwareCrc(S.Map, S.Blocks);
        return S;
    }
};

TEST_F(UnitFirmware, PullsItsFirmwareAndRestartsOnTheNewVersion)
{
    for (bool Wide : {true, false}) {
        SCOPED_TRACE(Wide ? "wide" : "narrow");
        UnitConfig C = Quick();
        C.FirmwareWidth = Wide ? BlockWidth::Wide : BlockWidth::Narrow;
        Begin(C);
        ASSERT_TRUE(Wake());
        Port->Buffer.clear();
        EXPECT_EQ(Acked(0x11, "\x01"), "01");
        Port->Buffer.clear();
        FirmwareServer S = Version(Wide);
        Serve(S);
        ASSERT_TRUE(S.Ended);
        if (Wide)
            EXPECT_EQ(S.Requests, (std::vector<int>{0xFFFD, 41, 23, 16, 0xFFFF}));
        else
            EXPECT_EQ(S.Requests, (std::vector<int>{1, 16, 23, 41, 0}));
        ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return !R.Pulling; }, Wait));
        UnitReport R = Unit->Report();
        EXPECT_EQ(R.FirmwareUpdates, 1);
        EXPECT_EQ(R.FirmwareError, "");
        EXPECT_TRUE(R.LastUpdateFlag);
        EXPECT_EQ(R.VersionText, "2.41");
        const PulledFirmware F = Unit->Firmware();
        EXPECT_EQ(F.Blocks.at(23), std::string(256, '\x17'));
        EXPECT_EQ(FirmwareBytes(F), S.Blocks[16] + S.Blocks[23] + S.Blocks[41]);
        // Restarted: a new wake-up is answered with the new version.
        ASSERT_TRUE(Port->ReadUntil(
            [&](const std::string&) {
                Port->Write("_CONFIGB\r");
                return Port->ReadUntil([](const std::string& B) { return HasUnitFrame(B, 0x0B); }, 300);
            },
            Wait));
        EXPECT_EQ(Hex(FramesOf(Port->Buffer, 0x0B).at(0).Payload.substr(11, 2)), "02 29");
        Port.reset();
        Unit.reset();
    }
}

TEST_F(UnitFirmware, WrongCrcKeepsTheOldVersion)
{
    Begin();
    ASSERT_TRUE(Wake());
    EXPECT_EQ(Acked(0x11, ""), "01");
    Port->Buffer.clear();
    FirmwareServer S = Version(true);
    S.Crc ^= 0x8000;
    Serve(S);
    ASSERT_TRUE(S.Ended);
    ASSERT_TRUE(
        Unit->WaitUntil([](const UnitReport& R) { return R.FirmwareFailures == 1 && !R.Pulling; }, Wait));
    const UnitReport R = Unit->Report();
    EXPECT_NE(R.FirmwareError.find("CRC-16 mismatch"), std::string::npos);
    EXPECT_FALSE(R.LastUpdateFlag);
    EXPECT_EQ(R.VersionText, "2.40");
}

TEST_F(UnitFirmware, UnitThatTakesNoFirmwareRefusesTheStart)
{
    UnitConfig C = Quick();
    C.AcceptsFirmware = false;
    Begin(C);
    ASSERT_TRUE(Wake());
    EXPECT_EQ(Acked(0x11, ""), "00");
    EXPECT_EQ(Port->ReadFor(300).find('{'), std::string::npos);
}

// ---- Faults ----

TEST_F(UnitTest, NamedCommandIsIgnoredTheGivenNumberOfTimes)
{
    Begin();
    Faults F;
    F.DropNamed = "version";
    F.DropNamedCount = 2;
    Unit->SetFaults(F);
    ASSERT_TRUE(Wake());
    UnitFrame V;
    EXPECT_FALSE(Ask(0x0A, "", 0x0A, &V, 300));
    EXPECT_FALSE(Ask(0x0A, "", 0x0A, &V, 300));
    EXPECT_TRUE(Ask(0x0A, "", 0x0A, &V));
    EXPECT_EQ(Unit->Line().DroppedCommands, 2u);
    EXPECT_EQ(Unit->Report().VersionRequests, 1) << "ignored commands are not seen";
}

TEST_F(UnitTest, LostProgramStartIsNamedProgram)
{
    UnitConfig C = Quick();
    C.Container = 'R';
    Begin(C);
    Faults F;
    F.DropNamed = "program";
    Unit->SetFaults(F);
    ASSERT_TRUE(Wake());
    ASSERT_TRUE(WriteRecords(C.EepromAddress, MakeMediaTekImage(NewReceiver, 1000, 1)));
    EXPECT_EQ(Acked(0x04, Param(65352) + "1", 300), "");
    EXPECT_EQ(Acked(0x04, Param(65352) + "1"), "01");
    EXPECT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return R.Programmings == 1; }, Wait));
}

TEST_F(UnitTest, RefusedWritesAreAnsweredZeroAndNotStored)
{
    Begin();
    Faults F;
    F.RefuseWrites = 1.0;
    Unit->SetFaults(F);
    ASSERT_TRUE(Wake());
    EXPECT_EQ(Acked(0x1C, Address(0x10) + "data"), "00");
    EXPECT_EQ(Unit->Eeprom(0x10, 4), "\xFF\xFF\xFF\xFF");
    EXPECT_EQ(Unit->Line().RefusedWrites, 1u);
}

TEST_F(UnitTest, DroppedRepliesFollowTheSeed)
{
    // Twelve requests whose answers name their parameter, so the pattern shows.
    std::vector<std::vector<int>> Runs;
    for (int Run = 0; Run < 2; ++Run) {
        Begin();
        ASSERT_TRUE(Wake());
        for (int n = 1; n <= 12; ++n)
            ASSERT_EQ(Acked(0x04, Param(n) + "v"), "01");
        Faults F;
        F.Seed = 42;
        F.DropReplies = 0.5;
        Unit->SetFaults(F);
        Port->Buffer.clear();
        for (int n = 1; n <= 12; ++n)
            Port->Write(ToolFrame(0x03, Param(n)));
        // Once the unit has taken all twelve, its answers are on the line.
        ASSERT_TRUE(Unit->WaitUntil(
            [](const UnitReport& R) { return R.Commands.count(0x03) && R.Commands.at(0x03) == 12; }, Wait));
        const auto Dropped = static_cast<std::size_t>(Unit->Line().DroppedReplies);
        ASSERT_TRUE(Port->ReadUntil(
            [&](const std::string& B) { return FramesOf(B, 0x03).size() == 12 - Dropped; }, Wait));
        std::vector<int> Answered;
        for (const auto& A : FramesOf(Port->Buffer, 0x03))
            Answered.push_back(static_cast<uint8_t>(A.Payload[1]));
        Runs.push_back(Answered);
        EXPECT_GT(Dropped, 0u);
        EXPECT_LT(Dropped, 12u);
        Port.reset();
        Unit.reset();
    }
    EXPECT_EQ(Runs[0], Runs[1]) << "the same seed drops the same answers";
}

TEST_F(UnitTest, LateAnswerComesAfterTheDelayAndHoldsLaterOnesBack)
{
    Begin();
    ASSERT_TRUE(Wake());
    Faults F;
    F.LateReplies = 1.0;
    F.LateMs = 600;
    Unit->SetFaults(F);
    Port->Buffer.clear();
    Port->Write(ToolFrame(0x00, ""));
    Port->Write(ToolFrame(0x0A, ""));
    // The delay is a lower bound the simulator keeps, so this holds on any machine.
    EXPECT_FALSE(Port->ReadUntil([](const std::string& B) { return !B.empty(); }, 300));
    ASSERT_TRUE(Port->ReadUntil([](const std::string& B) { return HasUnitFrame(B, 0x0A); }, Wait));
    const auto All = ParseUnitFrames(Port->Buffer);
    ASSERT_EQ(All.size(), 2u);
    EXPECT_EQ(All[0].Cmd, 0x02) << "answers keep their order";
    EXPECT_EQ(All[1].Cmd, 0x0A);
}

TEST_F(UnitTest, CorruptedLinesGiveNoGoodFrames)
{
    Begin();
    ASSERT_TRUE(Wake());
    Faults F;
    F.CorruptTx = 1.0;
    Unit->SetFaults(F);
    Port->Buffer.clear();
    Port->Write(ToolFrame(0x00, ""));
    ASSERT_TRUE(Port->ReadUntil([](const std::string& B) { return B.size() >= 7; }, Wait));
    EXPECT_NE(Hex(Port->Buffer), "02 04 10 03 01 01 04");
    EXPECT_EQ(Unit->Line().CorruptedOut, 7u);
    F = Faults{};
    F.CorruptRx = 1.0;
    Unit->SetFaults(F);
    EXPECT_EQ(Acked(0x00, "", 300), "");
    EXPECT_GT(Unit->Line().CorruptedIn, 0u);
}

TEST_F(UnitTest, HangUpAtANamedPointAndReplugUnderTheSameComNumber)
{
    TempFolder Dir;
    UnitConfig C = Quick();
    Begin(C);
    ASSERT_TRUE(Unit->PlugAs(5, Dir.Path()));
    const std::string Link = Dir.Path() + "/com5";
    auto Target = [&Link] {
        char T[256] = {};
        return ::readlink(Link.c_str(), T, sizeof T - 1) > 0 ? std::string(T) : std::string();
    };
    EXPECT_EQ(Target(), Unit->SlavePath());

    Faults F;
    F.HangUpAt = "eeprom:2";
    Unit->SetFaults(F);
    ASSERT_TRUE(Wake());
    EXPECT_EQ(Acked(0x1C, Address(0x10) + "one"), "01");
    EXPECT_EQ(Acked(0x1C, Address(0x20) + "two", 500), "");
    ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return R.Line.HangUps == 1; }, Wait));
    EXPECT_TRUE(Port->HungUp());
    EXPECT_FALSE(Unit->Plugged());
    EXPECT_EQ(Unit->SlavePath(), "");
    struct stat St {
    };
    EXPECT_NE(::lstat(Link.c_str(), &St), 0) << "the port is gone while unplugged";

    ASSERT_TRUE(Unit->Replug());
    EXPECT_EQ(Target(), Unit->SlavePath());
    Port = std::make_unique<ToolPort>(Link);
    ASSERT_TRUE(Wake());
    EXPECT_EQ(Unit->Eeprom(0x10, 3), "one") << "the EEPROM outlives the line";
    EXPECT_EQ(Unit->Eeprom(0x20, 3), "\xFF\xFF\xFF") << "the write that hung up was not stored";
    Unit.reset();
    EXPECT_NE(::lstat(Link.c_str(), &St), 0) << "the link goes with the device";
}

TEST_F(UnitTest, AutomaticReplugAfterAHangUp)
{
    Begin();
    Faults F;
    F.HangUpAt = "wakeup";
    F.ReplugAfterMs = 200;
    Unit->SetFaults(F);
    Port->Write("_CONFIGB\r");
    ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return R.Line.Replugs == 1; }, Wait));
    Port = std::make_unique<ToolPort>(Unit->SlavePath());
    EXPECT_TRUE(Wake()) << "a hang-up point fires once";
}

TEST_F(UnitTest, AnyBytesFromTheToolAreSurvived)
{
    Begin();
    ASSERT_TRUE(Wake());
    std::mt19937 Gen(3);
    std::string Noise;
    for (int i = 0; i < 20000; ++i)
        Noise += static_cast<char>(Gen() & 0xFF);
    Port->Write(Noise);
    Port->ReadFor(200);
    Port->Close();
    Port = std::make_unique<ToolPort>(Unit->SlavePath());
    EXPECT_TRUE(Wake());
}

// ---- The cable moved on to the next unit ----

// A station swaps the unit on a cable whose adapter stays plugged in: a fresh
// unit answers on the same pty and link, and nothing of the old one is left.
TEST_F(UnitTest, ExchangePutsAFreshUnitOnTheSameLine)
{
    TempFolder Dir;
    const UnitConfig C = Quick();
    Begin(C);
    ASSERT_TRUE(Unit->PlugAs(5, Dir.Path()));
    const std::string Slave = Unit->SlavePath();
    // The old unit: its receiver programmed, framed, at 57600 with the tool.
    ASSERT_TRUE(Wake());
    ASSERT_TRUE(
        WriteRecords(C.EepromAddress, MakeGpsContainer(MakeMediaTekImage(NewReceiver, 3000, 2), true)));
    ASSERT_TRUE(Program());
    ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& R) { return R.Programmings == 1; }, Wait));
    EXPECT_EQ(Acked(0x14, ""), "01");
    Port->SetRate(57600);
    EXPECT_EQ(Acked(0x00, ""), "01");

    UnitConfig Next = C;
    Next.UnitId = C.UnitId + 1;
    const auto Departed = Unit->Exchange(Next, 9);
    ASSERT_TRUE(Departed.has_value());
    EXPECT_TRUE(Departed->Framed);
    EXPECT_EQ(Departed->Rate, 57600u);
    EXPECT_EQ(Departed->Programmings, 1);
    EXPECT_EQ(Departed->ReceiverVersion, NewReceiver);
    EXPECT_GT(Departed->Line.BytesIn, 0u);

    const UnitReport R = Unit->Report();
    EXPECT_FALSE(R.Framed);
    EXPECT_EQ(R.Rate, 9600u);
    EXPECT_EQ(R.ReceiverVersion, OldReceiver);
    EXPECT_EQ(R.ReceiverImageSize, 0u);
    EXPECT_EQ(R.Programmings, 0);
    EXPECT_EQ(R.Wakeups, 0);
    EXPECT_EQ(R.EepromWrites, 0);
    EXPECT_EQ(R.Line.BytesIn, 0u);
    EXPECT_EQ(Unit->Eeprom(C.EepromAddress, 16), std::string(16, '\xFF'));
    EXPECT_EQ(Unit->GetFaults().Seed, 9u);
    const auto Log = Unit->LogLines();
    EXPECT_TRUE(std::any_of(Log.begin(), Log.end(), [](const std::string& L) {
        return L.find("unit: cable moved to the next device: unit 123457") != std::string::npos;
    }));
    // The line stays: the same pty behind the same link, the tool's port open
    // at the rate it set.
    EXPECT_EQ(Unit->SlavePath(), Slave);
    char Target[256] = {};
    ASSERT_GT(::readlink((Dir.Path() + "/com5").c_str(), Target, sizeof Target - 1), 0);
    EXPECT_EQ(std::string(Target), Slave);
    EXPECT_FALSE(Port->HungUp());
    EXPECT_EQ(Unit->ToolRate(), 57600u);

    // The tool goes back to the base rate and finds the next unit, whose own
    // firmware pull speaks on the line as the first unit's would.
    Port->SetRate(9600);
    Port->Buffer.clear();
    ASSERT_TRUE(Wake());
    EXPECT_EQ(Hex(FramesOf(Port->Buffer, 0x0B).at(0).Payload.substr(1, 3)), "01 E2 41");
    EXPECT_EQ(Acked(0x11, ""), "01");
    EXPECT_TRUE(Port->ReadUntil(
        [](const std::string& B) { return B.find("\x7B\xFF\xFD\x7D") != std::string::npos; }, Wait));

    // Bytes on their way to the old unit go with it: the rest of a long paced
    // burst never reaches the next one, which hears only what follows.
    Faults Paced;
    Paced.Pace = true;
    Unit->SetFaults(Paced);
    Port->Write(std::string(30000, 'x') + "_CONFIGB\r");
    Next.UnitId += 1;
    ASSERT_TRUE(Unit->Exchange(Next, 10).has_value());
    Port->Buffer.clear();
    ASSERT_TRUE(Wake());
    EXPECT_EQ(Unit->Report().Line.BytesIn, 9u);
    EXPECT_TRUE(Unit->GetFaults().Pace) << "pacing belongs to the line";
}
