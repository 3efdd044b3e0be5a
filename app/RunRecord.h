#pragma once
// What one run did, from the Open (or the request) that began it to its end,
// and the outcome it makes of that. Every run starts from nothing: a second
// device in the same window is described by its own events only.
//
// The phases, each timed on the run's clock and only within the run:
// - own firmware: from the request that the unit pull its own firmware (for
//   a module: the controller update's start command, or a loader that began
//   pulling by itself) to the device's next identification, on whatever
//   firmware it then runs.
// - receiver transfer: TransferSeconds, from the transfer's start to its last
//   record or block. A transfer that wrote nothing (a refused image) did not
//   happen.
// - programming: from the transfer's end (in a run that takes a kept
//   confirmation up again: from then) to the first evidence that it ended:
//   the unit's logger status reaching its total, or, when the unit went
//   quiet, its last logger status (the quiet time after it is not
//   programming); the module's status 02; the receiver's answer changing
//   while watched. None when the version the tool sent was reported before
//   any such evidence, or when programming had ended before the run.
// - confirmation: from that evidence (from the transfer's end when a version
//   decided without it) to the run's end; the verdict (the confirming or a
//   wrong version, the confirmation time running out) ends the run at once,
//   or starts another transfer, whose programming and confirmation replace
//   these (the receiver transfer is the last one too).
// A phase the run ended in before the phase's own end (the time limit, the
// user, an unplug, a confirmation time that ran out without evidence) is
// measured to the run's end and named as unfinished.
//
// The repeats, counted only while the run is active:
// - records: EEPROM records the unit transfer sent again (unanswered or refused);
// - blocks: receiver blocks sent to the module again (no status for 2 s), and
//   firmware blocks a device pulling its own firmware (the unit, a module's
//   loader) asked for again right after they were served;
// - wake-ups: the unit link's wake-ups after the first since it opened; for
//   a module, the identify questions TimerE3 repeats until it answers;
// - restarts: every identification the run begins after its first (the
//   module after its controller update, after its last block, after its
//   status 02, after a stall; the unit back on its own firmware). A run that
//   begins on a device already identified counts its first one too.
#include "app/Confirmation.h"
#include "app/UpdateDisplay.h"
#include "app/UpdateOutcome.h"
#include "serial/PortAdapter.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <cstdint>
#include <optional>
#include <string>

// What the session knows at a run's end, beside the record.
struct TRunEnd {
    bool ExternalGPS = false;
    std::string DeviceIDShown;    // the device ID the window shows
    std::string ReceiverReported; // the last version the receiver itself reported
    std::string RequiredShown;    // what the window shows as required ("" or the not-supported text: none)
    const std::string* Image = nullptr; // the image held for sending, if any
    std::string ImageName;
    uint64_t SentNow = 0; // bytes written to the device on this session so far
    uint32_t LineRate = 0;
    int ComNumber = 0;
    std::string DevicePath;
};

struct TRunRecord {
    bool Active = false;
    QElapsedTimer Clock;
    QDateTime StartedAt;
    TImageSource Transfer = TImageSource::None; // the transfer of this run, once started
    bool Transferred = false;                   // a complete image reached the device
    bool ProgrammingFollowed = false;           // a programming under way when the run began was followed
    std::string Required;                       // the version the tool knows it sent, once confirming
    std::string DeviceID, FirmwareBefore, FirmwareAfter, FirmwareTitle;
    std::string Model, Hardware, HardwareRevision; // as the device identified itself
    bool FirmwareBeforeUnknown = false;            // a module found in its loader
    bool UnitFirmwareSent = false;                 // the unit pulled its firmware to the end
    bool ControllerSent = false;                   // the module's loader pulled its firmware to the end
    bool FirmwareWritten = false;                  // ... and the device came back on it
    std::string ReceiverBefore;
    uint64_t SentAtStart = 0;
    QElapsedTimer TransferClock; // from the transfer's start
    uint64_t TransferSentAtStart = 0;
    bool TransferEnded = false; // the last record or block went out
    double TransferSeconds = 0;
    uint64_t TransferLineBytes = 0;
    uint32_t LineRate = 0;
    TPortAdapter Adapter; // the port's adapter, as the run found it at its start

    // ---- Phases: times on Clock in ms, -1 until reached ----
    int64_t OwnFirmwareFrom = -1, OwnFirmwareTo = -1;
    int64_t WatchFrom = -1;        // the transfer's end, or where a kept confirmation was taken up
    int64_t LastSignAt = -1;       // the unit's last logger status while it programmed
    int64_t ProgrammedAt = -1;     // the evidence that programming ended
    bool ProgrammedBefore = false; // ... which came before this run
    bool Decided = false;          // the confirmation reached its verdict
    bool DecidedByVersion = false; // ... on a version read
    // ---- Repeats ----
    TRunRepeats Repeats;
    bool Identifying = false; // an identification has begun (or the run began on a known device)
    std::optional<int32_t> LastFirmwareBlock; // the firmware block served last in this pull

    // A new run; SentNow counts the bytes written so far. A run that begins
    // on a device the connection already shows starts from its ID and firmware.
    void Begin(uint64_t SentNow, const std::string& DeviceID = {}, const std::string& Firmware = {});
    // The device said who it is and which firmware it runs.
    void Identified(const std::string& ID, const std::string& Firmware);
    // ... as the window shows it (its ID, firmware, model and hardware).
    void Identified(const TUpdateDisplay& Shown);
    // The device is being identified: Open, a restart of the session's, the
    // unit's link opening again after its own firmware.
    void IdentifyStarting();
    // The unit is asked to pull its own firmware (Title), or the module's
    // controller begins its update (no title).
    void FirmwareStarting(const std::string& Title = {});
    // A device pulling its own firmware was served Block.
    void FirmwareBlockServed(int32_t Block);
    // The unit asked for the end block: it restarts on what it pulled, and
    // its link identifies it again.
    void UnitFirmwarePulled();
    enum class TRepeat { Record, Block, WakeUp };
    void Repeated(TRepeat What);

    void TransferStarting(TImageSource Source, const std::string& Receiver, uint64_t SentNow);
    // What the confirmation of this run's transfer starts from; Certain: the
    // device accepted every part.
    TConfirmationStart ConfirmationStart(bool Certain, const TUpdateDisplay& Shown) const;
    // Every part went out and the confirmation C starts: the transfer's pace
    // is measured up to here.
    void Confirming(const TConfirmationStart& C, uint64_t SentNow, uint32_t Rate);
    // The last record or block went out: the transfer's pace is measured up
    // to here, and the device may be programming from here on.
    void TransferDone(uint64_t SentNow, uint32_t Rate);
    // A confirmation kept from an earlier run goes on in this one (its
    // programming may have ended before), or one of a programming found under way begins.
    void Resumed(const TConfirmationStart& What, bool ProgrammingEnded);
    // A unit's logger status; after the transfer's end, a sign that it programs.
    void ProgrammingSign();
    // Evidence that programming ended; AtLastSign: the unit went quiet, so
    // it ended with its last logger status. The first evidence counts.
    void ProgrammingEnded(bool AtLastSign = false);
    // The confirmation's verdict: on a version read, or its time ran out.
    void ConfirmationDecided(bool ByVersion);
    // The transfer's pace while it runs, and its own figures once its last
    // part went out: Image is the image going out, Counted the bar that
    // counts its parts (null while nothing counts them).
    TTransferProgress Progress(const std::string* Image, const TProgressBarState* Counted, uint64_t SentNow,
                               uint32_t Rate) const;
    // What was written of the unit's own firmware or the module's controller
    // in this run; empty when nothing was.
    std::string FirmwareNote(bool ExternalGPS) const;
    // Ends the run with Kind and Message. Firmware written is an update,
    // whatever the receiver did; the message names it.
    TUpdateOutcome End(TOutcomeKind Kind, const std::string& Message, const TRunEnd& At);

  private:
    int64_t Now() const { return Clock.isValid() ? Clock.elapsed() : 0; }
    // Ends the transfer's measure; false when it had ended (or none ran).
    bool CloseTransfer(uint64_t SentNow, uint32_t Rate);
    // The phases at Ending (ms on Clock); TransferCut: the run ended the transfer.
    TRunPhases Phases(int64_t Ending, bool TransferCut) const;
};
