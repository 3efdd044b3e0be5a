#pragma once
// What the update session shows, as plain data: the window's panels and
// bars, the update state, and the session's own texts. Front ends (the
// window, the status line, the command line's renderer and JSON writer)
// include this, not the session.
#include <cstdint>
#include <string>

// A progress bar as data: the position always lies within 0..Maximum, as a
// toolkit's bar keeps it; the transfer cursors rely on that.
struct TProgressBarState {
    int Position = 0;
    int Maximum = 100;

    void SetMaximum(int Value);
    void SetPosition(int Value);
    void Set(int NewPosition, int NewMaximum);
    // How far along, 0..100 (0 for a bar without a maximum).
    int Percent() const;
    // The same in Width steps.
    int Steps(int Width) const;
    bool operator==(const TProgressBarState&) const = default;
};

enum TDeviceType { dtVeltrac = 0, dtExternalGPS = 1 };

// The transfer under way, for front ends that show its pace.
struct TTransferProgress {
    bool Active = false;     // an image is going out
    bool Ended = false;      // its last part went out: the figures are the transfer's own
    double Seconds = 0;      // since its transfer started
    uint64_t ImageBytes = 0; // the image's size
    uint64_t ImageDone = 0;  // how much of it the device has taken (by records or blocks)
    uint64_t LineBytes = 0;  // bytes written to the device since the start, repeats included
    uint32_t LineRate = 0;   // bit/s of the line now
};

// FUpdateState, shared by every update procedure. The values are those the
// command line reports (JSON "state", "# state N" in logs).
enum class TUpdateState : uint8_t {
    Idle = 0,           // nothing decided yet
    TransferStart = 1,  // an image was chosen and its transfer is starting
    ModuleWaiting = 2,  // External GPS: the module prepares, or waits after the start
    Busy = 3,           // Veltrac: the unit programs its receiver; External GPS: blocks go out
    Finished = 4,       // up to date, not supported, automatic update off, or confirmed
    ModuleFirmware = 5, // External GPS: the module's own firmware is updated
    UnitFirmware = 6,   // Veltrac: the unit's own firmware is updated
};

// The state in a few words, for a person ("writing the image into the unit").
std::string StatePhrase(TUpdateState State, bool ExternalGPS);

// What the window shows. Texts are 8-bit, as the devices report them.
struct TUpdateDisplay {
    std::string Caption;
    int DeviceType = dtVeltrac; // cDeviceType: 0 "Veltrac", 1 "External GPS"
    bool DeviceTypeLocked = false;
    int ComNumber = 0; // cComNumber: the selected port, 0 = none
    std::string vUnitID, vVersion, vClass, vVersionInfo, vHWVer;
    std::string vGPSCurrent, vGPSNeeded, vProgress;
    TProgressBarState pSendProgress, pUpdateProgress;
    TUpdateState UpdateState =
        TUpdateState::Idle; // a copy of FUpdateState, for front ends that report states
    // A complete image reached the device, which programs it; the session
    // waits for the device to report the new version.
    bool Confirming = false;
    // What the session is doing, in words (the window's status line), and
    // the same without its running count (a new step when it changes).
    std::string Status, StatusStep;

    // Forgets the device: its panels, versions, bars and progress text.
    void ForgetDevice();

    bool operator==(const TUpdateDisplay&) const = default;
};

// The session's own texts, in one place.
// What the session's messages tell the user to do to go on: the window's
// button, running the command again, or nothing (a station follows by itself).
enum class TNextStep { PressOpen, RunAgain, StationFollows };

namespace SessionText
{
inline const std::string Caption = "Veltrac GNSS Firmware Update";
inline const std::string NotSupported = "Update is not supported";
inline const std::string UnableToLoad = "Unable to load firmware";
inline const std::string ManualUpdate = "Manual update";
inline const std::string FirmwareRecovery = "Firmware recovery";
inline const std::string UpdatingModule = "Updating EGPS module";
inline const std::string UpdatingUnit = "Updating Veltrac to ";
inline const std::string Preparing = "Preparing";
inline const std::string Waiting = "Waiting";
inline const std::string Updating = "Updating";
inline const std::string NoUnitConnection =
    "Unable to start the update: no tracking unit is connected. Open the connection and wait until the "
    "unit is shown, then choose the firmware again.";
inline const std::string NoModuleConnection =
    "Unable to start the update: the port to the External GPS module is not open. Open the connection, "
    "then choose the firmware again.";
inline const std::string ImageTooShort =
    "Unable to send the firmware: the file is shorter than the 448-byte header of a receiver image.";
inline const std::string NoImage = "Unable to start the update: no firmware image is loaded.";
inline const std::string StillProgramming =
    "Unable to start the update: the device is still programming its receiver. Wait until the new version "
    "is confirmed (or Close and Open again), then choose the firmware again.";
inline const std::string ProgrammingWarning =
    "The receiver is being programmed. Interrupting now may leave it unusable.";
inline const std::string TransferWarning =
    "An image is being sent to the device. Opening the connection again stops the transfer; the update "
    "then starts from the beginning.";
// "Off" pressed while the unit was still being woken.
inline const std::string OffUnheard =
    "the unit had not answered yet, so it was not switched off; its port was closed";
// After "Yes" to interrupting a receiver that programs: the essential first,
// so that it fits the window's status line.
std::string HalfProgrammed(TNextStep Next = TNextStep::PressOpen);
// The window's caption for a firmware package labelled Label; UnitFirmware:
// it carries firmware for the units themselves.
std::string CaptionFor(const std::string& Label, bool UnitFirmware);
// The run ended by the user: What ("the connection was closed"), and what
// that means for a receiver that was Programming.
std::string Interrupted(const std::string& What, bool Programming, TNextStep Next = TNextStep::PressOpen);
inline std::string Quoted(const std::string& Text)
{
    return "\"" + Text + "\"";
}
// Port (its name in the texts) disappeared during a run in State: what that
// means for the receiver, and what to do.
std::string Disappeared(const std::string& Port, bool ExternalGPS, bool Confirming, TUpdateState State,
                        TNextStep Next = TNextStep::PressOpen);
} // namespace SessionText
