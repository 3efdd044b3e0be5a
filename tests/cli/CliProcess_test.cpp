// veltrac-gnss-update-cli as a program: its command line, the lists, and the
// ways a run ends without a device that answers.
#include "CliTest.h"
#include "app/UpdateSession.h"
#include "app/cli/CliOutcome.h"
#include "tests/common/TestStore.h"
#include "tests/serial/FakeSysfs.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <sys/file.h>
#include <unistd.h>

namespace
{

constexpr int Wait = 60000;

} // namespace

TEST(CliProgram, BadCommandLinesChangeNothing)
{
    struct Case {
        std::vector<std::string> Args;
        std::string Expect;
    };
    const std::vector<Case> Cases = {
        {{}, "no port given"},
        {{"--port", "5", "--frobnicate"}, "unknown option --frobnicate"},
        {{"--port", "5", "--timeout", "-3"}, "--timeout"},
        {{"--device", "tomtom", "--port", "5"}, "not a device type"},
    };
    for (const Case& C : Cases) {
        const TCliResult R = RunCli(C.Args, "", Wait);
        EXPECT_EQ(R.ExitCode, 2) << C.Expect;
        EXPECT_NE(R.Err.find(C.Expect), std::string::npos) << R.Err;
        EXPECT_NE(R.Err.find("usage:"), std::string::npos) << R.Err;
        EXPECT_EQ(R.Out, "");
    }
}

TEST(CliProgram, HelpAndVersion)
{
    const TCliResult H = RunCli({"--help"});
    EXPECT_EQ(H.ExitCode, 0);
    for (const TExitCode& I : ExitCodes())
        EXPECT_NE(H.Out.find("  " + std::to_string(I.Code) + " "), std::string::npos) << I.Name;
    const TCliResult V = RunCli({"--version"});
    EXPECT_EQ(V.ExitCode, 0);
    EXPECT_TRUE(V.Out.starts_with("veltrac-gnss-update-cli 1.")) << V.Out;
}

TEST(CliProgram, ListFirmwareOfTheDemoPackage)
{
    const TCliResult R = RunCli({"--list-firmware", "--json"});
    ASSERT_EQ(R.ExitCode, 0) << R.Err;
    const auto J = JsonLines(R.Out);
    ASSERT_EQ(J.size(), 1u);
    const QJsonObject& F = J[0];
    EXPECT_EQ(F.value("event").toString(), "firmware");

    // What the session loads from the same resources, item by item.
    TUpdateSession S(TestStore());
    EXPECT_EQ(F.value("label").toString().toStdString(), S.ArchiveLabel());
    const QJsonArray Images = F.value("receiver_images").toArray();
    ASSERT_EQ(Images.size(), static_cast<qsizetype>(S.Images().ReceiverImages().size()));
    for (qsizetype i = 0; i < Images.size(); ++i)
        EXPECT_EQ(Images[i].toString().toStdString(), S.Images().ReceiverImages()[static_cast<std::size_t>(i)]);
    const QJsonArray Units = F.value("unit_firmware").toArray();
    ASSERT_EQ(Units.size(), S.Images().UnitFirmware().Count());
    int i = 0;
    for (const TSoftwareVersion* V = S.Images().UnitFirmware().First(); V; V = V->Next, ++i) {
        const QJsonObject U = Units[i].toObject();
        EXPECT_EQ(U.value("title").toString().toStdString(), V->Info.Title);
        EXPECT_EQ(U.value("class").toInt(), V->Info.Class);
        EXPECT_EQ(U.value("hardware").toInt(), V->Info.Hardware);
        EXPECT_EQ(U.value("version").toInt(), V->Info.Version);
        EXPECT_EQ(U.value("revisions").toArray().size(), static_cast<qsizetype>(V->Info.HardwareRev.count()));
    }
    const QJsonObject M = F.value("module_firmware").toObject();
    EXPECT_EQ(M.value("title").toString().toStdString(), S.ModuleProcedure().ControllerFirmware().Title);

    // The demo package as its manifest describes it.
    EXPECT_TRUE(F.value("label").toString().startsWith("Demo package"));
    EXPECT_EQ(Images.size(), 5);
    EXPECT_TRUE(Images.contains("EVA_2.0_M10_24031500,2000,EVA-M10,1.0+F.bin"));
    EXPECT_EQ(Units.size(), 10);
    EXPECT_EQ(M.value("title").toString(), "EGPS controller 2.03");
    EXPECT_EQ(M.value("version").toInt(), 203);
    EXPECT_EQ(M.value("hardware_id").toInt(), 0x0E47);

    const TCliResult Text = RunCli({"--list-firmware"});
    ASSERT_EQ(Text.ExitCode, 0);
    EXPECT_NE(Text.Out.find("Firmware package: " + S.ArchiveLabel()), std::string::npos) << Text.Out;
    EXPECT_NE(Text.Out.find("  CX21 firmware 3.30 (rev 3): class 21, hardware 1, revisions 3, version 330"),
              std::string::npos)
        << Text.Out;
    EXPECT_NE(Text.Out.find("  CX22 firmware 2.00: class 22, hardware 2, revisions any, version 200"),
              std::string::npos)
        << Text.Out;
}

TEST(CliProgram, ListPortsOfAPortMapFolder)
{
    TTempDir Dir;
    TSilentPty Free, Held;
    ASSERT_EQ(symlink(Free.SlavePath().c_str(), (Dir.Path + "/com5").c_str()), 0);
    ASSERT_EQ(symlink(Held.SlavePath().c_str(), (Dir.Path + "/com6").c_str()), 0);
    ASSERT_EQ(symlink("/dev/no-such-tty", (Dir.Path + "/com7").c_str()), 0);
    const int Fd = open(Held.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(Fd, 0);
    ASSERT_EQ(flock(Fd, LOCK_EX | LOCK_NB), 0);

    const TCliResult R = RunCli({"--list-ports", "--json"}, Dir.Path, Wait);
    const TCliResult T = RunCli({"--list-ports"}, Dir.Path, Wait);
    close(Fd);
    ASSERT_EQ(R.ExitCode, 0) << R.Err;
    const auto J = JsonLines(R.Out);
    ASSERT_EQ(J.size(), 3u);
    EXPECT_EQ(J[0].value("number").toInt(), 5);
    EXPECT_EQ(J[0].value("path").toString().toStdString(), Dir.Path + "/com5");
    EXPECT_EQ(J[0].value("target").toString().toStdString(), Free.SlavePath());
    EXPECT_EQ(J[0].value("state").toString(), "free");
    EXPECT_EQ(J[1].value("state").toString(), "in use");
    EXPECT_EQ(J[2].value("state").toString(), "missing");

    ASSERT_EQ(T.ExitCode, 0);
    const auto L = Lines(T.Out);
    ASSERT_EQ(L.size(), 3u);
    EXPECT_TRUE(L[0].starts_with("COM 5 ")) << L[0];
    EXPECT_NE(L[0].find(" -> " + Free.SlavePath()), std::string::npos) << L[0];
    EXPECT_TRUE(L[1].ends_with("in use")) << L[1];
}

TEST(CliProgram, ListPortsNamesTheAdapters)
{
    TTempDir Dir;
    TSilentPty Ftdi, Plain;
    TFakeSysfs Sys; // the child reads the same tree
    TFakeSysfs::TUsb A;
    A.Manufacturer = "FTDI";
    A.Product = "FT232R USB UART";
    A.Serial = "A1B2C3";
    const std::string ById = Sys.AddUsb(A, Ftdi.SlavePath());
    ASSERT_EQ(symlink(Ftdi.SlavePath().c_str(), (Dir.Path + "/com33").c_str()), 0);
    ASSERT_EQ(symlink(Plain.SlavePath().c_str(), (Dir.Path + "/com34").c_str()), 0);

    const TCliResult R = RunCli({"--list-ports", "--json"}, Dir.Path, Wait);
    ASSERT_EQ(R.ExitCode, 0) << R.Err;
    const auto J = JsonLines(R.Out);
    ASSERT_EQ(J.size(), 2u);
    EXPECT_EQ(J[0].value("number").toInt(), 33);
    EXPECT_EQ(J[0].value("state").toString(), "free");
    EXPECT_FALSE(J[0].value("no_permission").toBool());
    const QJsonObject Ad = J[0].value("adapter").toObject();
    EXPECT_EQ(Ad.value("description").toString(), "FT232R USB UART, FTDI, A1B2C3, ftdi_sio");
    EXPECT_EQ(Ad.value("vendor_id").toString(), "0403");
    EXPECT_EQ(Ad.value("product_id").toString(), "6001");
    EXPECT_EQ(Ad.value("manufacturer").toString(), "FTDI");
    EXPECT_EQ(Ad.value("product").toString(), "FT232R USB UART");
    EXPECT_EQ(Ad.value("serial").toString(), "A1B2C3");
    EXPECT_EQ(Ad.value("driver").toString(), "ftdi_sio");
    EXPECT_EQ(Ad.value("tty").toString(), "ttyUSB0");
    EXPECT_EQ(Ad.value("subsystem").toString(), "usb-serial");
    EXPECT_EQ(Ad.value("usb_port").toString(), "1-1");
    EXPECT_TRUE(Ad.value("interface").isNull());
    EXPECT_EQ(Ad.value("by_id").toString().toStdString(), ById);
    EXPECT_TRUE(J[1].value("adapter").isNull()) << "a pty nothing is known of";

    const TCliResult T = RunCli({"--list-ports"}, Dir.Path, Wait);
    ASSERT_EQ(T.ExitCode, 0) << T.Err;
    const auto L = Lines(T.Out);
    ASSERT_EQ(L.size(), 3u) << T.Out;
    EXPECT_TRUE(L[0].starts_with("COM 33 ")) << L[0];
    EXPECT_TRUE(L[0].ends_with("free  FT232R USB UART, FTDI, A1B2C3, ftdi_sio")) << L[0];
    EXPECT_EQ(L[1], "         " + ById);
    EXPECT_TRUE(L[2].starts_with("COM 34 ") && L[2].ends_with("free")) << L[2];
}

TEST(CliProgram, TimeoutAgainstSilentDevices)
{
    TSilentPty Pty;
    // A unit that never answers is said to be silent, in words, while it is woken
    // (the time limit leaves a slowed machine room to say it first). A port
    // given by a path the port map does not know is named by that path.
    const TCliResult Text = RunCli({"--port", Pty.SlavePath(), "--timeout", "14"}, "", Wait);
    ASSERT_TRUE(Text.Finished);
    EXPECT_EQ(Text.ExitCode, 6) << Text.Out << Text.Err;
    const std::string Port = Pty.SlavePath();
    EXPECT_NE(Text.Out.find("\nWaking the unit on " + Port + "...\n"), std::string::npos) << Text.Out;
    EXPECT_NE(Text.Out.find("\nNo answer on " + Port +
                            " for 10 s: is the unit powered and connected to this port?\n"),
              std::string::npos)
        << Text.Out;
    EXPECT_TRUE(Lines(Text.Out).back().starts_with("Failed: no result within 14 s")) << Text.Out;

    for (const char* Device : {"veltrac", "egps"}) {
        const TCliResult R =
            RunCli({"--device", Device, "--port", Pty.SlavePath(), "--timeout", "1.5", "--json"}, "", Wait);
        ASSERT_TRUE(R.Finished) << Device;
        EXPECT_EQ(R.ExitCode, 6) << Device << R.Out << R.Err;
        const auto J = JsonLines(R.Out);
        ASSERT_FALSE(J.empty());
        EXPECT_EQ(J.front().value("port").toString().toStdString(), Pty.SlavePath());
        EXPECT_EQ(J.back().value("result").toString(), "timed-out");
        EXPECT_EQ(J.back().value("exit_code").toInt(), 6);
        const std::string Calling =
            (std::string(Device) == "egps" ? "Calling the module on " : "Waking the unit on ") +
            Pty.SlavePath() + "...";
        EXPECT_TRUE(std::any_of(J.begin(), J.end(), [&](const QJsonObject& O) {
            return O.value("event").toString() == "display" &&
                   O.value("status").toString().toStdString() == Calling;
        })) << R.Out;
    }
}

TEST(CliProgram, PortErrors)
{
    TTempDir Dir; // an empty port map
    const TCliResult Number = RunCli({"--port", "42"}, Dir.Path, Wait);
    EXPECT_EQ(Number.ExitCode, 7) << Number.Out << Number.Err;
    EXPECT_NE(Number.Err.find("COM42"), std::string::npos) << Number.Err;

    const TCliResult Path =
        RunCli({"--device", "egps", "--port", "/dev/no-such-tty", "--json"}, Dir.Path, Wait);
    EXPECT_EQ(Path.ExitCode, 7) << Path.Out << Path.Err;
    const auto J = JsonLines(Path.Out);
    ASSERT_FALSE(J.empty());
    EXPECT_EQ(J.back().value("result").toString(), "port-error");

    // Not a terminal at all.
    const TCliResult File = RunCli({"--port", "/dev/null", "--timeout", "5"}, Dir.Path, Wait);
    EXPECT_EQ(File.ExitCode, 7) << File.Out << File.Err;
}

TEST(CliProgram, UnwritableLogFile)
{
    TSilentPty Pty;
    const TCliResult R = RunCli({"--port", Pty.SlavePath(), "--log", "/no-such-dir/x.log"}, "", Wait);
    EXPECT_EQ(R.ExitCode, 2) << R.Out << R.Err;
    EXPECT_NE(R.Err.find("/no-such-dir/x.log"), std::string::npos) << R.Err;
}

// Programs that share one record file never tear each other's lines: each
// appends its result in one write.
TEST(CliProgram, ARecordSharedByProgramsAtOnceHoldsWholeLines)
{
    TTempDir Dir;
    const std::string Record = Dir.Path + "/updates.rec";
    // Long lines, so that a write in pieces would show.
    const std::string Station = "line 7 " + std::string(3000, 'x');
    constexpr int Programs = 8;
    std::vector<std::unique_ptr<TCliProcess>> Runs;
    for (int I = 0; I < Programs; ++I)
        Runs.push_back(std::make_unique<TCliProcess>(
            std::vector<std::string>{"--port", Dir.Path + "/gone" + std::to_string(I), "--record", Record,
                                     "--station", Station},
            Dir.Path));
    for (auto& Run : Runs) {
        const TCliResult R = Run->Wait(Wait);
        EXPECT_EQ(R.ExitCode, ExitCodeOf(TOutcomeKind::PortError)) << R.Out << R.Err;
    }
    const std::vector<std::string> L = Lines(ReadFile(Record));
    ASSERT_EQ(L.size(), static_cast<std::size_t>(Programs));
    std::set<std::string> Paths;
    for (const std::string& Line : L) {
        const QJsonDocument D = QJsonDocument::fromJson(QByteArray::fromStdString(Line));
        ASSERT_TRUE(D.isObject()) << Line.substr(0, 200);
        EXPECT_EQ(D.object().value("result").toString(), "port-error");
        EXPECT_EQ(D.object().value("station").toString().toStdString(), Station);
        Paths.insert(D.object().value("device_path").toString().toStdString());
    }
    EXPECT_EQ(Paths.size(), static_cast<std::size_t>(Programs)) << "one line from each program";
}
