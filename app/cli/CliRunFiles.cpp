#include "app/cli/CliRunFiles.h"

#include "app/cli/CliRender.h"
#include "app/cli/JsonOut.h"

#include <QDateTime>
#include <algorithm>
#include <cerrno>
#include <cstring>

TCliRunFiles::~TCliRunFiles()
{
    if (FLog)
        std::fclose(FLog);
}

std::string TCliRunFiles::Open(const std::string& LogFile)
{
    if (!LogFile.empty()) {
        FLog = std::fopen(LogFile.c_str(), "w");
        if (!FLog) {
            const std::string Why = std::strerror(errno);
            return "cannot write the log file " + LogFile + ": " + Why;
        }
    }
    return {};
}

void TCliRunFiles::Log(const std::string& Text)
{
    if (!FLog)
        return;
    const std::string Time = QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toStdString();
    std::fprintf(FLog, "%s %s\n", Time.c_str(), Text.c_str());
    std::fflush(FLog);
}

std::string ResultJson(const TUpdateOutcome& O, const TResultFacts& F)
{
    TJsonObject J;
    J.Add("event", "result");
    if (!F.RunId.empty())
        J.Add("run_id", F.RunId);
    J.Add("result", F.Name)
        .Add("exit_code", F.ExitCode)
        .Add("message", O.Message)
        .Add("current", F.Current)
        .Add("required", F.Required)
        .Add("started_at", O.StartedAt)
        .Add("ended_at", O.EndedAt)
        .Add("tool_version", F.ToolVersion)
        .Add("package_label", F.PackageLabel)
        .Add("package_sha256", F.PackageSha256);
    J.AddText("station", F.Station)
        .Add("device", O.Device)
        .Add("device_id", O.DeviceID)
        .Add("model", O.Model)
        .Add("hardware", O.Hardware)
        .Add("hardware_revision", O.HardwareRevision)
        .Add("unit_firmware_title", O.FirmwareTitle);
    // A module found in its loader had no controller version to report.
    if (O.FirmwareBeforeUnknown)
        J.AddNull("firmware_before");
    else
        J.Add("firmware_before", O.FirmwareBefore);
    J.Add("firmware_after", O.FirmwareAfter)
        .Add("firmware_written", O.FirmwareWritten)
        .Add("receiver_before", O.ReceiverBefore)
        .Add("receiver_required", O.ReceiverRequired)
        .Add("receiver_after", O.ReceiverAfter)
        .Add("image", O.ImageName)
        .Add("image_sha256", O.ImageSha256)
        .Add("image_bytes", static_cast<int64_t>(O.ImageBytes))
        .Add("bytes_sent", static_cast<int64_t>(O.BytesSent))
        .Add("transferred", O.Transferred)
        .Add("programming_followed", O.ProgrammingFollowed)
        .Add("seconds", O.Seconds, 3)
        .Add("transfer_seconds", O.TransferSeconds, 3)
        .Add("transfer_line_bytes", static_cast<int64_t>(O.TransferLineBytes))
        .Add("line_rate", static_cast<int64_t>(O.LineRate))
        .Add("image_rate", ImageRate(O), 1);
    // A port that does not pace its bytes has no line figures.
    if (PortPaces(O.TransferLineBytes, O.LineRate, O.TransferSeconds))
        J.Add("line_use", std::min(1.0, LineUse(O.TransferLineBytes, O.LineRate, O.TransferSeconds)), 3);
    else
        J.AddNull("line_use");
    // A device that went away has no path in the port map any more: named as at the start.
    J.Add("com", O.ComNumber).Add("device_path", O.DevicePath.empty() ? F.DevicePath : O.DevicePath);
    J.AddRaw("adapter", ResultAdapterJson(O.Adapter))
        .AddRaw("phases", PhasesJson(O.Phases))
        .AddRaw("repeats", RepeatsJson(O.Repeats));
    if (F.RecordWritten)
        J.Add("record_written", *F.RecordWritten);
    else
        J.AddNull("record_written");
    return J.Str();
}
