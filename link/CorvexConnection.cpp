// TCorvex: the connection cycle. Open wakes the unit into framed mode (end-of-
// connection frames, then "_CONFIGB\r" every 1.5 s) until its unit information
// arrives; from then on a keep-alive goes out after 10 s without a command.
// Close and the unit's acknowledgement of the end-of-connection or turn-off
// command end it. The link timer (TCX_LinkTimer) keeps the time; what each of
// its ticks sends, and the port's opening, closing and speed, live here. This
// file uses the sending side (Corvex2.cpp); nothing there calls back into it.
#include "link/Corvex2.h"

#include "firmware/SoftUpdate.h"
#include "link/CorvexFire.h"
#include "link/CorvexFrames.h"
#include "serial/AppException.h"
#include "serial/ComPort.h"

#include <QTimer>

namespace
{

// Sent before the first wake-up and then on every sixth: makes a unit that is
// still in framed mode from an earlier session leave it, so it hears "_CONFIGB".
const std::string EndFrameCore2("\x5B\xFF\x00\x00\x5D", 5);
const std::string EndFrameSTX("\x02\x01\xFF\x00\x00", 5);
const std::string EndFrameSTXb("\x02\x01\xFF\x00\xFF", 5);
const std::string WakeUpText = "_CONFIGB\r";

} // namespace

// ---- Link timer ----

void TCorvex::BindLinkTimer()
{
    FLinkTimer.OnPortCheck = [this] {
        if (Active())
            return true;
        ApplyPortSettings();
        return false;
    };
    FLinkTimer.OnWakeUp = [this](bool EndFramesFirst) { WakeUp(EndFramesFirst); };
    FLinkTimer.OnKeepAlive = [this] { SendCommand(CX_Cmd::KeepAlive, "", true); };
}

bool TCorvex::LinkTimerEnabled() const
{
    return FLinkTimer.Enabled();
}

int TCorvex::LinkTimerInterval() const
{
    return FLinkTimer.Interval();
}

void TCorvex::WakeUp(bool EndFramesFirst)
{
    // Also brings a port that the speed switch left at 57600 back to BaudRate.
    ApplyPortSettings();
    std::string Wake;
    if (EndFramesFirst && FCloseBeforeOpen) {
        if (FConfigTypeAutoDetect || FConfigType == cxctCore2)
            Wake += EndFrameCore2;
        if (FConfigTypeAutoDetect || FConfigType == cxctSTX)
            Wake += EndFrameSTX;
        if (FConfigTypeAutoDetect || FConfigType == cxctSTXb)
            Wake += EndFrameSTXb;
    }
    Wake += WakeUpText;
    TransmitRaw(Wake);
    SignalTransmit();
    FReader.Hunt();
    if (FLinkTimer.WakeUps() > 1)
        CX_Fire(OnWakeUpAgain, this);
}

// ---- Opening and closing ----

void TCorvex::Open()
{
    ResetUnitState();
    ShowPanels(false);
    FConnected = false;
    FRequestedView = 0;
    FViewMode = cxvOff;
    FSoftware->RestartIf(false);
    // Stopped first: when the port cannot be opened the link stays idle instead of
    // retrying (and reporting) from the timer.
    FLinkTimer.Stop();
    // A port whose unit hung up (unplugged) is still active on a dead
    // descriptor: Open after a re-plug starts on a fresh one.
    if (!FExternalCom && FPort->HungUp())
        ClosePort();
    ApplyPortSettings();
    FLinkTimer.Connect();
}

void TCorvex::Close(bool Immediately)
{
    FSoftware->ResetRequest();
    FRequestedView = 0;
    FViewMode = cxvOff;
    if (!Immediately) {
        // The unit's acknowledgement closes the port (EndOfConnection).
        SendCommand(CX_Cmd::EndOfConnection, "", true);
        return;
    }
    ClosePort();
    FLinkTimer.Stop();
    FConnected = false;
    if (FPanel_ClearOnClose)
        ShowPanels(false);
    CX_Fire(OnAfterClose, this);
}

void TCorvex::EndOfConnection()
{
    ClosePort();
    // Without this the keep-alive would reopen the port and talk to a unit that is off.
    FLinkTimer.Stop();
    FConnected = false;
    FLinkTimer.ResetAttempts();
    if (FPanel_ClearOnClose)
        ShowPanels(false);
    CX_Fire(OnAfterClose, this);
}

void TCorvex::ApplyPortSettings()
{
    if (Active()) {
        if (FPortSettingsChanged) {
            ClosePort();
            OpenPort();
        } else {
            SetPortBaudRate(FBaudRate);
        }
    } else {
        OpenPort();
    }
}

void TCorvex::OpenPort()
{
    if (!FExternalCom) {
        const int32_t N = ComNumber();
        // Out of range is handed on as 0, which the port refuses as an invalid number.
        FPort->SetComNumber(static_cast<uint16_t>(N >= 0 && N <= 0xFFFF ? N : 0));
        FPort->SetBaudRate(brUser);
        FPort->SetUserBaudRate(static_cast<int32_t>(FBaudRate));
        FPort->Open();
    }
    FPortSettingsChanged = false;
}

void TCorvex::ClosePort()
{
    if (!FExternalCom)
        FPort->Close();
}

void TCorvex::SetPortBaudRate(uint32_t Rate)
{
    if (!FExternalCom)
        FPort->SetUserBaudRate(static_cast<int32_t>(Rate));
}
