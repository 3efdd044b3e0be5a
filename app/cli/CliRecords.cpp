#include "app/cli/CliRecords.h"

#include "app/cli/JsonOut.h"
#include "app/records/RecordSpool.h"

#include <QEventLoop>
#include <optional>

TCliRecords::TCliRecords(const TRecordDestination& Destination, const TRecordOptions& Options, QObject* Parent)
    : QObject(Parent), FStartDestination(Destination), FOptions(Options),
      FSpoolPath(Options.SpoolPath.empty() ? DefaultSpoolPath() : Options.SpoolPath)
{
    FOptions.SpoolPath = FSpoolPath;
    connect(&FWriter, &TRecordWriter::RecordStored, this, [this](const std::string& RunId, bool End) {
        if (End)
            Settle(RunId, true, {});
    });
    connect(&FWriter, &TRecordWriter::RecordFailed, this,
            [this](const std::string& RunId, bool End, const std::string& Message) {
                if (End)
                    Settle(RunId, false, Message);
            });
    connect(&FWriter, &TRecordWriter::StatusChanged, this, [this] { emit StatusChanged(); });
}

TStartCheck TCliRecords::Check()
{
    std::optional<TStartCheck> Result;
    QEventLoop Loop;
    FWriter.Start(FStartDestination, FOptions, [&](const TStartCheck& C) {
        Result = C;
        Loop.quit();
    });
    if (!Result)
        Loop.exec();
    return *Result;
}

void TCliRecords::Begin(const TRunStart& Start)
{
    FWriter.Begin(Start);
}

void TCliRecords::End(const std::string& RunId, const std::string& ResultLine,
                      std::function<void(bool, const std::string&)> Done)
{
    // A writer that never answers must not hold the run for ever.
    auto* Timer = new QTimer(this);
    Timer->setSingleShot(true);
    connect(Timer, &QTimer::timeout, this, [this, RunId] {
        Settle(RunId, false,
               "the record writer gave no answer within " + std::to_string(RecordAnswerMs / 1000) +
                   " s; the record of this run may be lost");
    });
    FEnds[RunId] = {std::move(Done), Timer};
    Timer->start(RecordAnswerMs);
    FWriter.End(ResultLine);
}

void TCliRecords::Settle(const std::string& RunId, bool Written, const std::string& Error)
{
    const auto It = FEnds.find(RunId);
    if (It == FEnds.end())
        return;
    TPendingEnd Pending = std::move(It->second);
    FEnds.erase(It);
    Pending.Timer->stop();
    Pending.Timer->deleteLater();
    Pending.Done(Written, Error);
}

int TCliRecords::Drain(int Milliseconds)
{
    std::optional<int> Waiting;
    QEventLoop Loop;
    FWriter.Drain(Milliseconds, [&](int W) {
        Waiting = W;
        Loop.quit();
    });
    if (!Waiting)
        Loop.exec();
    return *Waiting;
}

std::string TCliRecords::StatusText() const
{
    const TRecordStatus& S = FWriter.Status();
    if (S.Waiting == 0 && S.ForwardError.empty())
        return {};
    std::string Text = "records: " + std::to_string(S.Waiting) + " wait for " + Destination().Display();
    if (S.LoginRefused)
        Text += " (the server refused the login)";
    if (!S.ForwardError.empty())
        Text += ": " + S.ForwardError;
    return Text;
}

std::string RecordsStatusJson(const TCliRecords& R)
{
    const TRecordStatus& S = R.Status();
    TJsonObject J;
    J.Add("event", "records")
        .Add("destination", R.Destination().Display())
        .Add("waiting", static_cast<int64_t>(S.Waiting))
        .AddText("error", S.ForwardError)
        .Add("login_refused", S.LoginRefused);
    return J.Str();
}

std::string RecordsStatusLine(const TCliRecords& R)
{
    const std::string Text = R.StatusText();
    return Text.empty() ? "records: every record is at " + R.Destination().Display() : Text;
}
