#pragma once
// What the update session is doing, in one sentence for a person. The
// window's status line and the command line's lines use the same texts.
// Pure: from the display data and a few facts the display does not hold.
#include "app/UpdateDisplay.h"
#include "app/UpdateOutcome.h"

#include <cstdint>
#include <string>

// "COM 5", or Path when the port was given by a path the port map does not give that number.
std::string PortName(int ComNumber, const std::string& Path);
// The trace lines of a unit's frame ("TX unit 0B 01 02") and a module's ("RX module 00 2C").
std::string UnitFrameTrace(bool Outgoing, uint8_t Cmd, const std::string& Data);
std::string ModuleFrameTrace(bool Outgoing, const std::string& Bytes);

struct TStatusFacts {
    bool PortOpen = false;
    std::string Port;          // "COM 5", or the device path the port was given by
    bool NoPortChosen = false; // Open was pressed without a port
    bool TypeChosen = false;   // the device type was chosen, or a run used it
    int SilentSeconds = 0;     // since Open without a word from the device (0: not yet worth saying)
    bool RunActive = false;
    const TUpdateOutcome* Outcome = nullptr; // the last run's, kept until the next one begins
};

struct TSessionStatus {
    std::string Text; // "Writing the image into the unit: 1,158 of 2,457 records"
    // The same without the running count ("Writing the image into the
    // unit..."): a new step when this changes.
    std::string Step;
};

TSessionStatus SessionStatus(const TUpdateDisplay& D, const TStatusFacts& F);

// "Finished: …", "Sent, not confirmed: …", "Stopped: …", "Not finished: …" (a
// receiver that may still be programming), "Failed: …".
std::string OutcomeStatus(const TUpdateOutcome& O);
// The run ended well: its status begins "Finished: ".
bool OutcomeFinished(const TUpdateOutcome& O);
