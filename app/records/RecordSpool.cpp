#include "app/records/RecordSpool.h"

#include <QDir>
#include <QFileInfo>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace
{

constexpr int SpoolVersion = 1;

std::string Columns()
{
    std::string S;
    for (const std::string& C : RunColumns())
        S += ", " + C;
    return S;
}

const std::string& MadeFolder(const std::string& Path)
{
    QDir().mkpath(QFileInfo(QString::fromStdString(Path)).absolutePath());
    return Path;
}

} // namespace

std::string DefaultSpoolPath()
{
    // XDG: an unset, empty or relative XDG_DATA_HOME means the default.
    const char* Xdg = std::getenv("XDG_DATA_HOME");
    std::string Base;
    if (Xdg && Xdg[0] == '/') {
        Base = Xdg;
    } else {
        const char* Home = std::getenv("HOME");
        const passwd* Pw = Home && Home[0] ? nullptr : getpwuid(getuid());
        Base = std::string(Home && Home[0] ? Home : Pw ? Pw->pw_dir : "/tmp") + "/.local/share";
    }
    return Base + "/veltrac-gnss-update/spool.sqlite";
}

TRecordSpool::TRecordSpool(const std::string& Path, const std::string& Destination, int BusyTimeoutMs)
    : FDb(MadeFolder(Path), "the spool " + Path, BusyTimeoutMs), FDestination(Destination)
{
    const auto Version = FDb.Query("PRAGMA user_version");
    const int Found = Version.empty() ? 0 : std::atoi(Version[0].at(0).value_or("0").c_str());
    if (Found > SpoolVersion)
        throw TRecordError(TRecordFault::Refused,
                           "the spool " + Path +
                               " was made by a newer veltrac-gnss-update; choose another "
                               "with --spool");
    std::string Create =
        "CREATE TABLE IF NOT EXISTS spool (seq INTEGER PRIMARY KEY AUTOINCREMENT, destination TEXT "
        "NOT NULL, is_end INTEGER NOT NULL";
    for (const std::string& C : RunColumns())
        Create += ", " + C + " TEXT";
    FDb.Query(Create + ")");
    FDb.Query("CREATE INDEX IF NOT EXISTS spool_destination ON spool (destination, seq)");
    FDb.Query("PRAGMA user_version = " + std::to_string(SpoolVersion));
}

void TRecordSpool::Add(const TRunRow& Row, bool End)
{
    TSqlRow Params{FDestination, End ? "1" : "0"};
    std::string Places = "$1, $2";
    for (const TSqlValue& V : Row.Values()) {
        Params.push_back(V);
        Places += ", $" + std::to_string(Params.size());
    }
    FDb.Query("INSERT INTO spool (destination, is_end" + Columns() + ") VALUES (" + Places + ")", Params);
}

std::optional<TRecordSpool::TEntry> TRecordSpool::Next()
{
    const auto Rows = FDb.Query("SELECT seq, is_end" + Columns() +
                                    " FROM spool WHERE destination = $1 ORDER BY seq LIMIT 1",
                                {FDestination});
    if (Rows.empty())
        return std::nullopt;
    const TSqlRow& R = Rows[0];
    TEntry E;
    E.Seq = std::stoll(R.at(0).value_or("0"));
    E.End = R.at(1).value_or("0") == "1";
    E.Row = TRunRow::FromValues(TSqlRow(R.begin() + 2, R.end()));
    return E;
}

void TRecordSpool::Remove(int64_t Seq)
{
    FDb.Query("DELETE FROM spool WHERE seq = $1", {std::to_string(Seq)});
}

int TRecordSpool::Count()
{
    // A run's start and end wait as two entries but are one record to the user.
    const auto Rows = FDb.Query("SELECT COUNT(DISTINCT run_id) FROM spool WHERE destination = $1", {FDestination});
    return Rows.empty() ? 0 : std::atoi(Rows[0].at(0).value_or("0").c_str());
}
