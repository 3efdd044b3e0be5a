#include "app/records/PgConnection.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <libpq-fe.h>
#include <poll.h>

namespace
{

bool StartsWith(const char* S, const char* Prefix)
{
    return std::strncmp(S, Prefix, std::strlen(Prefix)) == 0;
}

// By SQLSTATE: what is worth another try and what is a refusal.
TRecordFault FaultOfState(const char* State)
{
    if (!State)
        return TRecordFault::Failed;
    // Connection, server shutting down or starting, resources, serialization, cancelled.
    if (StartsWith(State, "08") || StartsWith(State, "57") || StartsWith(State, "53") ||
        StartsWith(State, "40") || StartsWith(State, "55P03"))
        return TRecordFault::Unreachable;
    if (StartsWith(State, "28") || StartsWith(State, "3D"))
        return TRecordFault::LoginRefused;
    // Syntax, a missing table or column, no privilege: the database is not as we left it.
    if (StartsWith(State, "42"))
        return TRecordFault::Refused;
    return TRecordFault::Failed;
}

std::string Trimmed(std::string S)
{
    while (!S.empty() && (S.back() == '\n' || S.back() == ' '))
        S.pop_back();
    return S;
}

} // namespace

TPgConnection::TPgConnection(const TRecordDestination& Destination, const TPgLimits& Limits, int WakeFd)
    : FDestination(Destination), FLimits(Limits), FWakeFd(WakeFd)
{
    const auto Deadline = TClock::now() + std::chrono::milliseconds(Limits.ConnectMs);
    // libpq's own limits, for the rare wait it does not hand back to us; it
    // takes no connect_timeout under 2 s.
    const std::string ConnectTimeout = std::to_string(std::max(2, (Limits.ConnectMs + 999) / 1000));
    const std::string UserTimeout = std::to_string(Limits.QueryMs);
    // Ours first: what the URI says after them wins (libpq keeps the last).
    const char* Keys[] = {"connect_timeout",     "keepalives",       "keepalives_idle",
                          "keepalives_interval", "keepalives_count", "tcp_user_timeout",
                          "application_name",    "dbname",           nullptr};
    const char* Values[] = {
        ConnectTimeout.c_str(),  "1",    "5", "2", "3", UserTimeout.c_str(), "veltrac-gnss-update",
        Destination.Uri.c_str(), nullptr};
    FConn = PQconnectStartParams(Keys, Values, 1);
    if (!FConn)
        throw TRecordError(TRecordFault::Unreachable,
                           "the records database " + FDestination.Display() + ": out of memory");
    try {
        // Just started counts as "wants to write" (libpq's rule).
        PostgresPollingStatusType State = PGRES_POLLING_WRITING;
        while (PQstatus(FConn) != CONNECTION_BAD && State != PGRES_POLLING_OK &&
               State != PGRES_POLLING_FAILED) {
            Wait(State == PGRES_POLLING_WRITING, Deadline, "while connecting");
            State = PQconnectPoll(FConn);
        }
        if (State != PGRES_POLLING_OK) {
            const std::string Why = Trimmed(PQerrorMessage(FConn));
            const bool Login = PQconnectionNeedsPassword(FConn) || PQconnectionUsedPassword(FConn) ||
                               Why.find("does not exist") != std::string::npos ||
                               Why.find("pg_hba.conf") != std::string::npos;
            Fail(Login ? TRecordFault::LoginRefused : TRecordFault::Unreachable, Why);
        }
        PQsetnonblocking(FConn, 1);
        // The server ends a statement it cannot finish (a lock held
        // elsewhere) before the client gives up on the connection.
        Query("SET statement_timeout = " + std::to_string(std::max(500, Limits.QueryMs - 1000)));
    } catch (...) {
        PQfinish(FConn);
        throw;
    }
}

TPgConnection::~TPgConnection()
{
    // Non-blocking: the goodbye goes into the socket buffer or nowhere.
    PQfinish(FConn);
}

bool TPgConnection::Usable() const
{
    return !FBroken && PQstatus(FConn) == CONNECTION_OK;
}

void TPgConnection::Fail(TRecordFault Fault, const std::string& Why)
{
    throw TRecordError(Fault,
                       "the records database " + FDestination.Display() + ": " + FDestination.Masked(Why));
}

void TPgConnection::Wait(bool Write, TClock::time_point Deadline, const char* What)
{
    for (;;) {
        const auto Left =
            std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TClock::now()).count();
        if (Left <= 0) {
            FBroken = true;
            Fail(TRecordFault::Unreachable, std::string("the server gave no answer ") + What);
        }
        pollfd P[2] = {{PQsocket(FConn), static_cast<short>(Write ? POLLOUT : POLLIN), 0},
                       {FWakeFd, POLLIN, 0}};
        const int N = ::poll(P, FWakeFd >= 0 ? 2 : 1, static_cast<int>(std::min<long long>(Left, INT_MAX)));
        if (N < 0 && errno == EINTR)
            continue;
        if (N < 0 || (P[1].revents & POLLIN)) {
            FBroken = true;
            Fail(TRecordFault::Unreachable, N < 0 ? std::strerror(errno) : "the writer stops");
        }
        if (P[0].revents)
            return;
    }
}

std::vector<TSqlRow> TPgConnection::Query(const std::string& Sql, const TSqlRow& Params)
{
    auto Lost = [this] {
        FBroken = true;
        Fail(TRecordFault::Unreachable, Trimmed(PQerrorMessage(FConn)));
    };
    if (!Usable())
        Fail(TRecordFault::Unreachable, "the connection is lost");
    const auto Deadline = TClock::now() + std::chrono::milliseconds(FLimits.QueryMs);
    std::vector<const char*> Values;
    for (const TSqlValue& P : Params)
        Values.push_back(P ? P->c_str() : nullptr);
    if (!PQsendQueryParams(FConn, Sql.c_str(), static_cast<int>(Values.size()), nullptr, Values.data(),
                           nullptr, nullptr, 0))
        Lost();
    int Flush;
    while ((Flush = PQflush(FConn)) == 1)
        Wait(true, Deadline, "to a query");
    if (Flush < 0)
        Lost();
    std::vector<TSqlRow> Rows;
    std::string Error;
    TRecordFault Fault = TRecordFault::Failed;
    for (;;) {
        while (PQisBusy(FConn)) {
            Wait(false, Deadline, "to a query");
            if (!PQconsumeInput(FConn))
                Lost();
        }
        PGresult* R = PQgetResult(FConn);
        if (!R)
            break;
        const ExecStatusType Status = PQresultStatus(R);
        if (Status == PGRES_TUPLES_OK) {
            for (int r = 0; r < PQntuples(R); ++r) {
                TSqlRow Row;
                for (int c = 0; c < PQnfields(R); ++c)
                    Row.push_back(PQgetisnull(R, r, c)
                                      ? TSqlValue()
                                      : TSqlValue(std::string(PQgetvalue(R, r, c), PQgetlength(R, r, c))));
                Rows.push_back(std::move(Row));
            }
        } else if (Status != PGRES_COMMAND_OK && Error.empty()) {
            Error = Trimmed(PQresultErrorMessage(R));
            Fault = FaultOfState(PQresultErrorField(R, PG_DIAG_SQLSTATE));
        }
        PQclear(R);
    }
    if (!Error.empty()) {
        if (PQstatus(FConn) != CONNECTION_OK) {
            FBroken = true;
            Fault = TRecordFault::Unreachable;
        }
        Fail(Fault, Error);
    }
    return Rows;
}
