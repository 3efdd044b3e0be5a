// The run record on its own: what a run's outcome says.
#include "app/RunRecord.h"

#include <gtest/gtest.h>

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
