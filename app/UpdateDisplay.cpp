#include "app/UpdateDisplay.h"

void TProgressBarState::SetMaximum(int Value)
{
    Maximum = Value < 0 ? 0 : Value;
    SetPosition(Position);
}

void TProgressBarState::SetPosition(int Value)
{
    Position = Value < 0 ? 0 : (Value > Maximum ? Maximum : Value);
}

void TProgressBarState::Set(int NewPosition, int NewMaximum)
{
    SetMaximum(NewMaximum);
    SetPosition(NewPosition);
}

int TProgressBarState::Steps(int Width) const
{
    return Maximum <= 0 ? 0 : static_cast<int>(static_cast<int64_t>(Position) * Width / Maximum);
}

int TProgressBarState::Percent() const
{
    return Steps(100);
}

void TUpdateDisplay::ForgetDevice()
{
    vUnitID.clear();
    vVersion.clear();
    vClass.clear();
    vVersionInfo.clear();
    vHWVer.clear();
    vGPSCurrent.clear();
    vGPSNeeded.clear();
    pSendProgress.SetPosition(0);
    pUpdateProgress.SetPosition(0);
    vProgress.clear();
}

std::string StatePhrase(TUpdateState State, bool ExternalGPS)
{
    switch (State) {
    case TUpdateState::Idle:
        return ExternalGPS ? "identifying the module and reading its receiver"
                           : "reading the unit and its receiver";
    case TUpdateState::TransferStart:
        return ExternalGPS ? "starting the transfer to the module" : "writing the image into the unit";
    case TUpdateState::ModuleWaiting:
        return "the module prepares its receiver";
    case TUpdateState::Busy:
        return ExternalGPS ? "sending the image to the module" : "the unit programs its receiver";
    case TUpdateState::Finished:
        return "finished";
    case TUpdateState::ModuleFirmware:
        return "updating the module's controller firmware";
    case TUpdateState::UnitFirmware:
        return "updating the unit's own firmware";
    }
    return "state " + std::to_string(static_cast<int>(State));
}

std::string SessionText::Disappeared(const std::string& Port, bool ExternalGPS, bool Confirming,
                                     TUpdateState State, TNextStep Next)
{
    const std::string Gone = Port + " disappeared";
    const std::string Device = ExternalGPS ? "module" : "unit";
    // "plug the unit in" and what then: the window's button, the command
    // again, or nothing, as a station takes the device up by itself.
    auto PlugIn = [&](const std::string& Again, const std::string& Purpose) {
        const std::string Plug = "plug the " + Device + " in" + (Again.empty() ? "" : " " + Again);
        switch (Next) {
        case TNextStep::PressOpen:
            return Plug + " and press Open" + (Purpose.empty() ? "" : " " + Purpose);
        case TNextStep::RunAgain:
            return Plug + " and run the command" + (Again.empty() ? " again" : "") +
                   (Purpose.empty() ? "" : " " + Purpose);
        case TNextStep::StationFollows:
            break;
        }
        return Plug + ": the station " + (Purpose == "to follow it to the end" ? "follows it to the end" : "updates it");
    };
    if (Confirming)
        return Gone + " while the receiver was being programmed: it may still be programming; " +
               PlugIn("again", "to follow it to the end");
    if (State == TUpdateState::TransferStart || State == TUpdateState::ModuleWaiting ||
        (ExternalGPS && State == TUpdateState::Busy))
        return Gone + " during the receiver transfer: the receiver was not programmed; " + PlugIn({}, {});
    if (State == TUpdateState::UnitFirmware || State == TUpdateState::ModuleFirmware)
        return Gone + " during the update of the " +
               (ExternalGPS ? "module's controller" : "unit's own firmware") + ": " +
               PlugIn({}, "to update it again");
    return Gone + ": " + PlugIn({}, {});
}

std::string SessionText::CaptionFor(const std::string& Label, bool UnitFirmware)
{
    return Caption + (UnitFirmware ? " + Veltrac" : "") + " (" + Label + ")";
}

std::string SessionText::HalfProgrammed(TNextStep Next)
{
    if (Next == TNextStep::PressOpen)
        return "the receiver may be half-programmed: press Open to follow it to the end; if it no longer "
               "reports its version, double-click \"Current version\" to recover it";
    // A station that was stopped has ended: its operator runs it again too.
    return "the receiver may be half-programmed: run the command again to follow it to the end; if it no "
           "longer reports its version, --recovery recovers it";
}

std::string SessionText::Interrupted(const std::string& What, bool Programming, TNextStep Next)
{
    return Programming ? HalfProgrammed(Next) + " (" + What + " while it programmed)" : What;
}
