// The command line recording to a PostgreSQL database of a line: a server
// that is away at the start takes nothing from the run, its records wait in
// the spool and arrive once, in order, when a later command finds it again;
// a wrong login stops the command before any device is touched.
#include "CliTest.h"
#include "tests/records/RecordsTest.h"

#include <QJsonArray>
#include <QJsonObject>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>

using namespace devsim;

namespace
{

constexpr int Wait = 120000;
const std::string Old = "AXN_3.8_3333_15043022,3424,MC-GG,1.0";

bool Skipped()
{
    const char* No = std::getenv("VELTRAC_TEST_NO_POSTGRES");
    return No && std::string(No) == "1";
}

} // namespace

TEST(CliPostgres, RecordsWaitInTheSpoolAndArriveOnceAtTheNextStart)
{
    // Only by hand: a machine without the server fails instead.
    if (Skipped())
        GTEST_SKIP() << "VELTRAC_TEST_NO_POSTGRES=1";
    TPgServer Server;
    ASSERT_TRUE(Server.Error().empty()) << Server.Error();
    const std::string Db = Server.CreateDatabase();
    TTempDir Dir, Files;
    const std::string Spool = Files.Path + "/spool.sqlite";
    UnitConfig C = QuickUnit();
    C.ReceiverVersion = Old;
    auto Unit = std::make_unique<VeltracUnit>(C);
    ASSERT_TRUE(Unit->Ok()) << Unit->Error();
    std::string Error;
    ASSERT_TRUE(Unit->PlugAs(5, Dir.Path, &Error)) << Error;
    auto Run = [&](const std::string& Uri) {
        return RunCli({"--port", "5", "--timeout", "120", "--record", Uri, "--spool", Spool, "--station", "line 1"},
                      Dir.Path, Wait);
    };

    // A wrong password: exit 2, the unit never woken, the password never shown.
    const TCliResult Refused = Run(Server.Uri(Db, "wrong-secret"));
    EXPECT_EQ(Refused.ExitCode, 2) << Refused.Out << Refused.Err;
    EXPECT_EQ(Unit->Report().Wakeups, 0);
    EXPECT_EQ((Refused.Out + Refused.Err).find("wrong-secret"), std::string::npos) << Refused.Err;

    // The server away: the unit is updated all the same, its record waits.
    ASSERT_TRUE(Server.Stop());
    const TCliResult Away = Run(Server.Uri(Db));
    EXPECT_EQ(Away.ExitCode, 0) << Away.Out << Away.Err;
    EXPECT_NE(Away.Err.find("1 record waits for postgresql://veltrac:***@"), std::string::npos) << Away.Err;
    EXPECT_EQ((Away.Out + Away.Err).find("secret"), std::string::npos) << Away.Err;

    // Back: the next command forwards the waiting record first, then its own.
    ASSERT_TRUE(Server.Start());
    const TCliResult Back = Run(Server.Uri(Db));
    EXPECT_EQ(Back.ExitCode, 3) << Back.Out << Back.Err;
    EXPECT_EQ(Server.Sql(Db, "SELECT station, outcome, exit_code, receiver_after FROM runs ORDER BY started_at"),
              "line 1|updated|0|" + Archive().Required + "\nline 1|up-to-date|3|" + Archive().Required);

    // What a supervisor reads back.
    const TCliResult Report = RunCli({"--records", Server.Uri(Db), "--station", "line 1", "--json"}, {}, Wait);
    ASSERT_EQ(Report.ExitCode, 0) << Report.Err;
    const QJsonObject R = JsonLines(Report.Out).back();
    EXPECT_EQ(R.value("event").toString(), "records");
    EXPECT_EQ((Report.Out + Report.Err).find("secret"), std::string::npos);
    const QJsonObject Day = R.value("days").toArray().at(0).toObject();
    EXPECT_EQ(Day.value("updated").toInt(), 1);
    EXPECT_EQ(Day.value("up_to_date").toInt(), 1);
}
