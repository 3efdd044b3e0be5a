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
