#include "app/cli/CliOutcome.h"

#include <stdexcept>

const std::vector<TOutcomeInfo>& Outcomes()
{
    // Codes are part of the interface for scripts: never renumber.
    static const std::vector<TOutcomeInfo> Table = {
        {TOutcome::Updated, 0, "updated", "updated: the device holds and reports the new firmware"},
        {TOutcome::Failed, 1, "failed", "failed: the session reported an error (message on stderr)"},
        {TOutcome::UsageError, 2, "usage", "bad command line"},
        {TOutcome::UpToDate, 3, "up-to-date", "already up to date: nothing was written"},
        {TOutcome::NotSupported, 4, "not-supported", "update not supported for this device or receiver"},
        {TOutcome::ManualFinished, 5, "manual", "manual mode finished: versions read, nothing sent"},
        {TOutcome::TimedOut, 6, "timed-out", "timed out (--timeout); the link was closed"},
        {TOutcome::PortError, 7, "port-error", "port error: the port could not be opened or failed"},
        {TOutcome::BadImage, 8, "bad-image", "bad image: --image cannot be read or sent"},
        {TOutcome::Interrupted, 130, "interrupted",
         "interrupted (Ctrl-C, SIGTERM, SIGHUP); the link was closed"},
    };
    return Table;
}

const TOutcomeInfo& OutcomeInfo(TOutcome Outcome)
{
    for (const TOutcomeInfo& I : Outcomes())
        if (I.Outcome == Outcome)
            return I;
    throw std::logic_error("outcome without an entry");
}

void TRunHistory::Observe(const TUpdateDisplay& D)
{
    const int S = D.UpdateState;
    if (!D.vVersion.empty() && S != 5 && S != 6)
        FIdentified = true;
    if (S == 1 || S == 2 || S == 3)
        FTransferStarted = true;

    if (!FExternalGPS && S == 3) {
        // State 3 through the unit: every record acknowledged, the unit programs.
        FTransferCompleted = true;
    }
    if (FExternalGPS && S == 3 && D.pUpdateProgress.Maximum > 0 &&
        D.pUpdateProgress.Position >= D.pUpdateProgress.Maximum)
        FTransferCompleted = true;

    if (S == 6) {
        if (!FUnitFirmwareStarted) {
            FUnitFirmwareStarted = true;
            FVersionBefore = D.vVersion;
        }
        const std::string& Prefix = SessionText::UpdatingUnit;
        if (D.vGPSCurrent.starts_with(Prefix))
            FUnitFirmwareTitle = D.vGPSCurrent.substr(Prefix.size());
    } else if (FUnitFirmwareStarted && !FUnitFirmwareUpdated && !D.vVersion.empty() &&
               D.vVersion != FVersionBefore) {
        FUnitFirmwareUpdated = true;
        FVersionAfter = D.vVersion;
    }

    if (S == 5) {
        if (!FControllerStarted) {
            FControllerStarted = true;
            FVersionBefore = D.vVersion;
        }
    } else if (FControllerStarted && !FControllerUpdated && !D.vVersion.empty() &&
               D.vVersion != FVersionBefore) {
        FControllerUpdated = true;
        FVersionAfter = D.vVersion;
    }
}

void TRunHistory::ModuleStatusAcknowledged(const TUpdateDisplay& D)
{
    // The cursor stands on the block whose status was accepted.
    const TProgressBarState& Cursor = D.pUpdateProgress;
    if (FExternalGPS && D.UpdateState == 3 && Cursor.Maximum > 0 && Cursor.Position >= Cursor.Maximum - 1)
        FTransferCompleted = true;
}

std::string TRunHistory::FirmwareNote() const
{
    if (FUnitFirmwareUpdated)
        return "the unit's firmware went from " + FVersionBefore + " to " + FVersionAfter +
               (FUnitFirmwareTitle.empty() ? "" : " (" + FUnitFirmwareTitle + ")");
    if (FControllerUpdated)
        return "the module's controller went from " + FVersionBefore + " to " + FVersionAfter;
    return {};
}

namespace
{

std::string Quoted(const std::string& Text)
{
    return "\"" + Text + "\"";
}

std::string WithNote(std::string Message, const TRunHistory& H)
{
    const std::string Note = H.FirmwareNote();
    if (!Note.empty())
        Message += "; " + Note;
    return Message;
}

} // namespace

std::optional<TDecision> DecideOutcome(const TRunHistory& H, const TUpdateDisplay& D, bool AutoUpdate)
{
    // A unit without receiver updates answers the update parameter with
    // nothing; the session shows that and keeps asking.
    if (!H.ExternalGPS() && D.UpdateState == 0 && D.vGPSCurrent == SessionText::NotSupported)
        return TDecision{TOutcome::NotSupported, WithNote("the unit does not support receiver updates", H)};
    if (D.UpdateState != 4)
        return std::nullopt;

    if (D.vGPSNeeded == SessionText::NotSupported) {
        if (H.TransferCompleted())
            return TDecision{TOutcome::Failed,
                             WithNote("after the update the receiver reports " + Quoted(D.vGPSCurrent) +
                                          ", for which the tool has no image",
                                      H)};
        return TDecision{
            TOutcome::NotSupported,
            WithNote("the tool has no image for the receiver's version " + Quoted(D.vGPSCurrent), H)};
    }
    if (!AutoUpdate) {
        if (H.TransferCompleted())
            return TDecision{
                TOutcome::Updated,
                WithNote("the image was sent; the receiver now reports " + Quoted(D.vGPSCurrent), H)};
        // A custom transfer that started over (the device refused a part, or the link was lost).
        if (H.TransferStarted())
            return TDecision{TOutcome::Failed,
                             WithNote("the image did not reach the device completely; the receiver reports " +
                                          Quoted(D.vGPSCurrent),
                                      H)};
        return TDecision{
            TOutcome::ManualFinished,
            WithNote("automatic update is off; the receiver reports " + Quoted(D.vGPSCurrent), H)};
    }
    // The receiver reports the required version; a unit is switched off for it.
    const bool Off = !H.ExternalGPS();
    if (H.TransferStarted())
        return TDecision{TOutcome::Updated,
                         WithNote("the receiver was updated to " + Quoted(D.vGPSNeeded), H), Off};
    if (H.UnitFirmwareUpdated() || H.ControllerUpdated())
        return TDecision{TOutcome::Updated, WithNote("the receiver already runs " + Quoted(D.vGPSNeeded), H),
                         Off};
    return TDecision{TOutcome::UpToDate, "the receiver already runs " + Quoted(D.vGPSNeeded), Off};
}

bool ReadyForCustomImage(const TUpdateDisplay& D, bool Connected, bool UnreadableReceiver)
{
    if (!Connected)
        return false;
    if (D.UpdateState == 4 && !D.vGPSCurrent.empty())
        return true;
    return D.DeviceType == dtVeltrac && D.UpdateState == 0 && !D.vVersion.empty() && UnreadableReceiver;
}

bool ReadyForRecovery(const TUpdateDisplay& D, bool Connected, bool UnreadableReceiver)
{
    if (!Connected || D.UpdateState != 0 || D.vVersion.empty())
        return false;
    if (D.DeviceType == dtExternalGPS)
        return D.vGPSCurrent.empty();
    return UnreadableReceiver;
}

std::string StateText(uint8_t State, bool ExternalGPS)
{
    switch (State) {
    case 0:
        return ExternalGPS ? "identifying the module and reading its receiver"
                           : "reading the unit and its receiver";
    case 1:
        return ExternalGPS ? "starting the transfer" : "writing the image into the unit";
    case 2:
        return "the module prepares its receiver";
    case 3:
        return ExternalGPS ? "sending the image to the receiver" : "the unit programs its receiver";
    case 4:
        return "finished";
    case 5:
        return "updating the module's controller firmware";
    case 6:
        return "updating the unit's own firmware";
    default:
        return "state " + std::to_string(State);
    }
}
