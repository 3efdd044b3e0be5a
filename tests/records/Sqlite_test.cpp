// The station's own stores for real: an SQLite file (several processes on it
// at once) and a JSON Lines file, written by the writer thread; and reading
// them back.
#include "RecordsTest.h"

#include "app/records/RecordSchema.h"
#include "app/records/RecordsReport.h"
#include "app/records/SqliteConnection.h"
#include "tests/common/QtWait.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>

namespace
{

std::string Db(const QTemporaryDir& Dir, const char* Name = "station.db")
{
    return Dir.filePath(Name).toStdString();
}

// Column values of one run, or an empty row when there is none.
TSqlRow RowOf(const std::string& Path, const std::string& RunId, const std::string& Columns)
{
    TSqliteConnection C(Path, "check", 5000);
    const auto Rows = C.Query("SELECT " + Columns + " FROM runs WHERE run_id = $1", {RunId});
    return Rows.empty() ? TSqlRow() : Rows[0];
}

std::string One(const std::string& Path, const std::string& Sql)
{
    TSqliteConnection C(Path, "check", 5000);
    const auto Rows = C.Query(Sql);
    return Rows.empty() || Rows[0].empty() ? "" : Rows[0][0].value_or("NULL");
}

} // namespace

TEST(SqliteRecords, StartAndEndMakeOneRowThatALateStartLeavesAlone)
{
    QTemporaryDir Dir;
    TWriterProbe P("sqlite:" + Db(Dir));
    ASSERT_EQ(P.Checked().Result, TStartResult::Ok) << P.Checked().Message;

    TRunStart S;
    S.RunId = NewRunId();
    S.Station = "line-1";
    S.Slot = "A3";
    S.Device = "veltrac";
    S.Port = "COM 3";
    S.PackageLabel = "demo";
    P.Writer.Begin(S);
    ASSERT_TRUE(P.WaitReports(1));
    EXPECT_EQ(RowOf(Db(Dir), S.RunId, "outcome, ended_at, slot"), (TSqlRow{"running", {}, "A3"}));

    // The result line has no slot: the start's is kept.
    P.Writer.End(ResultLine(S.RunId, "line-1", "updated"));
    // A start that arrives after its end (another process's spool) changes nothing.
    const std::string Late = NewRunId();
    P.Writer.End(ResultLine(Late, "line-1", "not-confirmed", "1002", "", "no evidence"));
    TRunStart L = S;
    L.RunId = Late;
    P.Writer.Begin(L);
    ASSERT_TRUE(P.WaitReports(4));
    EXPECT_TRUE(P.Failed.empty()) << P.Failed.front();
    EXPECT_EQ(P.Stored, (std::vector<std::string>{S.RunId + " begin", S.RunId + " end", Late + " end",
                                                  Late + " begin"}));

    const TSqlRow R =
        RowOf(Db(Dir), S.RunId, "outcome, exit_code, slot, port, adapter_serial, package_label, result");
    ASSERT_EQ(R.size(), 7u);
    EXPECT_EQ(R[0], "updated");
    EXPECT_EQ(R[1], "0");
    EXPECT_EQ(R[2], "A3");
    EXPECT_EQ(R[3], "COM 3");
    EXPECT_EQ(R[4], "FT123");
    EXPECT_EQ(R[5], "demo");
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(R[6].value_or("")))["run_id"]
                  .toString()
                  .toStdString(),
              S.RunId);
    EXPECT_EQ(RowOf(Db(Dir), Late, "outcome, message"), (TSqlRow{"not-confirmed", "no evidence"}));
    EXPECT_EQ(One(Db(Dir), "SELECT COUNT(*) FROM runs"), "2");
    EXPECT_EQ(P.Drain(5000), 0);
}

TEST(SqliteRecords, SchemasNotOursAreRefusedAndLeftAsTheyAre)
{
    QTemporaryDir Dir;
    {
        TWriterProbe P("sqlite:" + Db(Dir, "newer.db"));
        ASSERT_EQ(P.Checked().Result, TStartResult::Ok);
    }
    {
        TSqliteConnection C(Db(Dir, "newer.db"), "setup", 5000);
        C.Query("UPDATE schema_version SET version = 2");
        TSqliteConnection F(Db(Dir, "foreign.db"), "setup", 5000);
        F.Query("CREATE TABLE runs (id INTEGER, name TEXT)");
        F.Query("INSERT INTO runs VALUES (1, 'kept')");
        TSqliteConnection M(Db(Dir, "lacking.db"), "setup", 5000);
        M.Query("CREATE TABLE schema_version (version INTEGER)");
        M.Query("INSERT INTO schema_version VALUES (1)");
        M.Query("CREATE TABLE runs (run_id TEXT PRIMARY KEY, outcome TEXT)");
    }
    std::ofstream(Db(Dir, "text.db")) << "this is a text file, not a database, and it stays one\n";

    struct {
        const char* File;
        const char* Says;
    } Cases[] = {{"newer.db", "schema version 2"},
                 {"foreign.db", "did not make"},
                 {"lacking.db", "lacks the columns station, slot"},
                 {"text.db", "not a database"}};
    for (const auto& C : Cases) {
        TWriterProbe P("sqlite:" + Db(Dir, C.File));
        EXPECT_EQ(P.Checked().Result, TStartResult::Refused) << C.File;
        EXPECT_NE(P.Checked().Message.find(C.Says), std::string::npos) << P.Checked().Message;
        // A record for a refused store is a failure, not a silent loss.
        P.Run("line-1");
        ASSERT_TRUE(P.WaitReports(2));
        EXPECT_EQ(P.Failed.size(), 2u) << C.File;
    }
    EXPECT_EQ(One(Db(Dir, "newer.db"), "SELECT version FROM schema_version"), "2");
    EXPECT_EQ(One(Db(Dir, "foreign.db"), "SELECT group_concat(name) FROM pragma_table_info('runs')"),
              "id,name");
    EXPECT_EQ(One(Db(Dir, "foreign.db"), "SELECT name FROM runs"), "kept");
    EXPECT_EQ(One(Db(Dir, "foreign.db"), "SELECT COUNT(*) FROM sqlite_master WHERE name = 'schema_version'"),
              "0");
    EXPECT_EQ(One(Db(Dir, "lacking.db"), "SELECT COUNT(*) FROM pragma_table_info('runs')"), "2");
}

TEST(SqliteRecords, EightProcessesOnOneFileLoseNoRow)
{
    QTemporaryDir Dir;
    const std::string Path = Db(Dir);
    std::vector<int> Pids;
    for (int i = 0; i < 8; ++i)
        Pids.push_back(StartProbe({"sqlite:" + Path, "--runs", "25", "--station", "p" + std::to_string(i)},
                                  Dir.filePath(QString("err%1").arg(i)).toStdString()));
    for (int i = 0; i < 8; ++i) {
        const TProbeResult R = WaitProbe(Pids[i], Dir.filePath(QString("err%1").arg(i)).toStdString());
        EXPECT_EQ(R.ExitCode, 0) << R.Err;
    }
    EXPECT_EQ(One(Path, "SELECT COUNT(*) FROM runs WHERE outcome = 'updated' AND ended_at IS NOT NULL"),
              "200");
    EXPECT_EQ(One(Path, "SELECT COUNT(DISTINCT device_id) FROM runs"), "200");
    EXPECT_EQ(One(Path, "SELECT group_concat(n) FROM (SELECT COUNT(*) AS n FROM runs GROUP BY station)"),
              "25,25,25,25,25,25,25,25");
}

TEST(JsonLinesRecords, OneWholeLinePerRunAndAShortWriteIsAFailure)
{
    QTemporaryDir Dir;
    const std::string File = Dir.filePath("records.jsonl").toStdString();
    {
        TWriterProbe P(File);
        ASSERT_EQ(P.Checked().Result, TStartResult::Ok);
        const std::string A = P.Run("line-1");
        const std::string B = P.Run("line-1", "failed");
        ASSERT_TRUE(P.WaitReports(2));
        EXPECT_EQ(P.Stored, (std::vector<std::string>{A + " end", B + " end"}));
        EXPECT_EQ(P.Drain(5000), 0);
    }
    std::ifstream In(File);
    std::vector<std::string> Lines;
    for (std::string L; std::getline(In, L);)
        Lines.push_back(L);
    ASSERT_EQ(Lines.size(), 2u);
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(Lines[1]))["result"].toString(), "failed");

    TWriterProbe Full("/dev/full");
    ASSERT_EQ(Full.Checked().Result, TStartResult::Ok);
    Full.Run("line-1");
    ASSERT_TRUE(Full.WaitReports(1));
    ASSERT_EQ(Full.Failed.size(), 1u);
    EXPECT_NE(Full.Failed[0].find("No space left on device"), std::string::npos) << Full.Failed[0];

    TWriterProbe Nowhere(Dir.filePath("no/such/folder/records.jsonl").toStdString());
    EXPECT_EQ(Nowhere.Checked().Result, TStartResult::Refused);
    EXPECT_NE(Nowhere.Checked().Message.find("No such file or directory"), std::string::npos);
}

TEST(RecordsReport, PerStationAndLocalDayWithTheFieldAndTheFailures)
{
    // Days are local: 20:00 UTC on 1 May is already 2 May in Tokyo.
    setenv("TZ", "Asia/Tokyo", 1);
    tzset();
    auto Row = [](const char* Station, const char* Start, const char* Outcome, const char* Id,
                  const char* Before, const char* After, const char* Message = "") {
        TRunRow R;
        R.RunId = NewRunId();
        R.Station = Station;
        R.StartedAt = Start;
        R.Outcome = Outcome;
        R.Device = "veltrac";
        R.DeviceId = Id;
        R.ReceiverBefore = Before;
        R.ReceiverAfter = After;
        R.Message = Message;
        if (R.Outcome != "running")
            R.EndedAt = Start;
        return R;
    };
    const std::vector<TRunRow> Rows{
        Row("st-1", "2024-05-01T20:00:00.000Z", "updated", "1001", "AXN_3", "AXN_5"),
        Row("st-1", "2024-05-01T21:00:00.000Z", "not-confirmed", "1002", "AXN_3", "", "no evidence"),
        Row("st-2", "2024-05-01T10:00:00.000Z", "up-to-date", "1003", "AXN_5", "AXN_5"),
        Row("st-2", "2024-05-01T11:00:00.000Z", "running", "1004", "", ""),
        // The same unit again, updated since: the field has its newer receiver.
        Row("st-2", "2024-05-01T12:00:00.000Z", "updated", "1002", "AXN_3", "AXN_5"),
    };
    QTemporaryDir Dir;
    {
        TSqliteConnection C(Db(Dir), "setup", 5000);
        EnsureRecordSchema(C, "setup");
        for (const TRunRow& R : Rows)
            UpsertRun(C, R, true);
    }
    const TRecordDestination D = ParseRecordDestination("sqlite:" + Db(Dir)).Destination;
    const TRecordsReport All = ReadRecords(D, {});
    EXPECT_EQ(All.TimeZone, "Asia/Tokyo");
    ASSERT_EQ(All.Days.size(), 2u);
    EXPECT_EQ(All.Days[0].Station, "st-1");
    EXPECT_EQ(All.Days[0].Day, "2024-05-02");
    EXPECT_EQ((std::vector<int>{All.Days[0].Updated, All.Days[0].UpToDate, All.Days[0].Failed,
                                All.Days[0].Unfinished}),
              (std::vector<int>{1, 0, 1, 0}));
    EXPECT_EQ(All.Days[1].Day, "2024-05-01");
    EXPECT_EQ((std::vector<int>{All.Days[1].Updated, All.Days[1].UpToDate, All.Days[1].Failed,
                                All.Days[1].Unfinished}),
              (std::vector<int>{1, 1, 0, 1}));
    // 1002 failed at 21:00 on st-1, after its update at 12:00: AXN_3 again.
    EXPECT_EQ(All.Receivers, (std::vector<std::pair<std::string, int>>{{"AXN_5", 2}, {"AXN_3", 1}}));
    ASSERT_EQ(All.Failures.size(), 1u);
    EXPECT_EQ(All.Failures[0].Message, "no evidence");

    const TRecordsReport Since = ReadRecords(D, {QDate(2024, 5, 2), {}});
    ASSERT_EQ(Since.Days.size(), 1u);
    EXPECT_EQ(Since.Days[0].Station, "st-1");
    const TRecordsReport Station = ReadRecords(D, {{}, "st-2"});
    ASSERT_EQ(Station.Days.size(), 1u);
    EXPECT_EQ(Station.Days[0].Station, "st-2");

    const std::vector<std::string> Lines = RecordsReportLines(All);
    ASSERT_GE(Lines.size(), 3u);
    EXPECT_NE(Lines[0].find("Asia/Tokyo"), std::string::npos);
    EXPECT_NE(Lines[2].find("st-1"), std::string::npos);
    EXPECT_NE(Lines.back().find("no evidence"), std::string::npos);
    const QJsonObject J = QJsonDocument::fromJson(QByteArray::fromStdString(RecordsReportJson(All))).object();
    EXPECT_EQ(J["days"].toArray().size(), 2);
    EXPECT_EQ(J["days"][0]["failed"].toInt(), 1);
    EXPECT_EQ(J["receivers"][0]["version"].toString(), "AXN_5");
    EXPECT_EQ(J["failures"][0]["message"].toString(), "no evidence");

    // A JSON Lines file gives the same counts; a line that is no result is counted, not fatal.
    const std::string File = Dir.filePath("records.jsonl").toStdString();
    {
        std::ofstream Out(File);
        for (const TRunRow& R : Rows)
            if (R.Outcome != "running")
                Out << QJsonDocument(
                           QJsonObject{{"run_id", QString::fromStdString(R.RunId)},
                                       {"result", QString::fromStdString(R.Outcome)},
                                       {"station", QString::fromStdString(R.Station)},
                                       {"started_at", QString::fromStdString(R.StartedAt)},
                                       {"device", "veltrac"},
                                       {"device_id", QString::fromStdString(R.DeviceId)},
                                       {"receiver_before", QString::fromStdString(R.ReceiverBefore)},
                                       {"receiver_after", QString::fromStdString(R.ReceiverAfter)}})
                           .toJson(QJsonDocument::Compact)
                           .toStdString()
                    << "\n";
        Out << "not json\n";
    }
    const TRecordsReport Lines2 = ReadRecords(ParseRecordDestination(File).Destination, {});
    EXPECT_EQ(Lines2.Unreadable, 1);
    ASSERT_EQ(Lines2.Days.size(), 2u);
    EXPECT_EQ(Lines2.Days[0].Failed, 1);
    EXPECT_EQ(Lines2.Receivers, All.Receivers);
}
