// The run record on its own: what a run's outcome says, the phases it times
// from what the session tells it, and what it counts as done again.
#include "app/RunRecord.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace
{

void Wait(int Ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
}

TUpdateOutcome End(TRunRecord& R, TOutcomeKind Kind, uint64_t SentNow = 0)
{
    TRunEnd At;
    At.SentNow = SentNow;
    At.LineRate = 57600;
    return R.End(Kind, "ended", At);
}

using TRepeat = TRunRecord::TRepeat;

} // namespace

TEST(RunRecord, TheOutcomeSaysWhatThisRunWroteAndRequired)
{
    TRunRecord R;
    R.Begin(100, "123456", "2.40");
    R.FirmwareTitle = "CX21 firmware 3.20";
    R.UnitFirmwareSent = true;
    R.Identified("123456", "2.41");
    R.Required = "NEW";
    TRunEnd At;
    At.ReceiverReported = "NEW";
    At.RequiredShown = "NEW";
    At.SentNow = 1100;
    TUpdateOutcome O = R.End(TOutcomeKind::UpToDate, "the receiver already runs \"NEW\"", At);
    EXPECT_EQ(O.Kind, TOutcomeKind::Updated);
    EXPECT_EQ(O.Message, "the unit's firmware went from 2.40 to 2.41 (CX21 firmware 3.20); the receiver already "
                         "runs \"NEW\"");
    EXPECT_EQ(O.BytesSent, 1000u);
    EXPECT_FALSE(R.Active);

    // The next run knows nothing of this one: no firmware, no required version of its own.
    R.Begin(1100);
    R.Identified("654321", "3.31");
    At.RequiredShown = "Update is not supported";
    O = R.End(TOutcomeKind::NotSupported, "no image", At);
    EXPECT_EQ(O.Kind, TOutcomeKind::NotSupported);
    EXPECT_EQ(O.FirmwareBefore, "3.31");
    EXPECT_FALSE(O.FirmwareWritten);
    EXPECT_EQ(O.ReceiverRequired, "");
    EXPECT_EQ(O.BytesSent, 0u);
}

// Waits stand for the device's time; only lower bounds hold on a loaded machine.
TEST(RunRecord, PhasesAreTimedFromWhatTheDeviceShowed)
{
    TRunRecord R;
    // A unit that pulls its own firmware, takes the image, and goes quiet
    // after its last logger status.
    R.Begin(0);
    R.FirmwareStarting("CX21 firmware 3.30");
    Wait(30);
    R.Identified("123456", "2.41");
    R.TransferStarting(TImageSource::Automatic, "OLD", 0);
    Wait(30);
    R.TransferDone(5000, 57600);
    R.ProgrammingSign();
    Wait(30);
    R.ProgrammingSign();
    Wait(50); // the quiet time that tells it ended
    R.ProgrammingEnded(true);
    R.ConfirmationDecided(true);
    TUpdateOutcome O = End(R, TOutcomeKind::Updated, 5000);
    TRunPhases P = O.Phases;
    ASSERT_TRUE(P.OwnFirmware && P.ReceiverTransfer && P.Programming && P.Confirmation);
    EXPECT_GE(*P.OwnFirmware, 0.03);
    EXPECT_EQ(*P.ReceiverTransfer, O.TransferSeconds);
    EXPECT_GE(*P.Programming, 0.03);
    EXPECT_GE(*P.Confirmation, 0.05) << "programming ended with the last logger status";
    EXPECT_EQ(P.Unfinished, TRunPhase::None);

    // The version the tool sent came before any evidence of programming's
    // end: the confirmation runs from the transfer's end. Interrupted
    // instead: programming runs to the run's end, unfinished.
    for (const bool Confirmed : {true, false}) {
        R.Begin(0);
        R.TransferStarting(TImageSource::Automatic, "OLD", 0);
        R.TransferDone(4000, 57600);
        Wait(30);
        if (Confirmed)
            R.ConfirmationDecided(true);
        P = End(R, Confirmed ? TOutcomeKind::Updated : TOutcomeKind::Interrupted, 4000).Phases;
        EXPECT_FALSE(P.OwnFirmware);
        const std::optional<double>& Measured = Confirmed ? P.Confirmation : P.Programming;
        ASSERT_TRUE(Measured) << Confirmed;
        EXPECT_GE(*Measured, 0.03);
        EXPECT_FALSE(Confirmed ? P.Programming : P.Confirmation);
        EXPECT_EQ(P.Unfinished, Confirmed ? TRunPhase::None : TRunPhase::Programming);
    }

    // Unplugged during the transfer; a refused image wrote nothing: no transfer.
    R.Begin(0);
    R.TransferStarting(TImageSource::Automatic, "OLD", 0);
    P = End(R, TOutcomeKind::PortError, 2000).Phases;
    EXPECT_TRUE(P.ReceiverTransfer && !P.Programming);
    EXPECT_EQ(P.Unfinished, TRunPhase::ReceiverTransfer);
    R.Begin(0);
    R.TransferStarting(TImageSource::Custom, "OLD", 0);
    P = End(R, TOutcomeKind::BadImage, 0).Phases;
    EXPECT_FALSE(P.ReceiverTransfer);
    EXPECT_EQ(P.Unfinished, TRunPhase::None);

    // A module found again after its status 02 in an earlier run: only the
    // confirmation is this run's; later evidence does not move its start.
    R.Begin(0, "00C0FFEE", "2.03");
    R.Resumed(TConfirmationStart{}, true);
    Wait(20);
    R.ProgrammingEnded();
    R.ConfirmationDecided(true);
    P = End(R, TOutcomeKind::Updated).Phases;
    EXPECT_FALSE(P.ReceiverTransfer || P.Programming);
    ASSERT_TRUE(P.Confirmation);
    EXPECT_GE(*P.Confirmation, 0.02);
}

TEST(RunRecord, RepeatsAreCountedWithinTheRunOnly)
{
    TRunRecord R;
    // A module whose first identify questions went unanswered, whose
    // controller asked for one block again, and which lost a receiver block.
    R.Begin(0);
    R.IdentifyStarting();
    R.Repeated(TRepeat::WakeUp);
    R.Repeated(TRepeat::WakeUp);
    R.FirmwareStarting();
    for (const int32_t Block : {-1, 191, 190, 190, 189}) // -1: the map
        R.FirmwareBlockServed(Block);
    R.IdentifyStarting(); // back on its new controller
    R.Repeated(TRepeat::Block);
    R.IdentifyStarting(); // after the last block
    TRunRepeats N = End(R, TOutcomeKind::Updated).Repeats;
    EXPECT_EQ(N.Records, 0);
    EXPECT_EQ(N.Blocks, 2);
    EXPECT_EQ(N.WakeUps, 2);
    EXPECT_EQ(N.Restarts, 2);
    R.Repeated(TRepeat::Record);
    EXPECT_EQ(R.Repeats.Records, 0) << "the run has ended";

    // A run that begins on a device already identified restarts with its
    // first identification; the unit back from its own firmware is another.
    R.Begin(0, "123456", "2.40");
    R.IdentifyStarting();
    R.Repeated(TRepeat::Record);
    R.UnitFirmwarePulled();
    N = End(R, TOutcomeKind::Updated).Repeats;
    EXPECT_EQ(N.Restarts, 2);
    EXPECT_EQ(N.Records, 1);
    EXPECT_EQ(N.WakeUps, 0);
}
