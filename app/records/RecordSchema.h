#pragma once
// Table runs and its schema_version, the same in SQLite and PostgreSQL.
#include "app/records/SqlConnection.h"

// The newest schema this tool knows: version 1 has every column of RunColumns().
constexpr int RecordSchemaVersion = 1;

// Creates the tables in a database without them and migrates an older schema
// forward. A newer schema, a table runs that this tool did not make or that
// lacks columns, or a schema_version that is not ours is refused
// (TRecordFault::Refused) and left as it is. Name begins the messages.
void EnsureRecordSchema(TSqlConnection& C, const std::string& Name);

// Writes a run's row. A start row is only added where the run has none yet (a
// late start never overwrites a completed row); an end row completes it, a
// value the end lacks keeps the start's. Idempotent: the run id is the key.
void UpsertRun(TSqlConnection& C, const TRunRow& Row, bool End);

// Rows in order of their start, from SinceUtc on (RecordTime(); empty: all)
// and of one station (empty: all).
std::vector<TRunRow> SelectRuns(TSqlConnection& C, const std::string& SinceUtc, const std::string& Station);
