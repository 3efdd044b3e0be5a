#pragma once
// What one run did, from the Open (or the request) that began it to its end,
// and the outcome it makes of that. Every run starts from nothing: a second
// device in the same window is described by its own events only.
#include "app/UpdateDisplay.h"
#include "app/UpdateOutcome.h"
#include "serial/PortAdapter.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <cstdint>
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
    std::string Required;                       // the version the tool knows it sent, once confirming
    std::string DeviceID, FirmwareBefore, FirmwareAfter, FirmwareTitle;
    std::string Model, Hardware, HardwareRevision; // as the device identified itself
    bool FirmwareBeforeUnknown = false; // a module found in its loader
    bool UnitFirmwareSent = false;      // the unit pulled its firmware to the end
    bool ControllerSent = false;        // the module's loader pulled its firmware to the end
    bool FirmwareWritten = false;       // ... and the device came back on it
    std::string ReceiverBefore;
    uint64_t SentAtStart = 0;
    QElapsedTimer TransferClock; // from the transfer's start
    uint64_t TransferSentAtStart = 0;
    bool TransferEnded = false; // the last record or block went out
    double TransferSeconds = 0;
    uint64_t TransferLineBytes = 0;
    uint32_t LineRate = 0;
    TPortAdapter Adapter; // the port's adapter, as the run found it at its start

    // A new run; SentNow counts the bytes written so far. A run that begins
    // on a device the connection already shows starts from its ID and firmware.
    void Begin(uint64_t SentNow, const std::string& DeviceID = {}, const std::string& Firmware = {});
    // The device said who it is and which firmware it runs.
    void Identified(const std::string& ID, const std::string& Firmware);
    void TransferStarting(TImageSource Source, const std::string& Receiver, uint64_t SentNow);
    // The last record or block went out: the transfer's pace is measured up to here.
    void TransferDone(uint64_t SentNow, uint32_t Rate);
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
};
