#include "app/cli/CliFrontEnd.h"

#include "app/ModuleFrames.h"
#include "app/cli/JsonOut.h"
#include "serial/AppException.h"
#include "serial/ComPortCore.h"
#include "serial/PortMap.h"

#include <QDateTime>
#include <QSocketNotifier>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// The unit's receiver-update parameter (address, readiness, container).
constexpr int32_t UpdateParameter = 65352;
// After a turn-off or a polite close the unit's answer ends the link; past
// this the port is closed anyway.
constexpr int CloseWaitMs = 3000;
// The unit's answer to most commands; it does not say to which.
constexpr uint8_t UnitAcknowledge = 0x02;
// Before the end-of-connection command: no acknowledgement this long, waited for at most SettleMaxMs.
constexpr int QuietLineMs = 250;
constexpr int SettleMaxMs = 1500;
constexpr int ProgressRedrawMs = 100;
constexpr int QuietHintMs = 6000;

int SignalPipe[2] = {-1, -1};

extern "C" void OnSignalNumber(int Signal)
{
    const int Saved = errno;
    const unsigned char Byte = static_cast<unsigned char>(Signal);
    // Nothing else happens here: the event loop reads the byte.
    [[maybe_unused]] const ssize_t N = write(SignalPipe[1], &Byte, 1);
    errno = Saved;
}

std::string SignalName(int Signal)
{
    switch (Signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "signal " + std::to_string(Signal);
    }
}

std::string Canonical(const std::string& Path)
{
    char Buf[PATH_MAX];
    return realpath(Path.c_str(), Buf) ? std::string(Buf) : Path;
}

// The port-map number of a device path, so that the session, which opens by
// number, has one; any number serves when the path is not in the map.
int NumberForPath(const std::string& Path)
{
    const std::string Want = Canonical(Path);
    for (const auto& [Number, MapPath] : ComPortMap())
        if (MapPath == Path || Canonical(MapPath) == Want)
            return Number;
    return 1;
}

bool IsPortException(const std::exception& E)
{
    return dynamic_cast<const EComPortError*>(&E) || dynamic_cast<const EComPortCoreError*>(&E);
}

std::string TimeStamp()
{
    return QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toStdString();
}

std::string SpacedHex(const std::string& Bytes)
{
    static const char Digits[] = "0123456789ABCDEF";
    std::string Out;
    Out.reserve(Bytes.size() * 3);
    for (const char C : Bytes) {
        const auto B = static_cast<unsigned char>(C);
        if (!Out.empty())
            Out += ' ';
        Out += Digits[B >> 4];
        Out += Digits[B & 15];
    }
    return Out;
}

template <typename F> void Guarded(F&& Body)
{
    // These run inside the session's and the link's callbacks: nothing may
    // escape into them.
    try {
        Body();
    } catch (const std::exception& E) {
        std::fprintf(stderr, "veltrac-gnss-update-cli: %s\n", E.what());
    } catch (...) {
        std::fprintf(stderr, "veltrac-gnss-update-cli: unknown exception\n");
    }
}

} // namespace

bool TCliFrontEnd::InstallSignalHandlers(std::string* Error)
{
    if (SignalPipe[0] >= 0)
        return true;
    if (pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (Error)
            *Error = std::string("cannot make the signal pipe: ") + std::strerror(errno);
        return false;
    }
    struct sigaction Act {
    };
    Act.sa_handler = OnSignalNumber;
    sigemptyset(&Act.sa_mask);
    Act.sa_flags = SA_RESTART;
    for (int S : {SIGINT, SIGTERM, SIGHUP})
        sigaction(S, &Act, nullptr);
    // A closed reader of stdout must not kill the run before the link is closed.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

TCliFrontEnd::TCliFrontEnd(const TCliOptions& Options, TUpdateSession& Session, bool Terminal,
                           QObject* Parent)
    : QObject(Parent), FOptions(Options), FSession(Session), FTerminal(Terminal && !Options.Json),
      FExternalGPS(Options.Device == TCliDevice::ExternalGPS), FHistory(FExternalGPS),
      FRenderer(FExternalGPS, FTerminal)
{
    FTimeout.setSingleShot(true);
    connect(&FTimeout, &QTimer::timeout, this, [this] {
        Guarded([&] {
            Finish(TOutcome::TimedOut, "no result within " +
                                           QString::number(FOptions.TimeoutSeconds).toStdString() +
                                           " s; the link was closed");
        });
    });
    FCloseTimer.setInterval(50);
    connect(&FCloseTimer, &QTimer::timeout, this, [this] { Guarded([&] { CloseStep(); }); });
    FProgressTimer.setSingleShot(true);
    connect(&FProgressTimer, &QTimer::timeout, this, [this] { Guarded([&] { DrawProgress(true); }); });
    FQuietTimer.setSingleShot(true);
    FQuietTimer.setInterval(QuietHintMs);
    connect(&FQuietTimer, &QTimer::timeout, this, [this] {
        Guarded([&] {
            if (!FFinishing && !FHistory.Identified() && !FOptions.Json)
                PrintLine(std::string("No answer from the ") + (FExternalGPS ? "module" : "unit") +
                          " yet; still trying (check the cable, the port and the device type)");
        });
    });
    FProgressClock.start();

    if (SignalPipe[0] >= 0) {
        FSignalNotifier = std::make_unique<QSocketNotifier>(SignalPipe[0], QSocketNotifier::Read);
        connect(FSignalNotifier.get(), &QSocketNotifier::activated, this,
                [this] { Guarded([&] { OnSignal(); }); });
    }
}

TCliFrontEnd::~TCliFrontEnd()
{
    SetApplicationExceptionHandler({});
    FSession.OnShowError = nullptr;
    FSession.OnChooseFirmwareFile = nullptr;
    FSession.OnModuleFrame = nullptr;
    FSession.CX.DebugCommands = nullptr;
    if (FSessionParameterHandler)
        FSession.CX.OnRequestParameter = FSessionParameterHandler;
    if (FLog)
        std::fclose(FLog);
}

bool TCliFrontEnd::Connected() const
{
    return FExternalGPS ? FSession.cCom1.Active() : FSession.CX.Connected();
}

std::string TCliFrontEnd::PortText() const
{
    // Named as it was at the start: a device that went away has no path any more.
    if (!FPortText.empty())
        return FPortText;
    if (!FOptions.PortPath.empty())
        return FOptions.PortPath;
    const std::string Path = ComPortDevicePath(FOptions.PortNumber);
    const std::string Name = "COM" + std::to_string(FOptions.PortNumber);
    if (Path.empty())
        return Name + " (no device)";
    const std::string Target = Canonical(Path);
    return Name + " (" + (Target == Path ? Path : Path + " -> " + Target) + ")";
}

// ---------------------------------------------------------------- output

void TCliFrontEnd::PrintLine(const std::string& Line)
{
    if (FOptions.Json)
        return;
    if (!FProgressDrawn.empty())
        std::fputs("\r\x1b[K", stdout);
    std::fputs(Line.c_str(), stdout);
    std::fputc('\n', stdout);
    if (!FProgressDrawn.empty()) {
        std::fputs(FProgressDrawn.c_str(), stdout);
    }
    std::fflush(stdout);
}

void TCliFrontEnd::PrintError(const std::string& Line)
{
    if (!FProgressDrawn.empty() && !FOptions.Json) {
        std::fputs("\r\x1b[K", stdout);
        std::fflush(stdout);
    }
    std::fprintf(stderr, "veltrac-gnss-update-cli: %s\n", Line.c_str());
    std::fflush(stderr);
    if (!FProgressDrawn.empty() && !FOptions.Json) {
        std::fputs(FProgressDrawn.c_str(), stdout);
        std::fflush(stdout);
    }
    if (FOptions.Json)
        PrintJson(TJsonObject().Add("event", "error").Add("message", Line).Str());
    LogLine("# error: " + Line);
}

void TCliFrontEnd::PrintJson(const std::string& Json)
{
    std::fputs(Json.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void TCliFrontEnd::DrawProgress(bool Force)
{
    if (!FTerminal || FProgressWanted == FProgressDrawn)
        return;
    if (FProgressWanted.empty()) {
        EndProgress();
        return;
    }
    // Redraws are limited: a fast device changes the percentage far more
    // often than anyone can read.
    if (!Force && FProgressClock.elapsed() < ProgressRedrawMs) {
        if (!FProgressTimer.isActive())
            FProgressTimer.start(ProgressRedrawMs);
        return;
    }
    FProgressTimer.stop();
    FProgressClock.restart();
    std::fputs("\r\x1b[K", stdout);
    std::fputs(FProgressWanted.c_str(), stdout);
    std::fflush(stdout);
    FProgressDrawn = FProgressWanted;
}

void TCliFrontEnd::EndProgress()
{
    // The last progress line stays on the screen as a record of the transfer.
    FProgressTimer.stop();
    if (FTerminal && !FProgressWanted.empty() && FProgressWanted != FProgressDrawn) {
        std::fputs("\r\x1b[K", stdout);
        std::fputs(FProgressWanted.c_str(), stdout);
        FProgressDrawn = FProgressWanted;
    }
    if (!FProgressDrawn.empty()) {
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    FProgressDrawn.clear();
    FProgressWanted.clear();
}

void TCliFrontEnd::LogLine(const std::string& Text)
{
    if (!FLog)
        return;
    std::fprintf(FLog, "%s %s\n", TimeStamp().c_str(), Text.c_str());
    std::fflush(FLog);
}

// ---------------------------------------------------------------- run

void TCliFrontEnd::Start()
{
    Guarded([&] {
        if (!FOptions.LogFile.empty()) {
            FLog = std::fopen(FOptions.LogFile.c_str(), "w");
            if (!FLog) {
                const std::string Why = std::strerror(errno);
                Finish(TOutcome::UsageError, "cannot write the log file " + FOptions.LogFile + ": " + Why);
                return;
            }
        }
        if (!FOptions.ImageFile.empty()) {
            // Bad input is refused before the device is woken.
            std::string Why;
            struct stat St {
            };
            std::FILE* F = std::fopen(FOptions.ImageFile.c_str(), "rb");
            if (!F)
                Why = std::strerror(errno);
            else if (fstat(fileno(F), &St) != 0 || !S_ISREG(St.st_mode))
                Why = "not a regular file";
            else if (St.st_size == 0)
                Why = "the file is empty";
            if (F)
                std::fclose(F);
            if (!Why.empty()) {
                Finish(TOutcome::BadImage, "cannot read the image " + FOptions.ImageFile + ": " + Why);
                return;
            }
        }

        SetApplicationExceptionHandler([this](const std::exception& E) { OnApplicationException(E); });
        FSession.OnShowError = [this](TUpdateSession*, const std::string& Message) {
            Guarded([&] { OnSessionError(Message); });
        };
        FSession.OnChooseFirmwareFile = [this](TUpdateSession*) { return FOptions.ImageFile; };
        FLastAck.start();
        FSession.CX.DebugCommands = [this](TCorvex*, bool Outgoing, uint8_t Cmd, const std::string& Data) {
            Guarded([&] {
                if (!Outgoing && Cmd == UnitAcknowledge)
                    FLastAck.restart();
                if (!FLog)
                    return;
                char Head[32];
                std::snprintf(Head, sizeof Head, "%s unit %02X", Outgoing ? "TX" : "RX", Cmd);
                LogLine(std::string(Head) + (Data.empty() ? "" : " " + Data));
            });
        };
        FSession.OnModuleFrame = [this](TUpdateSession*, bool Outgoing, const std::string& Bytes) {
            Guarded([&] {
                if (Outgoing && Bytes == ModuleRawAck)
                    FHistory.ModuleStatusAcknowledged(FSession.Display());
                if (FLog)
                    LogLine(std::string(Outgoing ? "TX" : "RX") + " module " + SpacedHex(Bytes));
            });
        };
        // Whether the unit's receiver can report its version shows only in
        // the session's reading of the update parameter.
        FSessionParameterHandler = FSession.CX.OnRequestParameter;
        FSession.CX.OnRequestParameter = [this](TCorvex* S, int32_t P, bool Valid, const std::string& V,
                                                const std::string& H) {
            if (FSessionParameterHandler)
                FSessionParameterHandler(S, P, Valid, V, H);
            if (P == UpdateParameter && !V.empty()) {
                FUnreadableReceiver = FSession.GPSReady() <= 0;
                ScheduleEvaluate();
            }
        };
        FPortText = PortText();
        FSession.SetDeviceType(FExternalGPS ? dtExternalGPS : dtVeltrac);
        if (!FOptions.PortPath.empty()) {
            FSession.CX.Port().SetDevicePath(FOptions.PortPath);
            FSession.cCom1.SetDevicePath(FOptions.PortPath);
            FSession.SetComNumber(NumberForPath(FOptions.PortPath));
        } else {
            FSession.SetComNumber(FOptions.PortNumber);
        }

        const std::string Device = FExternalGPS ? "an External GPS module" : "a Veltrac tracking unit";
        const std::string Mode = FOptions.Recovery             ? "recovery"
                                 : !FOptions.ImageFile.empty() ? "custom image " + FOptions.ImageFile
                                 : FOptions.Manual             ? "manual (automatic choice off)"
                                                               : "automatic";
        if (FOptions.Json) {
            TJsonObject O;
            O.Add("event", "start")
                .Add("caption", FSession.Display().Caption)
                .Add("device", DeviceOptionName(FOptions.Device))
                .Add("port", PortText())
                .Add("manual", !FSession.AutoUpdate())
                .Add("recovery", FOptions.Recovery);
            if (FOptions.ImageFile.empty())
                O.AddNull("image");
            else
                O.Add("image", FOptions.ImageFile);
            if (FOptions.TimeoutSeconds > 0)
                O.Add("timeout", FOptions.TimeoutSeconds);
            else
                O.AddNull("timeout");
            PrintJson(O.Str());
        } else {
            PrintLine(FSession.Display().Caption);
            PrintLine("Opening " + PortText() + " for " + Device + "; update: " + Mode);
        }
        LogLine("# " + FSession.Display().Caption + ": " + PortText() + ", " + Device + ", " + Mode);

        connect(&FSession, &TUpdateSession::DisplayChanged, this,
                [this] { Guarded([&] { OnDisplayChanged(); }); });
        if (FOptions.TimeoutSeconds > 0)
            FTimeout.start(static_cast<int>(FOptions.TimeoutSeconds * 1000));
        FQuietTimer.start();
        try {
            FSession.bOpenClick();
        } catch (const std::exception& E) {
            Finish(IsPortException(E) ? TOutcome::PortError : TOutcome::Failed,
                   std::string("cannot open ") + PortText() + ": " + E.what());
            return;
        }
        OnDisplayChanged();
    });
}

void TCliFrontEnd::OnDisplayChanged()
{
    if (FFinishing)
        return;
    const TUpdateDisplay& D = FSession.Display();
    FHistory.Observe(D);
    if (FOptions.Json) {
        if (!FFirstDisplay && D.UpdateState != FLastDisplay.UpdateState)
            PrintJson(StateJson(FLastDisplay.UpdateState, D.UpdateState, FExternalGPS));
        if (FFirstDisplay || !(D == FLastDisplay))
            PrintJson(DisplayJson(D));
    } else {
        const TRenderOutput Out = FRenderer.Update(D);
        if (FTerminal) {
            // Each state's last progress stays on the screen above what follows.
            if (!FProgressWanted.empty() &&
                (Out.Progress.empty() || (!FFirstDisplay && D.UpdateState != FLastDisplay.UpdateState)))
                EndProgress();
            for (const std::string& L : Out.Lines)
                PrintLine(L);
            FProgressWanted = Out.Progress;
            DrawProgress(false);
        } else {
            for (const std::string& L : Out.Lines)
                PrintLine(L);
            if (!Out.Progress.empty())
                PrintLine(Out.Progress);
        }
    }
    if (D.UpdateState != FLastDisplay.UpdateState || FFirstDisplay)
        LogLine("# state " + std::to_string(D.UpdateState) + ": " + StateText(D.UpdateState, FExternalGPS));
    FLastDisplay = D;
    FFirstDisplay = false;
    ScheduleEvaluate();
}

void TCliFrontEnd::ScheduleEvaluate()
{
    // Decisions and actions run from the event loop, never inside the
    // session's own step that showed the display.
    if (FEvaluateQueued || FFinishing)
        return;
    FEvaluateQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            FEvaluateQueued = false;
            Guarded([&] { Evaluate(); });
        },
        Qt::QueuedConnection);
}

template <typename F> bool TCliFrontEnd::Act(F&& Action)
{
    // The double-click handlers let the session's exceptions through to the
    // front end that called them, as a click handler would.
    try {
        Action();
        return true;
    } catch (const std::exception& E) {
        PrintError(E.what());
        Finish(IsPortException(E) ? TOutcome::PortError : TOutcome::Failed, E.what());
    }
    return false;
}

void TCliFrontEnd::Evaluate()
{
    if (FFinishing)
        return;
    const TUpdateDisplay& D = FSession.Display();

    if (!FOptions.ImageFile.empty() && !FActionDone &&
        ReadyForCustomImage(D, Connected(), FUnreadableReceiver)) {
        FActionDone = true;
        PrintLine("Sending the custom image " + FOptions.ImageFile);
        LogLine("# custom image " + FOptions.ImageFile);
        if (!Act([&] { FSession.pGPSNeededDblClick(); }) || FFinishing)
            return;
        const TUpdateDisplay& After = FSession.Display();
        // The session leaves a module image without the MediaTek marks unsent, silently.
        if (FExternalGPS && After.UpdateState == 1 && FSession.ModuleBlocks().empty())
            Finish(TOutcome::BadImage,
                   FOptions.ImageFile + " is not a MediaTek receiver image; nothing was sent");
        return;
    }
    if (FOptions.Recovery && !FActionDone && ReadyForRecovery(D, Connected(), FUnreadableReceiver)) {
        FActionDone = true;
        PrintLine("Starting a firmware recovery");
        LogLine("# recovery");
        if (!Act([&] { FSession.pGPSCurrentDblClick(); }) || FFinishing)
            return;
        if (FSession.Display().vGPSCurrent != SessionText::FirmwareRecovery)
            Finish(TOutcome::NotSupported, "a recovery is not possible for this unit (hardware " +
                                               FSession.Display().vVersionInfo + ")");
        return;
    }

    if (const auto Decision = DecideOutcome(FHistory, D, FSession.AutoUpdate())) {
        Finish(Decision->Outcome, Decision->Message, Decision->UnitTurnedOff);
        return;
    }

    if (!FExternalGPS && FUnreadableReceiver && !FHintShown && D.UpdateState == 0 && !D.vVersion.empty() &&
        !FOptions.Recovery && FOptions.ImageFile.empty()) {
        FHintShown = true;
        PrintLine("The receiver does not report its version; --recovery sends the tool's recovery image "
                  "(hardware 2e1), --image FILE a file of your choice");
    }
}

void TCliFrontEnd::OnSignal()
{
    unsigned char Bytes[16];
    int Last = 0;
    ssize_t N;
    while ((N = read(SignalPipe[0], Bytes, sizeof Bytes)) > 0)
        Last = Bytes[N - 1];
    if (Last == 0)
        return;
    if (FFinishing && !FDone) {
        // A second signal while the link closes: close the port at once.
        FCloseTimer.stop();
        FSession.bCloseClick();
        Complete();
        return;
    }
    Finish(TOutcome::Interrupted, "interrupted by " + SignalName(Last) + "; the link was closed");
}

void TCliFrontEnd::OnApplicationException(const std::exception& E)
{
    Guarded([&] {
        PrintError(E.what());
        if (IsPortException(E) && !FFinishing) {
            const std::string Message = std::string("port error on ") + PortText() + ": " + E.what();
            QMetaObject::invokeMethod(
                this, [this, Message] { Guarded([&] { Finish(TOutcome::PortError, Message); }); },
                Qt::QueuedConnection);
        }
    });
}

void TCliFrontEnd::OnSessionError(const std::string& Message)
{
    PrintError(Message);
    if (FFinishing)
        return;
    const bool Image = Message == SessionText::UnableToLoad || Message == SessionText::ImageTooShort;
    const TOutcome Outcome = Image ? TOutcome::BadImage : TOutcome::Failed;
    QMetaObject::invokeMethod(
        this, [this, Outcome, Message] { Guarded([&] { Finish(Outcome, Message); }); }, Qt::QueuedConnection);
}

void TCliFrontEnd::Finish(TOutcome Outcome, const std::string& Message, bool UnitTurnedOff)
{
    if (FFinishing)
        return;
    FFinishing = true;
    FOutcome = Outcome;
    FMessage = Message;
    FTimeout.stop();
    FQuietTimer.stop();
    EndProgress();
    LogLine("# closing: " + std::string(OutcomeInfo(Outcome).Name));

    // After a port error there is nobody left to answer a polite close.
    if (FExternalGPS || !FSession.CX.Connected() || Outcome == TOutcome::PortError) {
        FSession.bCloseClick();
        Complete();
        return;
    }
    // The turned-off unit ends the link itself. Otherwise, like "Off" but
    // leaving the unit on: nothing of the update runs on, and the unit is
    // asked to leave its command mode, so that the next run finds it as it
    // was before. Its acknowledgements name no command: one still due for an
    // earlier command would be read as the answer to the end-of-connection
    // command, and the port would close before that command went out. So the
    // session lets go of the link first, and the end goes out once no
    // acknowledgement has come for a moment.
    FClosePhase = UnitTurnedOff ? cpAwaitEnd : cpSettle;
    if (!UnitTurnedOff) {
        FSession.ResetDisplay();
        ReleaseLink();
    }
    FCloseClock.start();
    FCloseTimer.start();
}

void TCliFrontEnd::ReleaseLink()
{
    TCorvex& CX = FSession.CX;
    CX.OnAfterOpen = nullptr;
    CX.OnGotVersionInfo = nullptr;
    CX.OnGPSLocation = nullptr;
    CX.OnRequestParameter = nullptr;
    CX.OnSetParameter = nullptr;
    CX.OnEEPromDataWrite = nullptr;
    CX.OnLoggerStatus = nullptr;
    CX.OnFastSpeed = nullptr;
    CX.OnSoftwareUpdate = nullptr;
    FSessionParameterHandler = nullptr;
}

void TCliFrontEnd::CloseStep()
{
    if (FDone)
        return;
    const bool Connected = FSession.CX.Connected();
    if (FClosePhase == cpSettle) {
        if (Connected && FLastAck.elapsed() < QuietLineMs && FCloseClock.elapsed() < SettleMaxMs)
            return;
        if (Connected)
            FSession.CX.Close(false);
        FClosePhase = cpAwaitEnd;
        FCloseClock.restart();
        return;
    }
    if (Connected && FCloseClock.elapsed() < CloseWaitMs)
        return;
    FCloseTimer.stop();
    FSession.bCloseClick();
    Complete();
}

void TCliFrontEnd::Complete()
{
    if (FDone)
        return;
    FDone = true;
    const TOutcomeInfo& Info = OutcomeInfo(FOutcome);
    FExitCode = Info.ExitCode;
    LogLine("# result: " + std::string(Info.Name) + " (exit code " + std::to_string(Info.ExitCode) +
            "): " + FMessage);
    if (FOptions.Json) {
        PrintJson(TJsonObject()
                      .Add("event", "result")
                      .Add("result", Info.Name)
                      .Add("exit_code", Info.ExitCode)
                      .Add("message", FMessage)
                      .Add("current", FLastDisplay.vGPSCurrent)
                      .Add("required", FLastDisplay.vGPSNeeded)
                      .Str());
    } else {
        const bool Good = FOutcome == TOutcome::Updated || FOutcome == TOutcome::UpToDate ||
                          FOutcome == TOutcome::ManualFinished || FOutcome == TOutcome::NotSupported;
        PrintLine(std::string(Good ? "Done" : "Stopped") + " (" + Info.Name + ", exit code " +
                  std::to_string(Info.ExitCode) + "): " + FMessage);
        // A script that keeps only stderr still learns why the run failed.
        if (!Good && !(isatty(STDOUT_FILENO) && isatty(STDERR_FILENO)))
            std::fprintf(stderr, "veltrac-gnss-update-cli: %s\n", FMessage.c_str());
    }
    emit Finished(FExitCode);
}
