// A tracking unit that loses, delays or refuses answers: the update must still
// end with the receiver holding every byte of the image, and never wait for ever.
#include "AppTestSupport.h"
#include "SessionFixture.h"
#include "tools/devsim/ReceiverImage.h"
#include "tools/devsim/VeltracUnit.h"

namespace
{

const std::string CustomVersion = "AXN_7.7_1513_20300101,7777,MC-1513,7.7";

} // namespace

// With "/MANUAL" the session only shows the version; the test then sends an
// image of its own, small enough that many faulty answers still end quickly.
class UnitFaults : public SessionTest
{
  protected:
    std::unique_ptr<TUpdateSession> ConnectManual(devsim::VeltracUnit& Unit)
    {
        Plug(Unit);
        auto S = NewSession({"/MANUAL"});
        Open(*S, dtVeltrac);
        EXPECT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Short))
            << Describe(*S);
        return S;
    }
    void SendImage(TUpdateSession& S, const std::string& Image)
    {
        FileToChoose = WriteTempFile("custom.bin", Image);
        S.SendImage();
        EXPECT_EQ(FileQuestions, 1);
        EXPECT_TRUE(Errors.empty());
        EXPECT_EQ(S.UpdateState(), TUpdateState::TransferStart);
    }
};

TEST_F(UnitFaults, LateAndLostAcknowledgementsLeaveNoHole)
{
    auto C = FastUnit();
    C.Container = 'V';
    devsim::VeltracUnit Unit(C);
    auto S = ConnectManual(Unit);
    ASSERT_TRUE(S);

    const std::string Image = devsim::MakeMediaTekImage(CustomVersion, 2000, 3);
    devsim::Faults F;
    // With this seed the described flow (every positive answer advances) leaves
    // unwritten bytes in the unit's image.
    F.Seed = 1;
    // Every answer later than the 750 ms retry, so every record goes out
    // twice and both copies are answered; now and then a write or an answer is lost.
    F.LateReplies = 1;
    F.LateMs = 800;
    F.DropReplies = 0.1;
    F.DropCommands = 0.12;
    Unit.SetFaults(F);
    SendImage(*S, Image);

    ASSERT_TRUE(WaitFor(
        [&] {
            const auto R = Unit.Report();
            return R.Programmings + R.ProgrammingFailures > 0;
        },
        Long))
        << Describe(*S);
    const auto R = Unit.Report();
    EXPECT_GT(R.Line.LateReplies, 0u);
    EXPECT_GT(R.Line.DroppedReplies, 0u);
    EXPECT_GT(R.Line.DroppedCommands, 0u);
    EXPECT_GT(R.EepromRewrites, 0);
    EXPECT_EQ(R.UnwrittenBytes, 0u);
    EXPECT_EQ(R.ProgrammingFailures, 0) << R.ProgrammingError;
    EXPECT_TRUE(Unit.ReceiverImage() == Image) << "the receiver was programmed with another image";

    Unit.SetFaults({});
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Long)) << Describe(*S);
    EXPECT_EQ(S->Display().vGPSCurrent, CustomVersion);
}

TEST_F(UnitFaults, RefusedWritesAreSentAgainAtOnce)
{
    auto C = FastUnit();
    C.Container = 'C';
    devsim::VeltracUnit Unit(C);
    auto S = ConnectManual(Unit);
    ASSERT_TRUE(S);
    const std::string Image = devsim::MakeMediaTekImage(CustomVersion, 40000, 5);
    devsim::Faults F;
    F.Seed = 5;
    F.RefuseWrites = 0.2;
    Unit.SetFaults(F);
    SendImage(*S, Image);
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Long)) << Describe(*S);
    const auto R = Unit.Report();
    EXPECT_GT(R.EepromRefused, 0);
    EXPECT_EQ(R.Programmings, 1) << R.ProgrammingError;
    EXPECT_EQ(R.ProgrammedFrom, "packed container");
    EXPECT_TRUE(Unit.ReceiverImage() == Image);
}

TEST_F(UnitFaults, LostProgrammingStartIsSentAgain)
{
    devsim::VeltracUnit Unit(FastUnit());
    auto S = ConnectManual(Unit);
    ASSERT_TRUE(S);
    devsim::Faults F;
    F.DropNamed = "program";
    F.DropNamedCount = 1;
    Unit.SetFaults(F);
    const std::string Image = devsim::MakeMediaTekImage(CustomVersion, 6000, 8);
    SendImage(*S, Image);
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Busy; }, Short)) << Describe(*S);
    EXPECT_TRUE(S->UnitProcedure().Transfer().ProgramStartPending() || Unit.Report().ProgramStarts == 1);
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Long)) << Describe(*S);
    const auto R = Unit.Report();
    EXPECT_EQ(R.Line.DroppedCommands, 1u);
    EXPECT_EQ(R.ProgramStarts, 1);
    EXPECT_EQ(R.Programmings, 1);
    EXPECT_GE(Count(R, 0x04), 2);
    EXPECT_FALSE(S->UnitProcedure().Transfer().ProgramStartPending());
    EXPECT_TRUE(Unit.ReceiverImage() == Image);
}

TEST_F(UnitFaults, UnitThatStaysSilentAboutGPSIsStillAskedForItsVersion)
{
    auto C = FastUnit();
    C.ResumeGpsAfterProgramming = false;
    C.ProgrammingMs = 2500; // asked while busy: an empty answer is no error
    C.VersionAfterProgramming = New1513;
    devsim::VeltracUnit Unit(C);
    Plug(Unit);
    auto S = NewSession();
    Open(*S, dtVeltrac);
    ASSERT_TRUE(
        WaitFor([&] { return S->UpdateState() == TUpdateState::Busy && Unit.Report().Programming; }, Long))
        << Describe(*S);
    EXPECT_FALSE(Unit.Report().GpsReports);
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Long)) << Describe(*S);
    const auto R = Unit.Report();
    EXPECT_EQ(R.Programmings, 1);
    EXPECT_TRUE(WaitFor([&] { return Unit.Report().TurnOffs == 1; }, Short));
    EXPECT_FALSE(R.GpsReports);
    EXPECT_EQ(S->Display().vGPSCurrent, New1513);
    EXPECT_TRUE(Unit.ReceiverImage() == ArchiveItem(S->Images().Archive(), New1513 + ".bin"));
}

TEST_F(SessionTest, LostVersionInformationIsAskedAgain)
{
    auto C = FastUnit();
    C.ReceiverVersion = CurrentGG;
    devsim::VeltracUnit Unit(C);
    Plug(Unit);
    devsim::Faults F;
    F.DropNamed = "version";
    F.DropNamedCount = 1;
    Unit.SetFaults(F);
    auto S = NewSession();
    Open(*S, dtVeltrac);
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Short)) << Describe(*S);
    const auto R = Unit.Report();
    EXPECT_EQ(Count(R, 0x0A), 2);
    EXPECT_EQ(R.Line.DroppedCommands, 1u);
    EXPECT_EQ(S->Display().vUnitID, "123456");
    EXPECT_TRUE(WaitFor([&] { return Unit.Report().TurnOffs == 1; }, Short));
    EXPECT_FALSE(S->UnitProcedure().tVersionRetry.isActive());
}

TEST_F(SessionTest, LostVersionReplyAmongLateOnesStartsTheChainOnce)
{
    // Replies that come late get the question repeated; the late copy must
    // not start anything a second time.
    auto C = FastUnit();
    C.Class = 21;
    C.Hardware = 1;
    C.HardwareRev = 1;
    devsim::VeltracUnit Unit(C);
    Plug(Unit);
    devsim::Faults F;
    F.LateReplies = 1;
    F.LateMs = 2600; // beyond the 2000 ms repeat
    Unit.SetFaults(F);
    auto S = NewSession();
    Open(*S, dtVeltrac);
    ASSERT_TRUE(WaitFor([&] { return Count(Unit.Report(), 0x0A) >= 2; }, Short));
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::UnitFirmware; }, Short))
        << Describe(*S);
    Unit.SetFaults({});
    Pump(3000);
    EXPECT_EQ(Count(Unit.Report(), 0x11), 1);
    S->Close();
}
