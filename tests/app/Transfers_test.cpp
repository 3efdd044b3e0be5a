// Each device's transfer procedure on its own: driven by its link over a real
// pty to a simulated device, reporting to a host of the test's, without the
// update session.
#include "AppTestSupport.h"
#include "SessionFixture.h"
#include "app/LinkEnding.h"
#include "app/ModuleTransfer.h"
#include "app/UnitTransfer.h"
#include "link/Corvex2.h"
#include "link/ModuleLink.h"
#include "serial/ComPort.h"
#include "tools/devsim/GpsModule.h"
#include "tools/devsim/ReceiverImage.h"

namespace
{

// Records what a procedure reports, and follows its state as the session
// tells the module link what its bytes are.
struct THost : TModuleTransferHost {
    TModuleLink* Module = nullptr;
    std::vector<TUpdateState> States;
    TProgressBarState Send, Update;
    std::vector<bool> Complete;
    int ProgramStarts = 0, Restarts = 0, Refusals = 0, SentAgain = 0;

    void Step(const std::function<void()>& Body) override { Body(); }
    void TransferState(TUpdateState State) override
    {
        States.push_back(State);
        if (Module)
            Module->SetReceive(State == TUpdateState::Busy ? TModuleReceive::Frames
                                                           : TModuleReceive::Preparing);
    }
    void SendBar(int Position, int Maximum) override { Send.Set(Position, Maximum); }
    void UpdateBar(int Position, int Maximum) override { Update.Set(Position, Maximum); }
    void ProgressText(const std::string&) override {}
    void TransferComplete(bool Certain) override { Complete.push_back(Certain); }
    void TransferFailed(TOutcomeKind, const std::string&) override {}
    void StartAgain() override { ++Restarts; }
    void BlockRefused() override { ++Refusals; }
    void BlockSentAgain() override { ++SentAgain; }
};

class Transfers : public SessionTest
{
};

} // namespace

TEST_F(Transfers, UnitTransferWritesTheRecordsAndStartsTheProgramming)
{
    auto C = FastUnit();
    C.Container = 'V';
    devsim::VeltracUnit Unit(C);
    Plug(Unit);
    TCorvex CX;
    CX.SetConfigType(cxctSTXb);
    CX.SetComNumber(Com);
    THost Host;
    TUnitTransfer T(CX, Host);
    T.OnProgramStarted = [&] { ++Host.ProgramStarts; };
    T.OnRecordSentAgain = [&] { ++Host.SentAgain; };
    T.OnRecordsRefused = [&] { ++Host.Refusals; };
    CX.OnEEPromDataWrite = [&](TCorvex*, bool R) { T.Answered(R); };
    CX.OnSetParameter = [&](TCorvex*, int32_t, bool R) { T.Answered(R); };
    CX.OnFastSpeed = [&](TCorvex*) { T.FastSpeedAnswered(); };
    CX.OnLoggerStatus = [&](TCorvex*, const TCX_LoggerStatus&) { T.LoggerStatus(); };
    CX.Open();
    ASSERT_TRUE(WaitFor([&] { return CX.Connected() && CX.MaxLength() > 0; }, Short));

    EXPECT_FALSE(T.TakeUpdateParameter(""));
    ASSERT_TRUE(T.TakeUpdateParameter("10000,1,V"));
    EXPECT_EQ(T.EEPromAddress(), 0x10000);
    EXPECT_TRUE(T.PlainHeader());
    const std::string Image = devsim::MakeMediaTekImage(New1513, 20000, 3);
    T.Start(Image);
    EXPECT_EQ(Host.Send.Maximum, static_cast<int>(T.Records().size()));
    ASSERT_TRUE(WaitFor([&] { return Unit.Report().Programmings == 1; }, Long)) << Host.Send.Position;
    EXPECT_EQ(Unit.ReceiverImage(), Image);
    EXPECT_EQ(Unit.Report().Transfers, 1);
    EXPECT_EQ(Host.States, std::vector<TUpdateState>{TUpdateState::Busy});
    EXPECT_EQ(Host.Complete, std::vector<bool>{true});
    EXPECT_EQ(Host.ProgramStarts, 1);
    EXPECT_EQ(Host.SentAgain, 0) << "every record answered at once";
    EXPECT_TRUE(T.Records().empty());
    EXPECT_TRUE(T.tGPSVersionPoll.isActive()) << "the receiver's version is asked for while it programs";
    T.Stop();
    EXPECT_FALSE(T.tGPSVersionPoll.isActive());
    EXPECT_FALSE(T.tWriteRetry.isActive());
    CX.Close(true);
}

TEST_F(Transfers, ModuleTransferSendsTheBlocksAndNotAnImageItCannotTake)
{
    devsim::ModuleConfig C;
    C.ProgrammingMs = 300;
    C.DotIntervalMs = 20;
    devsim::GpsModule Module(C);
    Plug(Module);
    TModuleLink MX;
    THost Host;
    Host.Module = &MX;
    TModuleTransfer T(MX, Host);
    MX.OnReceiverReady = [&](TModuleLink*) { T.ReceiverReady(); };
    MX.OnDot = [&](TModuleLink*) { T.Dot(); };
    MX.OnStatus = [&](TModuleLink*, TModuleStatus S) { T.Status(S); };
    MX.Port().SetComNumber(Com);
    MX.Port().OnDataRecived = [&](TComPort*, int32_t) { MX.DataReceived(); };
    MX.Port().Open();

    EXPECT_EQ(T.Start(std::string(447, 'A')), TMediaTekCheck::TooShort);
    EXPECT_EQ(T.Start(std::string(5000, 'A')), TMediaTekCheck::NotMediaTek);
    EXPECT_FALSE(T.Active());
    const std::string Image = devsim::MakeMediaTekImage(New1513, 9000, 4);
    MX.SetReceive(TModuleReceive::Preparing);
    ASSERT_EQ(T.Start(Image), TMediaTekCheck::Ok);
    ASSERT_TRUE(WaitFor([&] { return !Host.Complete.empty(); }, Long)) << Host.Update.Position;
    EXPECT_EQ(Host.Complete, std::vector<bool>{true});
    EXPECT_EQ(Host.Restarts, 1) << "identification follows the last block";
    EXPECT_EQ(Host.SentAgain, 0);
    // Block 0 starts the transfer; the bar counts the blocks the module pulls after it.
    EXPECT_EQ(Host.Update.Position, static_cast<int>(T.Blocks().size()) - 1);
    EXPECT_EQ(Host.Update.Maximum, Host.Update.Position);
    EXPECT_EQ(Host.States.back(), TUpdateState::Busy);
    ASSERT_TRUE(WaitFor([&] { return Module.Report().Programmings == 1; }, Long));
    EXPECT_EQ(Module.ReceiverImage(), Image);
    EXPECT_EQ(Module.Report().Transfers, 1);
    EXPECT_EQ(Module.Report().Line.SpeedMismatchIn, 0u);
    MX.Port().Close();
}

// The unit's link ends by its answer to the last command, sent once the line
// is quiet; a unit that does not answer is let go after a while.
TEST_F(Transfers, TheUnitLinkEndsByItsAnswerToTheLastCommand)
{
    struct TEndingHost : TLinkEndingHost {
        int Ended = 0;
        void Step(const std::function<void()>& Body) override { Body(); }
        void LinkEnded() override { ++Ended; }
    };
    struct TCase {
        TLinkEnding::THow How;
        bool Answers;
    };
    for (const TCase C : {TCase{TLinkEnding::THow::TurnOff, true}, TCase{TLinkEnding::THow::Close, true},
                          TCase{TLinkEnding::THow::TurnOff, false}}) {
        SCOPED_TRACE(std::string(C.How == TLinkEnding::THow::TurnOff ? "turn-off" : "close") +
                     (C.Answers ? "" : ", no answer"));
        devsim::VeltracUnit Unit(FastUnit());
        if (!C.Answers) {
            devsim::Faults F;
            F.DropNamed = "off";
            F.DropNamedCount = -1;
            Unit.SetFaults(F);
        }
        Plug(Unit);
        TCorvex CX;
        CX.SetConfigType(cxctSTXb);
        CX.SetComNumber(Com);
        CX.Open();
        ASSERT_TRUE(WaitFor([&] { return CX.Connected() && CX.MaxLength() > 0; }, Short));
        TEndingHost Host;
        TLinkEnding Ending(CX, Host);
        // A question whose answer is still due: the last command waits for it.
        CX.RequestVersionInfo(false);
        Ending.Start(C.How);
        EXPECT_TRUE(Ending.Watching());
        ASSERT_TRUE(WaitFor([&] { return Host.Ended == 1; }, Short));
        const auto R = Unit.Report();
        EXPECT_EQ(Count(R, 0x0A), 1) << "the question went out before the last command";
        if (C.How == TLinkEnding::THow::TurnOff)
            EXPECT_EQ(R.TurnOffs, C.Answers ? 1 : 0);
        else
            EXPECT_EQ(R.EndOfConnections, 1);
        // Stopped watching; what it was ending stays until Stop.
        Ending.StopWatching();
        EXPECT_FALSE(Ending.Watching());
        EXPECT_TRUE(Ending.Ending());
        Ending.Stop();
        EXPECT_FALSE(Ending.Ending());
        CX.Close(true);
    }
}
