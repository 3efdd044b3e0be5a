#pragma once
// What a receiver's reported version means for a run: up to date, not
// supported, nothing to do in manual mode, or which image of the firmware
// package to send; and the checks of a chosen image and of a recovery. Pure:
// no link, no port, no Qt.
#include "app/UpdateOutcome.h"

#include <string>
#include <vector>

namespace ReceiverDecision
{

enum class TWhat {
    UpToDate,     // the receiver runs the required image
    NotSupported, // the package has no image for it
    Manual,       // automatic update is off: nothing is sent
    SendCustom,   // manual mode and a planned custom image: it goes now
    Send,         // send Image
    Fail          // the run ends with Kind and Message
};

struct TAsk {
    std::string Version;                           // the reported text (the recovery text for a recovery)
    TImageSource Source = TImageSource::Automatic; // Automatic, or Recovery
    bool AutoUpdate = true;
    bool CustomPlanned = false;      // a custom image waits for the version to be read
    bool TransferIncomplete = false; // this run's image did not reach the device completely
};

struct TDecision {
    TWhat What = TWhat::Manual;
    std::string Version;  // the version decided on
    std::string Image;    // Send, UpToDate: the package's item
    std::string Required; // ... and its version text (the item's name without ".bin")
    TOutcomeKind Kind = TOutcomeKind::ManualFinished; // how the run ends (all but Send, SendCustom)
    std::string Message;
};

// A request given before Open (a custom image, a recovery), made when the
// technician's double-click would be.
struct TPlan {
    TImageSource What = TImageSource::None;
    std::string File;
    bool Done = false;
    // Whether it may go now: a recovery only for a receiver that cannot report.
    bool Due(bool UnreadableReceiver) const
    {
        return What != TImageSource::None && !Done && (What != TImageSource::Recovery || UnreadableReceiver);
    }
};

// Images: the package's receiver images.
// After a programming the run found under way and followed to its end, the
// receiver reports Version: the required one ends the run as updated; a plan
// (a custom image, a recovery) ends it with what the receiver reports; else
// Version is decided as on any Open (What Send or the like).
TDecision AfterFollowing(const TAsk& Ask, TImageSource Planned, const std::vector<std::string>& Images);
TDecision Decide(const TAsk& Ask, const std::vector<std::string>& Images);
// The decision when the package names an image for Version that cannot be read.
TDecision NoImageFor(const std::string& Version);
// The package's image for a receiver reporting Version (module type aliases
// applied); empty when there is none.
std::string RequiredImage(const std::vector<std::string>& Images, const std::string& Version);

// Whether a recovery image may go to the device: any External GPS module, a
// unit only with hardware 2e1 (its receiver cannot report).
bool RecoveryPossible(bool ExternalGPS, const std::string& HardwareText);
// Why a chosen Image (called Name) can never go to the device; empty when it can.
std::string ImageProblem(bool ExternalGPS, const std::string& Image, const std::string& Name);

} // namespace ReceiverDecision
