#include "app/records/RecordsReport.h"

#include "app/records/PgConnection.h"
#include "app/records/RecordSchema.h"
#include "app/records/SqliteConnection.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>
#include <algorithm>
#include <map>

namespace
{

enum class TTally { Updated, UpToDate, Failed, Unfinished, Other };

TTally TallyOf(const std::string& Outcome)
{
    if (Outcome == "updated")
        return TTally::Updated;
    if (Outcome == "up-to-date")
        return TTally::UpToDate;
    if (Outcome == "running")
        return TTally::Unfinished;
    // Nothing was to be done: neither good nor a failure.
    if (Outcome == "manual" || Outcome == "not-supported")
        return TTally::Other;
    return TTally::Failed;
}

QDateTime LocalTime(const std::string& Utc)
{
    return QDateTime::fromString(QString::fromStdString(Utc), Qt::ISODateWithMs).toLocalTime();
}

std::vector<TRunRow> ReadJsonLines(const TRecordDestination& D, int& Unreadable)
{
    QFile F(QString::fromStdString(D.Path));
    if (!F.open(QIODevice::ReadOnly))
        throw TRecordError(TRecordFault::Refused,
                           "cannot read the record file " + D.Path + ": " + F.errorString().toStdString());
    std::vector<TRunRow> Rows;
    while (!F.atEnd()) {
        const QByteArray Line = F.readLine().trimmed();
        if (Line.isEmpty())
            continue;
        std::optional<TRunRow> Row = RunRowFromResult(Line.toStdString());
        if (Row)
            Rows.push_back(std::move(*Row));
        else
            ++Unreadable;
    }
    std::stable_sort(Rows.begin(), Rows.end(),
                     [](const TRunRow& A, const TRunRow& B) { return A.StartedAt < B.StartedAt; });
    return Rows;
}

std::string Padded(std::string S, std::size_t Width, bool Right = false)
{
    if (S.size() < Width)
        S = Right ? std::string(Width - S.size(), ' ') + S : S + std::string(Width - S.size(), ' ');
    return S;
}

QString Q(const std::string& S)
{
    return QString::fromStdString(S);
}

} // namespace

TRecordsReport SummariseRuns(const std::vector<TRunRow>& Rows, std::size_t LastFailures)
{
    TRecordsReport R;
    R.TimeZone = QTimeZone::systemTimeZoneId().toStdString();
    std::map<std::pair<std::string, std::string>, TRecordsDay> Days;
    std::map<std::string, std::string> Receiver; // device -> version of its latest finished run
    for (const TRunRow& Row : Rows) {
        const TTally T = TallyOf(Row.Outcome);
        const QDateTime Local = LocalTime(Row.StartedAt.empty() ? Row.EndedAt : Row.StartedAt);
        const std::string Day =
            Local.isValid() ? Local.date().toString(Qt::ISODate).toStdString() : "unknown";
        TRecordsDay& D = Days[{Row.Station, Day}];
        D.Station = Row.Station;
        D.Day = Day;
        D.Updated += T == TTally::Updated;
        D.UpToDate += T == TTally::UpToDate;
        D.Failed += T == TTally::Failed;
        D.Unfinished += T == TTally::Unfinished;
        const std::string& Version = Row.ReceiverAfter.empty() ? Row.ReceiverBefore : Row.ReceiverAfter;
        if (T != TTally::Unfinished && !Row.DeviceId.empty() && !Version.empty())
            Receiver[Row.Device + "/" + Row.DeviceId] = Version;
        if (T == TTally::Failed)
            R.Failures.push_back(Row);
    }
    for (auto& [Key, D] : Days)
        R.Days.push_back(D);
    std::map<std::string, int> Versions;
    for (const auto& [Device, Version] : Receiver)
        ++Versions[Version];
    R.Receivers.assign(Versions.begin(), Versions.end());
    std::stable_sort(R.Receivers.begin(), R.Receivers.end(),
                     [](const auto& A, const auto& B) { return A.second > B.second; });
    std::reverse(R.Failures.begin(), R.Failures.end());
    if (R.Failures.size() > LastFailures)
        R.Failures.resize(LastFailures);
    return R;
}

TRecordsReport ReadRecords(const TRecordDestination& D, const TRecordsQuery& Q, const TRecordOptions& O)
{
    const std::string Since =
        Q.Since.isValid() ? RecordTime(QDateTime(Q.Since, QTime(0, 0), Qt::LocalTime)) : std::string();
    std::vector<TRunRow> Rows;
    int Unreadable = 0;
    const std::string Name = "the records database " + D.Display();
    if (D.Kind == TRecordKind::JsonLines) {
        for (TRunRow& Row : ReadJsonLines(D, Unreadable))
            if ((Since.empty() || Row.StartedAt >= Since) && (Q.Station.empty() || Row.Station == Q.Station))
                Rows.push_back(std::move(Row));
    } else if (D.Kind == TRecordKind::Sqlite) {
        // Reading must not leave an empty database behind a mistyped name.
        if (!QFileInfo::exists(QString::fromStdString(D.Path)))
            throw TRecordError(TRecordFault::Refused, Name + " does not exist");
        TSqliteConnection Db(D.Path, Name, O.BusyTimeoutMs);
        EnsureRecordSchema(Db, Name);
        Rows = SelectRuns(Db, Since, Q.Station);
    } else {
        TPgConnection Db(D, {O.ConnectTimeoutMs, O.QueryTimeoutMs});
        EnsureRecordSchema(Db, Name);
        Rows = SelectRuns(Db, Since, Q.Station);
    }
    TRecordsReport R = SummariseRuns(Rows);
    R.Destination = D.Display();
    R.Unreadable = Unreadable;
    return R;
}

std::vector<std::string> RecordsReportLines(const TRecordsReport& R)
{
    std::vector<std::string> L;
    L.push_back("Records in " + R.Destination + " (days in the time zone " + R.TimeZone + ")");
    std::size_t W = 7;
    for (const TRecordsDay& D : R.Days)
        W = std::max(W, D.Station.size());
    if (R.Days.empty()) {
        L.push_back("no runs recorded");
    } else {
        L.push_back(Padded("station", W) + "  day         updated  up-to-date  failed  unfinished");
        for (const TRecordsDay& D : R.Days)
            L.push_back(Padded(D.Station.empty() ? "-" : D.Station, W) + "  " + Padded(D.Day, 10) + "  " +
                        Padded(std::to_string(D.Updated), 7, true) + "  " +
                        Padded(std::to_string(D.UpToDate), 10, true) + "  " +
                        Padded(std::to_string(D.Failed), 6, true) + "  " +
                        Padded(std::to_string(D.Unfinished), 10, true));
    }
    if (!R.Receivers.empty()) {
        L.push_back("Receiver versions in the field (each device's latest run):");
        for (const auto& [Version, Devices] : R.Receivers)
            L.push_back("  " + Padded(std::to_string(Devices), 5, true) + "  " + Version);
    }
    if (!R.Failures.empty()) {
        L.push_back("Last failures:");
        for (const TRunRow& F : R.Failures)
            L.push_back("  " + LocalTime(F.StartedAt).toString("yyyy-MM-dd HH:mm:ss").toStdString() + "  " +
                        (F.Station.empty() ? "-" : F.Station) + "  " +
                        (F.Device.empty() ? "" : F.Device + " ") +
                        (F.DeviceId.empty() ? "(no device id)" : F.DeviceId) + "  " + F.Outcome +
                        (F.Message.empty() ? "" : ": " + F.Message));
    }
    if (R.Unreadable > 0)
        L.push_back(std::to_string(R.Unreadable) +
                    " line(s) of the file are no result line and were skipped");
    return L;
}

std::string RecordsReportJson(const TRecordsReport& R)
{
    QJsonArray Days, Receivers, Failures;
    for (const TRecordsDay& D : R.Days)
        Days.append(QJsonObject{{"station", D.Station.empty() ? QJsonValue() : QJsonValue(Q(D.Station))},
                                {"day", Q(D.Day)},
                                {"updated", D.Updated},
                                {"up_to_date", D.UpToDate},
                                {"failed", D.Failed},
                                {"unfinished", D.Unfinished}});
    for (const auto& [Version, Devices] : R.Receivers)
        Receivers.append(QJsonObject{{"version", Q(Version)}, {"devices", Devices}});
    for (const TRunRow& F : R.Failures)
        Failures.append(QJsonObject{{"run_id", Q(F.RunId)},
                                    {"station", Q(F.Station)},
                                    {"slot", Q(F.Slot)},
                                    {"started_at", Q(F.StartedAt)},
                                    {"ended_at", Q(F.EndedAt)},
                                    {"outcome", Q(F.Outcome)},
                                    {"device", Q(F.Device)},
                                    {"device_id", Q(F.DeviceId)},
                                    {"port", Q(F.Port)},
                                    {"message", Q(F.Message)}});
    const QJsonObject J{{"event", "records"},         {"destination", Q(R.Destination)},
                        {"time_zone", Q(R.TimeZone)}, {"days", Days},
                        {"receivers", Receivers},     {"failures", Failures},
                        {"unreadable", R.Unreadable}};
    return QJsonDocument(J).toJson(QJsonDocument::Compact).toStdString();
}
