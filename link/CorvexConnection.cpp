// TCorvex: the connection cycle. Open wakes the unit into framed mode (end-of-
// connection frames, then "_CONFIGB\r" every 1.5 s) until its unit information
// arrives; from then on a keep-alive goes out after 10 s without a command.
// Close and the unit's acknowledgement of the end-of-connection or turn-off
// command end it. The link timer, the port's opening, closing and speed, and the
// reset of the session state live here; the other files reach them only through
// the methods below.
#include "link/Corvex2.h"

#include "firmware/SoftUpdate.h"
#include "link/CorvexFire.h"
#include "link/CorvexFrames.h"
#include "serial/AppException.h"
#include "serial/ComPort.h"

#include <QTimer>

namespace
{

constexpr int WakeUpInterval = 1500;
constexpr int KeepAliveInterval = 10000;
constexpr int FirstWakeUpDelay = 100;

// Sent before the first wake-up and then on every sixth: makes a unit that is
// still in framed mode from an earlier session leave it, so it hears "_CONFIGB".
const std::string EndFrameCore2("\x5B\xFF\x00\x00\x5D", 5);
const std::string EndFrameSTX("\x02\x01\xFF\x00\x00", 5);
const std::string EndFrameSTXb("\x02\x01\xFF\x00\xFF", 5);
const std::string WakeUpText = "_CONFIGB\r";

} // namespace

// ---- Link timer ----

void TCorvex::CreateLinkTimer()
{
    FLinkTimer = std::make_unique<QTimer>();
    FLinkTimer->setInterval(KeepAliveInterval);
    FLinkTimerTag = 0;
    QObject::connect(FLinkTimer.get(), &QTimer::timeout, FLinkTimer.get(), [this] {
        try {
            LinkTimerTick();
        } catch (...) {
            ApplicationHandleCurrentException();
        }
    });
}

bool TCorvex::LinkTimerEnabled() const
{
    return FLinkTimer->isActive();
}

int TCorvex::LinkTimerInterval() const
{
    return FLinkTimer->interval();
}

void TCorvex::StopLinkTimer()
{
    FLinkTimer->stop();
}

void TCorvex::HoldKeepAlive()
{
    FLinkTimer->stop();
    FLinkTimer->setInterval(KeepAliveInterval);
    FLinkTimerTag = 0;
}

void TCorvex::StartLinkTimer()
{
    FLinkTimer->start();
}

void TCorvex::KeepAliveFromNow()
{
    FLinkTimer->stop();
    FLinkTimerTag = 0;
    FLinkTimer->setInterval(KeepAliveInterval);
    FLinkTimer->start();
}

void TCorvex::LinkTimerTick()
{
    if (!Active()) {
        ApplyPortSettings();
        return;
    }
    if (FLinkTimerTag == 1) {
        FLinkTimer->setInterval(WakeUpInterval);
        // Also brings a port that the speed switch left at 57600 back to BaudRate.
        ApplyPortSettings();
        std::string Wake;
        if (FOpenAttempts == 0 && FCloseBeforeOpen) {
            if (FConfigTypeAutoDetect || FConfigType == cxctCore2)
                Wake += EndFrameCore2;
            if (FConfigTypeAutoDetect || FConfigType == cxctSTX)
                Wake += EndFrameSTX;
            if (FConfigTypeAutoDetect || FConfigType == cxctSTXb)
                Wake += EndFrameSTXb;
        }
        Wake += WakeUpText;
        FOpenAttempts = FOpenAttempts >= 5 ? 0 : FOpenAttempts + 1;
        TransmitRaw(Wake);
        SignalTransmit();
        FReader.Hunt();
    } else {
        FLinkTimer->setInterval(KeepAliveInterval);
        FLinkTimerTag = 0;
        SendCommand(CX_Cmd::KeepAlive, "", true);
    }
}

// ---- Opening and closing ----

void TCorvex::ResetUnitState()
{
    FReader.DropHeld();
    FLastCommand = -1;
    FAwaitingSince = -1;
    FLastParameter = 0;
    FMaxLength = 0;
    FPassThroughActive = false;

    // Class, ExtCode, ExtSize and the flags survive: they describe the unit model,
    // not the session.
    TCX_UnitInfo& U = FUnitInfo;
    U.UnitID = -1;
    U.OriginalID = -1;
    U.HexType = 0;
    U.HexTypeHi = U.HexTypeLo = 0;
    U.OriginalHexType = 0;
    U.OriginalHexTypeHi = U.OriginalHexTypeLo = 0;
    U.HexType2 = 0;
    U.HexType2Hi = U.HexType2Lo = 0;
    U.Version = 0;
    U.VersionNumber = 0;
    U.Revision = 0;
    U.RevisionLetter = 0;
    U.VersionText.clear();
    U.CoreVersion = 0;
    U.CoreNumber = 0;
    U.CoreText.clear();
    U.AuxVersion = 0;
    U.AuxNumber = 0;
    U.AuxText.clear();

    FVersionInfo = TCX_VersionInfo();
    FVoltage = TCX_Voltage();
    FCellInfo = TCX_RxQuality();
    FNetworkName.clear();
    FInputs = 0;
    FOutputs = 0;
    FHasIOMask = false;
    FInputMask = 0xFFFF;
    FOutputMask = 0xFF;
    FTemperatureValid = false;
    FTemperature = 0;
}

void TCorvex::Open()
{
    ResetUnitState();
    ShowPanels(false);
    FConnected = false;
    FRequestedView = 0;
    FViewMode = cxvOff;
    FOpenAttempts = 0;
    FSoftware->RestartIf(false);
    // Stopped first: when the port cannot be opened the link stays idle instead of
    // retrying (and reporting) from the timer.
    FLinkTimer->stop();
    // A port whose unit hung up (unplugged) is still active on a dead
    // descriptor: Open after a re-plug starts on a fresh one.
    if (!FExternalCom && FPort->HungUp())
        ClosePort();
    ApplyPortSettings();
    FLinkTimerTag = 1;
    FLinkTimer->setInterval(FirstWakeUpDelay);
    FLinkTimer->start();
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
    StopLinkTimer();
    FConnected = false;
    if (FPanel_ClearOnClose)
        ShowPanels(false);
    CX_Fire(OnAfterClose, this);
}

void TCorvex::EndOfConnection()
{
    ClosePort();
    // Without this the keep-alive would reopen the port and talk to a unit that is off.
    StopLinkTimer();
    FConnected = false;
    FOpenAttempts = 0;
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
