// Finding the devices by probing: --port auto, --port all, --device auto and
// --list-ports --probe against simulated devices in a private port map.
#include "CliTest.h"
#include "tests/serial/FakeSysfs.h"

#include <QJsonObject>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <sys/file.h>
#include <unistd.h>

using namespace devsim;

namespace
{

constexpr int Wait = 120000;

std::string LineOf(const std::string& Out, const std::string& Start)
{
    for (const std::string& L : Lines(Out))
        if (L.starts_with(Start))
            return L;
    return {};
}

} // namespace

// One unit among two, a silent port and one in use: two answer, then one,
// then none; a named port where nothing answers.
TEST(CliSearch, PortAutoTakesTheOneDeviceThatAnswers)
{
    TTempDir Dir;
    TFakeSysfs Sys; // the child reads the same tree
    UnitConfig C = QuickUnit();
    C.UnitId = 2001;
    auto A = PlugIn<VeltracUnit>(C, 5, Dir);
    C.UnitId = 2002;
    auto B = PlugIn<VeltracUnit>(C, 6, Dir);
    TFakeSysfs::TUsb Usb;
    Usb.Product = "FT232R USB UART";
    Usb.Serial = "A1B2C3";
    Sys.AddUsb(Usb, A->SlavePath());
    TSilentPty Silent, Held;
    ASSERT_EQ(symlink(Silent.SlavePath().c_str(), (Dir.Path + "/com7").c_str()), 0);
    ASSERT_EQ(symlink(Held.SlavePath().c_str(), (Dir.Path + "/com8").c_str()), 0);
    const int Fd = open(Held.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(Fd, 0);
    ASSERT_EQ(flock(Fd, LOCK_EX | LOCK_NB), 0);

    const TCliResult Two = RunCli({"--port", "auto"}, Dir.Path, Wait);
    EXPECT_EQ(Two.ExitCode, 11) << Two.Out << Two.Err;
    EXPECT_NE(Two.Err.find("2 devices answered (COM 5, COM 6)"), std::string::npos) << Two.Err;
    EXPECT_TRUE(LineOf(Two.Out, "COM 5 ")
                    .ends_with("unit 2001 (Veltrac Track, firmware 2.40)  FT232R USB UART, "
                               "A1B2C3, ftdi_sio"))
        << Two.Out;
    EXPECT_TRUE(LineOf(Two.Out, "COM 6 ").ends_with("unit 2002 (Veltrac Track, firmware 2.40)")) << Two.Out;
    EXPECT_TRUE(LineOf(Two.Out, "COM 7 ").ends_with("nothing answered")) << Two.Out;
    EXPECT_TRUE(LineOf(Two.Out, "COM 8 ").ends_with("in use")) << Two.Out;

    B.reset();
    const TCliResult One = RunCli({"--port", "auto", "--manual"}, Dir.Path, Wait);
    EXPECT_EQ(One.ExitCode, 5) << One.Out << One.Err;
    EXPECT_NE(One.Out.find("Opening COM 5 "), std::string::npos) << One.Out;
    EXPECT_NE(One.Out.find("Unit 2001: firmware 2.40"), std::string::npos) << One.Out;

    A.reset();
    const TCliResult None = RunCli({"--port", "auto", "--json"}, Dir.Path, Wait);
    EXPECT_EQ(None.ExitCode, 11) << None.Out << None.Err;
    const auto J = JsonLines(None.Out);
    ASSERT_EQ(J.size(), 3u) << None.Out;
    EXPECT_EQ(J[0].value("number").toInt(), 7);
    EXPECT_EQ(J[0].value("found").toString(), "nothing");
    EXPECT_EQ(J[0].value("bytes_sent").toInt(), 9) << "one wake-up";
    EXPECT_EQ(J[1].value("found").toString(), "in-use");
    EXPECT_EQ(J[2].value("event").toString(), "search");
    EXPECT_EQ(J[2].value("exit_code").toInt(), 11);

    // --device auto on a port named by a path outside the port map: it must say what it is.
    const TCliResult Named = RunCli({"--port", Silent.SlavePath(), "--device", "auto"}, {}, Wait);
    close(Fd);
    EXPECT_EQ(Named.ExitCode, 11) << Named.Out << Named.Err;
    EXPECT_NE(Named.Err.find("nothing answered on " + Silent.SlavePath()), std::string::npos) << Named.Err;
}

// --port all --device auto: a unit and a module, each updated as what it answered.
TEST(CliSearch, PortAllUpdatesAUnitAndAModuleEachAsWhatItIs)
{
    ASSERT_FALSE(Archive().Image.empty());
    TTempDir Dir;
    auto Unit = PlugIn<VeltracUnit>(QuickUnit(), 5, Dir);
    auto Module = PlugIn<GpsModule>(QuickModule(), 6, Dir);
    const TCliResult R =
        RunCli({"--port", "all", "--device", "auto", "--json", "--timeout", "120"}, Dir.Path, Wait);
    EXPECT_EQ(R.ExitCode, 0) << R.Out << R.Err;
    std::map<int, std::pair<QString, QString>> Results; // device, result
    for (const QJsonObject& J : JsonLines(R.Out))
        if (J.value("event").toString() == "result")
            Results[J.value("com").toInt()] = {J.value("device").toString(), J.value("result").toString()};
    const std::map<int, std::pair<QString, QString>> Expected{{5, {"veltrac", "updated"}},
                                                              {6, {"egps", "updated"}}};
    EXPECT_EQ(Results, Expected) << R.Out;
    EXPECT_TRUE(Unit->ReceiverImage() == Archive().Image);
    EXPECT_TRUE(Module->ReceiverImage() == Archive().Image);
}

// What the devices received from a probe: its questions, nothing else; a
// module's loader is recognised and not served.
TEST(CliSearch, ProbingSendsOnlyItsQuestionsAndServesNoLoader)
{
    TTempDir Dir;
    auto Unit = PlugIn<VeltracUnit>(QuickUnit(), 5, Dir);
    auto Module = PlugIn<GpsModule>(QuickModule(), 6, Dir);
    ModuleConfig L = QuickModule();
    L.StartInLoader = true;
    L.VersionMajor = 1;
    auto Loader = PlugIn<GpsModule>(L, 7, Dir);

    const TCliResult R = RunCli({"--list-ports", "--probe", "--json"}, Dir.Path, Wait);
    ASSERT_EQ(R.ExitCode, 0) << R.Out << R.Err;
    const auto J = JsonLines(R.Out);
    ASSERT_EQ(J.size(), 3u) << R.Out;
    EXPECT_EQ(J[0].value("found").toString(), "unit");
    EXPECT_EQ(J[0].value("device").toString(), "veltrac");
    EXPECT_EQ(J[0].value("id").toString(), "123456");
    EXPECT_EQ(J[1].value("found").toString(), "module");
    EXPECT_EQ(J[1].value("id").toString(), "00C0FFEE");
    EXPECT_EQ(J[1].value("name").toString(), "EGPS-3339");
    EXPECT_EQ(J[1].value("version").toString(), "2.10");
    EXPECT_EQ(J[2].value("found").toString(), "module-loader");
    EXPECT_EQ(J[2].value("device").toString(), "egps");

    // The unit heard the module's identify (7 bytes, nothing to it) and one
    // "_CONFIGB\r", no command: its answer ended the probe. The module heard
    // one identify.
    ASSERT_TRUE(Unit->WaitUntil([](const UnitReport& U) { return U.Wakeups >= 1; }, 5000));
    const UnitReport U = Unit->Report();
    EXPECT_EQ(U.Line.BytesIn, 16u);
    EXPECT_EQ(U.Wakeups, 1);
    EXPECT_TRUE(U.Commands.empty());
    ASSERT_TRUE(Module->WaitUntil([](const ModuleReport& M) { return M.Line.PortCloses >= 1; }, 5000));
    EXPECT_EQ(Module->Report().Line.BytesIn, 7u);
    EXPECT_EQ(Module->Report().Identifies, 1);
    // At most the identify reached the loader: no block answer.
    ASSERT_TRUE(Loader->WaitUntil([](const ModuleReport& M) { return M.Line.PortCloses >= 1; }, 5000));
    EXPECT_LE(Loader->Report().Line.BytesIn, 7u);
    EXPECT_EQ(Loader->Report().ControllerUpdates, 0);
}
