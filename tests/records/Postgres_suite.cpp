// A line's shared PostgreSQL database for real, on a server of the tests' own:
// every record reaches it once and in order through the spool while the server
// is stopped, killed or frozen by SIGSTOP, and a login or database that is not
// right is refused.
#include "RecordsTest.h"

#include "tests/common/QtWait.h"

#include <QTemporaryDir>
#include <cstdlib>
#include <gtest/gtest.h>
#include <set>
#include <sstream>

class PostgresRecords : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        if (!Skipped())
            Server = new TPgServer;
    }
    static void TearDownTestSuite()
    {
        delete Server;
        Server = nullptr;
    }
    static bool Skipped()
    {
        const char* No = std::getenv("VELTRAC_TEST_NO_POSTGRES");
        return No && std::string(No) == "1";
    }
    void SetUp() override
    {
        // Only by hand: a machine without the server fails instead.
        if (Skipped())
            GTEST_SKIP() << "VELTRAC_TEST_NO_POSTGRES=1";
        ASSERT_TRUE(Server->Error().empty()) << Server->Error();
        Db = Server->CreateDatabase();
        Uri = Server->Uri(Db);
        Spool = Dir.filePath("spool.sqlite").toStdString();
    }
    void TearDown() override
    {
        if (Server) {
            EXPECT_TRUE(Server->Restore()) << Server->Error();
        }
    }

    // Every write of a row on the server from now on, in order.
    void WatchArrivals()
    {
        Server->Sql(Db,
                    "CREATE TABLE arrivals (n bigserial PRIMARY KEY, run_id text, outcome text);"
                    "CREATE FUNCTION log_arrival() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
                    "INSERT INTO arrivals (run_id, outcome) VALUES (NEW.run_id, NEW.outcome); RETURN NEW; "
                    "END $$;"
                    "CREATE TRIGGER arrival AFTER INSERT OR UPDATE ON runs FOR EACH ROW EXECUTE FUNCTION "
                    "log_arrival()");
    }
    // "<run id> <outcome>" per write; Distinct: a write repeated after a lost answer counted once.
    std::vector<std::string> Arrivals(bool Distinct = false)
    {
        std::istringstream In(Server->Sql(Db, "SELECT run_id || ' ' || outcome FROM arrivals ORDER BY n"));
        std::vector<std::string> A;
        std::set<std::string> Seen;
        for (std::string L; std::getline(In, L);)
            if (!Distinct || Seen.insert(L).second)
                A.push_back(L);
        return A;
    }
    static std::vector<std::string> Expected(const std::vector<std::string>& Ids)
    {
        std::vector<std::string> E;
        for (const std::string& Id : Ids) {
            E.push_back(Id + " running");
            E.push_back(Id + " updated");
        }
        return E;
    }
    std::string BeginOnly(TWriterProbe& P)
    {
        TRunStart S;
        S.RunId = NewRunId();
        S.Station = "line-1";
        P.Writer.Begin(S);
        return S.RunId;
    }

    static TPgServer* Server;
    QTemporaryDir Dir;
    std::string Db, Uri, Spool;
};

TPgServer* PostgresRecords::Server = nullptr;

TEST_F(PostgresRecords, RecordsWaitInTheSpoolWhileTheServerIsStoppedAndArriveOnceInOrder)
{
    {
        TWriterProbe First(Uri, QuickOptions(Spool));
        ASSERT_EQ(First.Checked().Result, TStartResult::Ok) << First.Checked().Message;
    }
    WatchArrivals();
    ASSERT_TRUE(Server->Stop());

    TWriterProbe P(Uri, QuickOptions(Spool));
    EXPECT_EQ(P.Checked().Result, TStartResult::Unreachable);
    EXPECT_NE(P.Checked().Message.find(Spool), std::string::npos) << P.Checked().Message;
    std::vector<std::string> Ids;
    for (int i = 0; i < 3; ++i)
        Ids.push_back(P.Run("line-1"));
    ASSERT_TRUE(P.WaitReports(6));
    EXPECT_TRUE(P.Failed.empty());
    // Three runs wait, each as its start and its end.
    EXPECT_EQ(P.Drain(300), 3);
    EXPECT_EQ(P.Writer.Status().Waiting, 3);
    EXPECT_FALSE(P.Writer.Status().ForwardError.empty());
    EXPECT_EQ(P.Writer.Status().ForwardError.find("secret"), std::string::npos)
        << "a password is never shown";

    ASSERT_TRUE(Server->Start());
    EXPECT_EQ(P.Drain(20000), 0);
    EXPECT_EQ(Arrivals(), Expected(Ids));
    EXPECT_TRUE(P.Writer.Status().ForwardError.empty());
}

TEST_F(PostgresRecords, AServerKilledMidRunGetsTheRestWhenItIsBack)
{
    TWriterProbe P(Uri, QuickOptions(Spool));
    ASSERT_EQ(P.Checked().Result, TStartResult::Ok) << P.Checked().Message;
    WatchArrivals();
    const std::string First = P.Run("line-1");
    const std::string Second = BeginOnly(P);
    ASSERT_EQ(P.Drain(20000), 0);

    Server->Kill();
    P.Writer.End(ResultLine(Second, "line-1", "updated"));
    const std::string Third = P.Run("line-1");
    ASSERT_TRUE(P.WaitReports(6));
    EXPECT_TRUE(P.Failed.empty());
    EXPECT_GT(P.Drain(300).value_or(0), 0);

    ASSERT_TRUE(Server->Start());
    EXPECT_EQ(P.Drain(20000), 0);
    EXPECT_EQ(Arrivals(), Expected({First, Second, Third}));
}

TEST_F(PostgresRecords, AServerFrozenBySigstopHoldsNoWriterAndNoDrain)
{
    TWriterProbe P(Uri, QuickOptions(Spool));
    ASSERT_EQ(P.Checked().Result, TStartResult::Ok) << P.Checked().Message;
    WatchArrivals();
    const std::string First = P.Run("line-1");
    ASSERT_EQ(P.Drain(20000), 0);

    // The kernel still acknowledges every packet: only the writer's own
    // limits end its waits.
    Server->Pause();
    const std::string Second = P.Run("line-1");
    ASSERT_TRUE(P.WaitReports(4));
    EXPECT_TRUE(P.Failed.empty());
    const std::optional<int> Waiting = P.Drain(500);
    ASSERT_TRUE(Waiting.has_value());
    EXPECT_GT(*Waiting, 0);
    {
        // Neither its start nor its end waits for the frozen server.
        TWriterProbe Late(Uri, QuickOptions(Dir.filePath("late.sqlite").toStdString()));
        EXPECT_EQ(Late.Checked().Result, TStartResult::Unreachable);
        Late.Run("line-2");
        ASSERT_TRUE(Late.WaitReports(2));
    }

    Server->Resume();
    EXPECT_EQ(P.Drain(20000), 0);
    EXPECT_EQ(Arrivals(true), Expected({First, Second}));
    EXPECT_EQ(Server->Sql(Db, "SELECT string_agg(outcome, ',') FROM runs"), "updated,updated");
}

TEST_F(PostgresRecords, AWrongLoginOrADatabaseNotOursIsRefused)
{
    TWriterProbe Wrong(Server->Uri(Db, "not-the-password"), QuickOptions(Spool));
    EXPECT_EQ(Wrong.Checked().Result, TStartResult::Refused);
    EXPECT_NE(Wrong.Checked().Message.find("password authentication failed"), std::string::npos)
        << Wrong.Checked().Message;
    EXPECT_EQ(Wrong.Checked().Message.find("not-the-password"), std::string::npos) << Wrong.Checked().Message;

    const std::string Foreign = Server->CreateDatabase();
    Server->Sql(Foreign, "CREATE TABLE runs (id integer, name text); INSERT INTO runs VALUES (1, 'kept')");
    TWriterProbe NotOurs(Server->Uri(Foreign), QuickOptions(Spool));
    EXPECT_EQ(NotOurs.Checked().Result, TStartResult::Refused);
    EXPECT_NE(NotOurs.Checked().Message.find("did not make"), std::string::npos) << NotOurs.Checked().Message;
    EXPECT_EQ(Server->Sql(Foreign, "SELECT string_agg(column_name, ',' ORDER BY ordinal_position) FROM "
                                   "information_schema.columns WHERE table_name = 'runs'"),
              "id,name");
    EXPECT_EQ(Server->Sql(Foreign, "SELECT to_regclass('schema_version') IS NULL"), "t");

    // A login refused later, while forwarding, is told in the status.
    TWriterProbe P(Uri, QuickOptions(Spool));
    ASSERT_EQ(P.Checked().Result, TStartResult::Ok) << P.Checked().Message;
    Server->Sql(Db, "ALTER ROLE veltrac PASSWORD 'changed'");
    Server->Sql(Db, "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = "
                    "'veltrac-gnss-update'");
    P.Run("line-1");
    EXPECT_TRUE(WaitFor([&] { return P.Writer.Status().LoginRefused; }, 20000));
    EXPECT_GT(P.Writer.Status().Waiting, 0);
    Server->Sql(Db, "ALTER ROLE veltrac PASSWORD 'secret'");
    EXPECT_EQ(P.Drain(20000), 0);
    EXPECT_FALSE(P.Writer.Status().LoginRefused);
}

TEST_F(PostgresRecords, ASpoolThatCannotGrowIsAFailure)
{
    // 64 KiB a file: the spool opens, and fills after a few records.
    const TProbeResult R =
        RunProbe({Uri, "--spool", Spool, "--runs", "40", "--fsize", "65536", "--drain", "2000"});
    EXPECT_EQ(R.ExitCode, 12) << R.Err;
    EXPECT_NE(R.Err.find("record failed: the spool " + Spool), std::string::npos) << R.Err;
    EXPECT_NE(R.Err.find("may grow no further"), std::string::npos) << R.Err;
}
