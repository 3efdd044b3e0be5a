#pragma once
// The little the schema, the rows and the spool need of a database
// connection, so that SQLite and PostgreSQL share one piece of SQL. Parameters
// are written $1, $2, … (both databases read them so).
#include "app/records/RecordError.h"
#include "app/records/RunRow.h"

#include <string>
#include <vector>

using TSqlRow = std::vector<TSqlValue>;

class TSqlConnection
{
  public:
    virtual ~TSqlConnection() = default;
    virtual bool Postgres() const = 0;
    // One statement; the rows it returns as texts. Throws TRecordError.
    virtual std::vector<TSqlRow> Query(const std::string& Sql, const TSqlRow& Params = {}) = 0;
};
