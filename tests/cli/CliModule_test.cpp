// veltrac-gnss-update-cli --device egps against a simulated External GPS module.
#include "CliTest.h"
#include "app/UpdateSession.h"
#include "tools/devsim/GpsModule.h"
#include "tools/devsim/ReceiverImage.h"

#include <gtest/gtest.h>
#include <memory>

using namespace devsim;

namespace
{

constexpr int Wait = 60000;

class CliModule : public ::testing::Test
{
  protected:
    void Plug(const ModuleConfig& C)
    {
        Module = std::make_unique<GpsModule>(C);
        ASSERT_TRUE(Module->Ok()) << Module->Error();
        std::string Error;
        ASSERT_TRUE(Module->PlugAs(6, Dir.Path, &Error)) << Error;
    }
    TCliResult Run(std::vector<std::string> Args)
    {
        Args.insert(Args.begin(), {"--device", "egps", "--port", "COM6", "--timeout", "120"});
        return RunCli(Args, Dir.Path, Wait);
    }

    TTempDir Dir;
    TTempDir Files;
    std::unique_ptr<GpsModule> Module;
};

} // namespace

TEST_F(CliModule, ControllerFirstThenTheReceiver)
{
    ASSERT_FALSE(Archive().Image.empty());
    ModuleConfig C = QuickModule();
    C.VersionMajor = 1;
    C.VersionMinor = 99;
    Plug(C);
    const TCliResult R = Run({});
    EXPECT_EQ(R.ExitCode, 0) << R.Out << R.Err;
    EXPECT_NE(R.Out.find("Module 00C0FFEE: controller 1.99, EGPS-3339"), std::string::npos) << R.Out;
    EXPECT_NE(R.Out.find("State 5: updating the module's controller firmware"), std::string::npos) << R.Out;
    // The module reports the version of the controller firmware it received.
    EXPECT_NE(R.Out.find("the module's controller went from 1.99 to 2.03"), std::string::npos) << R.Out;
    const ModuleReport M = Module->Report();
    EXPECT_EQ(M.ControllerUpdates, 1);
    EXPECT_EQ(M.Programmings, 1);
    EXPECT_TRUE(Module->ReceiverImage() == Archive().Image);
}

// Firmware written is an update; a controller found in its loader had no version before.
TEST_F(CliModule, ControllerServedFromItsLoaderIsAnUpdate)
{
    ModuleConfig C = QuickModule();
    C.StartInLoader = true;
    C.VersionMajor = 1;
    C.VersionMinor = 50;
    C.ReceiverVersion = Archive().Required;
    Plug(C);
    const TCliResult R = Run({"--json"});
    EXPECT_EQ(R.ExitCode, 0) << R.Out << R.Err;
    const auto J = JsonLines(R.Out);
    ASSERT_FALSE(J.empty());
    const QJsonObject& Result = J.back();
    EXPECT_EQ(Result.value("result").toString(), "updated");
    EXPECT_TRUE(Result.value("firmware_before").isNull());
    EXPECT_EQ(Result.value("firmware_after").toString(), "2.03");
    EXPECT_TRUE(Result.value("firmware_written").toBool());
    EXPECT_TRUE(Result.value("message").toString().startsWith("the module's controller was given its firmware"))
        << R.Out;
    EXPECT_EQ(Module->Report().Transfers, 0);
}

TEST_F(CliModule, AlreadyUpToDate)
{
    ModuleConfig C = QuickModule();
    C.ReceiverVersion = Archive().Required;
    Plug(C);
    const TCliResult R = Run({"--json"});
    EXPECT_EQ(R.ExitCode, 3) << R.Out << R.Err;
    const auto J = JsonLines(R.Out);
    ASSERT_FALSE(J.empty());
    EXPECT_EQ(J.back().value("result").toString(), "up-to-date");
    EXPECT_EQ(Module->Report().Transfers, 0);
}

TEST_F(CliModule, CustomImage)
{
    const std::string Version = "AXN_9.9_1234_25010100,9999,MC-TEST,1.0";
    const std::string Image = MakeMediaTekImage(Version, 9000, 5);
    // The tool cannot know a chosen file's version: the module shows it
    // programmed it when its answer changes from the old version to the new.
    ModuleConfig C = QuickModule();
    C.AnswerWhileProgramming = BusyAnswer::OldVersion;
    C.ProgrammingMs = 1500;
    Plug(C);
    const TCliResult R = Run({"--image", Files.File("m.bin", Image)});
    EXPECT_EQ(R.ExitCode, 0) << R.Out << R.Err;
    EXPECT_TRUE(Module->ReceiverImage() == Image);
    EXPECT_NE(R.Out.find("Finished: the receiver was updated to \"" + Version + "\""),
              std::string::npos)
        << R.Out;
}

TEST_F(CliModule, CustomImageRefusedByTheModule)
{
    Plug(QuickModule());
    Faults F;
    F.RefuseWrites = 1; // every block answered with status 02
    Module->SetFaults(F);
    const TCliResult R =
        Run({"--image", Files.File("m.bin", MakeMediaTekImage("AXN_9.9,9,MC-TEST,1", 9000, 5))});
    EXPECT_EQ(R.ExitCode, 1) << R.Out << R.Err;
    EXPECT_NE(R.Err.find("the module refused the image (status 02); the receiver was not programmed"),
              std::string::npos)
        << R.Err;
    EXPECT_EQ(Module->Report().Programmings, 0);
    EXPECT_GE(Module->Report().BlocksRefused, 1);
}

TEST_F(CliModule, ImagesThatAreNotReceiverImages)
{
    Plug(QuickModule());
    // A file with no MediaTek header: the session sends nothing.
    const TCliResult Plain = Run({"--image", Files.File("plain.bin", std::string(4096, 'x'))});
    EXPECT_EQ(Plain.ExitCode, 8) << Plain.Out << Plain.Err;
    EXPECT_NE(Plain.Out.find("is not a MediaTek receiver image"), std::string::npos) << Plain.Out;
    // Shorter than the header: the session's own error.
    const TCliResult Short = Run({"--image", Files.File("short.bin", "MTKGPS")});
    EXPECT_EQ(Short.ExitCode, 8) << Short.Out << Short.Err;
    EXPECT_NE(Short.Err.find("448-byte header"), std::string::npos) << Short.Err;
    EXPECT_EQ(Module->Report().Transfers, 0);
}

TEST_F(CliModule, RecoveryOfASilentReceiver)
{
    ModuleConfig C = QuickModule();
    C.ReceiverReadable = false;
    Plug(C);
    const TCliResult R = Run({"--recovery"});
    EXPECT_EQ(R.ExitCode, 0) << R.Out << R.Err;
    EXPECT_TRUE(Module->ReceiverImage() == Archive().Image);
}

TEST_F(CliModule, LogHoldsTheModuleFrames)
{
    ModuleConfig C = QuickModule();
    C.ReceiverVersion = Archive().Required;
    Plug(C);
    const std::string Log = Files.Path + "/m.log";
    const TCliResult R = Run({"--log", Log});
    ASSERT_EQ(R.ExitCode, 3) << R.Out << R.Err;
    const std::string Text = ReadFile(Log);
    // Identify and "Q" as they go on the wire.
    EXPECT_NE(Text.find(" TX module 3C 00 2C 01 1D 4A 3E\n"), std::string::npos) << Text;
    EXPECT_NE(Text.find(" TX module 3C 00 2C FA 51 77 3E\n"), std::string::npos) << Text;
    // The answers, unescaped, checksum last.
    EXPECT_NE(Text.find(" RX module FF 00 C0 FF EE 02 0A"), std::string::npos) << Text;
}
