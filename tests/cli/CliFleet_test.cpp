// Several devices in one command: one session per port, all at once, and a
// record file shared by two commands.
#include "CliTest.h"
#include "app/cli/CliFleet.h"
#include "app/cli/CliRender.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using namespace devsim;

namespace
{

constexpr int Wait = 120000;
const std::string Old = "AXN_3.8_3333_15043022,3424,MC-GG,1.0";

} // namespace

// Four units in one command (one drops replies, one is pulled out during its
// transfer) and two modules in a second command at the same time, both
// appending to one record file.
TEST(CliFleet, UnitsAndModulesAtOnceShareOneRecord)
{
    ASSERT_FALSE(Archive().Image.empty());
    TTempDir Dir, Files;
    std::vector<std::unique_ptr<VeltracUnit>> Units;
    for (int I = 0; I < 4; ++I) {
        UnitConfig C = QuickUnit();
        C.UnitId = 2001 + static_cast<uint32_t>(I);
        C.ReceiverVersion = Old;
        Faults F;
        F.Seed = 7;
        if (I == 1)
            F.DropReplies = 0.005;
        if (I == 2)
            F.HangUpAt = "eeprom:20";
        Units.push_back(std::make_unique<VeltracUnit>(C));
        ASSERT_TRUE(Units.back()->Ok()) << Units.back()->Error();
        Units.back()->SetFaults(F);
        std::string Error;
        ASSERT_TRUE(Units.back()->PlugAs(5 + I, Dir.Path, &Error)) << Error;
    }
    std::vector<std::unique_ptr<GpsModule>> Modules;
    for (int I = 0; I < 2; ++I) {
        ModuleConfig C = QuickModule();
        C.ModuleId = 0x00A00001 + static_cast<uint32_t>(I);
        Modules.push_back(std::make_unique<GpsModule>(C));
        ASSERT_TRUE(Modules.back()->Ok()) << Modules.back()->Error();
        std::string Error;
        ASSERT_TRUE(Modules.back()->PlugAs(11 + I, Dir.Path, &Error)) << Error;
    }
    const std::string Record = Files.Path + "/record.jsonl";
    const std::string Log = Files.Path + "/modules.log";
    // COM 5 is named twice, once by its path: one run for it.
    TCliProcess UnitRun({"--port", "5", "--port", "6", "--port", "7", "--port", "8", "--port", Dir.Path + "/com5",
                         "--json", "--record", Record, "--station", "line 2", "--timeout", "120"},
                        Dir.Path);
    TCliProcess ModuleRun({"--device", "egps", "--port", "11", "--port", "COM12", "--record", Record, "--station",
                           "line 2", "--log", Log, "--timeout", "120"},
                          Dir.Path);
    const TCliResult U = UnitRun.Wait(Wait);
    const TCliResult M = ModuleRun.Wait(Wait);
    ASSERT_TRUE(U.Finished && M.Finished) << U.Out << U.Err << M.Out << M.Err;

    // The units: each event names its port; three updated, the one pulled
    // out ended with a port error, which makes the command's exit code 10.
    EXPECT_EQ(U.ExitCode, 10) << U.Err;
    std::map<int, QString> Results;
    std::set<QString> ResultKeys;
    QJsonObject Summary;
    for (const QJsonObject& J : JsonLines(U.Out)) {
        const QString Event = J.value("event").toString();
        if (Event == "summary") {
            Summary = J;
            continue;
        }
        ASSERT_TRUE(J.contains("com") && J.contains("device_path")) << QJsonDocument(J).toJson().toStdString();
        const int Com = J.value("com").toInt();
        EXPECT_EQ(J.value("device_path").toString().toStdString(), Dir.Path + "/com" + std::to_string(Com));
        if (Event == "result") {
            EXPECT_FALSE(Results.count(Com)) << "two results for COM " << Com;
            Results[Com] = J.value("result").toString();
            const QStringList Keys = J.keys();
            ResultKeys = std::set<QString>(Keys.begin(), Keys.end());
        }
    }
    const std::map<int, QString> Expected{{5, "updated"}, {6, "updated"}, {7, "port-error"}, {8, "updated"}};
    EXPECT_EQ(Results, Expected) << U.Out;
    EXPECT_EQ(Summary.value("devices").toInt(), 4);
    EXPECT_EQ(Summary.value("outcomes").toObject().value("updated").toInt(), 3);
    EXPECT_EQ(Summary.value("outcomes").toObject().value("port-error").toInt(), 1);
    EXPECT_EQ(Summary.value("not_updated").toArray().toVariantList().size(), 1);
    EXPECT_EQ(Summary.value("not_updated").toArray().at(0).toString(), "COM 7");
    EXPECT_EQ(Summary.value("exit_code").toInt(), 10);

    // The modules, as text: each line names its port, a summary at the end,
    // and a log per port.
    EXPECT_EQ(M.ExitCode, 0) << M.Out << M.Err;
    for (const std::string& Line : Lines(M.Out)) {
        const bool Prefixed = Line.rfind("COM 11: ", 0) == 0 || Line.rfind("COM 12: ", 0) == 0;
        const bool Summing = Line.rfind("  COM", 0) == 0 || Line.rfind("Summary of ", 0) == 0 ||
                             Line.rfind("Every device", 0) == 0 || Line.find("2 ports at once") != std::string::npos;
        EXPECT_TRUE(Prefixed || Summing) << Line;
    }
    EXPECT_NE(M.Out.find("Summary of 2 devices: 2 updated\n"), std::string::npos) << M.Out;
    EXPECT_NE(M.Out.find("  COM 11 (module 00A00001): updated: the receiver was updated to "), std::string::npos) << M.Out;
    for (const char* Port : {".com11", ".com12"})
        EXPECT_NE(ReadFile(Log + Port).find("# result: updated"), std::string::npos) << Port;

    // The record: six whole lines, each with every field of a result line.
    std::map<int, QString> Recorded;
    for (const QJsonObject& J : JsonLines(ReadFile(Record))) {
        const QStringList Keys = J.keys();
        EXPECT_EQ(std::set<QString>(Keys.begin(), Keys.end()), ResultKeys);
        EXPECT_EQ(J.value("station").toString(), "line 2");
        Recorded[J.value("com").toInt()] = J.value("result").toString();
    }
    EXPECT_EQ(Lines(ReadFile(Record)).size(), 6u);
    std::map<int, QString> All = Expected;
    All[11] = All[12] = "updated";
    EXPECT_EQ(Recorded, All);

    // And from the devices' side: nothing disturbed the others.
    for (int I : {0, 1, 3}) {
        EXPECT_EQ(Units[static_cast<std::size_t>(I)]->Report().Programmings, 1) << "COM " << 5 + I;
        EXPECT_TRUE(Units[static_cast<std::size_t>(I)]->ReceiverImage() == Archive().Image) << "COM " << 5 + I;
    }
    EXPECT_GT(Units[1]->Report().Retries(), 0) << "no reply was dropped";
    EXPECT_EQ(Units[2]->Report().Programmings, 0);
    for (const auto& Module : Modules)
        EXPECT_EQ(Module->Report().Programmings, 1);
}

TEST(CliFleet, PortsTablesAndCounts)
{
    // The same device by number and by path is one port; log files by port.
    TTempDir Dir;
    TSilentPty A, B;
    ASSERT_EQ(symlink(A.SlavePath().c_str(), (Dir.Path + "/com3").c_str()), 0);
    setenv("VELTRAC_COM_DIR", Dir.Path.c_str(), 1);
    const std::vector<TCliPort> Ports =
        DistinctPorts({{3, {}}, {0, Dir.Path + "/com3"}, {0, A.SlavePath()}, {0, B.SlavePath()}, {9, {}}, {9, {}}});
    unsetenv("VELTRAC_COM_DIR");
    ASSERT_EQ(Ports.size(), 3u);
    EXPECT_EQ(Ports[0].Number, 3);
    EXPECT_EQ(Ports[1].Path, B.SlavePath());
    EXPECT_EQ(Ports[2].Number, 9);
    EXPECT_EQ(PortLogFile("run.log", {7, {}}), "run.log.com7");
    // A record that cannot be written stops the command before any port opens.
    const TCliResult R = RunCli({"--port", A.SlavePath(), "--port", B.SlavePath(), "--record", "/no-such-dir/r"});
    EXPECT_EQ(R.ExitCode, 2) << R.Out << R.Err;
    EXPECT_NE(R.Err.find("cannot write the record file /no-such-dir/r"), std::string::npos) << R.Err;
    EXPECT_EQ(R.Out, "");
    EXPECT_EQ(PortLogFile("run.log", {0, "/dev/ttyUSB3"}), "run.log.ttyUSB3");

    EXPECT_EQ(OutcomeCounts({"updated", "port-error", "updated"}), "2 updated, 1 port-error");
    TCliRow Running{"COM 5", "A1B2C3", "2001", "Writing the image into the unit: 3 of 9 records", "33%",
                    "7.2 kB/s", "0:52", ""};
    TCliRow Ended{"/dev/ttyUSB12345678", "", "", "Failed: port gone", "", "", "", "port-error"};
    const std::vector<std::string> T = TableLines({Running, Ended});
    ASSERT_EQ(T.size(), 4u);
    EXPECT_EQ(T[1], "COM 5         A1B2C3        2001        33%    7.2 kB/s    0:52     "
                    "Writing the image into the unit: 3 of 9 records");
    // Too long a cell is cut and marked; what is not known is a dash.
    EXPECT_EQ(T[2].substr(0, 40), "/dev/ttyUSB~  -             -           ");
    EXPECT_NE(T[2].find("port-error: Failed: port gone"), std::string::npos);
    EXPECT_EQ(T[3], "1 of 2 ended: 1 port-error");

    // A lost record wins over a device left behind; a signal over both.
    EXPECT_EQ(SeveralRunsExitCode(true, 0, false), 0);
    EXPECT_EQ(SeveralRunsExitCode(false, 0, false), 10);
    EXPECT_EQ(SeveralRunsExitCode(true, 1, false), 12);
    EXPECT_EQ(SeveralRunsExitCode(false, 2, false), 12);
    EXPECT_EQ(SeveralRunsExitCode(false, 1, true), 130);
}

// A record file at the file-size limit takes no line: both runs of the
// command say so, the JSON results still reach stdout, and the command's exit
// code is 12 even though every device was updated.
TEST(CliFleet, RecordsBeyondTheFileSizeLimitAreExitCode12)
{
    TTempDir Dir, Files;
    std::vector<std::unique_ptr<VeltracUnit>> Units;
    for (int I = 0; I < 2; ++I) {
        UnitConfig C = QuickUnit();
        C.UnitId = 3001 + static_cast<uint32_t>(I);
        C.ReceiverVersion = Old;
        Units.push_back(std::make_unique<VeltracUnit>(C));
        ASSERT_TRUE(Units.back()->Ok()) << Units.back()->Error();
        std::string Error;
        ASSERT_TRUE(Units.back()->PlugAs(5 + I, Dir.Path, &Error)) << Error;
    }
    // Well above what the program itself writes (its 7-Zip library goes to a
    // memory file, which the limit counts too); the record file ends at it.
    constexpr rlim_t Limit = 256 << 20;
    const std::string Record = Files.File("record.jsonl", "");
    ASSERT_EQ(truncate(Record.c_str(), Limit), 0);
    TCliProcess Run({"--port", "5", "--port", "6", "--json", "--record", Record, "--timeout", "120"}, Dir.Path,
                    Limit);
    const TCliResult R = Run.Wait(Wait);
    ASSERT_TRUE(R.Finished) << R.Out << R.Err;
    EXPECT_EQ(R.ExitCode, 12) << R.Out << R.Err;
    int Results = 0;
    QJsonObject Summary;
    for (const QJsonObject& J : JsonLines(R.Out)) {
        if (J.value("event").toString() == "summary")
            Summary = J;
        if (J.value("event").toString() != "result")
            continue;
        ++Results;
        EXPECT_EQ(J.value("result").toString(), "updated") << J.value("message").toString().toStdString();
        EXPECT_EQ(J.value("exit_code").toInt(), 12);
        EXPECT_FALSE(J.value("record_written").toBool(true));
    }
    EXPECT_EQ(Results, 2) << R.Out;
    EXPECT_EQ(Summary.value("records_not_written").toInt(), 2) << R.Out;
    EXPECT_EQ(Summary.value("exit_code").toInt(), 12);
    EXPECT_NE(R.Err.find("File too large"), std::string::npos) << R.Err;
    struct stat St {
    };
    ASSERT_EQ(stat(Record.c_str(), &St), 0);
    EXPECT_EQ(static_cast<rlim_t>(St.st_size), Limit) << "nothing torn onto the end";
}
