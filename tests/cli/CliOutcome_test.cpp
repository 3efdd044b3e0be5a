// Reading the end of a run from the sequence of displays the session shows.
// The sequences are the ones the session produces for each flow; the
// end-to-end runs against devsim check that they really do.
#include "app/cli/CliOutcome.h"

#include <gtest/gtest.h>

namespace
{

const std::string Old = "AXN_3.8_3333_15043022,3424,MC-GG,1.0";
const std::string New = "AXN_5.1.9_3333_23110100,5110,MC-GG,1.1";

TUpdateDisplay Unit(uint8_t State)
{
    TUpdateDisplay D;
    D.DeviceType = dtVeltrac;
    D.DeviceTypeLocked = true;
    D.vUnitID = "123456";
    D.vVersion = "2.40";
    D.vVersionInfo = "2e5";
    D.UpdateState = State;
    return D;
}

TUpdateDisplay Module(uint8_t State)
{
    TUpdateDisplay D;
    D.DeviceType = dtExternalGPS;
    D.DeviceTypeLocked = true;
    D.vUnitID = "00C0FFEE";
    D.vVersion = "2.10";
    D.vClass = "EGPS-3339";
    D.UpdateState = State;
    return D;
}

TUpdateDisplay WithVersions(TUpdateDisplay D, const std::string& Current, const std::string& Needed)
{
    D.vGPSCurrent = Current;
    D.vGPSNeeded = Needed;
    return D;
}

TUpdateDisplay WithCursor(TUpdateDisplay D, int Position, int Maximum)
{
    D.pUpdateProgress.SetMaximum(Maximum);
    D.pUpdateProgress.SetPosition(Position);
    return D;
}

// Feeds the displays and returns the decision after the last one. With
// Image the first display that is ready for a custom image is where the front
// end sends it instead of deciding, as the front end does.
std::optional<TDecision> Feed(TRunHistory& H, const std::vector<TUpdateDisplay>& Displays, bool Auto = true,
                              bool Image = false)
{
    std::optional<TDecision> D;
    for (const TUpdateDisplay& X : Displays) {
        EXPECT_FALSE(D.has_value()) << "decided before the last display: " << D->Message;
        H.Observe(X);
        if (Image && ReadyForCustomImage(X, true, false)) {
            Image = false;
            continue;
        }
        D = DecideOutcome(H, X, Auto);
    }
    EXPECT_FALSE(Image) << "the image was never sent";
    return D;
}

} // namespace

TEST(CliOutcome, UnitUpdateThroughAllStates)
{
    TRunHistory H(false);
    const auto D =
        Feed(H, {TUpdateDisplay(), Unit(0), WithVersions(Unit(1), Old, New), WithVersions(Unit(3), Old, New),
                 WithVersions(Unit(3), Old, New), WithVersions(Unit(4), New, New)});
    ASSERT_TRUE(D);
    EXPECT_EQ(D->Outcome, TOutcome::Updated);
    EXPECT_TRUE(D->UnitTurnedOff);
    EXPECT_NE(D->Message.find(New), std::string::npos);
    EXPECT_TRUE(H.TransferCompleted());
}

TEST(CliOutcome, UnitAlreadyUpToDateIsTurnedOff)
{
    TRunHistory H(false);
    const auto D = Feed(H, {Unit(0), WithVersions(Unit(4), New, New)});
    ASSERT_TRUE(D);
    EXPECT_EQ(D->Outcome, TOutcome::UpToDate);
    EXPECT_TRUE(D->UnitTurnedOff);
    EXPECT_FALSE(H.TransferStarted());
}

TEST(CliOutcome, ModuleUpToDateIsNotTurnedOff)
{
    TRunHistory H(true);
    const auto D = Feed(H, {Module(0), WithVersions(Module(4), New, New)});
    ASSERT_TRUE(D);
    EXPECT_EQ(D->Outcome, TOutcome::UpToDate);
    EXPECT_FALSE(D->UnitTurnedOff);
}

TEST(CliOutcome, UnitWithoutReceiverUpdates)
{
    // The session keeps asking the unit; the answer will not change.
    TRunHistory H(false);
    const auto D = Feed(H, {Unit(0), WithVersions(Unit(0), SessionText::NotSupported, "")});
    ASSERT_TRUE(D);
    EXPECT_EQ(D->Outcome, TOutcome::NotSupported);
    EXPECT_FALSE(D->UnitTurnedOff);
}

TEST(CliOutcome, ReceiverWithoutImage)
{
    TRunHistory H(true);
    const auto D =
        Feed(H, {Module(0), WithVersions(Module(4), "AXN_1.0,1,MC-NONE,1", SessionText::NotSupported)});
    ASSERT_TRUE(D);
    EXPECT_EQ(D->Outcome, TOutcome::NotSupported);
    EXPECT_NE(D->Message.find("MC-NONE"), std::string::npos);
}

TEST(CliOutcome, UnknownVersionAfterProgrammingIsAFailure)
{
    TRunHistory H(false);
    const auto D = Feed(H, {Unit(0), WithVersions(Unit(1), Old, New), WithVersions(Unit(3), Old, New),
                            WithVersions(Unit(4), "AXN", SessionText::NotSupported)});
    ASSERT_TRUE(D);
    EXPECT_EQ(D->Outcome, TOutcome::Failed);
}

TEST(CliOutcome, ManualModeEndsWhenTheVersionIsRead)
{
    TRunHistory H(false);
    const auto D = Feed(H, {Unit(0), WithVersions(Unit(4), Old, "")}, false);
    ASSERT_TRUE(D);
    EXPECT_EQ(D->Outcome, TOutcome::ManualFinished);
    EXPECT_NE(D->Message.find(Old), std::string::npos);
}

TEST(CliOutcome, CustomImageThroughTheUnit)
{
    TRunHistory H(false);
    const auto D =
        Feed(H,
             {Unit(0), WithVersions(Unit(4), Old, ""), WithVersions(Unit(1), Old, "custom"),
              WithVersions(Unit(3), Old, "custom"), WithVersions(Unit(4), "AXN_9,1,MC-GG,1", "custom")},
             false, true);
    ASSERT_TRUE(D);
    EXPECT_EQ(D->Outcome, TOutcome::Updated);
    EXPECT_NE(D->Message.find("AXN_9,1,MC-GG,1"), std::string::npos);
}

TEST(CliOutcome, CustomImageCutShortIsNotAnUpdate)
{
    // Writing records (state 1) and starting over: the unit never programmed.
    TRunHistory H(false);
    const auto D = Feed(H,
                        {Unit(0), WithVersions(Unit(4), Old, ""), WithVersions(Unit(1), Old, "custom"),
                         Unit(0), WithVersions(Unit(4), Old, "")},
                        false, true);
    ASSERT_TRUE(D);
    EXPECT_EQ(D->Outcome, TOutcome::Failed);
}

TEST(CliOutcome, ModuleTransferEndsWithTheLastBlockAccepted)
{
    // The last acknowledgement restarts the connection in the same step, and
    // several statuses may be handled in one: no display shows the cursor at
    // the end. The raw acknowledgement of the last block's status does.
    TRunHistory H(true);
    for (const TUpdateDisplay& D :
         {Module(0), WithVersions(Module(4), Old, ""), WithCursor(WithVersions(Module(1), Old, "c"), 0, 5),
          WithCursor(WithVersions(Module(3), Old, "c"), 1, 5)})
        H.Observe(D);
    // Statuses of blocks 1..3 accepted; the display jumps from block 1 to a fresh start.
    for (int Block = 1; Block <= 3; ++Block)
        H.ModuleStatusAcknowledged(WithCursor(WithVersions(Module(3), Old, "c"), Block, 5));
    EXPECT_FALSE(H.TransferCompleted());
    H.ModuleStatusAcknowledged(WithCursor(WithVersions(Module(3), Old, "c"), 4, 5));
    EXPECT_TRUE(H.TransferCompleted());
    const auto D =
        Feed(H, {TUpdateDisplay(), Module(0), WithVersions(Module(4), "AXN_9,1,MC-GG,1", "")}, false);
    ASSERT_TRUE(D);
    EXPECT_EQ(D->Outcome, TOutcome::Updated);
}

TEST(CliOutcome, ModuleTransferRefusedAtTheLastBlock)
{
    // Status 02 for the last block restarts the connection without an
    // acknowledgement: the display sequence is the same as for success.
    TRunHistory H(true);
    const auto D = Feed(H,
                        {Module(0), WithVersions(Module(4), Old, ""),
                         WithCursor(WithVersions(Module(1), Old, "c"), 0, 5),
                         WithCursor(WithVersions(Module(3), Old, "c"), 4, 5), TUpdateDisplay(), Module(0),
                         WithVersions(Module(4), Old, "")},
                        false, true);
    ASSERT_TRUE(D);
    EXPECT_EQ(D->Outcome, TOutcome::Failed);
    EXPECT_FALSE(H.TransferCompleted());
}

TEST(CliOutcome, AcknowledgementsOutsideATransferCountForNothing)
{
    TRunHistory Unit(false);
    Unit.ModuleStatusAcknowledged(WithCursor(WithVersions(Module(3), Old, "c"), 4, 5));
    EXPECT_FALSE(Unit.TransferCompleted());
    TRunHistory M(true);
    // "R" 01 is acknowledged before state 3, with the cursor at 0.
    M.ModuleStatusAcknowledged(WithCursor(WithVersions(Module(2), Old, "c"), 0, 2));
    M.ModuleStatusAcknowledged(WithCursor(WithVersions(Module(1), Old, "c"), 1, 2));
    EXPECT_FALSE(M.TransferCompleted());
}

TEST(CliOutcome, ModuleAutomaticUpdateConfirmedByVersion)
{
    TRunHistory H(true);
    const auto D = Feed(H, {Module(0), WithCursor(WithVersions(Module(1), Old, New), 0, 5),
                            WithCursor(WithVersions(Module(3), Old, New), 2, 5), TUpdateDisplay(), Module(0),
                            WithVersions(Module(4), New, New)});
    ASSERT_TRUE(D);
    EXPECT_EQ(D->Outcome, TOutcome::Updated);
}

TEST(CliOutcome, UnitFirmwareUpdateIsReported)
{
    TRunHistory H(false);
    TUpdateDisplay Pulling = Unit(6);
    Pulling.vGPSCurrent = SessionText::UpdatingUnit + "CX21 firmware 3.30";
    TUpdateDisplay Back = Unit(0);
    Back.vVersion = "2.41";
    TUpdateDisplay Done = WithVersions(Back, New, New);
    Done.UpdateState = 4;
    const auto D = Feed(H, {Unit(0), Pulling, TUpdateDisplay(), Back, Done});
    ASSERT_TRUE(D);
    // The receiver was current, but the unit was changed: not "up to date".
    EXPECT_EQ(D->Outcome, TOutcome::Updated);
    EXPECT_TRUE(H.UnitFirmwareUpdated());
    EXPECT_EQ(H.UnitFirmwareTitle(), "CX21 firmware 3.30");
    EXPECT_NE(D->Message.find("from 2.40 to 2.41 (CX21 firmware 3.30)"), std::string::npos) << D->Message;
}

TEST(CliOutcome, ControllerUpdateIsReported)
{
    TRunHistory H(true);
    TUpdateDisplay OldController = Module(5);
    OldController.vVersion = "1.99";
    const auto D = Feed(H, {OldController, TUpdateDisplay(), Module(0), WithVersions(Module(4), New, New)});
    ASSERT_TRUE(D);
    EXPECT_EQ(D->Outcome, TOutcome::Updated);
    EXPECT_NE(D->Message.find("from 1.99 to 2.10"), std::string::npos) << D->Message;
}

TEST(CliOutcome, NothingDecidedWhileRunning)
{
    TRunHistory H(false);
    for (uint8_t S : {0, 1, 2, 3, 5, 6}) {
        const TUpdateDisplay D = WithVersions(Unit(S), Old, New);
        H.Observe(D);
        EXPECT_FALSE(DecideOutcome(H, D, true)) << int(S);
    }
}

TEST(CliOutcome, WhenTheDoubleClickComes)
{
    // Custom image: once the version is read (manual mode ends in state 4),
    // or at once for a unit whose receiver cannot report it.
    EXPECT_TRUE(ReadyForCustomImage(WithVersions(Unit(4), Old, ""), true, false));
    EXPECT_FALSE(ReadyForCustomImage(WithVersions(Unit(4), Old, ""), false, false));
    EXPECT_FALSE(ReadyForCustomImage(Unit(0), true, false));
    EXPECT_TRUE(ReadyForCustomImage(Unit(0), true, true));
    EXPECT_FALSE(ReadyForCustomImage(TUpdateDisplay(), true, true));
    EXPECT_FALSE(ReadyForCustomImage(Module(0), true, true));

    // Recovery: a unit only when its receiver is silent; a module once identified.
    EXPECT_TRUE(ReadyForRecovery(Unit(0), true, true));
    EXPECT_FALSE(ReadyForRecovery(Unit(0), true, false));
    EXPECT_FALSE(ReadyForRecovery(Unit(6), true, true));
    EXPECT_TRUE(ReadyForRecovery(Module(0), true, false));
    EXPECT_FALSE(ReadyForRecovery(WithVersions(Module(0), Old, ""), true, false));
    EXPECT_FALSE(ReadyForRecovery(Module(5), true, false));
    EXPECT_FALSE(ReadyForRecovery(Module(0), false, false));
}
