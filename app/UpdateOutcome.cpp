#include "app/UpdateOutcome.h"

const char* OutcomeName(TOutcomeKind Kind)
{
    switch (Kind) {
    case TOutcomeKind::Updated:
        return "updated";
    case TOutcomeKind::UpToDate:
        return "up-to-date";
    case TOutcomeKind::NotSupported:
        return "not-supported";
    case TOutcomeKind::ManualFinished:
        return "manual";
    case TOutcomeKind::NotConfirmed:
        return "not-confirmed";
    case TOutcomeKind::Failed:
        return "failed";
    case TOutcomeKind::PortError:
        return "port-error";
    case TOutcomeKind::BadImage:
        return "bad-image";
    case TOutcomeKind::TimedOut:
        return "timed-out";
    case TOutcomeKind::Interrupted:
        return "interrupted";
    }
    return "failed";
}

const char* PhaseName(TRunPhase Phase)
{
    switch (Phase) {
    case TRunPhase::None:
        return "";
    case TRunPhase::OwnFirmware:
        return "own_firmware";
    case TRunPhase::ReceiverTransfer:
        return "receiver_transfer";
    case TRunPhase::Programming:
        return "programming";
    case TRunPhase::Confirmation:
        return "confirmation";
    }
    return "";
}
