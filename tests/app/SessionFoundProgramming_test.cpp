// A unit whose receiver is already programming when its port is opened (a
// tool that ended while it programmed, an adapter that dropped out): the run
// follows the programming to its end and sends nothing but questions.
#include "AppTestSupport.h"
#include "SessionFixture.h"

#include <set>
#include <sstream>

namespace
{

// Questions and report switches: all a unit that may be programming is sent.
bool OnlyQuestions(const std::map<int, int>& Commands, std::string& Seen)
{
    static const std::set<int> Allowed{0x00, 0x01, 0x03, 0x05, 0x0A, 0x0B, 0x28};
    std::ostringstream Out;
    bool Ok = true;
    for (const auto& [Cmd, N] : Commands) {
        Out << std::hex << Cmd << std::dec << " x" << N << "; ";
        Ok = Ok && Allowed.count(Cmd) > 0;
    }
    Seen = Out.str();
    return Ok;
}

void ExpectFollowedAndUpdated(const TUpdateOutcome& O)
{
    EXPECT_EQ(O.Kind, TOutcomeKind::Updated) << O.Message;
    EXPECT_TRUE(O.ProgrammingFollowed);
    EXPECT_FALSE(O.Transferred);
    EXPECT_EQ(O.ReceiverAfter, New1513);
    EXPECT_NE(O.Message.find("found programming"), std::string::npos) << O.Message;
    EXPECT_NE(O.Message.find("wrote nothing"), std::string::npos) << O.Message;
}

class FoundProgramming : public SessionTest, public ::testing::WithParamInterface<bool>
{
};

} // namespace

// Both ways a unit shows it: GPS reports going on and 65354 the old version,
// or GPS reports stopped and 65354 empty.
TEST_P(FoundProgramming, IsFollowedAndNothingIsWritten)
{
    const bool ReportsGoOn = GetParam();
    devsim::UnitConfig C = FastUnit();
    C.ProgrammingMs = 8000;
    C.ProgrammingAtStartMs = 6000;
    C.VersionAfterProgramming = New1513;
    C.GpsWhileProgramming = ReportsGoOn;
    C.AnswerWhileProgramming = ReportsGoOn ? devsim::BusyAnswer::OldVersion : devsim::BusyAnswer::Empty;
    devsim::VeltracUnit Unit(C);
    Plug(Unit);
    auto S = NewSession();
    Open(*S, dtVeltrac);

    ASSERT_TRUE(WaitFor([&] { return S->ReceiverAtRisk(); }, Short)) << Describe(*S);
    ASSERT_TRUE(WaitFor([&] { return !Outcomes.empty(); }, Long)) << Describe(*S);
    ExpectFollowedAndUpdated(Outcomes[0]);
    const devsim::UnitReport R = Unit.Report();
    std::string Seen;
    EXPECT_TRUE(OnlyQuestions(R.CommandsWhileProgramming, Seen)) << Seen;
    EXPECT_EQ(R.EepromWritesWhileProgramming, 0);
    EXPECT_EQ(R.TransfersWhileProgramming, 0);
    EXPECT_EQ(R.Transfers, 0);
    EXPECT_EQ(R.Programmings, 1);
    EXPECT_TRUE(R.EndsWhileProgramming.empty());
}

INSTANTIATE_TEST_SUITE_P(Presentations, FoundProgramming, ::testing::Bool(),
                         [](const auto& Info) { return Info.param ? "ReportsGoOn" : "ReportsStopped"; });

// The first run ends while the unit programs (its session is gone, as a
// killed command's is); a second run on the same unit follows, and the
// receiver is programmed once. The unit answers again only once its link
// time has run out and it is back at 9600: its programming outlasts that.
TEST_F(SessionTest, ASecondRunFollowsTheProgrammingTheFirstLeft)
{
    devsim::UnitConfig C = FastUnit();
    C.ProgrammingMs = 32000;
    C.AnswerWhileProgramming = devsim::BusyAnswer::OldVersion;
    devsim::VeltracUnit Unit(C);
    Plug(Unit);
    {
        auto First = NewSession();
        Open(*First, dtVeltrac);
        ASSERT_TRUE(WaitFor([&] { return Unit.Report().Programming; }, Long)) << Describe(*First);
    }
    Outcomes.clear();
    auto S = NewSession();
    Open(*S, dtVeltrac);
    ASSERT_TRUE(WaitFor([&] { return !Outcomes.empty(); }, Long)) << Describe(*S);
    ExpectFollowedAndUpdated(Outcomes[0]);
    const devsim::UnitReport R = Unit.Report();
    EXPECT_EQ(R.Programmings, 1);
    EXPECT_EQ(R.Transfers, 1);
    EXPECT_EQ(R.EepromWritesWhileProgramming, 0);
    EXPECT_EQ(R.ProgramStartRepeats, 0);
    EXPECT_EQ(Unit.ReceiverImage(), ArchiveItem(S->Images().Archive(), New1513 + ".bin"));
}

// A unit whose first logger status comes late, but within the listening
// time, and that otherwise looks idle (GPS reports, its old version): it is
// followed, never written to.
TEST_F(SessionTest, ALateLoggerStatusWithinTheListeningTimeIsFollowed)
{
    devsim::UnitConfig C = FastUnit();
    C.ProgrammingMs = 9000;
    C.ProgrammingAtStartMs = 7000;
    C.VersionAfterProgramming = New1513;
    C.LoggerIntervalMs = 2000; // the session listens 3 s
    C.AnswerWhileProgramming = devsim::BusyAnswer::OldVersion;
    devsim::VeltracUnit Unit(C);
    Plug(Unit);
    auto S = NewSession();
    Open(*S, dtVeltrac);
    ASSERT_TRUE(WaitFor([&] { return !Outcomes.empty(); }, Long)) << Describe(*S);
    ExpectFollowedAndUpdated(Outcomes[0]);
    const devsim::UnitReport R = Unit.Report();
    EXPECT_EQ(R.Transfers, 0);
    EXPECT_EQ(R.EepromWritesWhileProgramming, 0);
    EXPECT_EQ(R.Programmings, 1);
}

// An idle unit that refuses its first record is listened to; no logger
// status means the records go on, and after three such rounds the run fails
// without the unit ever being told to program.
TEST_F(SessionTest, AUnitThatRefusesEveryRecordFailsAfterThreeRounds)
{
    devsim::VeltracUnit Unit(FastUnit());
    devsim::Faults F;
    F.RefuseWrites = 1.0;
    Unit.SetFaults(F);
    Plug(Unit);
    auto S = NewSession();
    S->SetListenTime(500);
    Open(*S, dtVeltrac);
    ASSERT_TRUE(WaitFor([&] { return !Outcomes.empty(); }, Long)) << Describe(*S);
    EXPECT_EQ(Outcomes[0].Kind, TOutcomeKind::Failed) << Outcomes[0].Message;
    EXPECT_NE(Outcomes[0].Message.find("the unit refuses EEPROM writes"), std::string::npos) << Outcomes[0].Message;
    const devsim::UnitReport R = Unit.Report();
    EXPECT_GE(R.EepromRefused, 3);
    EXPECT_EQ(R.Programmings, 0);
    EXPECT_EQ(R.ProgramStarts, 0);
}
