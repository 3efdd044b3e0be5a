#include "app/SessionStatus.h"

#include "serial/PortMap.h"
#include "util/MyConvert.h"
#include "util/MyFunctions.h"

#include <cstdio>

namespace
{

// Plain ASCII: the texts mix with 8-bit device texts and go to any terminal.
const std::string Ellipsis = "...";

TSessionStatus Plain(const std::string& Text)
{
    return {Text, Text};
}

// "Writing the image into the unit: 1,158 of 2,457 records".
TSessionStatus Counting(const std::string& What, const TProgressBarState& Bar, const std::string& Unit)
{
    return {What + ": " + GroupedNumber(Bar.Position) + " of " + GroupedNumber(Bar.Maximum) + " " + Unit,
            What + Ellipsis};
}

TSessionStatus Percent(const std::string& What, const TProgressBarState& Bar)
{
    // As the progress box writes it.
    return {What + ": " + std::to_string(Bar.Percent()) + "%", What + Ellipsis};
}

std::string Capitalised(std::string Text)
{
    if (!Text.empty() && Text[0] >= 'a' && Text[0] <= 'z')
        Text[0] = static_cast<char>(Text[0] - 'a' + 'A');
    return Text;
}

bool Moving(const TProgressBarState& Bar)
{
    return Bar.Position > 0 && Bar.Position < Bar.Maximum;
}

} // namespace

std::string OutcomeStatus(const TUpdateOutcome& O)
{
    switch (O.Kind) {
    case TOutcomeKind::Updated:
    case TOutcomeKind::UpToDate:
    case TOutcomeKind::NotSupported:
    case TOutcomeKind::ManualFinished:
        return "Finished: " + O.Message;
    case TOutcomeKind::NotConfirmed:
        return "Sent, not confirmed: " + O.Message;
    case TOutcomeKind::Interrupted:
        return "Stopped: " + O.Message;
    case TOutcomeKind::Failed:
    case TOutcomeKind::PortError:
    case TOutcomeKind::BadImage:
    case TOutcomeKind::TimedOut:
        break;
    }
    // A receiver that may still be programming has not failed (yet): it is followed on the next Open.
    if (O.Phases.Unfinished == TRunPhase::Programming)
        return "Not finished: " + O.Message;
    return "Failed: " + O.Message;
}

bool OutcomeFinished(const TUpdateOutcome& O)
{
    return OutcomeStatus(O).rfind("Finished: ", 0) == 0;
}

TSessionStatus SessionStatus(const TUpdateDisplay& D, const TStatusFacts& F)
{
    if (F.NoPortChosen && D.ComNumber == 0)
        return Plain("No port is chosen: pick the device's port in the list, then press Open.");
    if (F.Outcome && !F.RunActive)
        return Plain(OutcomeStatus(*F.Outcome));
    const bool Module = D.DeviceType == dtExternalGPS;
    const std::string Device = Module ? "module" : "unit";
    const std::string Port = F.Port.empty() ? "COM " + std::to_string(D.ComNumber) : F.Port;
    if (!F.PortOpen && D.ComNumber == 0)
        return Plain("Choose the device type and the port, then press Open.");
    if (!F.PortOpen)
        return Plain(F.TypeChosen ? "Press Open to connect to the " + Device + " on " + Port + "."
                                  : "Choose the device type, then press Open.");

    if (D.Confirming) {
        // The unit reports how far its receiver is; the module only that it is busy.
        const TProgressBarState& Bar = D.pUpdateProgress;
        if (Module)
            return Plain("The module programs its receiver; confirming the new version" + Ellipsis);
        const std::string Programs = Capitalised(StatePhrase(TUpdateState::Busy, false));
        if (Moving(Bar))
            return Percent(Programs, Bar);
        if (Bar.Position > 0 && Bar.Position == Bar.Maximum)
            return Plain("Confirming the new version" + Ellipsis);
        return Plain(Programs + Ellipsis);
    }
    // The state's own phrase, as the command line's state lines say it.
    const std::string Phrase = Capitalised(StatePhrase(D.UpdateState, Module));
    switch (D.UpdateState) {
    case TUpdateState::UnitFirmware:
    case TUpdateState::ModuleFirmware:
        return Percent(Phrase, D.pUpdateProgress);
    case TUpdateState::TransferStart:
        if (!Module)
            return Counting(Phrase, D.pSendProgress, "records");
        return Plain(Phrase + Ellipsis);
    case TUpdateState::ModuleWaiting:
        return Plain(Phrase + Ellipsis);
    case TUpdateState::Busy:
        if (Module)
            return Counting(Phrase, D.pUpdateProgress, "blocks");
        return Plain(Phrase + Ellipsis);
    case TUpdateState::Finished:
        return Plain(Phrase + ".");
    case TUpdateState::Idle:
        break;
    }
    if (D.vUnitID.empty() && D.vVersion.empty()) {
        if (F.SilentSeconds > 0)
            return Plain("No answer on " + Port + " for " + std::to_string(F.SilentSeconds) + " s: is the " +
                         Device + " powered and connected to this port?");
        return Plain((Module ? "Calling the module on " : "Waking the unit on ") + Port + Ellipsis);
    }
    if (D.vGPSCurrent.empty())
        return Plain("Reading the receiver's version" + Ellipsis);
    return Plain("Checking the receiver's version" + Ellipsis);
}

std::string PortName(int ComNumber, const std::string& Path)
{
    const std::string Com = "COM " + std::to_string(ComNumber);
    if (Path.empty())
        return Com;
    const std::string Mapped = ComPortDevicePath(ComNumber);
    return !Mapped.empty() && SameDevice(Mapped, Path) ? Com : Path;
}

std::string UnitFrameTrace(bool Outgoing, uint8_t Cmd, const std::string& Data)
{
    char Head[32];
    std::snprintf(Head, sizeof Head, "%s unit %02X", Outgoing ? "TX" : "RX", Cmd);
    return std::string(Head) + (Data.empty() ? "" : " " + Data);
}

std::string ModuleFrameTrace(bool Outgoing, const std::string& Bytes)
{
    return std::string(Outgoing ? "TX" : "RX") + " module " + BytesToHex(Bytes, true);
}
