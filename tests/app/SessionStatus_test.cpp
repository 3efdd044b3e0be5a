// The status line's texts, from the display and the session's facts.
#include "app/SessionStatus.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{

TUpdateDisplay Unit(TUpdateState State)
{
    TUpdateDisplay D;
    D.ComNumber = 5;
    D.UpdateState = State;
    D.vUnitID = "123456";
    D.vVersion = "2.40";
    D.vGPSCurrent = "AXN_3.8";
    return D;
}

TStatusFacts Open()
{
    TStatusFacts F;
    F.PortOpen = true;
    F.RunActive = true;
    return F;
}

} // namespace

TEST(SessionStatus, SaysWhatTheSessionDoesStepByStep)
{
    TStatusFacts Closed;
    EXPECT_EQ(SessionStatus(TUpdateDisplay(), Closed).Text,
              "Choose the device type and the port, then press Open.");

    TUpdateDisplay D;
    D.ComNumber = 5;
    EXPECT_EQ(SessionStatus(D, Open()).Text, "Waking the unit on COM 5...");
    TStatusFacts Silent = Open();
    Silent.SilentSeconds = 30;
    EXPECT_EQ(SessionStatus(D, Silent).Text,
              "No answer on COM 5 for 30 s: is the unit powered and connected to this port?");
    D.DeviceType = dtExternalGPS;
    EXPECT_EQ(SessionStatus(D, Open()).Text, "Calling the module on COM 5...");
    EXPECT_EQ(SessionStatus(D, Silent).Text,
              "No answer on COM 5 for 30 s: is the module powered and connected to this port?");

    D = Unit(TUpdateState::Idle);
    D.vGPSCurrent.clear();
    EXPECT_EQ(SessionStatus(D, Open()).Text, "Reading the receiver's version...");

    // The running count is in the text, not in the step.
    D = Unit(TUpdateState::TransferStart);
    D.pSendProgress.SetMaximum(2457);
    D.pSendProgress.SetPosition(1158);
    TSessionStatus S = SessionStatus(D, Open());
    EXPECT_EQ(S.Text, "Writing the image into the unit: 1,158 of 2,457 records");
    EXPECT_EQ(S.Step, "Writing the image into the unit...");

    D = Unit(TUpdateState::Busy);
    D.DeviceType = dtExternalGPS;
    D.pUpdateProgress.SetMaximum(512);
    D.pUpdateProgress.SetPosition(12);
    EXPECT_EQ(SessionStatus(D, Open()).Text, "Sending the image to the module: 12 of 512 blocks");
    D.Confirming = true;
    EXPECT_EQ(SessionStatus(D, Open()).Text,
              "The module programs its receiver; confirming the new version...");

    // The unit programs (with its percentage once it reports one), then is asked for its version.
    D = Unit(TUpdateState::Busy);
    D.Confirming = true;
    D.pUpdateProgress.SetPosition(0);
    EXPECT_EQ(SessionStatus(D, Open()).Text, "The unit programs its receiver...");
    D.pUpdateProgress.SetMaximum(2048);
    D.pUpdateProgress.SetPosition(1024);
    S = SessionStatus(D, Open());
    EXPECT_EQ(S.Text, "The unit programs its receiver: 50%") << "as the progress box writes it";
    EXPECT_EQ(S.Step, "The unit programs its receiver...");
    D.pUpdateProgress.SetPosition(2048);
    EXPECT_EQ(SessionStatus(D, Open()).Text, "Confirming the new version...");
}

TEST(SessionStatus, AnEndedRunShowsItsOutcomeUntilTheNextBegins)
{
    TUpdateOutcome O;
    O.Message = "the receiver was updated to \"X\"";
    TStatusFacts F;
    F.Outcome = &O;
    const std::pair<TOutcomeKind, const char*> Expected[] = {
        {TOutcomeKind::Updated, "Finished: "},
        {TOutcomeKind::UpToDate, "Finished: "},
        {TOutcomeKind::NotSupported, "Finished: "},
        {TOutcomeKind::ManualFinished, "Finished: "},
        {TOutcomeKind::NotConfirmed, "Sent, not confirmed: "},
        {TOutcomeKind::Interrupted, "Stopped: "},
        {TOutcomeKind::Failed, "Failed: "},
        {TOutcomeKind::PortError, "Failed: "},
        {TOutcomeKind::BadImage, "Failed: "},
        {TOutcomeKind::TimedOut, "Failed: "}};
    for (const auto& [Kind, Prefix] : Expected) {
        O.Kind = Kind;
        EXPECT_EQ(SessionStatus(TUpdateDisplay(), F).Text, Prefix + O.Message) << OutcomeName(Kind);
    }
    // A new run (the port open again) says what it does, not how the last one ended.
    F.RunActive = true;
    F.PortOpen = true;
    TUpdateDisplay D;
    D.ComNumber = 5;
    EXPECT_EQ(SessionStatus(D, F).Text, "Waking the unit on COM 5...");
}

// What an unplugged device means for its receiver depends on when it went.
TEST(SessionStatus, ADisappearedPortSaysWhatItMeansForTheReceiver)
{
    struct TCase {
        bool Module, Confirming;
        TUpdateState State;
        std::string Expect;
    };
    const std::vector<TCase> Cases = {
        {false, true, TUpdateState::Busy,
         "COM 5 disappeared while the receiver was being programmed: it may still be programming; plug the "
         "unit in again and press Open to follow it to the end"},
        {false, false, TUpdateState::TransferStart,
         "COM 5 disappeared during the receiver transfer: the receiver was not programmed; plug the unit in "
         "and press Open"},
        {true, false, TUpdateState::Busy,
         "COM 5 disappeared during the receiver transfer: the receiver was not programmed; plug the module in "
         "and press Open"},
        {true, false, TUpdateState::ModuleWaiting,
         "COM 5 disappeared during the receiver transfer: the receiver was not programmed; plug the module in "
         "and press Open"},
        {false, false, TUpdateState::UnitFirmware,
         "COM 5 disappeared during the update of the unit's own firmware: plug the unit in and press Open to "
         "update it again"},
        {true, false, TUpdateState::ModuleFirmware,
         "COM 5 disappeared during the update of the module's controller: plug the module in and press Open "
         "to update it again"},
        // A unit in state 3 without a confirmation has not been sent 65352 := 1 yet.
        {false, false, TUpdateState::Busy, "COM 5 disappeared: plug the unit in and press Open"},
        {true, false, TUpdateState::Idle, "COM 5 disappeared: plug the module in and press Open"},
    };
    for (const TCase& C : Cases)
        EXPECT_EQ(SessionText::Disappeared("COM 5", C.Module, C.Confirming, C.State), C.Expect);
    // The command line has no button; a station takes the device up by itself.
    EXPECT_EQ(SessionText::Disappeared("COM 5", false, true, TUpdateState::Busy, TNextStep::RunAgain),
              "COM 5 disappeared while the receiver was being programmed: it may still be programming; plug the "
              "unit in again and run the command to follow it to the end");
    EXPECT_EQ(SessionText::Disappeared("COM 5", false, true, TUpdateState::Busy, TNextStep::StationFollows),
              "COM 5 disappeared while the receiver was being programmed: it may still be programming; plug the "
              "unit in again: the station follows it to the end");
    EXPECT_EQ(SessionText::Disappeared("COM 5", true, false, TUpdateState::Busy, TNextStep::StationFollows),
              "COM 5 disappeared during the receiver transfer: the receiver was not programmed; plug the module "
              "in: the station updates it");
    EXPECT_EQ(SessionText::Interrupted("interrupted by SIGINT", true, TNextStep::RunAgain).find("press"),
              std::string::npos);
}
