#include "app/cli/CliFrontEnd.h"

#include "app/SessionStatus.h"
#include "app/SignalWatcher.h"
#include "app/cli/CliGuard.h"
#include "serial/PortAdapter.h"
#include "serial/PortError.h"
#include "serial/PortMap.h"

#include <QCoreApplication>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace
{

// The port-map number of a device path, so that the session, which opens by
// number, has one; any number serves when the path is not in the map (the
// session then names the port by its path).
int NumberForPath(const std::string& Path)
{
    const int Number = ComNumberOfPath(Path);
    return Number > 0 ? Number : 1;
}

std::string PortTextOf(const TCliOptions& O)
{
    if (!O.PortPath.empty())
        return O.PortPath;
    const std::string Path = ComPortDevicePath(O.PortNumber);
    const std::string Name = "COM " + std::to_string(O.PortNumber);
    if (Path.empty())
        return Name + " (no device)";
    const std::string Target = CanonicalDevicePath(Path);
    return Name + " (" + (Target == Path ? Path : Path + " -> " + Target) + ")";
}

TCliRunPort RunPort(const TCliOptions& O)
{
    TCliRunPort P;
    P.Text = PortTextOf(O);
    P.ComNumber = O.PortPath.empty() ? O.PortNumber : ComNumberOfPath(O.PortPath);
    P.DevicePath = O.PortPath.empty() ? ComPortDevicePath(O.PortNumber) : O.PortPath;
    P.Label = P.ComNumber > 0 ? "COM " + std::to_string(P.ComNumber) : O.PortPath;
    if (!P.DevicePath.empty())
        P.AdapterSerial = DescribePortAdapter(P.DevicePath).Serial;
    return P;
}

// Empty, or why the image file cannot be sent.
std::string UnreadableImage(const std::string& Path)
{
    std::string Why;
    struct stat St {
    };
    std::FILE* F = std::fopen(Path.c_str(), "rb");
    if (!F)
        Why = std::strerror(errno);
    else if (fstat(fileno(F), &St) != 0 || !S_ISREG(St.st_mode))
        Why = "not a regular file";
    else if (St.st_size == 0)
        Why = "the file is empty";
    if (F)
        std::fclose(F);
    return Why;
}

} // namespace

TCliFrontEnd::TCliFrontEnd(const TCliOptions& Options, TUpdateSession& Session, TCliConsole& Console,
                           TCliRecords* Records, TCliView View, QObject* Parent)
    : QObject(Parent), FOptions(Options), FSession(Session),
      FExternalGPS(Options.Device == TCliDevice::ExternalGPS), FRecords(Records), FRunId(NewRunId()),
      FRunView(Options, Console, View, FFiles)
{
    FTimeout.setSingleShot(true);
    connect(&FTimeout, &QTimer::timeout, this, [this] {
        Guarded([&] {
            Stop(TOutcomeKind::TimedOut,
                 "no result within " + QString::number(FOptions.TimeoutSeconds).toStdString() +
                     " s; the link was closed",
                 "the time limit (--timeout) ran out");
        });
    });
}

TCliFrontEnd::~TCliFrontEnd()
{
    Detach();
}

// The run is over: the session may serve a next run on the same port (a
// station's), whose displays and outcome are not this run's.
void TCliFrontEnd::Detach()
{
    if (FDetached)
        return;
    FDetached = true;
    disconnect(&FSession, nullptr, this, nullptr);
    FSession.OnShowError = nullptr;
    FSession.OnChooseFirmwareFile = nullptr;
    FSession.Log.OnTrace = nullptr;
}

std::string TCliFrontEnd::PortText() const
{
    // Named as it was at the start: a device that went away has no path any more.
    return FPort.Text.empty() ? PortTextOf(FOptions) : FPort.Text;
}

// ---------------------------------------------------------------- run

void TCliFrontEnd::Start()
{
    Guarded([&] {
        FSession.SetDeviceType(FExternalGPS ? dtExternalGPS : dtVeltrac);
        if (!FOptions.PortPath.empty()) {
            FSession.SetDevicePath(FOptions.PortPath);
            FSession.SetComNumber(NumberForPath(FOptions.PortPath));
        } else {
            FSession.SetComNumber(FOptions.PortNumber);
        }
        FPort = RunPort(FOptions);
        FRunView.SetPort(FPort);
        connect(&FSession, &TUpdateSession::DisplayChanged, this,
                [this] { Guarded([&] { OnDisplayChanged(); }); });
        connect(&FSession, &TUpdateSession::Finished, this,
                [this](const TUpdateOutcome& O) { Guarded([&] { OnOutcome(O); }); });

        if (const std::string Why = FFiles.Open(FOptions.LogFile); !Why.empty()) {
            FUsageError = true;
            Refuse(TOutcomeKind::Failed, Why);
            return;
        }
        // A run that dies leaves its start behind: an honest unfinished row.
        if (FRecords) {
            TRunStart R;
            R.RunId = FRunId;
            R.Station = FOptions.Station;
            R.Device = FExternalGPS ? "egps" : "veltrac";
            R.Port = FPort.Label;
            R.ToolVersion = QCoreApplication::applicationVersion().toStdString();
            R.PackageLabel = FSession.ArchiveLabel();
            R.PackageSha256 = FSession.PackageSha256();
            FRecords->Begin(R);
        }
        // Bad input is refused before the device is woken.
        if (!FOptions.ImageFile.empty()) {
            if (const std::string Why = UnreadableImage(FOptions.ImageFile); !Why.empty()) {
                Refuse(TOutcomeKind::BadImage, "cannot read the image " + FOptions.ImageFile + ": " + Why);
                return;
            }
        }
        BindSession();
        FRunView.ShowStart(FOptions, FSession.Display().Caption, !FSession.AutoUpdate());

        if (FOptions.TimeoutSeconds > 0)
            FTimeout.start(static_cast<int>(FOptions.TimeoutSeconds * 1000));
        try {
            FSession.Open();
        } catch (const std::exception& E) {
            // The session has ended the run; its outcome follows.
            FRunView.PrintError(std::string("cannot open ") + PortText() + ": " + E.what());
            return;
        }
        OnDisplayChanged();
    });
}

void TCliFrontEnd::BindSession()
{
    FSession.OnShowError = [this](TUpdateSession*, const std::string& Message) {
        Guarded([&] { OnSessionError(Message); });
    };
    FSession.OnChooseFirmwareFile = [this](TUpdateSession*) { return FOptions.ImageFile; };
    if (FFiles.Logging())
        FSession.Log.SetTrace(
            [this](TUpdateSession*, const std::string& Line) { Guarded([&] { FFiles.Log(Line); }); });
    if (!FOptions.ImageFile.empty())
        FSession.PlanCustomImage(FOptions.ImageFile);
    else if (FOptions.Recovery)
        FSession.PlanRecovery();
    FSession.SetConfirmTimeout(static_cast<int>(FOptions.ConfirmTimeoutSeconds * 1000));
}

// A run refused before the device is woken: the session states its outcome.
void TCliFrontEnd::Refuse(TOutcomeKind Kind, const std::string& Message)
{
    BeginFinishing(Kind);
    FSession.RefuseRun(Kind, Message);
    Complete();
}

void TCliFrontEnd::OnDisplayChanged()
{
    if (FFinishing)
        return;
    const TUpdateDisplay& D = FSession.Display();
    FRunView.Show(D, FSession.TransferProgress(), FOutcome.has_value());
    if (!FExternalGPS && FSession.ReceiverCannotReport() && !FHintShown &&
        D.UpdateState == TUpdateState::Idle && !D.vVersion.empty() && !FOptions.Recovery &&
        FOptions.ImageFile.empty()) {
        FHintShown = true;
        FRunView.PrintLine("The receiver does not report its version; --recovery sends the tool's recovery "
                           "image (hardware 2e1), --image FILE a file of your choice");
    }
}

// The session ended the run (or was asked to): end the connection the way
// the next run expects, then report. From the event loop, once the display
// of the step that ended the run has been shown.
void TCliFrontEnd::OnOutcome(const TUpdateOutcome& Outcome)
{
    FOutcome = Outcome;
    if (FFinishing || FOutcomeQueued)
        return;
    FOutcomeQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            Guarded([&] {
                if (FFinishing)
                    return;
                BeginFinishing(FOutcome->Kind);
                FSession.EndConnection(FOutcome->Kind, FOutcome->Message, [this] { Complete(); });
            });
        },
        Qt::QueuedConnection);
}

void TCliFrontEnd::BeginFinishing(TOutcomeKind Kind)
{
    FFinishing = true;
    FTimeout.stop();
    FRunView.Finish();
    FFiles.Log("# closing: " + std::string(OutcomeName(Kind)));
}

// A time limit or a signal: ended politely, unless the receiver is being
// programmed, which is warned about once and waited for.
void TCliFrontEnd::Stop(TOutcomeKind Kind, const std::string& Message, const std::string& Why)
{
    if (FFinishing)
        return;
    if (FSession.ReceiverAtRisk() && !FWarned) {
        FWarned = true;
        const std::string Warning = "Warning: " + Why + ". " + SessionText::ProgrammingWarning +
                                    " Waiting for the device to confirm the new version (at most " +
                                    std::to_string(FSession.ConfirmTimeout() / 1000) +
                                    " s without progress); Ctrl-C again stops now.";
        FRunView.PrintError(Warning);
        FFiles.Log("# " + Warning);
        return;
    }
    BeginFinishing(Kind);
    FSession.EndConnection(Kind, Message, [this] { Complete(); });
}

void TCliFrontEnd::Signal(int Last)
{
    if (FFinishing && !FCompleted) {
        // A second signal while the link closes: close the port at once.
        FSession.Close();
        Complete();
        return;
    }
    Stop(TOutcomeKind::Interrupted, "interrupted by " + SignalName(Last) + "; the link was closed",
         SignalName(Last) + " received");
}

void TCliFrontEnd::ApplicationException(const std::exception& E)
{
    Guarded([&] {
        FRunView.PrintError(E.what());
        // The session ends its run on its own port errors; one it did not see
        // (the link's own reconnect) ends the run here.
        if (IsPortError(E) && !FFinishing) {
            const std::string Message = std::string("port error on ") + PortText() + ": " + E.what();
            QMetaObject::invokeMethod(
                this, [this, Message] { Guarded([&] { EndAfterError(TOutcomeKind::PortError, Message); }); },
                Qt::QueuedConnection);
        }
    });
}

void TCliFrontEnd::OnSessionError(const std::string& Message)
{
    FRunView.PrintError(Message);
    if (FFinishing)
        return;
    // The session states the outcome of its errors itself; a message it
    // does not follow with one still ends the run.
    QMetaObject::invokeMethod(
        this, [this, Message] { Guarded([&] { EndAfterError(TOutcomeKind::Failed, Message); }); },
        Qt::QueuedConnection);
}

void TCliFrontEnd::EndAfterError(TOutcomeKind Kind, const std::string& Message)
{
    if (FFinishing)
        return;
    BeginFinishing(Kind);
    FSession.EndConnection(Kind, Message, [this] { Complete(); });
}

std::string TCliFrontEnd::ResultName() const
{
    return FUsageError ? "usage" : OutcomeName(FOutcome->Kind);
}

std::string TCliFrontEnd::ResultLine(const std::string& Name, std::optional<bool> RecordWritten) const
{
    TResultFacts F;
    F.Name = Name;
    F.RunId = FRunId;
    F.RecordWritten = RecordWritten;
    F.ExitCode = FExitCode;
    F.Current = FRunView.LastDisplay().vGPSCurrent;
    F.Required = FRunView.LastDisplay().vGPSNeeded;
    F.ToolVersion = QCoreApplication::applicationVersion().toStdString();
    F.PackageLabel = FSession.ArchiveLabel();
    F.PackageSha256 = FSession.PackageSha256();
    F.Station = FOptions.Station;
    F.DevicePath = FPort.DevicePath;
    return ResultJson(*FOutcome, F);
}

void TCliFrontEnd::Complete()
{
    if (FCompleted)
        return;
    FCompleted = true;
    if (!FOutcome)
        FSession.RefuseRun(TOutcomeKind::Failed, "the run ended without a result");
    if (!FOutcome)
        FOutcome = FSession.Outcome();
    const TUpdateOutcome& O = *FOutcome;
    FExitCode = FUsageError ? UsageExitCode : ExitCodeOf(O.Kind);
    const std::string Name = ResultName();
    FFiles.Log("# result: " + Name + " (exit code " + std::to_string(FExitCode) + "): " + O.Message);
    // A usage error never reached a device: nothing to record.
    if (!FRecords || FUsageError) {
        Report(Name, true, {});
        return;
    }
    // The record carries the run as it ended; the run waits to hear it is safe.
    FRecords->End(FRunId, ResultLine(Name, true),
                  [this, Name](bool Written, const std::string& Error) {
                      Guarded([&] { Report(Name, Written, Error); });
                  });
}

void TCliFrontEnd::Report(const std::string& Name, bool Written, const std::string& RecordError)
{
    const TUpdateOutcome& O = *FOutcome;
    if (!Written) {
        FRecordLost = true;
        // A signal's 130 still tells the script that it cut the run short.
        if (FExitCode != ExitCodeOf(TOutcomeKind::Interrupted))
            FExitCode = RecordExitCode;
        FRunView.PrintError(RecordError);
        FFiles.Log("# record not written (exit code " + std::to_string(FExitCode) + "): " + RecordError);
    }
    const bool Recorded = FRecords && !FUsageError;
    // Made only when it goes somewhere: it hashes the whole firmware package.
    const std::string Result =
        FOptions.Json ? ResultLine(Name, Recorded ? std::optional<bool>(Written) : std::nullopt) : std::string();
    const bool Good =
        !FUsageError && (O.Kind == TOutcomeKind::Updated || O.Kind == TOutcomeKind::UpToDate ||
                         O.Kind == TOutcomeKind::ManualFinished || O.Kind == TOutcomeKind::NotSupported);
    FRunView.ShowEnd(O, Name, FExitCode, Good, Result);
    FDone = true;
    Detach();
    emit Finished(FExitCode);
}

TCliRow TCliFrontEnd::Row() const
{
    const bool Ended = FDone && FOutcome;
    return FRunView.Row(FSession.Display(), Ended ? &*FOutcome : nullptr,
                        Ended ? ResultName() : std::string());
}
