#include "app/records/SqliteConnection.h"

#include <QFileInfo>
#include <cstdint>
#include <cstring>
#include <sqlite3.h>
#include <sys/vfs.h>

namespace
{

struct TStatement {
    sqlite3_stmt* S = nullptr;
    ~TStatement() { sqlite3_finalize(S); }
};

TRecordFault FaultOf(int Code)
{
    switch (Code & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return TRecordFault::Unreachable;
    case SQLITE_NOTADB:
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_CORRUPT:
    case SQLITE_AUTH:
        return TRecordFault::Refused;
    default:
        return TRecordFault::Failed;
    }
}

} // namespace

std::string NetworkFileSystem(const std::string& Path)
{
    const QFileInfo Info(QString::fromStdString(Path));
    // A database not made yet: its folder decides.
    const std::string Probe = (Info.exists() ? Info.absoluteFilePath() : Info.absolutePath()).toStdString();
    struct statfs S {
    };
    if (::statfs(Probe.c_str(), &S) != 0)
        return {};
    switch (static_cast<uint32_t>(S.f_type)) {
    case 0x6969:
        return "NFS";
    case 0xFF534D42:
        return "CIFS";
    case 0xFE534D42:
        return "SMB2";
    case 0x517B:
        return "SMB";
    case 0x5346414F:
        return "AFS";
    case 0x00C36400:
        return "Ceph";
    default:
        return {};
    }
}

TSqliteConnection::TSqliteConnection(const std::string& Path, const std::string& Name, int BusyTimeoutMs)
    : FName(Name)
{
    const std::string Fs = NetworkFileSystem(Path);
    if (!Fs.empty())
        throw TRecordError(TRecordFault::Refused,
                           FName + " is on a network file system (" + Fs +
                               "): SQLite needs a local disk; stations that share their records share a "
                               "PostgreSQL database (postgresql://…)");
    const int Code = sqlite3_open_v2(Path.c_str(), &FDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    try {
        if (Code != SQLITE_OK)
            Fail(Code);
        sqlite3_extended_result_codes(FDb, 1);
        sqlite3_busy_timeout(FDb, BusyTimeoutMs);
        // WAL lets the processes of a station read and write at once; it is
        // kept in the file, so this mostly confirms it.
        const auto Mode = Query("PRAGMA journal_mode=WAL");
        if (Mode.empty() || Mode[0].empty() || Mode[0][0] != "wal")
            throw TRecordError(TRecordFault::Refused, FName + " cannot keep a write-ahead log (WAL)");
    } catch (...) {
        sqlite3_close(FDb);
        throw;
    }
}

TSqliteConnection::~TSqliteConnection()
{
    sqlite3_close(FDb);
}

void TSqliteConnection::Fail(int Code) const
{
    std::string Why = FDb ? sqlite3_errmsg(FDb) : sqlite3_errstr(Code);
    const int System = FDb ? sqlite3_system_errno(FDb) : 0;
    const int Primary = Code & 0xFF;
    if (System && (Primary == SQLITE_IOERR || Primary == SQLITE_CANTOPEN || Primary == SQLITE_FULL))
        Why += std::string(" (") + std::strerror(System) + ")";
    else if (Code == SQLITE_IOERR_WRITE || Primary == SQLITE_FULL)
        // A write the system cut short leaves no errno behind.
        Why += " (the disk is full or the file may grow no further)";
    throw TRecordError(FaultOf(Code), FName + ": " + Why);
}

std::vector<TSqlRow> TSqliteConnection::Query(const std::string& Sql, const TSqlRow& Params)
{
    TStatement St;
    int Code = sqlite3_prepare_v2(FDb, Sql.c_str(), -1, &St.S, nullptr);
    if (Code != SQLITE_OK)
        Fail(Code);
    for (std::size_t i = 0; i < Params.size(); ++i) {
        const int Index = sqlite3_bind_parameter_index(St.S, ("$" + std::to_string(i + 1)).c_str());
        if (Index == 0)
            continue;
        const TSqlValue& P = Params[i];
        Code = P ? sqlite3_bind_text(St.S, Index, P->data(), static_cast<int>(P->size()), SQLITE_TRANSIENT)
                 : sqlite3_bind_null(St.S, Index);
        if (Code != SQLITE_OK)
            Fail(Code);
    }
    std::vector<TSqlRow> Rows;
    while ((Code = sqlite3_step(St.S)) == SQLITE_ROW) {
        TSqlRow Row;
        for (int c = 0; c < sqlite3_column_count(St.S); ++c) {
            if (sqlite3_column_type(St.S, c) == SQLITE_NULL) {
                Row.emplace_back();
            } else {
                const auto* T = reinterpret_cast<const char*>(sqlite3_column_text(St.S, c));
                Row.emplace_back(std::string(T, static_cast<std::size_t>(sqlite3_column_bytes(St.S, c))));
            }
        }
        Rows.push_back(std::move(Row));
    }
    if (Code != SQLITE_DONE)
        Fail(Code);
    return Rows;
}
