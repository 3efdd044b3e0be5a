// What a receiver's reported version means, as a table: the package's images
// in, the decision and the run's end out.
#include "app/ReceiverDecision.h"

#include <gtest/gtest.h>

using namespace ReceiverDecision;

namespace
{

const std::vector<std::string> Images{"AXN_1.0,1,MC-GG,1.0.bin", "AXN_2.0,2,MC-GG,2.0.bin", "AXN_1.0,1,MC-XY,1.0.bin",
                                      "EVA_1.0.bin"};

TAsk Asked(const std::string& Version, bool Auto = true)
{
    TAsk A;
    A.Version = Version;
    A.AutoUpdate = Auto;
    return A;
}

} // namespace

TEST(ReceiverDecision, TheImageForAReportedVersion)
{
    struct TRow {
        std::string Version, Image;
    };
    const TRow Rows[] = {
        {"AXN_0,0,MC-GG,0", "AXN_2.0,2,MC-GG,2.0.bin"}, // the last item of the receiver's type
        {"AXN_0,0,MC-GLA,0", "AXN_2.0,2,MC-GG,2.0.bin"},     // MC-GLA takes the MC-GG image
        {"AXN_0,0,MT33-1.MC-XY,0", "AXN_1.0,1,MC-XY,1.0.bin"}, // the MT33-1. prefix is no part of the type
        {"EVA_0.1,x+F", "EVA_1.0.bin"},
        {"EVA_0.1,x", ""}, // only a "+F" receiver takes the EVA image
        {"AXN_0,0,MC-ZZ,0", ""},
        {"GPS_1,2,MC-GG,1", ""},
        {"", ""},
    };
    for (const TRow& R : Rows)
        EXPECT_EQ(RequiredImage(Images, R.Version), R.Image) << R.Version;
}

TEST(ReceiverDecision, WhatAVersionMeansForTheRun)
{
    struct TRow {
        TAsk Ask;
        TWhat What;
        TOutcomeKind Kind;
        std::string Message, Required;
    };
    TAsk Recovery = Asked("AXN_1.0,1,MC-GG,1.0", false);
    Recovery.Source = TImageSource::Recovery;
    TAsk Custom = Asked("AXN_1.0,1,MC-GG,1.0", false);
    Custom.CustomPlanned = true;
    TAsk Incomplete = Asked("AXN_1.0,1,MC-GG,1.0", false);
    Incomplete.TransferIncomplete = true;
    TAsk AutoIncomplete = Asked("AXN_1.0,1,MC-GG,1.0");
    AutoIncomplete.TransferIncomplete = true;
    const TRow Rows[] = {
        {Asked("AXN_1.0,1,MC-GG,1.0"), TWhat::Send, TOutcomeKind::ManualFinished, "", "AXN_2.0,2,MC-GG,2.0"},
        {AutoIncomplete, TWhat::Send, TOutcomeKind::ManualFinished, "", "AXN_2.0,2,MC-GG,2.0"},
        {Asked("AXN_2.0,2,MC-GG,2.0"), TWhat::UpToDate, TOutcomeKind::UpToDate,
         "the receiver already runs \"AXN_2.0,2,MC-GG,2.0\"", "AXN_2.0,2,MC-GG,2.0"},
        {Asked("AXN_0,0,MC-ZZ,0"), TWhat::NotSupported, TOutcomeKind::NotSupported,
         "the tool has no image for the receiver's version \"AXN_0,0,MC-ZZ,0\"", ""},
        {Asked("AXN_1.0,1,MC-GG,1.0", false), TWhat::Manual, TOutcomeKind::ManualFinished,
         "automatic update is off; the receiver reports \"AXN_1.0,1,MC-GG,1.0\"", ""},
        {Recovery, TWhat::Manual, TOutcomeKind::ManualFinished, "automatic update is off, so no recovery is sent", ""},
        {Custom, TWhat::SendCustom, TOutcomeKind::ManualFinished, "", ""},
        {Incomplete, TWhat::Fail, TOutcomeKind::Failed,
         "the image did not reach the device completely; the receiver reports \"AXN_1.0,1,MC-GG,1.0\"", ""},
    };
    for (const TRow& R : Rows) {
        const TDecision D = Decide(R.Ask, Images);
        EXPECT_EQ(D.What, R.What) << R.Ask.Version;
        if (R.What != TWhat::Send && R.What != TWhat::SendCustom) {
            EXPECT_EQ(D.Kind, R.Kind) << R.Ask.Version;
            EXPECT_EQ(D.Message, R.Message);
        }
        EXPECT_EQ(D.Required, R.Required);
        EXPECT_EQ(D.Image.empty(), R.Required.empty());
    }
    EXPECT_EQ(NoImageFor("X").Kind, TOutcomeKind::NotSupported);
}

TEST(ReceiverDecision, RecoveryAndChosenImageChecks)
{
    EXPECT_TRUE(RecoveryPossible(true, ""));
    EXPECT_TRUE(RecoveryPossible(false, "2e1"));
    EXPECT_FALSE(RecoveryPossible(false, "2e5"));
    EXPECT_FALSE(RecoveryPossible(false, ""));
    // A module checks a chosen file's header; a unit takes any file.
    EXPECT_EQ(ImageProblem(true, std::string(447, 'x'), "short.bin"),
              "short.bin is shorter than the 448-byte header of a receiver image; nothing was sent");
    EXPECT_EQ(ImageProblem(true, std::string(448, 'x'), "long.bin"), "");
    EXPECT_EQ(ImageProblem(false, "x", "tiny.bin"), "");
}
