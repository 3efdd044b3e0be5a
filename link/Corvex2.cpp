// TCorvex: properties, transport, connection cycle and the commands it sends.
#include "link/Corvex2.h"

#include "firmware/SoftUpdate.h"
#include "link/CorvexDecode.h"
#include "link/CorvexFire.h"
#include "link/CorvexFrames.h"
#include "serial/AppException.h"
#include "serial/ComPort.h"
#include "util/MyConvert.h"

#include <QElapsedTimer>
#include <QTimer>

#include <stdexcept>

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

std::string WithPayload(const std::string& Head, const std::string& HexData)
{
    if (HexData.empty())
        return Head;
    return Head.empty() ? HexData : Head + " " + HexData;
}

} // namespace

TCorvex::TCorvex(TComponent* AOwner) : TComponent(AOwner)
{
    FPort = std::make_unique<TComPort>(this);
    FPort->SetName("CorvexPort");
    FPort->SetDTR(false);
    FPort->SetRaiseErrors(false);
    FPort->OnDataRecived = [this](TComPort*, int32_t) { DataReceived(); };

    FSoftware = std::make_unique<TSoftwareUpdate>();
    FClock = std::make_unique<QElapsedTimer>();
    FClock->start();

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
    ResetUnitState();
}

TCorvex::~TCorvex()
{
    NotifyFree();
    FPort->OnDataRecived = nullptr;
    FLinkTimer.reset();
    FSoftware.reset();
    FPort.reset();
}

// ---- Properties ----

void TCorvex::SetPassThroughActive(bool Value)
{
    if (Value == FPassThroughActive)
        return;
    FPassThroughActive = Value;
    SendCommand(0x18, Value ? "01" : "00", true);
}

void TCorvex::SetConnected(bool Value)
{
    if (Value)
        Open();
    else
        Close(false);
}

void TCorvex::SetOutputs(uint8_t Value)
{
    if (Value == FOutputs)
        return;
    FOutputs = Value;
    SendCommand(0x25, IntToHexBytes(Value, 1), true);
}

int32_t TCorvex::ComNumber() const
{
    if (FComPort.size() < 4 || UpperText(FComPort.substr(0, 3)) != "COM")
        return 0;
    int32_t N = 0;
    for (std::size_t i = 3; i < FComPort.size(); ++i) {
        const char C = FComPort[i];
        if (C < '0' || C > '9' || N > 9999999)
            return 0;
        N = N * 10 + (C - '0');
    }
    return N;
}

void TCorvex::SetComNumber(int32_t Value)
{
    SetComPort("COM" + std::to_string(Value));
}

void TCorvex::SetComPort(const std::string& Value)
{
    if (Value == FComPort)
        return;
    FComPort = Value;
    FPortSettingsChanged = true;
}

bool TCorvex::LinkTimerEnabled() const
{
    return FLinkTimer->isActive();
}

int TCorvex::LinkTimerInterval() const
{
    return FLinkTimer->interval();
}

// ---- Transport ----

bool TCorvex::Active() const
{
    return FExternalCom || FPort->Active();
}

void TCorvex::TransmitRaw(const std::string& Bytes)
{
    FBytesSent += Bytes.size();
    if (FExternalCom)
        CX_Fire(OnExternalComTx, this, Bytes);
    else
        FPort->WriteString(Bytes);
}

void TCorvex::SignalTransmit()
{
    CX_Fire(OnTX, this);
    if (FPanel_Tx)
        FPanel_Tx->Trigger();
}

void TCorvex::SignalReceive()
{
    if (FPanel_Rx)
        FPanel_Rx->Trigger();
}

void TCorvex::SendCommand(uint8_t CmdID, const std::string& CmdData, bool ExpectReply)
{
    const std::string Payload = HexToBytes(CmdData, true);
    // The length travels in one byte: a longer payload would go out as a different frame.
    if (Payload.size() > 255)
        throw std::invalid_argument("Command payload too long (" + std::to_string(Payload.size()) +
                                    " bytes, at most 255)");
    CX_Fire(DebugCommands, this, true, CmdID, BytesToHex(Payload, true));
    FLastCommand = ExpectReply ? CmdID : -1;

    // While the unit pulls its firmware, or while it passes bytes through to another
    // port, a frame would corrupt that traffic.
    if (!Active() || FSoftware->Active || (FPassThroughActive && CmdID != 0x18))
        return;
    FLinkTimer->stop();
    FLinkTimer->setInterval(KeepAliveInterval);
    FLinkTimerTag = 0;
    TransmitRaw(CX_BuildFrame(FConfigType, CmdID, Payload));
    SignalTransmit();
    // Switching reports on or off is answered by reports, if at all.
    if (ExpectReply && CmdID != 0x05 && CmdID != 0x28 && FAwaitingSince < 0)
        FAwaitingSince = FClock->elapsed();
    // After the end-of-connection command no keep-alive may wake the link again.
    if (CmdID != 0xFF)
        FLinkTimer->start();
}

bool TCorvex::LineQuiet(int QuietMs, int LostMs) const
{
    const int64_t Now = FClock->elapsed();
    if (FAwaitingSince >= 0 && Now - FAwaitingSince < LostMs)
        return false;
    return FLastAnswerAt < 0 || Now - FLastAnswerAt >= QuietMs;
}

// ---- Connection cycle ----

void TCorvex::StopLinkTimer()
{
    FLinkTimer->stop();
}

void TCorvex::RestartLinkTimer(int Interval, int Tag)
{
    FLinkTimer->stop();
    FLinkTimerTag = Tag;
    FLinkTimer->setInterval(Interval);
    FLinkTimer->start();
}

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
        SendCommand(0xFF, "", true);
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
        SendCommand(0x00, "", true);
    }
}

// ---- Commands ----

bool TCorvex::CheckParameter(int32_t Parameter) const
{
    return Parameter >= 0 && Parameter <= (FUnitInfo.WideParameters ? 0xFFFF : 0xFF);
}

std::string TCorvex::ParameterHex(int32_t Parameter) const
{
    return IntToHexBytes(static_cast<uint32_t>(Parameter), static_cast<uint8_t>(ParameterWidth()));
}

void TCorvex::RequestParameter(int32_t Parameter)
{
    if (!CheckParameter(Parameter)) {
        CX_Fire(OnRequestParameter, this, Parameter, false, std::string(), std::string());
        return;
    }
    FLastParameter = Parameter;
    SendCommand(0x03, ParameterHex(Parameter), true);
}

void TCorvex::SetParameterHex(int32_t Parameter, const std::string& HexData)
{
    const auto Count = static_cast<int32_t>(HexToBytes(HexData, true).size());
    // Signed on purpose: with MaxLength 0 (no unit information yet) nothing fits.
    if (!CheckParameter(Parameter) || Count > static_cast<int32_t>(FMaxLength) - ParameterWidth()) {
        CX_Fire(OnSetParameter, this, Parameter, false);
        return;
    }
    FLastParameter = Parameter;
    SendCommand(0x04, WithPayload(ParameterHex(Parameter), HexData), true);
}

void TCorvex::SetParameterText(int32_t Parameter, const std::string& Text)
{
    SetParameterHex(Parameter, BytesToHex(Text, true));
}

void TCorvex::SetParameterInt(int32_t Parameter, int32_t Value)
{
    SetParameterText(Parameter, std::to_string(Value));
}

void TCorvex::SetGPSReports(bool Enable, bool Mode2)
{
    SendCommand(0x05, Mode2 ? "02" : (Enable ? "01" : "00"), true);
}

void TCorvex::RequestVersionInfo(bool AssumeOld)
{
    if (!FVersionInfo.Valid) {
        // Cores up to 566 do not know command 0x0A.
        if (FUnitInfo.CoreNumber > 566) {
            SendCommand(0x0A, "", true);
            return;
        }
        if (!AssumeOld)
            return;
        FVersionInfo = TCX_VersionInfo();
        FVersionInfo.Hardware = 0x25;
        FVersionInfo.HardwareText = CX_HardwareText(0x25);
        FVersionInfo.Hardware2 = 0x25;
        FVersionInfo.Hardware2Text = CX_HardwareText(0x25);
    }
    CX_Fire(OnGotVersionInfo, this, FVersionInfo);
}

bool TCorvex::StartSoftwareUpdate(bool Flag)
{
    if (FSoftware->Active || !FSoftware->IsReady() || FSoftware->Class != FUnitInfo.Class)
        return false;
    SendCommand(0x11, Flag ? "01" : "", true);
    return true;
}

void TCorvex::SetFastSpeed()
{
    if (FExternalCom) {
        CX_Fire(OnFastSpeed, this);
        return;
    }
    SendCommand(0x14, "", true);
}

void TCorvex::WriteEEPromData(int32_t Address, const std::string& HexData)
{
    SendCommand(0x1C, WithPayload(IntToHexBytes(static_cast<uint32_t>(Address), 4), HexData), true);
}

void TCorvex::SetLoggerReports(bool Enable)
{
    SendCommand(0x28, Enable ? "01" : "00", true);
}

void TCorvex::TurnOff()
{
    SendCommand(0xF2, "", true);
}

// ---- Panels and firmware ----

namespace
{

std::string ReplaceFirst(std::string Text, const std::string& Find, const std::string& With)
{
    const auto Pos = Text.find(Find);
    if (Pos != std::string::npos)
        Text.replace(Pos, Find.size(), With);
    return Text;
}

std::string Hex4(uint16_t Value)
{
    return IntToHexBytes(Value, 2).erase(2, 1);
}

} // namespace

void TCorvex::ShowPanels(bool Show)
{
    std::string UnitText, OriginalIDText, VersionText, TypeText, OriginalTypeText;
    if (Show) {
        const auto IdText = [this](int32_t Id) {
            if (Id == 0xFFFFFF && !FText_UnitNotTested.empty())
                return FText_UnitNotTested;
            return std::to_string(Id);
        };
        const TCX_UnitInfo& U = FUnitInfo;
        UnitText = IdText(U.UnitID);
        if (U.OriginalID != U.UnitID)
            OriginalIDText = ReplaceFirst(FText_OriginalID, "%s", IdText(U.OriginalID));
        VersionText = FText_VersionAndCore ? "v" + U.VersionText + " / c" + U.CoreText : U.VersionText;
        TypeText = Hex4(U.HexType);
        if (U.OriginalHexType != U.HexType)
            OriginalTypeText = ReplaceFirst(FText_OriginalType, "%s", Hex4(U.OriginalHexType));
    }
    if (FPanel_UnitID) {
        FPanel_UnitID->SetPanelCaption(UnitText);
        if (FPanel_UseHints)
            FPanel_UnitID->SetPanelHint(OriginalIDText);
        FPanel_UnitID->SetPanelLed(!OriginalIDText.empty());
    }
    if (FPanel_Version)
        FPanel_Version->SetPanelCaption(VersionText);
    if (FPanel_HexType) {
        FPanel_HexType->SetPanelCaption(TypeText);
        if (FPanel_UseHints)
            FPanel_HexType->SetPanelHint(OriginalTypeText);
        FPanel_HexType->SetPanelLed(!OriginalTypeText.empty());
    }
}

std::string TCorvex::FindSoftwareForUnit(const TSoftwareVersionCollection& Collection) const
{
    std::string Title;
    for (int32_t i = 0; i < Collection.Count(); ++i) {
        TSoftwareVersionInfo Info;
        Collection.GetVersionInfo(i, Info);
        if (Info.Hardware == FVersionInfo.Hardware && Info.Class == FUnitInfo.Class &&
            Info.HardwareRev.test(FVersionInfo.HardwareRev))
            Title = Info.Title;
    }
    return Title;
}

bool TCorvex::SelectSoftware(const TSoftwareVersionCollection& Collection, const std::string& Title)
{
    const std::string Wanted = Title.empty() ? FindSoftwareForUnit(Collection) : Title;
    // A title that is not in the collection must not leave an earlier selection in
    // place: the unit would be fed a version nobody asked for.
    if (Wanted.empty() || !FSoftware->Select(Collection, Wanted))
        FSoftware->Clear();
    FSoftwareTitle = FSoftware->Title;
    return FSoftware->IsReady();
}
