// TCorvex: construction, the unit's state, properties, the sending side
// (frames out through the own port or OnExternalComTx) and the commands, and
// the identity panels and firmware selection. The connection cycle is in
// CorvexConnection.cpp, the receiving side and reply handling in
// CorvexDispatch.cpp.
#include "link/Corvex2.h"

#include "firmware/SoftUpdate.h"
#include "link/CorvexDecode.h"
#include "link/CorvexFire.h"
#include "link/CorvexFrames.h"
#include "serial/ComPort.h"
#include "util/MyConvert.h"

#include <QElapsedTimer>
#include <QTimer>

#include <stdexcept>

namespace
{

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

    BindLinkTimer();
    FLinkTimer.ExceptionOwner = this;
    ResetUnitState();
}

TCorvex::~TCorvex()
{
    NotifyFree();
    FPort->OnDataRecived = nullptr;
    FLinkTimer.Stop();
    FSoftware.reset();
    FPort.reset();
}

// ---- Unit state ----

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

// ---- Properties ----

void TCorvex::SetPassThroughActive(bool Value)
{
    if (Value == FPassThroughActive)
        return;
    FPassThroughActive = Value;
    SendCommand(CX_Cmd::PassThrough, Value ? "01" : "00", true);
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
    SendCommand(CX_Cmd::Outputs, IntToHexBytes(Value, 1), true);
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

// ---- Sending ----

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
    if (!Active() || FSoftware->Active || (FPassThroughActive && CmdID != CX_Cmd::PassThrough))
        return;
    FLinkTimer.HoldKeepAlive();
    TransmitRaw(CX_BuildFrame(FConfigType, CmdID, Payload));
    SignalTransmit();
    // Switching reports on or off is answered by reports, if at all.
    if (ExpectReply && CmdID != CX_Cmd::GPSLocation && CmdID != CX_Cmd::LoggerStatus && FAwaitingSince < 0)
        FAwaitingSince = FClock->elapsed();
    // After the end-of-connection command no keep-alive may wake the link again.
    if (CmdID != CX_Cmd::EndOfConnection)
        FLinkTimer.Start();
}

bool TCorvex::LineQuiet(int QuietMs, int LostMs) const
{
    const int64_t Now = FClock->elapsed();
    if (FAwaitingSince >= 0 && Now - FAwaitingSince < LostMs)
        return false;
    return FLastAnswerAt < 0 || Now - FLastAnswerAt >= QuietMs;
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
    SendCommand(CX_Cmd::Parameter, ParameterHex(Parameter), true);
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
    SendCommand(CX_Cmd::SetParameter, WithPayload(ParameterHex(Parameter), HexData), true);
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
    SendCommand(CX_Cmd::GPSLocation, Mode2 ? "02" : (Enable ? "01" : "00"), true);
}

void TCorvex::RequestVersionInfo(bool AssumeOld)
{
    if (!FVersionInfo.Valid) {
        // Cores up to 566 do not know command 0x0A.
        if (FUnitInfo.CoreNumber > 566) {
            SendCommand(CX_Cmd::VersionInfo, "", true);
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
    SendCommand(CX_Cmd::SoftwareUpdate, Flag ? "01" : "", true);
    return true;
}

void TCorvex::SetFastSpeed()
{
    if (FExternalCom) {
        CX_Fire(OnFastSpeed, this);
        return;
    }
    SendCommand(CX_Cmd::FastSpeed, "", true);
}

void TCorvex::WriteEEPromData(int32_t Address, const std::string& HexData)
{
    SendCommand(CX_Cmd::EEPromWrite, WithPayload(IntToHexBytes(static_cast<uint32_t>(Address), 4), HexData), true);
}

void TCorvex::SetLoggerReports(bool Enable)
{
    SendCommand(CX_Cmd::LoggerStatus, Enable ? "01" : "00", true);
}

void TCorvex::TurnOff()
{
    SendCommand(CX_Cmd::TurnOff, "", true);
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
