#pragma once
// A PostgreSQL connection whose every wait has a client-side limit: the
// connect, each query (a server stopped by SIGSTOP still acknowledges
// packets, so only the client's own clock ends the wait), and a wake-up
// descriptor that ends any wait at once when the writer stops.
#include "app/records/RecordDestination.h"
#include "app/records/SqlConnection.h"

#include <chrono>

typedef struct pg_conn PGconn;

struct TPgLimits {
    int ConnectMs = 5000;
    int QueryMs = 10000;
};

class TPgConnection final : public TSqlConnection
{
  public:
    // Connects within Limits.ConnectMs. WakeFd (or -1): readable ends every
    // wait with an Unreachable error. Throws TRecordError.
    TPgConnection(const TRecordDestination& Destination, const TPgLimits& Limits, int WakeFd = -1);
    ~TPgConnection() override;
    TPgConnection(const TPgConnection&) = delete;
    TPgConnection& operator=(const TPgConnection&) = delete;

    bool Postgres() const override { return true; }
    std::vector<TSqlRow> Query(const std::string& Sql, const TSqlRow& Params = {}) override;
    // False once the connection broke or a wait ran out: it is to be dropped.
    bool Usable() const;

  private:
    using TClock = std::chrono::steady_clock;
    void Wait(bool Write, TClock::time_point Deadline, const char* What);
    [[noreturn]] void Fail(TRecordFault Fault, const std::string& Why);
    PGconn* FConn = nullptr;
    TRecordDestination FDestination;
    TPgLimits FLimits;
    int FWakeFd;
    bool FBroken = false;
};
