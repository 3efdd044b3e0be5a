// A receiver image chosen by the user ("Required version" double-click): sent
// to a connected unit, refused without a connection, and files that cannot be read.
#include "AppTestSupport.h"
#include "SessionFixture.h"
#include "tools/devsim/ReceiverImage.h"
#include "tools/devsim/VeltracUnit.h"

namespace
{

const std::string CustomVersion = "AXN_6.6_1513_20250101,6666,MC-1513,6.6";

} // namespace

TEST_F(SessionTest, CustomImageSentToTheUnit)
{
    auto C = FastUnit();
    C.Container = 'R';
    C.MaxLength = 200;
    C.HexType = 0x1234; // 196-byte records
    devsim::VeltracUnit Unit(C);
    Plug(Unit);
    auto S = NewSession({"/manual"});
    Open(*S, dtVeltrac);
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Short)) << Describe(*S);

    const std::string Image = devsim::MakeMediaTekImage(CustomVersion, 5000, 21);
    FileToChoose = WriteTempFile("My receiver image.bin", Image);
    S->SendImage();
    EXPECT_EQ(FileQuestions, 1);
    EXPECT_TRUE(Errors.empty());
    EXPECT_EQ(S->UpdateState(), TUpdateState::TransferStart);
    EXPECT_EQ(S->Display().vGPSNeeded, "My receiver image");
    EXPECT_EQ(S->Display().vGPSCurrent, Old1513);
    EXPECT_EQ(S->ImageName(), FileToChoose);
    ASSERT_EQ(S->UnitProcedure().Transfer().Records().size(), 26u); // 5000 bytes in 196-byte records
    EXPECT_EQ(S->UnitProcedure().Transfer().Records()[0].substr(0, 6), "65536 ");
    EXPECT_EQ(S->UnitProcedure().Transfer().Records()[1].substr(0, 6), "65732 ");

    ASSERT_TRUE(WaitFor(
        [&] { return S->UpdateState() == TUpdateState::Finished && Unit.Report().Programmings == 1; }, Long))
        << Describe(*S);
    EXPECT_EQ(Unit.Report().ProgrammedFrom, "raw image");
    EXPECT_TRUE(Unit.ReceiverImage() == Image);
    EXPECT_EQ(Unit.Report().EepromWrites, 26);
    EXPECT_EQ(S->Display().vGPSCurrent, CustomVersion);
    EXPECT_EQ(Unit.Report().TurnOffs, 0);
}

TEST_F(SessionTest, CustomImageWithoutAConnectionIsRefused)
{
    auto S = NewSession();
    const std::string Path = WriteTempFile("early.bin", devsim::MakeMediaTekImage(CustomVersion, 3000, 4));
    FileToChoose = Path;
    const TUpdateDisplay Before = S->Display();
    S->SendImage();
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_EQ(Errors[0], SessionText::NoUnitConnection);
    EXPECT_TRUE(S->Display() == Before);
    EXPECT_EQ(S->UpdateState(), TUpdateState::Idle);
    EXPECT_TRUE(S->UnitProcedure().Transfer().Records().empty());
    EXPECT_FALSE(S->UnitProcedure().Transfer().tWriteRetry.isActive());
    // The image is held for when the unit is there.
    EXPECT_EQ(S->ImageName(), Path);

    ASSERT_TRUE(S->SetDeviceType(dtExternalGPS));
    S->SendImage();
    ASSERT_EQ(Errors.size(), 2u);
    EXPECT_EQ(Errors[1], SessionText::NoModuleConnection);
    EXPECT_TRUE(S->ModuleProcedure().Transfer().Blocks().empty());
    EXPECT_TRUE(Exceptions.empty()) << "no write to a closed port";

    // Cancelling the dialog does nothing at all.
    FileToChoose.clear();
    S->SendImage();
    EXPECT_EQ(Errors.size(), 2u);
    EXPECT_EQ(FileQuestions, 3);
}

TEST_F(SessionTest, UnitConnectedButNotYetReportedIsNoConnection)
{
    auto C = FastUnit();
    C.EchoWakeup = false;
    devsim::VeltracUnit Unit(C);
    Plug(Unit);
    devsim::Faults F;
    F.DropNamed = "wakeup";
    F.DropNamedCount = -1; // never answers the wake-up
    Unit.SetFaults(F);
    auto S = NewSession();
    Open(*S, dtVeltrac);
    Pump(400);
    FileToChoose = WriteTempFile("early2.bin", devsim::MakeMediaTekImage(CustomVersion, 3000, 4));
    S->SendImage();
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_EQ(Errors[0], SessionText::NoUnitConnection);
    EXPECT_EQ(S->UpdateState(), TUpdateState::Idle);
    S->Close();
}

TEST_F(SessionTest, UnreadableFileLeavesNoImageName)
{
    auto C = FastUnit();
    C.ReceiverVersion = CurrentGG;
    devsim::VeltracUnit Unit(C);
    Plug(Unit);
    auto S = NewSession();
    Open(*S, dtVeltrac);
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Short)) << Describe(*S);
    EXPECT_EQ(S->ImageName(), CurrentGG + ".bin");
    S->Close();
    const TUpdateDisplay Before = S->Display();

    S->LoadCustomFirmware(ComDir() + "/no-such-file.bin");
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_EQ(Errors[0], "Unable to load firmware");
    // Only the status line changes: it says the image was refused.
    TUpdateDisplay After = S->Display();
    EXPECT_TRUE(After.Status.starts_with("Failed: ")) << After.Status;
    After.Status = Before.Status;
    After.StatusStep = Before.StatusStep;
    EXPECT_TRUE(After == Before);
    EXPECT_FALSE(S->Image().has_value());
    EXPECT_EQ(S->ImageName(), "");

    // The archive image is read again when it is asked for next time.
    Unit.SetReceiverVersion(CurrentGG);
    S->Open();
    ASSERT_TRUE(WaitFor([&] { return S->UpdateState() == TUpdateState::Finished; }, Short)) << Describe(*S);
    EXPECT_EQ(S->ImageName(), CurrentGG + ".bin");
    ASSERT_TRUE(S->Image().has_value());
    EXPECT_EQ(*S->Image(), ArchiveItem(S->Images().Archive(), CurrentGG + ".bin"));

    // A folder is no file either.
    S->LoadCustomFirmware(ComDir());
    EXPECT_EQ(Errors.size(), 2u);
    EXPECT_EQ(S->ImageName(), "");
}

TEST_F(SessionTest, SameFileIsNotReadAgain)
{
    auto S = NewSession();
    const std::string First = devsim::MakeMediaTekImage(CustomVersion, 3000, 1);
    const std::string Path = WriteTempFile("same.bin", First);
    S->LoadCustomFirmware(Path); // refused (no unit), but held
    WriteTempFile("same.bin", devsim::MakeMediaTekImage(CustomVersion, 4000, 2));
    S->LoadCustomFirmware(Path);
    ASSERT_TRUE(S->Image().has_value());
    EXPECT_TRUE(*S->Image() == First);
    EXPECT_EQ(Errors.size(), 2u);
}
