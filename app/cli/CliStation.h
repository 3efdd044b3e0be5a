#pragma once
// --watch: a workshop station. It runs until Ctrl-C and updates every device
// that is plugged in: the candidate ports of --port all (or the ports named)
// are watched as they come and go, each present port is probed, and a port
// whose device answers gets a run of its own (one update session a port,
// kept while the station runs, and a front end a run), several at once.
//
// A device whose run ended is left alone while it stays on its port: the
// port is probed again every ProbeEveryMs, and only another device (another
// ID) starts a run. Probes that find the port silent for LeaveAfterMs mean
// the device was taken off; it is forgotten. A port that goes away while its
// receiver may be programming keeps its session's confirmation: when it
// returns, the run starts without a probe and follows that receiver to its
// new version, never sending it the image again (the session sees to it, by
// device ID).
//
// The first Ctrl-C takes no new devices: probes stop, runs that have not
// reached the programming stop politely, and receivers that program are
// waited for. The second ends every run at once.
#include "app/SignalWatcher.h"
#include "app/UpdateSession.h"
#include "app/cli/CliCommand.h"
#include "app/cli/CliConsole.h"
#include "app/cli/CliFrontEnd.h"
#include "app/cli/CliOptions.h"
#include "link/DeviceProbe.h"
#include "serial/PortWatcher.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <exception>
#include <memory>
#include <string>
#include <vector>

class TCliStation : public TCliCommand
{
    Q_OBJECT

  public:
    // How often a port without a run is probed again.
    static constexpr int ProbeEveryMs = 5000;
    // A port that would not open (udev may not have set its group yet).
    static constexpr int RetryOpenMs = 2000;
    // A device that finished counts as taken off once every probe found the
    // port silent for this long: longer than a unit's link time-out (20 s),
    // during which a unit the last probe woke may not hear a bare wake-up.
    static constexpr int LeaveAfterMs = 25000;

    // Records: the command's record writer, or null; what waits for its
    // destination is shown with the table.
    TCliStation(const TCliOptions& Options, bool Terminal, const TFirmwareStore& Store,
                const std::vector<std::string>& SessionArguments, TCliRecords* Records = nullptr,
                QObject* Parent = nullptr);
    ~TCliStation() override;

    void Start() override;

  private:
    // One port of the station. The front end goes before its session, the
    // runs that ended before the slots (members end in reverse order).
    struct TSlot {
        TCliPort Port;       // as a run names it
        std::string Label;   // "COM 5", or the path outside the port map
        std::string Path;    // the device path probed and opened
        std::string Target;  // where it led when last seen: another target is another plug-in
        std::string Adapter; // the USB adapter's serial number, for the table
        bool Present = false;
        std::unique_ptr<TUpdateSession> Session;
        std::unique_ptr<TCliFrontEnd> Run; // the run under way, or the last one
        std::unique_ptr<TDeviceProbe> Probe;
        std::string Probed = "waiting for a device"; // what the last probe found, for the table
        qint64 NextProbeAt = 0;                      // on the station's clock
        // The device of the last run, left alone while it stays on the port.
        bool Finished = false;
        std::string DeviceID; // empty: a module found in its loader
        bool Module = false;
        qint64 SilentSince = -1; // the first of the probes in a row that found the port silent
        bool Left = false;       // it was taken off: the port waits for the next device
    };

    bool CheckFiles();
    void Rescan();
    void Plugged(TSlot& S);
    void Unplugged(TSlot& S);
    void Next(TSlot& S);
    void Tick();
    void StartProbe(TSlot& S);
    void OnProbed(TSlot& S);
    // DeviceID: as the probe found it (empty for a module in its loader), for the log file's name.
    void StartRun(TSlot& S, TCliDevice Device, const std::string& DeviceID);
    void OnRunFinished(TSlot& S);
    bool Running(const TSlot& S) const { return S.Run && !S.Run->Done(); }
    void OnSignal(int Signal);
    void OnException(const std::exception& E);
    std::string LogFileFor(const TSlot& S, const std::string& DeviceID) const;
    void Say(const TSlot* S, const std::string& What, const std::string& Line,
             const std::string& DeviceID = {}, bool Module = false);
    void DrawTable();
    void Finish();

    TCliOptions FOptions;
    const TFirmwareStore& FStore;
    std::vector<std::string> FSessionArguments;
    TCliRecords* FRecords;
    TCliConsole FConsole;
    TCliView FView;
    std::vector<std::unique_ptr<TSlot>> FSlots;
    // Runs that ended and were followed by another on their port; with the
    // slots' last runs, in the order they ended (FCompleted).
    std::vector<std::unique_ptr<TCliFrontEnd>> FEnded;
    std::vector<const TCliFrontEnd*> FCompleted;
    TPortWatcher FWatcher;
    TSignalWatcher FSignals;
    QTimer FTick;
    QTimer FTableTimer;
    QElapsedTimer FClock;
    int FSignalsSeen = 0;
    bool FCutShort = false; // the second Ctrl-C ended a run
};
