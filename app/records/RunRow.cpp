#include "app/records/RunRow.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>
#include <cctype>

namespace
{

struct TColumn {
    const char* Name;
    std::string TRunRow::*Field;
    // The result line carries it as text under the column's own name.
    bool FromResult = false;
};

const TColumn Columns[] = {
    {"run_id", &TRunRow::RunId},
    {"station", &TRunRow::Station},
    {"slot", &TRunRow::Slot},
    {"started_at", &TRunRow::StartedAt},
    {"ended_at", &TRunRow::EndedAt},
    {"outcome", &TRunRow::Outcome},
    {"exit_code", &TRunRow::ExitCode},
    {"device", &TRunRow::Device, true},
    {"device_id", &TRunRow::DeviceId, true},
    {"model", &TRunRow::Model, true},
    {"hardware", &TRunRow::Hardware, true},
    {"receiver_before", &TRunRow::ReceiverBefore, true},
    {"receiver_required", &TRunRow::ReceiverRequired, true},
    {"receiver_after", &TRunRow::ReceiverAfter, true},
    {"firmware_before", &TRunRow::FirmwareBefore, true},
    {"firmware_after", &TRunRow::FirmwareAfter, true},
    {"package_label", &TRunRow::PackageLabel, true},
    {"package_sha256", &TRunRow::PackageSha256, true},
    {"tool_version", &TRunRow::ToolVersion, true},
    {"adapter_serial", &TRunRow::AdapterSerial},
    {"port", &TRunRow::Port},
    {"message", &TRunRow::Message, true},
    {"result", &TRunRow::Result},
};

// Device texts may hold a NUL, which a database text cannot.
std::string Text(const QJsonValue& V)
{
    if (V.isDouble())
        return QString::number(V.toDouble(), 'g', 15).toStdString();
    QString S = V.toString();
    S.replace(QChar(0), QChar::ReplacementCharacter);
    return S.toStdString();
}

// A time that is not one is dropped rather than refused by the database later.
std::string TimeText(const QJsonValue& V)
{
    return RecordTime(QDateTime::fromString(V.toString(), Qt::ISODateWithMs));
}

} // namespace

const std::vector<std::string>& RunColumns()
{
    static const std::vector<std::string> Names = [] {
        std::vector<std::string> N;
        for (const TColumn& C : Columns)
            N.push_back(C.Name);
        return N;
    }();
    return Names;
}

std::vector<TSqlValue> TRunRow::Values() const
{
    std::vector<TSqlValue> V;
    for (const TColumn& C : Columns) {
        const std::string& S = this->*C.Field;
        V.push_back(S.empty() ? TSqlValue() : TSqlValue(S));
    }
    return V;
}

TRunRow TRunRow::FromValues(const std::vector<TSqlValue>& Values)
{
    TRunRow R;
    for (std::size_t i = 0; i < std::size(Columns) && i < Values.size(); ++i)
        R.*Columns[i].Field = Values[i].value_or("");
    return R;
}

std::string RecordTime(const QDateTime& Time)
{
    if (!Time.isValid())
        return {};
    return Time.toUTC().toString("yyyy-MM-ddTHH:mm:ss.zzzZ").toStdString();
}

std::string NewRunId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
}

TRunRow RunRowFromStart(const TRunStart& S)
{
    TRunRow R;
    R.RunId = S.RunId.empty() ? NewRunId() : S.RunId;
    R.Station = S.Station;
    R.Slot = S.Slot;
    R.StartedAt = RecordTime(S.StartedAt.isValid() ? S.StartedAt : QDateTime::currentDateTimeUtc());
    R.Outcome = "running";
    R.Device = S.Device;
    R.Port = S.Port;
    R.ToolVersion = S.ToolVersion;
    R.PackageLabel = S.PackageLabel;
    R.PackageSha256 = S.PackageSha256;
    return R;
}

std::optional<TRunRow> RunRowFromResult(const std::string& ResultLine)
{
    const QJsonDocument Doc = QJsonDocument::fromJson(QByteArray::fromStdString(ResultLine));
    if (!Doc.isObject())
        return std::nullopt;
    const QJsonObject J = Doc.object();
    TRunRow R;
    R.RunId = Text(J["run_id"]);
    if (R.RunId.empty())
        R.RunId = NewRunId();
    R.Station = Text(J["station"]);
    R.Slot = Text(J["slot"]);
    R.StartedAt = TimeText(J["started_at"]);
    R.EndedAt = TimeText(J["ended_at"]);
    R.Outcome = Text(J["result"]);
    // An end row never stays "running": that is the mark of a run that died.
    if (R.Outcome.empty() || R.Outcome == "running")
        R.Outcome = "unknown";
    if (J["exit_code"].isDouble())
        R.ExitCode = std::to_string(J["exit_code"].toInt());
    for (const TColumn& C : Columns)
        if (C.FromResult)
            R.*C.Field = Text(J[C.Name]);
    R.AdapterSerial = Text(J["adapter"].toObject()["usb_serial"]);
    const int Com = J["com"].toInt();
    R.Port = Com > 0 ? "COM " + std::to_string(Com) : Text(J["device_path"]);
    // The line as the program wrote it, unless it is not UTF-8 (a database
    // refuses that): then as Qt reads it, which is.
    std::string Line = ResultLine;
    while (!Line.empty() && std::isspace(static_cast<unsigned char>(Line.back())))
        Line.pop_back();
    R.Result = QString::fromStdString(Line).toStdString() == Line
                   ? Line
                   : QJsonDocument(J).toJson(QJsonDocument::Compact).toStdString();
    return R;
}
