#include "app/records/RecordSchema.h"

#include <algorithm>
#include <set>

namespace
{

std::string ColumnType(const std::string& Column, bool Postgres)
{
    if (Column == "run_id")
        return "TEXT PRIMARY KEY";
    if (Column == "outcome")
        return "TEXT NOT NULL";
    if (Column == "exit_code")
        return "INTEGER";
    if (Postgres && (Column == "started_at" || Column == "ended_at"))
        return "TIMESTAMPTZ";
    // json keeps the line as written (jsonb would refuse a \u0000 of a device text).
    if (Postgres && Column == "result")
        return "JSON";
    return "TEXT";
}

// The statements that take a database from version To - 1 to To.
std::vector<std::string> Migration(int To, bool Postgres)
{
    std::vector<std::string> Sql;
    if (To == 1) {
        std::string Create = "CREATE TABLE runs (";
        for (const std::string& C : RunColumns())
            Create += (C == RunColumns().front() ? "" : ", ") + C + " " + ColumnType(C, Postgres);
        Sql.push_back(Create + ")");
        Sql.push_back("CREATE INDEX runs_started_at ON runs (started_at)");
        Sql.push_back("CREATE INDEX runs_station ON runs (station, started_at)");
    }
    return Sql;
}

std::set<std::string> Tables(TSqlConnection& C)
{
    const std::string Sql =
        C.Postgres()
            ? "SELECT table_name FROM information_schema.tables WHERE table_schema = current_schema() "
              "AND table_name IN ('runs', 'schema_version')"
            : "SELECT name FROM sqlite_master WHERE type = 'table' AND name IN ('runs', 'schema_version')";
    std::set<std::string> Names;
    for (const TSqlRow& R : C.Query(Sql))
        Names.insert(R.at(0).value_or(""));
    return Names;
}

std::set<std::string> RunsColumnsPresent(TSqlConnection& C)
{
    const std::string Sql = C.Postgres() ? "SELECT column_name FROM information_schema.columns WHERE "
                                           "table_schema = current_schema() AND table_name = 'runs'"
                                         : "SELECT name FROM pragma_table_info('runs')";
    std::set<std::string> Names;
    for (const TSqlRow& R : C.Query(Sql))
        Names.insert(R.at(0).value_or(""));
    return Names;
}

int StoredVersion(TSqlConnection& C, const std::string& Name)
{
    const auto NotOurs = [&] {
        return TRecordError(
            TRecordFault::Refused,
            Name + " has a table schema_version that this tool did not make; it is left as it is");
    };
    std::vector<TSqlRow> Rows;
    try {
        Rows = C.Query("SELECT MAX(version) FROM schema_version");
    } catch (const TRecordError& E) {
        if (E.Fault != TRecordFault::Refused && E.Fault != TRecordFault::Failed)
            throw;
        throw NotOurs();
    }
    const std::string Text = Rows.empty() || Rows[0].empty() ? "" : Rows[0][0].value_or("");
    if (Text.empty() || Text.find_first_not_of("0123456789") != std::string::npos || Text.size() > 6)
        throw NotOurs();
    return std::stoi(Text);
}

void CheckAndMigrate(TSqlConnection& C, const std::string& Name)
{
    const std::set<std::string> Present = Tables(C);
    const bool HasRuns = Present.count("runs") > 0;
    const int Version = Present.count("schema_version") ? StoredVersion(C, Name) : 0;
    if (Version > RecordSchemaVersion)
        throw TRecordError(TRecordFault::Refused,
                           Name + " has records schema version " + std::to_string(Version) +
                               "; this tool knows versions up to " + std::to_string(RecordSchemaVersion) +
                               ": record with a newer veltrac-gnss-update");
    if (HasRuns && Version == 0)
        throw TRecordError(TRecordFault::Refused,
                           Name + " has a table runs that this tool did not make; it is left as it is");
    if (!HasRuns && Version > 0)
        throw TRecordError(TRecordFault::Refused, Name + " has a schema_version but no table runs");
    if (Version == 0 && !Present.count("schema_version"))
        C.Query("CREATE TABLE schema_version (version INTEGER NOT NULL)");
    for (int To = Version + 1; To <= RecordSchemaVersion; ++To) {
        for (const std::string& Sql : Migration(To, C.Postgres()))
            C.Query(Sql);
        C.Query("DELETE FROM schema_version");
        C.Query("INSERT INTO schema_version (version) VALUES ($1)", {std::to_string(To)});
    }
    const std::set<std::string> Columns = RunsColumnsPresent(C);
    std::string Missing;
    for (const std::string& Col : RunColumns())
        if (!Columns.count(Col))
            Missing += (Missing.empty() ? "" : ", ") + Col;
    if (!Missing.empty())
        throw TRecordError(TRecordFault::Refused, Name + ": its table runs lacks the columns " + Missing +
                                                      "; it is not this tool's and is left as it is");
}

std::string Placeholders(std::size_t N)
{
    std::string S;
    for (std::size_t i = 1; i <= N; ++i)
        S += (i > 1 ? ", $" : "$") + std::to_string(i);
    return S;
}

std::string ColumnList(const std::vector<std::string>& Columns)
{
    std::string S;
    for (const std::string& C : Columns)
        S += (S.empty() ? "" : ", ") + C;
    return S;
}

} // namespace

void EnsureRecordSchema(TSqlConnection& C, const std::string& Name)
{
    // One checker at a time: two stations starting on an empty database must
    // not both create the tables.
    C.Query(C.Postgres() ? "BEGIN" : "BEGIN IMMEDIATE");
    try {
        if (C.Postgres())
            C.Query("SELECT pg_advisory_xact_lock(7654321)");
        CheckAndMigrate(C, Name);
        C.Query("COMMIT");
    } catch (...) {
        try {
            C.Query("ROLLBACK");
        } catch (const TRecordError&) {
            // The connection is gone: the server rolls back by itself.
        }
        throw;
    }
}

void UpsertRun(TSqlConnection& C, const TRunRow& Row, bool End)
{
    const std::vector<std::string>& Columns = RunColumns();
    std::string Sql = "INSERT INTO runs (" + ColumnList(Columns) + ") VALUES (" +
                      Placeholders(Columns.size()) + ") ON CONFLICT (run_id) DO ";
    if (!End) {
        Sql += "NOTHING";
    } else {
        Sql += "UPDATE SET ";
        for (std::size_t i = 1; i < Columns.size(); ++i)
            Sql += (i > 1 ? ", " : "") + Columns[i] + " = COALESCE(excluded." + Columns[i] + ", runs." +
                   Columns[i] + ")";
    }
    C.Query(Sql, Row.Values());
}

std::vector<TRunRow> SelectRuns(TSqlConnection& C, const std::string& SinceUtc, const std::string& Station)
{
    std::vector<std::string> Select = RunColumns();
    if (C.Postgres())
        for (std::string& Col : Select)
            if (Col == "started_at" || Col == "ended_at")
                Col = "to_char(" + Col + " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')";
    std::string Sql = "SELECT " + ColumnList(Select) + " FROM runs";
    TSqlRow Params;
    std::string Where;
    if (!SinceUtc.empty()) {
        Params.push_back(SinceUtc);
        Where += " started_at >= $1";
    }
    if (!Station.empty()) {
        Params.push_back(Station);
        Where += std::string(Where.empty() ? "" : " AND") + " station = $" + std::to_string(Params.size());
    }
    if (!Where.empty())
        Sql += " WHERE" + Where;
    Sql += " ORDER BY started_at, run_id";
    std::vector<TRunRow> Rows;
    for (const TSqlRow& R : C.Query(Sql, Params))
        Rows.push_back(TRunRow::FromValues(R));
    return Rows;
}
