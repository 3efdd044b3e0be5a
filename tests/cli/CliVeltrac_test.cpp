// veltrac-gnss-update-cli against a simulated Veltrac unit: one run per way a
// run can end, checked from both sides (exit code and output; what the unit
// ended up with).
#include "CliTest.h"
#include "app/UpdateSession.h"
#include "firmware/MyCrypt.h"
#include "tests/serial/FakeSysfs.h"
#include "tools/devsim/ReceiverImage.h"
#include "tools/devsim/VeltracUnit.h"
#include "util/MyFunctions.h"

#include <QJsonObject>
#include <algorithm>
#include <cctype>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

using namespace devsim;

namespace
{

constexpr int Wait = 60000; // generous: the machine may be loaded
const std::string Old = "AXN_3.8_3333_15043022,3424,MC-GG,1.0";

// Text has the shape of Pattern: a 9 stands for any digit, anything else for itself.
bool Shaped(const std::string& Text, const std::string& Pattern)
{
    if (Text.size() != Pattern.size())
        return false;
    for (std::size_t I = 0; I < Text.size(); ++I)
        if (Pattern[I] == '9' ? !std::isdigit(static_cast<unsigned char>(Text[I])) : Text[I] != Pattern[I])
            return false;
    return true;
}

// How many decimals the number of Key has in a JSON line as written; -1 when
// it is not a plain decimal number.
int Decimals(const std::string& Line, const std::string& Key)
{
    const std::string Head = "\"" + Key + "\":";
    const auto At = Line.find(Head);
    if (At == std::string::npos)
        return -1;
    const auto End = Line.find_first_of(",}", At);
    const std::string Number = Line.substr(At + Head.size(), End - At - Head.size());
    const auto Point = Number.find('.');
    if (Point == std::string::npos || Point == 0 ||
        Number.find_first_not_of("0123456789.") != std::string::npos)
        return -1;
    return static_cast<int>(Number.size() - Point - 1);
}

class CliVeltrac : public ::testing::Test
{
  protected:
    void Plug(const UnitConfig& C, const Faults& F = {})
    {
        Unit = std::make_unique<VeltracUnit>(C);
        ASSERT_TRUE(Unit->Ok()) << Unit->Error();
        Unit->SetFaults(F);
        std::string Error;
        ASSERT_TRUE(Unit->PlugAs(5, Dir.Path, &Error)) << Error;
    }
    TCliResult Run(std::vector<std::string> Args)
    {
        Args.insert(Args.begin(), {"--port", "5", "--timeout", "120"});
        return RunCli(Args, Dir.Path, Wait);
    }
    static std::string LastLine(const std::string& Out)
    {
        const auto L = Lines(Out);
        return L.empty() ? std::string() : L.back();
    }

    TTempDir Dir;
    TTempDir Files;
    std::unique_ptr<VeltracUnit> Unit;
};

} // namespace

TEST_F(CliVeltrac, UpdatesTheReceiverFromTheArchive)
{
    ASSERT_FALSE(Archive().Image.empty());
    UnitConfig C = QuickUnit();
    C.ReceiverVersion = Old;
    Plug(C);
    const TCliResult R = Run({});
    ASSERT_TRUE(R.Finished) << R.Out << R.Err;
    EXPECT_EQ(R.ExitCode, 0) << R.Out << R.Err;
    EXPECT_NE(R.Out.find("Unit 123456: firmware 2.40"), std::string::npos) << R.Out;
    EXPECT_NE(R.Out.find("Current version: " + Old), std::string::npos) << R.Out;
    EXPECT_NE(R.Out.find("Required version: " + Archive().Required), std::string::npos) << R.Out;
    EXPECT_NE(R.Out.find("State 3: the unit programs its receiver"), std::string::npos) << R.Out;
    // Each step in the window's words, the transfer's pace, the outcome.
    for (const char* Step : {"Waking the unit on COM 5...", "Reading the receiver's version...",
                             "Writing the image into the unit...", "The unit programs its receiver..."})
        EXPECT_NE(R.Out.find(std::string("\n") + Step + "\n"), std::string::npos) << Step << "\n" << R.Out;
    const auto L = Lines(R.Out);
    ASSERT_GE(L.size(), 2u);
    EXPECT_EQ(L.back(),
              "Finished: the receiver was updated to \"" + Archive().Required + "\" (updated, exit code 0)");
    const std::string Summary = L[L.size() - 2];
    EXPECT_EQ(Summary.rfind("Transfer: " + GroupedNumber(static_cast<int64_t>(Archive().Image.size())) +
                                " bytes in ",
                            0),
              0u)
        << Summary;
    // A pty moves the bytes at its own speed whatever the rate: no line figures.
    EXPECT_NE(Summary.find("; the port does not pace its bytes: no line figures"), std::string::npos) << Summary;
    const UnitReport U = Unit->Report();
    EXPECT_EQ(U.Programmings, 1);
    EXPECT_EQ(U.TurnOffs, 1);
    EXPECT_TRUE(Unit->ReceiverImage() == Archive().Image)
        << "the receiver got other bytes than the archive holds";
}

TEST_F(CliVeltrac, AlreadyUpToDate)
{
    UnitConfig C = QuickUnit();
    C.ReceiverVersion = Archive().Required;
    Plug(C);
    const TCliResult R = Run({});
    EXPECT_EQ(R.ExitCode, 3) << R.Out << R.Err;
    EXPECT_EQ(LastLine(R.Out),
              "Finished: the receiver already runs \"" + Archive().Required + "\" (up-to-date, exit code 3)");
    const UnitReport U = Unit->Report();
    EXPECT_EQ(U.EepromWrites, 0);
    EXPECT_EQ(U.TurnOffs, 1);
}

TEST_F(CliVeltrac, ManualModeReadsAndLeavesTheUnitOn)
{
    Plug(QuickUnit());
    const TCliResult R = Run({"--manual"});
    EXPECT_EQ(R.ExitCode, 5) << R.Out << R.Err;
    EXPECT_NE(LastLine(R.Out).find("automatic update is off; the receiver reports \"" + Old + "\""),
              std::string::npos)
        << R.Out;
    const UnitReport U = Unit->Report();
    EXPECT_EQ(U.EepromWrites, 0);
    EXPECT_EQ(U.TurnOffs, 0);
    // Asked to leave its command mode before the port closed.
    EXPECT_GE(U.EndOfConnections, 1);
    EXPECT_FALSE(U.Framed);
}

TEST_F(CliVeltrac, UnitWithoutReceiverUpdates)
{
    UnitConfig C = QuickUnit();
    C.ReceiverUpdates = false;
    Plug(C);
    const TCliResult R = Run({});
    EXPECT_EQ(R.ExitCode, 4) << R.Out << R.Err;
    EXPECT_NE(R.Out.find("the unit does not support receiver updates"), std::string::npos) << R.Out;
    EXPECT_EQ(Unit->Report().EepromWrites, 0);
}

TEST_F(CliVeltrac, ReceiverTheToolHasNoImageFor)
{
    UnitConfig C = QuickUnit();
    C.ReceiverVersion = "AXN_1.0_0000_00000000,0001,MC-NONE,1.0";
    Plug(C);
    const TCliResult R = Run({"--json"});
    EXPECT_EQ(R.ExitCode, 4) << R.Out << R.Err;
    const auto J = JsonLines(R.Out);
    ASSERT_FALSE(J.empty());
    EXPECT_EQ(J.back().value("result").toString(), "not-supported");
    EXPECT_EQ(J.back().value("current").toString(), QString::fromStdString(C.ReceiverVersion));
    EXPECT_EQ(J.back().value("required").toString(), QString::fromStdString(SessionText::NotSupported));
}

TEST_F(CliVeltrac, UnknownVersionAfterProgrammingFails)
{
    UnitConfig C = QuickUnit();
    C.VersionAfterProgramming = "AXN_0.0_0000_00000000,0000,MC-ZZZ,0.0";
    Plug(C);
    const TCliResult R = Run({});
    EXPECT_EQ(R.ExitCode, 1) << R.Out << R.Err;
    EXPECT_NE(R.Err.find("MC-ZZZ"), std::string::npos) << R.Err;
    EXPECT_EQ(Unit->Report().Programmings, 1);
}

TEST_F(CliVeltrac, CustomImageWithJsonEvents)
{
    const std::string Version = "AXN_9.9_1234_25010100,9999,MC-TEST,1.0";
    const std::string Image = MakeMediaTekImage(Version, 20000, 7);
    const std::string File = Files.File("custom.bin", Image);
    UnitConfig C = QuickUnit();
    C.Container = 'V';
    Faults F;
    F.Pace = true; // the bytes take their time on the line, as on a serial line
    F.DropNamed = "eeprom"; // one record goes out again
    Plug(C, F);
    // The unit behind an FTDI adapter, as sysfs and udev would show it.
    TFakeSysfs Sys;
    TFakeSysfs::TUsb Ftdi;
    Ftdi.Serial = "A1B2C3";
    const std::string ById = Sys.AddUsb(Ftdi, Unit->SlavePath());
    const std::string Record = Files.Path + "/updates.rec";
    const TCliResult R = Run({"--image", File, "--json", "--record", Record, "--station", "bench 3"});
    ASSERT_EQ(R.ExitCode, 0) << R.Out << R.Err;
    EXPECT_TRUE(Unit->ReceiverImage() == Image);
    EXPECT_EQ(Unit->Report().ProgrammedFrom, "plain container");

    const auto J = JsonLines(R.Out);
    ASSERT_GE(J.size(), 3u);
    EXPECT_EQ(J.front().value("event").toString(), "start");
    EXPECT_EQ(J.front().value("image").toString(), QString::fromStdString(File));
    EXPECT_TRUE(J.front().value("manual").toBool());
    const QJsonObject& Result = J.back();
    EXPECT_EQ(Result.value("event").toString(), "result");
    EXPECT_EQ(Result.value("result").toString(), "updated");
    EXPECT_EQ(Result.value("exit_code").toInt(), 0);
    EXPECT_EQ(Result.value("current").toString(), QString::fromStdString(Version));
    EXPECT_EQ(Result.value("required").toString(), "custom");
    // What a production line records.
    EXPECT_EQ(Result.value("device").toString(), "veltrac");
    EXPECT_EQ(Result.value("device_id").toString(), "123456");
    EXPECT_EQ(Result.value("firmware_before").toString(), "2.40");
    EXPECT_EQ(Result.value("receiver_before").toString(), QString::fromStdString(Old));
    EXPECT_EQ(Result.value("receiver_required").toString(), "custom");
    EXPECT_EQ(Result.value("receiver_after").toString(), QString::fromStdString(Version));
    EXPECT_EQ(Result.value("image").toString(), QString::fromStdString(File));
    EXPECT_EQ(Result.value("image_sha256").toString(), QString::fromStdString(Sha256Hex(Image)));
    EXPECT_EQ(Result.value("image_bytes").toInteger(), static_cast<qint64>(Image.size()));
    EXPECT_GT(Result.value("bytes_sent").toInteger(), static_cast<qint64>(Image.size()));
    EXPECT_TRUE(Result.value("transferred").toBool());
    EXPECT_GT(Result.value("seconds").toDouble(), 0);
    EXPECT_EQ(Result.value("com").toInt(), 5);
    EXPECT_EQ(Result.value("device_path").toString(), QString::fromStdString(Dir.Path + "/com5"));
    // The record names when, with what tool and firmware set, at which station, on which unit.
    for (const char* Key : {"started_at", "ended_at"})
        EXPECT_TRUE(Shaped(Result.value(Key).toString().toStdString(), "9999-99-99T99:99:99.999Z")) << Key;
    EXPECT_LE(Result.value("started_at").toString(), Result.value("ended_at").toString());
    EXPECT_TRUE(Result.value("tool_version").toString().startsWith("1."));
    EXPECT_EQ(Result.value("package_label").toString(), QString::fromStdString(Archive().Label));
    EXPECT_EQ(Result.value("package_sha256").toString(), QString::fromStdString(Sha256Hex(Archive().Package)));
    EXPECT_EQ(Result.value("station").toString(), "bench 3");
    EXPECT_EQ(Result.value("model").toString(), "Veltrac Track");
    EXPECT_EQ(Result.value("hardware").toString(), "2e5");
    EXPECT_EQ(Result.value("hardware_revision").toString(), "C");
    const QJsonObject Adapter = Result.value("adapter").toObject();
    EXPECT_EQ(Adapter.value("by_id").toString().toStdString(), ById);
    EXPECT_EQ(Adapter.value("usb_serial").toString(), "A1B2C3");
    EXPECT_EQ(Adapter.value("vendor_id").toString(), "0403");
    EXPECT_EQ(Adapter.value("product_id").toString(), "6001");
    // Its phases: no own firmware; the transfer as timed; a chosen image is
    // confirmed only after the unit showed its programming ended.
    const QJsonObject Phases = Result.value("phases").toObject();
    EXPECT_TRUE(Phases.value("own_firmware").isNull());
    EXPECT_EQ(Phases.value("receiver_transfer").toDouble(), Result.value("transfer_seconds").toDouble());
    EXPECT_GT(Phases.value("programming").toDouble(), 0);
    EXPECT_TRUE(Phases.value("confirmation").isDouble());
    EXPECT_TRUE(Phases.value("unfinished").isNull());
    EXPECT_LE(Phases.value("receiver_transfer").toDouble() + Phases.value("programming").toDouble() +
                  Phases.value("confirmation").toDouble(),
              Result.value("seconds").toDouble() + 0.002);
    const QJsonObject Repeats = Result.value("repeats").toObject();
    EXPECT_GE(Repeats.value("records").toInt(), 1) << "the dropped write went out again";
    EXPECT_EQ(Repeats.value("blocks").toInt(), 0);
    EXPECT_GE(Repeats.value("wake_ups").toInt(-1), 0);
    EXPECT_EQ(Repeats.value("restarts").toInt(), 0);
    // The record file holds the result line, whole.
    EXPECT_EQ(ReadFile(Record), R.Out.substr(R.Out.rfind("{\"event\":\"result\"")));
    // The transfer's pace: its own time, the image rate, the share of the line used.
    const double TransferSeconds = Result.value("transfer_seconds").toDouble();
    EXPECT_GT(TransferSeconds, 0);
    EXPECT_LE(TransferSeconds, Result.value("seconds").toDouble());
    EXPECT_EQ(Result.value("line_rate").toInt(), 57600);
    const double Rate = static_cast<double>(Image.size()) / TransferSeconds;
    EXPECT_NEAR(Result.value("image_rate").toDouble(), Rate, 0.05 + Rate / 1000) << "rounded seconds and rate";
    EXPECT_GT(Result.value("line_use").toDouble(), 0);
    EXPECT_LE(Result.value("line_use").toDouble(), 1);
    // Seconds to the millisecond, rates to a tenth.
    const std::string ResultLine = R.Out.substr(R.Out.rfind("{\"event\":\"result\""));
    for (const char* Key : {"seconds", "transfer_seconds", "line_use", "receiver_transfer", "programming"})
        EXPECT_EQ(Decimals(ResultLine, Key), 3) << ResultLine;
    EXPECT_EQ(Decimals(ResultLine, "image_rate"), 1) << ResultLine;
    int Paces = 0;
    double Elapsed = 0;
    bool Whole = false;
    for (const QJsonObject& O : J) {
        if (O.value("event").toString() != "progress")
            continue;
        ++Paces;
        EXPECT_EQ(O.value("image_bytes").toInteger(), static_cast<qint64>(Image.size()));
        EXPECT_LE(O.value("image_done").toInteger(), O.value("image_bytes").toInteger());
        EXPECT_GE(O.value("elapsed").toDouble(), Elapsed);
        Elapsed = O.value("elapsed").toDouble();
        Whole = Whole || O.value("image_done").toInteger() == static_cast<qint64>(Image.size());
    }
    EXPECT_GE(Paces, 1);
    EXPECT_TRUE(Whole) << "the whole image taken is always told";
    // Display events at most ten a second, beside those of a new state or a
    // bar at its start or end (one per record would be over a hundred here).
    const auto Displays = std::count_if(J.begin(), J.end(),
                                        [](const QJsonObject& O) { return O.value("event").toString() == "display"; });
    EXPECT_LE(Displays, static_cast<long>(10 * Result.value("seconds").toDouble()) + 20) << R.Out;

    // States chain up (each event names the one before it), and the custom
    // transfer went 4 (version read) -> 1 -> 3 -> 4.
    std::vector<int> States;
    int Previous = 0;
    bool SawUnit = false;
    for (const QJsonObject& O : J) {
        const QString E = O.value("event").toString();
        if (E == "state") {
            EXPECT_EQ(O.value("previous").toInt(), Previous);
            Previous = O.value("state").toInt();
            States.push_back(Previous);
            EXPECT_FALSE(O.value("text").toString().isEmpty());
        } else if (E == "display") {
            EXPECT_EQ(O.value("state").toInt(), Previous);
            SawUnit = SawUnit || O.value("device_id").toString() == "123456";
            const QJsonObject Send = O.value("send").toObject();
            EXPECT_LE(Send.value("position").toInt(), Send.value("maximum").toInt());
        } else {
            EXPECT_TRUE(E == "start" || E == "result" || E == "progress") << E.toStdString();
        }
    }
    EXPECT_TRUE(SawUnit);
    EXPECT_EQ(States, (std::vector<int>{4, 1, 3, 4}));
}

TEST_F(CliVeltrac, CustomImageToAReceiverThatCannotReportItsVersion)
{
    const std::string Image = MakeMediaTekImage("AXN_9.9_1234_25010100,9999,MC-GG,1.0", 12000, 3);
    UnitConfig C = QuickUnit();
    C.ReceiverReadable = false;
    Plug(C);
    const TCliResult R = Run({"--image", Files.File("x.bin", Image)});
    EXPECT_EQ(R.ExitCode, 0) << R.Out << R.Err;
    EXPECT_TRUE(Unit->ReceiverImage() == Image);
}

TEST_F(CliVeltrac, EmptyCustomImageIsRefused)
{
    Plug(QuickUnit());
    const TCliResult R = Run({"--image", Files.File("empty.bin", "")});
    EXPECT_EQ(R.ExitCode, 8) << R.Out << R.Err;
    EXPECT_EQ(Unit->Report().EepromWrites, 0);
    EXPECT_FALSE(Unit->Report().Framed);
}

TEST_F(CliVeltrac, MissingImageFileStopsBeforeTheUnitIsWoken)
{
    Plug(QuickUnit());
    // So does a record file that cannot be written: a usage error.
    const TCliResult NoRecord = Run({"--record", Files.Path + "/no-such-folder/updates.rec"});
    EXPECT_EQ(NoRecord.ExitCode, 2) << NoRecord.Out << NoRecord.Err;
    EXPECT_NE(NoRecord.Err.find("cannot write the record file"), std::string::npos) << NoRecord.Err;
    EXPECT_EQ(Unit->Report().Wakeups, 0);
    const TCliResult R = Run({"--image", Files.Path + "/no-such.bin"});
    EXPECT_EQ(R.ExitCode, 8) << R.Out << R.Err;
    EXPECT_NE(R.Err.find("no-such.bin"), std::string::npos) << R.Err;
    EXPECT_EQ(Unit->Report().Wakeups, 0);
    const TCliResult Dir = Run({"--image", Files.Path});
    EXPECT_EQ(Dir.ExitCode, 8) << Dir.Out << Dir.Err;
    EXPECT_NE(Dir.Err.find("not a regular file"), std::string::npos) << Dir.Err;
    EXPECT_EQ(Unit->Report().Wakeups, 0);
}

TEST_F(CliVeltrac, RecoveryOfASilentReceiver)
{
    UnitConfig C = QuickUnit();
    C.Hardware = 0x21;
    C.ReceiverReadable = false;
    Plug(C);
    const TCliResult R = Run({"--recovery"});
    EXPECT_EQ(R.ExitCode, 0) << R.Out << R.Err;
    EXPECT_NE(R.Out.find("Current version: " + SessionText::FirmwareRecovery), std::string::npos) << R.Out;
    EXPECT_TRUE(Unit->ReceiverImage() == Archive().Image);
}

TEST_F(CliVeltrac, RecoveryRefusedForOtherHardware)
{
    UnitConfig C = QuickUnit();
    C.Hardware = 0x25;
    C.ReceiverReadable = false;
    Plug(C);
    const TCliResult R = Run({"--recovery"});
    EXPECT_EQ(R.ExitCode, 4) << R.Out << R.Err;
    EXPECT_NE(R.Out.find("hardware 2e5"), std::string::npos) << R.Out;
    EXPECT_EQ(Unit->Report().EepromWrites, 0);
}

TEST_F(CliVeltrac, UnitFirmwareFirstThenTheReceiver)
{
    // Class 21, hardware 1, revision 3: the demo package holds "CX21 firmware 3.30 (rev 3)".
    UnitConfig C = QuickUnit();
    C.Class = 21;
    C.Hardware = 1;
    C.HardwareRev = 3;
    C.ReceiverVersion = Archive().Required;
    Plug(C);
    const TCliResult R = Run({});
    EXPECT_EQ(R.ExitCode, 0) << R.Out << R.Err;
    EXPECT_NE(R.Out.find("State 6: updating the unit's own firmware"), std::string::npos) << R.Out;
    EXPECT_NE(LastLine(R.Out).find("the unit's firmware went from 2.40 to 2.41 (CX21 firmware 3.30 (rev 3))"),
              std::string::npos)
        << R.Out;
    EXPECT_EQ(Unit->Report().FirmwareUpdates, 1);
    EXPECT_EQ(Unit->Report().EepromWrites, 0);
}

TEST_F(CliVeltrac, InterruptMidTransferThenRunAgain)
{
    // Raw: nothing is packed, so the transfer takes some 1200 writes.
    const std::string Image = MakeMediaTekImage("AXN_9.9_1234_25010100,9999,MC-GG,1.0", 300000, 9);
    const std::string File = Files.File("big.bin", Image);
    UnitConfig C = QuickUnit();
    C.Container = 'R';
    Plug(C);
    {
        TCliProcess P({"--port", "5", "--image", File}, Dir.Path);
        ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& U) { return U.EepromWrites >= 20; }, Wait));
        P.Signal(SIGINT);
        const TCliResult R = P.Wait(Wait);
        ASSERT_TRUE(R.Finished);
        EXPECT_EQ(R.ExitCode, 130) << R.Out << R.Err;
        EXPECT_NE(R.Out.find("interrupted by SIGINT; the link was closed"), std::string::npos) << R.Out;
    }
    const UnitReport Cut = Unit->Report();
    EXPECT_LT(Cut.EepromWrites, 1150) << "the transfer ended before the signal; make the image larger";
    EXPECT_EQ(Cut.Programmings, 0);
    EXPECT_FALSE(Cut.Framed);
    EXPECT_GE(Cut.EndOfConnections, 1);

    const TCliResult Again = Run({"--image", File});
    EXPECT_EQ(Again.ExitCode, 0) << Again.Out << Again.Err;
    EXPECT_TRUE(Unit->ReceiverImage() == Image);
}

TEST_F(CliVeltrac, SignalWhileTheReceiverProgramsIsWarnedAboutAndWaitedFor)
{
    UnitConfig C = QuickUnit();
    C.ProgrammingMs = 4000;
    Plug(C);
    TCliProcess P({"--port", "5"}, Dir.Path);
    ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& U) { return U.Programming; }, Wait));
    P.Signal(SIGINT);
    const TCliResult R = P.Wait(Wait);
    // The first signal only warns: the run goes on until the unit reports the new version.
    EXPECT_EQ(R.ExitCode, 0) << R.Out << R.Err;
    EXPECT_NE(R.Err.find("Warning: SIGINT received. The receiver is being programmed. Interrupting now may "
                         "leave it unusable."),
              std::string::npos)
        << R.Err;
    EXPECT_EQ(Unit->Report().Programmings, 1);
    EXPECT_EQ(Unit->Report().ReceiverVersion, Archive().Required);
}

TEST_F(CliVeltrac, SigtermWhileWaitingForTheVersion)
{
    Faults F;
    F.DropNamed = "param65354";
    F.DropNamedCount = -1;
    Plug(QuickUnit(), F);
    TCliProcess P({"--port", "5"}, Dir.Path);
    ASSERT_TRUE(
        Unit->WaitUntil([](const UnitReport& U) { return U.Framed && U.Commands.count(0x03); }, Wait));
    P.Signal(SIGTERM);
    const TCliResult R = P.Wait(Wait);
    EXPECT_EQ(R.ExitCode, 130) << R.Out << R.Err;
    EXPECT_FALSE(Unit->Report().Framed);
}

TEST_F(CliVeltrac, TimeoutClosesTheLinkPolitely)
{
    Faults F;
    F.DropNamed = "param65354";
    F.DropNamedCount = -1;
    Plug(QuickUnit(), F);
    TCliProcess P({"--port", "5", "--timeout", "5"}, Dir.Path);
    // The link must be up when the time runs out, however slow the machine.
    ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& U) { return U.Framed; }, 5000))
        << "the unit was not reached within the time-out";
    const TCliResult R = P.Wait(Wait);
    EXPECT_EQ(R.ExitCode, 6) << R.Out << R.Err;
    EXPECT_NE(R.Out.find("no result within 5 s"), std::string::npos) << R.Out;
    const UnitReport U = Unit->Report();
    EXPECT_FALSE(U.Framed);
    EXPECT_GE(U.EndOfConnections, 1);
}

TEST_F(CliVeltrac, LogHoldsTheFramesBothWays)
{
    UnitConfig C = QuickUnit();
    C.ReceiverVersion = Archive().Required;
    Plug(C);
    const std::string Log = Files.Path + "/frames.log";
    const TCliResult R = Run({"--log", Log});
    ASSERT_EQ(R.ExitCode, 3) << R.Out << R.Err;
    const auto L = Lines(ReadFile(Log));
    auto Has = [&](const std::string& Text) {
        for (const std::string& Line : L)
            // "2026-12-08T09:00:36.336 " then the entry
            if (Line.size() > 24 && Line[4] == '-' && Line[10] == 'T' && Line.substr(24).starts_with(Text))
                return true;
        return false;
    };
    EXPECT_TRUE(Has("RX unit 0B ")) << "unit information";
    EXPECT_TRUE(Has("TX unit 0A")) << "version request";
    EXPECT_TRUE(Has("TX unit 03 FF 4A")) << "receiver version request";
    EXPECT_TRUE(Has("TX unit F2")) << "turn-off";
    // A pty has neither low-latency setting; the trace says so once per open.
    EXPECT_TRUE(Has("# COM 5: low-latency mode not available"));
    EXPECT_TRUE(Has("# result: up-to-date (exit code 3)"));
}

TEST_F(CliVeltrac, PortHeldByAnotherProgram)
{
    Plug(QuickUnit());
    const int Fd = open(Unit->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(Fd, 0);
    ASSERT_EQ(flock(Fd, LOCK_EX | LOCK_NB), 0);
    const TCliResult R = Run({});
    close(Fd);
    EXPECT_EQ(R.ExitCode, 7) << R.Out << R.Err;
    EXPECT_NE(R.Err.find("COM5"), std::string::npos) << R.Err;
    EXPECT_EQ(Unit->Report().Wakeups, 0);
}

TEST_F(CliVeltrac, UnitUnpluggedMidTransfer)
{
    Faults F;
    F.HangUpAt = "eeprom:20";
    Plug(QuickUnit(), F);
    const TCliResult R = Run({});
    EXPECT_EQ(R.ExitCode, 7) << R.Out << R.Err;
    // Told from the port's own hang-up, in the window's words; no end-of-connection
    // goes to a port that is gone.
    const std::string Message = "COM 5 disappeared during the receiver transfer: the receiver was not "
                                "programmed; plug the unit in and run the command again";
    EXPECT_NE(R.Err.find(Message), std::string::npos) << R.Err;
    EXPECT_NE(R.Out.find("Failed: " + Message + " (port-error, exit code 7)"), std::string::npos) << R.Out;
    EXPECT_EQ(Unit->Report().Programmings, 0);
}

// The record is part of the run's word: a record that could not be kept is
// exit code 12 whatever the device did, and the device's outcome stays in
// the result; a record kept in SQLite is the result line beside its columns.
TEST_F(CliVeltrac, RecordsInSqliteAndARecordNotWrittenIsExitCode12)
{
    UnitConfig C = QuickUnit();
    C.ReceiverVersion = Old;
    Plug(C);
    const std::string Db = Files.Path + "/line.sqlite";
    const TCliResult R = Run({"--json", "--record", "sqlite:" + Db, "--station", "bench 3"});
    ASSERT_EQ(R.ExitCode, 0) << R.Out << R.Err;
    const QJsonObject Result = JsonLines(R.Out).back();
    EXPECT_EQ(Result.value("result").toString(), "updated");
    EXPECT_TRUE(Result.value("record_written").toBool());
    const std::string RunId = Result.value("run_id").toString().toStdString();
    EXPECT_EQ(RunId.size(), 36u) << RunId;

    sqlite3* Handle = nullptr;
    ASSERT_EQ(sqlite3_open_v2(Db.c_str(), &Handle, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* Row = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(Handle,
                                 "SELECT run_id, station, outcome, exit_code, device_id, receiver_before, "
                                 "receiver_after, json_extract(result, '$.transferred') FROM runs",
                                 -1, &Row, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(Row), SQLITE_ROW);
    std::vector<std::string> Got;
    for (int I = 0; I < 8; ++I) {
        const unsigned char* T = sqlite3_column_text(Row, I);
        Got.push_back(T ? reinterpret_cast<const char*>(T) : "NULL");
    }
    EXPECT_EQ(sqlite3_step(Row), SQLITE_DONE) << "one row a run";
    sqlite3_finalize(Row);
    sqlite3_close(Handle);
    EXPECT_EQ(Got, (std::vector<std::string>{RunId, "bench 3", "updated", "0", "123456", Old, Archive().Required,
                                             "1"}));

    // A full disk: the unit is up to date by now, the record goes nowhere.
    const TCliResult Full = Run({"--json", "--record", "/dev/full"});
    EXPECT_EQ(Full.ExitCode, 12) << Full.Out << Full.Err;
    const QJsonObject Lost = JsonLines(Full.Out).back();
    EXPECT_EQ(Lost.value("result").toString(), "up-to-date");
    EXPECT_EQ(Lost.value("exit_code").toInt(), 12);
    EXPECT_FALSE(Lost.value("record_written").toBool(true));
    const std::string Why = "the record could not be written to /dev/full: No space left on device";
    const auto At = Full.Err.find(Why);
    EXPECT_NE(At, std::string::npos) << Full.Err;
    EXPECT_EQ(Full.Err.find(Why, At + 1), std::string::npos) << "said once: " << Full.Err;
    EXPECT_EQ(Unit->Report().Programmings, 1);
}
