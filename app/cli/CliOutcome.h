#pragma once
// How a command-line run ends, decided from the update session's display
// state alone: the same data the window shows a technician, who would read
// the end of an update from it. All of that reading is kept here.
#include "app/UpdateSession.h"

#include <optional>
#include <string>
#include <vector>

enum class TOutcome {
    Updated,        // something was written and the device confirmed it
    UpToDate,       // the receiver already runs the required image
    NotSupported,   // the device or its receiver cannot be updated by this tool
    ManualFinished, // automatic update off: versions read, nothing chosen
    TimedOut,       // --timeout expired
    PortError,      // the port could not be opened or failed
    BadImage,       // --image cannot be read or is not a receiver image
    Interrupted,    // SIGINT, SIGTERM or SIGHUP
    Failed,         // any other error the session reported
    UsageError      // bad command line
};

struct TOutcomeInfo {
    TOutcome Outcome;
    int ExitCode;
    const char* Name;    // in --json results
    const char* Meaning; // in --help
};

// Every outcome in exit-code order.
const std::vector<TOutcomeInfo>& Outcomes();
const TOutcomeInfo& OutcomeInfo(TOutcome Outcome);
inline int ExitCodeOf(TOutcome Outcome)
{
    return OutcomeInfo(Outcome).ExitCode;
}

// What happened during the run, gathered from every display the session
// showed. Within one session entry several things may happen at once (the end
// of a module transfer restarts the connection in the same step), so only
// what survives into a shown display can be seen here, plus the module's
// acknowledged transfer statuses.
class TRunHistory
{
  public:
    explicit TRunHistory(bool ExternalGPS) : FExternalGPS(ExternalGPS) {}

    void Observe(const TUpdateDisplay& D);
    // The session acknowledged a transfer status of the module (its raw
    // acknowledgement went out); D is the display at that moment. The
    // acknowledgement of the last block restarts the connection in the same
    // step, so no display shows the transfer complete: this is where it is seen.
    void ModuleStatusAcknowledged(const TUpdateDisplay& D);

    bool ExternalGPS() const { return FExternalGPS; }
    // A receiver transfer was started (states 1, 2, 3).
    bool TransferStarted() const { return FTransferStarted; }
    // Every part of a receiver image reached the device: the unit holds all
    // records and programs; the module accepted its last block.
    bool TransferCompleted() const { return FTransferCompleted; }
    // The unit's own firmware was fetched and the unit came back (title), or
    // the module's controller firmware was updated and it came back.
    const std::string& UnitFirmwareTitle() const { return FUnitFirmwareTitle; }
    bool UnitFirmwareUpdated() const { return FUnitFirmwareUpdated; }
    bool ControllerUpdated() const { return FControllerUpdated; }
    // The device was identified at least once.
    bool Identified() const { return FIdentified; }
    // "the unit's firmware went from 2.40 to 2.41 (title)", or empty.
    std::string FirmwareNote() const;

  private:
    bool FExternalGPS;
    bool FTransferStarted = false;
    bool FTransferCompleted = false;
    bool FUnitFirmwareStarted = false;
    bool FUnitFirmwareUpdated = false;
    std::string FUnitFirmwareTitle;
    bool FControllerStarted = false;
    bool FControllerUpdated = false;
    bool FIdentified = false;
    std::string FVersionBefore, FVersionAfter;
};

struct TDecision {
    TOutcome Outcome;
    std::string Message; // the final line, without the exit code
    // The session switched the unit off (up to date or confirmed): its
    // acknowledgement ends the link, nothing need be closed politely.
    bool UnitTurnedOff = false;
};

// The end of the run when the display shows one, else nothing (keep going).
// AutoUpdate is the session's (False with --manual and --image).
std::optional<TDecision> DecideOutcome(const TRunHistory& History, const TUpdateDisplay& D, bool AutoUpdate);

// When the technician's double-click would come: the moment the CLI does
// what --image and --recovery ask.
//   --image: the receiver's version was read (with automatic update off this
//   ends in state 4), or the unit said its receiver cannot report it
//   (UnreadableReceiver: parameter 65352 answered with readiness 0).
//   --recovery: the device is identified, nothing is running, and for a unit
//   its receiver cannot report its version.
bool ReadyForCustomImage(const TUpdateDisplay& D, bool Connected, bool UnreadableReceiver);
bool ReadyForRecovery(const TUpdateDisplay& D, bool Connected, bool UnreadableReceiver);

// The session's state as a phrase for a person.
std::string StateText(uint8_t State, bool ExternalGPS);
