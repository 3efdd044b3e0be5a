#pragma once
// An SQLite database file that several processes share: WAL, and a busy
// time-out instead of an immediate "database is locked".
#include "app/records/SqlConnection.h"

struct sqlite3;

class TSqliteConnection final : public TSqlConnection
{
  public:
    // Opens or creates Path; Name ("the spool /x") begins every message. A
    // file on a network file system is refused (WAL needs the shared memory of
    // one machine). Throws TRecordError.
    TSqliteConnection(const std::string& Path, const std::string& Name, int BusyTimeoutMs);
    ~TSqliteConnection() override;
    TSqliteConnection(const TSqliteConnection&) = delete;
    TSqliteConnection& operator=(const TSqliteConnection&) = delete;

    bool Postgres() const override { return false; }
    std::vector<TSqlRow> Query(const std::string& Sql, const TSqlRow& Params = {}) override;

  private:
    [[noreturn]] void Fail(int Code) const;
    sqlite3* FDb = nullptr;
    std::string FName;
};

// The name of the network file system Path (or the folder it would be made
// in) lies on; empty for a local one.
std::string NetworkFileSystem(const std::string& Path);
