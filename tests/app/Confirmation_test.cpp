// The confirmation's evidence rules on their own: what a version read after a
// transfer decides.
#include "app/Confirmation.h"
#include "tests/common/QtWait.h"

#include <gtest/gtest.h>

namespace
{

// Counts what the confirmation reports.
struct THost {
    int Expired = 0, Quiet = 0;
    void Watch(TConfirmation& C)
    {
        C.OnExpired = [this] { ++Expired; };
        C.OnQuiet = [this] { ++Quiet; };
    }
};

TConfirmationStart Started(TImageSource Source, const std::string& Before, const std::string& Expected,
                           bool Certain = true)
{
    TConfirmationStart C;
    C.Certain = Certain;
    C.Source = Source;
    C.DeviceID = "123456";
    C.Before = Before;
    C.Expected = Expected;
    C.Shown = Expected.empty() ? "custom" : Expected;
    return C;
}

using V = TConfirmation::TVerdict;

} // namespace

TEST(Confirmation, AVersionDecidesOnlyOnEvidence)
{
    THost Host;
    TConfirmation C;
    Host.Watch(C);

    // The version the tool sent, which the receiver did not run before, confirms at once.
    C.Start(Started(TImageSource::Automatic, "OLD", "NEW"));
    EXPECT_EQ(C.Judge(""), V::Undecided);
    EXPECT_EQ(C.Judge("OLD"), V::Undecided);
    EXPECT_EQ(C.Judge("NEW"), V::Confirmed);

    // A recovery whose version the receiver reported before: only evidence
    // decides. Logger status before the acknowledgement of 65352 := 1 is none.
    C.Start(Started(TImageSource::Recovery, "NEW", "NEW"));
    EXPECT_FALSE(C.LoggerStatus(10, 10));
    EXPECT_EQ(C.Judge("NEW"), V::Undecided);
    C.ProgramAcknowledged();
    EXPECT_FALSE(C.LoggerStatus(3, 10));
    EXPECT_TRUE(C.ProgramRan());
    EXPECT_EQ(C.Judge("NEW"), V::Undecided);
    EXPECT_TRUE(C.LoggerStatus(10, 10)); // the total reached: programming ended
    EXPECT_EQ(C.Judge("NEW"), V::Confirmed);

    // After evidence, another version than the one sent is a failure.
    C.Start(Started(TImageSource::Automatic, "OLD", "NEW"));
    C.ProgramAcknowledged();
    C.LoggerStatus(10, 10);
    EXPECT_EQ(C.Judge("OTHER"), V::WrongVersion);

    // A custom image of the version the receiver runs: confirmed once the
    // module's status 02 is followed by a fresh identification.
    C.Start(Started(TImageSource::Custom, "OLD", ""));
    EXPECT_FALSE(C.ModuleIdentified());
    EXPECT_EQ(C.Judge("OLD"), V::Undecided);
    C.ModuleStatus02();
    EXPECT_TRUE(C.ModuleIdentified());
    EXPECT_EQ(C.Judge("OLD"), V::Confirmed);

    // An answer that changes while watched shows a reprogrammed receiver.
    C.Start(Started(TImageSource::Custom, "OLD", ""));
    EXPECT_EQ(C.Judge("OLD"), V::Undecided);
    EXPECT_EQ(C.Judge("CUSTOM"), V::Confirmed);
}

TEST(Confirmation, AQuietUnitHasEndedAndTheExpirySaysWhatWasSeen)
{
    THost Host;
    TConfirmation C;
    Host.Watch(C);
    C.SetQuietTime(50);
    C.SetTimeout(60000);
    C.Start(Started(TImageSource::Automatic, "OLD", "NEW"));
    C.ProgramAcknowledged();
    C.LoggerStatus(1, 10);
    ASSERT_TRUE(WaitFor([&] { return Host.Quiet == 1; }, 5000));
    EXPECT_EQ(C.Judge("OLD"), V::WrongVersion);

    C.Start(Started(TImageSource::Automatic, "OLD", "NEW"));
    C.ProgramAcknowledged();
    C.LoggerStatus(10, 10);
    C.Judge("OLD");
    TConfirmation::TExpiry E = C.Expire(true);
    EXPECT_FALSE(C.Active());
    EXPECT_EQ(E.What, TConfirmation::TExpiry::TWhat::NotConfirmed);
    EXPECT_EQ(E.Message, "the device programmed the image, but the receiver did not report the new version "
                         "within 60 s: it reported \"OLD\" before and last reported \"OLD\" 0 s ago");

    // The last part unanswered and the old version kept: the archive's image
    // is decided again (when the device is idle), a chosen one has failed.
    C.Start(Started(TImageSource::Automatic, "OLD", "NEW", false));
    C.Judge("OLD");
    E = C.Expire(true);
    EXPECT_EQ(E.What, TConfirmation::TExpiry::TWhat::DecideAgain);
    EXPECT_EQ(E.Version, "OLD");
    C.Start(Started(TImageSource::Automatic, "", "NEW", false));
    E = C.Expire(true);
    EXPECT_EQ(E.Message, "the image was sent, but the device gave no sign within 30 s that its receiver was "
                         "programmed: it reported no version before and reports no version now");
    C.Start(Started(TImageSource::Custom, "OLD", "", false));
    E = C.Expire(true);
    EXPECT_EQ(E.What, TConfirmation::TExpiry::TWhat::Failed);
    EXPECT_EQ(E.Message, "the image did not reach the device completely; the receiver reports no version");
    EXPECT_EQ(Host.Expired, 0) << "Expire is the host's answer to the timer, not a second report";
}

TEST(Confirmation, AKeptConfirmationGoesOnOnlyForTheSameDevice)
{
    THost Host;
    TConfirmation C;
    Host.Watch(C);
    C.Start(Started(TImageSource::Automatic, "OLD", "NEW"));
    C.Suspend();
    C.Stop();
    EXPECT_TRUE(C.Suspended());
    EXPECT_FALSE(C.Resume("654321", true)) << "another unit";
    EXPECT_FALSE(C.Suspended()) << "a kept confirmation is offered once";

    C.Start(Started(TImageSource::Automatic, "OLD", "NEW"));
    C.Suspend();
    C.Stop();
    ASSERT_TRUE(C.Resume("123456", true));
    EXPECT_TRUE(C.Active());
    // The unit had acknowledged 65352 := 1 before its link was lost.
    EXPECT_TRUE(C.LoggerStatus(10, 10));
    EXPECT_EQ(C.Judge("OLD"), V::WrongVersion);
}
