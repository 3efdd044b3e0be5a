#pragma once
// How an update run ended, as the update session states it. Front ends
// render it (the window's message, the command line's last line, exit code
// and JSON result); they never work it out for themselves.
#include "serial/PortAdapter.h"

#include <cstdint>
#include <optional>
#include <string>

enum class TOutcomeKind {
    Updated,        // the device reported the new firmware after programming, or firmware was written
    UpToDate,       // the receiver already runs the required image; nothing was written
    NotSupported,   // the device or its receiver cannot be updated by this tool
    ManualFinished, // automatic choice off: versions read, nothing sent
    NotConfirmed,   // the image was sent, but the device gave no evidence that it was programmed
    Failed,         // anything else that went wrong; Message says what
    PortError,      // the port could not be opened, failed or disappeared
    BadImage,       // a chosen image cannot be read or is not one the device takes
    TimedOut,       // the front end's time limit ran out
    Interrupted     // the user or a signal ended the run
};

// Where the image of a run's transfer came from: the archive's choice for
// the receiver's version, a file the technician chose, the recovery image.
enum class TImageSource { None, Automatic, Custom, Recovery };

// "updated", "up-to-date", "not-supported", "manual", "not-confirmed",
// "failed", "port-error", "bad-image", "timed-out", "interrupted".
const char* OutcomeName(TOutcomeKind Kind);

// The phases of an update, in the order a run goes through them (TRunRecord
// says where each begins and ends).
enum class TRunPhase { None, OwnFirmware, ReceiverTransfer, Programming, Confirmation };

// "own_firmware", "receiver_transfer", "programming", "confirmation"; "" for None.
const char* PhaseName(TRunPhase Phase);

// How long each phase took in the run, in seconds; empty for a phase that
// did not happen in it. Unfinished names the phase the run ended in before
// that phase's own end, which is then measured to the run's end.
struct TRunPhases {
    std::optional<double> OwnFirmware, ReceiverTransfer, Programming, Confirmation;
    TRunPhase Unfinished = TRunPhase::None;
};

// What had to be done again in the run.
struct TRunRepeats {
    int Records = 0;  // the unit's EEPROM records sent again
    int Blocks = 0;   // receiver blocks sent to the module again, firmware blocks a device asked for again
    int WakeUps = 0;  // wake-ups (a module: identify questions) the device left unanswered and got again
    int Restarts = 0; // times the run went back to identifying the device
};

// What a production line records of one run. Texts are as the device
// reported them; empty where there was nothing.
struct TUpdateOutcome {
    TOutcomeKind Kind = TOutcomeKind::Failed;
    std::string Message; // one sentence for a person, without the outcome's name

    std::string Device;   // "veltrac" or "egps"
    std::string DeviceID; // the unit ID (decimal) or the module ID (hexadecimal)
    // As identified: the unit's model, hardware text and revision; the module's name.
    std::string Model, Hardware, HardwareRevision;
    std::string FirmwareTitle; // the unit firmware sent in the run, as the package names it
    // The unit's firmware (or the module's controller) as first and last identified in the run.
    std::string FirmwareBefore, FirmwareAfter;
    // A module served from its loader had no version to report before: its
    // FirmwareBefore reads "loader".
    bool FirmwareBeforeUnknown = false;
    // The unit's own firmware or the module's controller was written in the run.
    bool FirmwareWritten = false;
    std::string ReceiverBefore;   // before the transfer; empty when it reported none
    std::string ReceiverRequired; // what the window showed as required
    std::string ReceiverAfter;    // the last version the receiver reported
    std::string ImageName;        // archive item or file path of the image sent
    std::string ImageSha256;
    uint64_t ImageBytes = 0;  // size of that image
    uint64_t BytesSent = 0;   // every byte written to the device in the run, repeats included
    // The transfer of the image, when there was one: from its start to its
    // last record or block, the bytes written meanwhile and the line's rate.
    double TransferSeconds = 0;
    uint64_t TransferLineBytes = 0;
    uint32_t LineRate = 0;
    bool Transferred = false; // a complete image reached the device
    // The run found the receiver programming, followed it to its end and wrote nothing.
    bool ProgrammingFollowed = false;
    double Seconds = 0;       // from Open (or from the transfer request) to the end
    int ComNumber = 0;
    std::string DevicePath;
    // The port's adapter as the run found it at its start (a device unplugged
    // later has no sysfs entry left); all empty for a pty.
    TPortAdapter Adapter;
    TRunPhases Phases;
    TRunRepeats Repeats;
    // When the run began and ended: UTC, ISO 8601 with milliseconds ("2026-12-09T19:55:01.123Z").
    std::string StartedAt, EndedAt;
};
