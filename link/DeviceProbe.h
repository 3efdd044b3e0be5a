#pragma once
// TDeviceProbe: what answers on one serial port — a tracking unit, an
// External GPS module, a module whose loader asks for controller firmware,
// or nothing — found with the questions the update itself starts with, and
// nothing else:
//
//   module: the port at 9600 baud as the module link opens it, identify
//           (3C 00 2C 01 1D 4A 3E) once, then listening; a loader's block
//           request is recognised and left unanswered.
//   unit:   the port at 9600 baud as the unit link opens it, "_CONFIGB\r"
//           once, 100 ms after the opening, without the end-of-connection
//           frames that an update's first wake-up sends before it.
//
// The module is asked first (Both): a loader announces itself without being
// asked, and a port closed under it ends its request loop, so it is heard on
// the first opening; and the identify frame holds neither 02 nor "_CONFIGB",
// so it is nothing to a unit in any state. The wake-up is plain text that a
// module's frame reader (3C ... 3E) and its loader ("{" ...) both pass over.
// Both devices listen at 9600 until an update switches them, so neither
// question reaches the other device type as garbage.
//
// A unit woken this way is left in framed mode: the probe sends no
// end-of-connection command (FF), only the port is closed. The unit leaves
// framed mode by itself once no command came for its link time-out, and
// the first wake-up of an update sends the end-of-connection frames for
// just this case. Everything runs on the Qt main thread.
#include <QTimer>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

class TCorvex;
class TModuleLink;
class TSoftwareUpdate;

// Which questions to ask.
enum class TProbeKind { Unit, Module, Both };

enum class TProbeFound {
    Nothing,      // the port opened; no device answered in time
    Unit,         // a tracking unit sent its unit information
    Module,       // a module answered identify
    ModuleLoader, // a module's loader asked for controller firmware (not served)
    NotOpened,    // the port could not be opened (Error says why)
    Failed,       // the port hung up or failed during the probe (Error says how)
};

struct TProbeResult {
    TProbeFound Found = TProbeFound::Nothing;
    std::string ID;         // unit: its ID in decimal; module: 8 hex digits
    std::string Name;       // unit: its model (empty from a short unit information); module: its name
    std::string Version;    // unit: its firmware version; module: its controller version ("2.10")
    std::string Error;      // NotOpened, Failed
    uint64_t BytesSent = 0; // every byte written to the port
};

class TDeviceProbe
{
  public:
    // How long each question waits for its answer, from the port's opening.
    // One wake-up only: the unit link repeats it after 1600 ms.
    static constexpr int UnitWaitMs = 1400;
    // A loader asks again every 1.5 s or sooner.
    static constexpr int ModuleWaitMs = 1600;

    TDeviceProbe(const std::string& DevicePath, TProbeKind Kind);
    ~TDeviceProbe();
    TDeviceProbe(const TDeviceProbe&) = delete;
    TDeviceProbe& operator=(const TDeviceProbe&) = delete;

    // Called once, from the event loop, when the probe has ended and closed
    // the port; the handler must not destroy the probe.
    std::function<void(TDeviceProbe* Sender)> OnFinished;

    // Opens the port and asks; the rest happens in the event loop.
    void Start();
    bool Done() const { return FPhase == TPhase::Done; }
    const TProbeResult& Result() const { return FResult; }
    const std::string& DevicePath() const { return FPath; }

    // Whether an exception handled with Owner (see TExceptionOwner) is of
    // this probe's links or ports.
    bool Owns(const void* Owner) const;
    // Such an exception: the probe ends with its text.
    void Fail(const std::string& Message);
    void NotOpened(const std::exception& E);

  private:
    enum class TPhase { Idle, Module, Unit, Done };

    void StartModule();
    void StartUnit();
    // The phase's time is up, or it has its answer: the next phase or the end.
    void EndPhase();
    void CloseLinks();
    // Ends the phase from the event loop, outside the link event that decided it.
    void EndSoon() { FTimer.start(0); }
    void Found(TProbeFound What);

    std::string FPath;
    TProbeKind FKind;
    TPhase FPhase = TPhase::Idle;
    TProbeResult FResult;
    std::unique_ptr<TModuleLink> FModule;
    // Recognises the loader's requests; it holds no firmware, so it serves none.
    std::unique_ptr<TSoftwareUpdate> FLoaderRequests;
    std::unique_ptr<TCorvex> FUnit;
    QTimer FTimer;
};

// "unit 123456 (Veltrac Track, firmware 2.40)", "nothing answered", … for lists.
std::string ProbeResultText(const TProbeResult& R);
