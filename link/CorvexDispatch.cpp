// TCorvex: the receiving side. Bytes from the own port or from the caller
// (ExternalCom) go, one at a time, first to the firmware block feed while the
// unit pulls its firmware, then to the frame reader; each good frame (or one a
// caller replays) is matched against the command that awaits its answer and
// turned into properties and events. What a reply means for the connection
// (established, ended, speed switched, firmware feed started) goes to the link
// timer and the connection cycle (CorvexConnection.cpp).
#include "firmware/SoftUpdate.h"
#include "link/Corvex2.h"
#include "link/CorvexDecode.h"
#include "link/CorvexFire.h"
#include "link/CorvexFrames.h"
#include "serial/AppException.h"
#include "serial/ComPort.h"
#include "util/MyConvert.h"
#include "util/MyFunctions.h"

#include <QElapsedTimer>

#include <cmath>

namespace
{

constexpr uint32_t FastBaudRate = 57600;

bool Bit(uint32_t Value, unsigned N)
{
    return (Value >> N) & 1u;
}

std::string Digits4(uint16_t Value)
{
    // A four-character field on the unit: five-digit values lose their last digit.
    return IntToStrZero(Value, 4).substr(0, 4);
}

TCX_ViewType ViewOf(uint8_t Source)
{
    switch (Source) {
    case 1:
        return cxvGSM;
    case 2:
        return cxvGPS;
    case 3:
        return cxvLin;
    case 4:
        return cxvMBLE;
    case 0x21:
        return cxvSrvRX;
    case 0x22:
        return cxvSrvTX;
    case 0x10:
        return cxvMUX;
    case 0x11:
        return cxvMUX1;
    case 0x12:
        return cxvMUX2;
    case 0x13:
        return cxvMUX3;
    case 0x14:
        return cxvMUX4;
    case 0x32:
        return cxvDebug;
    default:
        return cxvOff;
    }
}

} // namespace

void TCorvex::HandleAcknowledge(const std::string& Payload)
{
    const bool A = Payload.size() == 1 && Payload[0] == 1;
    switch (FLastCommand) {
    case CX_Cmd::KeepAlive:
        break;
    case CX_Cmd::Parameter:
        // The unit refused the parameter request.
        CX_Fire(OnRequestParameter, this, FLastParameter, false, std::string(), std::string());
        break;
    case CX_Cmd::SetParameter:
        if (FLastParameter == 60 && A && FUnitInfo.Locked) {
            FUnitInfo.Locked = false;
            CX_Fire(OnUnitUnlock, this);
        }
        CX_Fire(OnSetParameter, this, FLastParameter, A);
        break;
    case CX_Cmd::View:
        FViewMode = FRequestedView <= cxvDebug ? static_cast<TCX_ViewType>(FRequestedView) : cxvOff;
        break;
    case CX_Cmd::SoftwareUpdate:
        if (A) {
            // From now on the unit pulls its firmware; the receiver feeds the source.
            FLinkTimer.Stop();
            FSoftware->Restart();
        }
        break;
    case CX_Cmd::CalibrateVoltage:
        CX_Fire(OnCalibrateVoltage, this);
        break;
    case CX_Cmd::FastSpeed:
        if (A)
            SetPortBaudRate(FastBaudRate);
        CX_Fire(OnFastSpeed, this);
        break;
    case CX_Cmd::ManualSMS:
        CX_Fire(OnManualSMS, this, A);
        break;
    case CX_Cmd::EEPromWrite:
        CX_Fire(OnEEPromDataWrite, this, A);
        break;
    case CX_Cmd::GPSReset:
        CX_Fire(OnGPSResetCommand, this, A);
        break;
    case CX_Cmd::NewDef:
    case CX_Cmd::NewDef2:
        CX_Fire(OnNewDef, this, A);
        break;
    case CX_Cmd::ResetSettings:
        CX_Fire(OnResetSettings, this);
        break;
    case CX_Cmd::SaveSettings:
        CX_Fire(OnSettingsSaved, this);
        break;
    case CX_Cmd::Unlock:
        if (FUnitInfo.Locked && A) {
            FUnitInfo.Locked = false;
            CX_Fire(OnUnitUnlock, this);
        }
        break;
    case CX_Cmd::TurnOff:
    case CX_Cmd::EndOfConnection:
        // Whatever the payload: the unit leaves framed mode (or switches off) either way.
        EndOfConnection();
        break;
    }
}

void TCorvex::HandleUnitInfo(uint8_t CmdID, const std::string& P)
{
    if (CmdID == CX_Cmd::UnitInfo)
        CX_DecodeUnitInfo(P, FText_ShowRevision, FUnitInfo, FMaxLength);
    else
        CX_DecodeExtUnitInfo(P, FText_ShowRevision, FUnitInfo, FMaxLength);
    FLinkTimer.KeepAliveFromNow();
    // A short unit information after a restart means the unit is not pulling firmware.
    if (CmdID == CX_Cmd::UnitInfo)
        FSoftware->ResetRequest();
    ShowPanels(true);
    if (!FConnected) {
        FLastCommand = -1;
        FConnected = true;
        FPassThroughActive = false;
        CX_Fire(OnAfterOpen, this);
    }
    CX_Fire(OnGotUnitInfo, this, FUnitInfo);
}

void TCorvex::DispatchFrame(uint8_t CmdID, const std::string& CmdData)
{
    CX_Fire(DebugCommands, this, false, CmdID, CmdData);
    // An acknowledgement, or the reply a question asks for, answers what is due.
    if (CmdID == CX_Cmd::Acknowledge || static_cast<int32_t>(CmdID) == FLastCommand) {
        FAwaitingSince = -1;
        FLastAnswerAt = FClock->elapsed();
    }
    const std::string P = HexToBytes(CmdData, true);
    const std::size_t Len = P.size();
    bool Handled = false;

    switch (CmdID) {
    case CX_Cmd::Acknowledge:
        switch (FLastCommand) {
        case CX_Cmd::KeepAlive:
        case CX_Cmd::Parameter:
        case CX_Cmd::SetParameter:
        case CX_Cmd::View:
        case CX_Cmd::SoftwareUpdate:
        case CX_Cmd::CalibrateVoltage:
        case CX_Cmd::FastSpeed:
        case CX_Cmd::ManualSMS:
        case CX_Cmd::EEPromWrite:
        case CX_Cmd::GPSReset:
        case CX_Cmd::NewDef:
        case CX_Cmd::NewDef2:
        case CX_Cmd::ResetSettings:
        case CX_Cmd::SaveSettings:
        case CX_Cmd::Unlock:
        case CX_Cmd::TurnOff:
        case CX_Cmd::EndOfConnection:
            Handled = true;
            HandleAcknowledge(P);
            break;
        default:
            break;
        }
        break;
    case CX_Cmd::UnitInfo:
    case CX_Cmd::ExtUnitInfo:
        if (Len >= (CmdID == CX_Cmd::UnitInfo ? 12u : 20u)) {
            Handled = true;
            HandleUnitInfo(CmdID, P);
        }
        break;
    case CX_Cmd::VersionInfo:
        if (Len >= 15) {
            CX_DecodeVersionInfo(P, FUnitInfo, FVersionInfo);
            CX_Fire(OnGotVersionInfo, this, FVersionInfo);
        }
        break; // also OnGotCommand
    case CX_Cmd::Parameter:
        if (Len >= 1) {
            Handled = true;
            TCX_PayloadReader R(P);
            int32_t Number = R.Byte();
            if (FUnitInfo.WideParameters)
                Number = (Number << 8) | R.Byte();
            FLastParameter = Number;
            const std::string Value = R.Rest();
            CX_Fire(OnRequestParameter, this, Number, true, Value, BytesToHex(Value, true));
        }
        break;
    case CX_Cmd::GPSLocation:
        if (Len >= 27 || Len == 12) {
            Handled = true;
            TCX_GPSLocation Location;
            CX_DecodeGPSLocation(P, FUnitInfo, Location);
            CX_Fire(OnGPSLocation, this, Location);
        }
        break;
    case CX_Cmd::PassThrough:
        Handled = true;
        FPassThroughActive = Len == 1 && P[0] == 1;
        CX_Fire(OnPassThrough, this, FPassThroughActive);
        break;
    case CX_Cmd::LoggerStatus:
        if (Len == 4 || Len == 8) {
            TCX_PayloadReader R(P);
            TCX_LoggerStatus Status;
            if (Len == 4) {
                Status.Current = R.Word();
                Status.Total = R.Word();
            } else {
                Status.Current = static_cast<int32_t>(R.Long());
                Status.Total = static_cast<int32_t>(R.Long());
            }
            if (Status.Total > 0) {
                if (Status.Current > Status.Total)
                    Status.Current = Status.Total;
                CX_Fire(OnLoggerStatus, this, Status);
            }
        }
        break; // also OnGotCommand
    case CX_Cmd::EEPromRead:
        if (OnEEPromDataRead && Len > 4) {
            TCX_PayloadReader R(P);
            const auto Address = static_cast<int32_t>(R.Long());
            CX_Fire(OnEEPromDataRead, this, Address, BytesToHex(R.Rest(), true));
        }
        break; // also OnGotCommand
    default:
        Handled = DispatchOther(CmdID, P);
    }

    if (!Handled)
        CX_Fire(OnGotCommand, this, CmdID, CmdData);
}

// The replies that are not on the road of an update. Returns whether the frame is handled.
bool TCorvex::DispatchOther(uint8_t CmdID, const std::string& P)
{
    const std::size_t Len = P.size();
    TCX_PayloadReader R(P);
    switch (CmdID) {
    case CX_Cmd::View:
        if (Len >= 2) {
            const TCX_ViewType View = ViewOf(R.Byte());
            const std::string Data = R.Rest();
            if (OnView)
                CX_Fire(OnView, this, View, Data);
            else
                CX_Fire(OnRX, this, Data);
        }
        return false; // also OnGotCommand
    case CX_Cmd::Voltage:
        if (Len != 5)
            return false;
        {
            const uint8_t Flags = R.Byte();
            FVoltage.Flag0 = Bit(Flags, 0);
            FVoltage.Flag1 = Bit(Flags, 1);
            FVoltage.Flag2 = Bit(Flags, 2);
            FVoltage.Value1 = R.Word() / 1000.0;
            FVoltage.Value3 = R.Word() / 1000.0;
        }
        CX_Fire(OnGotVoltage, this, FVoltage);
        return true;
    case CX_Cmd::Temperature: {
        if (Len < 2)
            return false;
        const uint16_t V = R.Word();
        const uint8_t F = R.Byte(); // absent in the 2-byte form: no valid reading
        double Value = 0;
        bool Valid = true;
        if (Bit(F, 1))
            Value = static_cast<int8_t>(V & 0xFF);
        else if (Bit(F, 2))
            Value = static_cast<int16_t>(V) / 100.0;
        else if (Bit(F, 3))
            Value = static_cast<int16_t>(V);
        else
            Valid = false;
        FTemperature = Value;
        FTemperatureValid = Valid;
        // Round half to even, as the unit's own tools show it.
        CX_Fire(OnGotTemperature, this, static_cast<int32_t>(std::nearbyint(Value)), Bit(F, 0), Valid,
                !Bit(F, 4));
        return true;
    }
    case CX_Cmd::Action: {
        if (Len < 1)
            return false;
        const uint8_t First = R.Byte();
        const auto Type = static_cast<TCX_ActionType>(First >> 4);
        const uint8_t Source = First & 0x0F;
        const auto Src = static_cast<TCX_ActionSource>(Source > 12 ? 12 : Source);
        if (Src == cxasMagneticCard && Len > 1 && OnGotTxRxMagneticCard) {
            const bool Valid = R.Byte() > 0;
            std::string Tracks[3];
            // A count that runs past the end yields what is there.
            for (std::string& T : Tracks)
                T = R.Bytes(R.Byte());
            CX_Fire(OnGotTxRxMagneticCard, this, Valid, Tracks[0], Tracks[1], Tracks[2]);
        } else {
            // SMS reports (source 2) are delivered undecoded, as any other action.
            CX_Fire(OnGotTxRxAction, this, Type, Src, BytesToHex(R.Rest(), true));
        }
        return true;
    }
    case CX_Cmd::EEPROMTest:
        if (OnEEPROMTest && Len == 1) {
            switch (R.Byte()) {
            case 0x00:
                CX_Fire(OnEEPROMTest, this, 1, cxetResult0, cxeeNone, uint8_t(0), uint8_t(0));
                break;
            case 0x01:
                CX_Fire(OnEEPROMTest, this, 1, cxetResult1, cxeeType1, uint8_t(16), uint8_t(16));
                break;
            case 0xFF:
                CX_Fire(OnEEPROMTest, this, 1, cxetResult2, cxeeType1, uint8_t(16), uint8_t(16));
                break;
            default:
                break;
            }
        } else if (OnEEPROMTest && (Len == 2 || Len == 4)) {
            for (int32_t Number = 1; Number <= static_cast<int32_t>(Len / 2); ++Number) {
                const uint8_t S = R.Byte();
                const uint8_t F = R.Byte();
                const TCX_EEPROMType Chip = F == 0 ? cxeeNone : (Bit(S, 6) ? cxeeType2 : cxeeType1);
                if ((S ^ F) & 0x40)
                    CX_Fire(OnEEPROMTest, this, Number, cxetResult1, Chip, F, uint8_t(S & 0x7F));
                else if (Bit(S, 7))
                    CX_Fire(OnEEPROMTest, this, Number, (S & 0x3F) == (F & 0x3F) ? cxetResult2 : cxetResult3,
                            Chip, uint8_t(F & 0x3F), uint8_t(S & 0x3F));
                else if (S == 0 || S == 1)
                    CX_Fire(OnEEPROMTest, this, Number, static_cast<TCX_EEPROMTest>(S), Chip,
                            uint8_t(F & 0x3F), uint8_t(0));
            }
        }
        return false; // also OnGotCommand
    case CX_Cmd::Accelerometer:
        if (OnGotADXLData && (Len == 3 || Len == 9)) {
            const double X = static_cast<int8_t>(R.Byte()) * 0.018;
            const double Y = static_cast<int8_t>(R.Byte()) * 0.018;
            const double Z = static_cast<int8_t>(R.Byte()) * 0.018;
            double MX = 0, MY = 0, MZ = 0;
            if (Len == 9) {
                MX = static_cast<int16_t>(R.Word()) / 1000.0;
                MY = static_cast<int16_t>(R.Word()) / 1000.0;
                MZ = static_cast<int16_t>(R.Word()) / 1000.0;
            }
            CX_Fire(OnGotADXLData, this, X, Y, Z, MX, MY, MZ);
        }
        return false; // also OnGotCommand
    case CX_Cmd::Time:
        if (OnGotTime && Len == 8) {
            TCX_Time T;
            T.Year = R.Word();
            T.Month = R.Byte();
            T.Day = R.Byte();
            const uint8_t B4 = R.Byte();
            T.Value4 = B4 & 0x7F;
            T.Flag4 = Bit(B4, 7);
            T.Hour = R.Byte();
            T.Minute = R.Byte();
            T.Second = R.Byte();
            T.DateTime = SafeEncodeDateTime(T.Year, T.Month, T.Day, T.Hour, T.Minute, T.Second);
            CX_Fire(OnGotTime, this, T);
        }
        return false; // also OnGotCommand
    case CX_Cmd::Shock:
        if (OnGotShockData && Len == 2)
            CX_Fire(OnGotShockData, this, static_cast<int32_t>(R.Word()));
        return false; // also OnGotCommand
    case CX_Cmd::Current: {
        const uint16_t V = R.Word(); // missing bytes read as 0
        CX_Fire(OnGotCurrent, this, V == 0xFFFF ? -1 : static_cast<int32_t>(V));
        return true;
    }
    case CX_Cmd::GSMRequests:
        if (OnGSMRequests && (Len == 11 || Len == 12 || Len == 14 || Len == 15)) {
            const bool Wide = Len >= 14;
            const bool HasV10 = Len == 12 || Len == 15;
            const auto Counter = [&R](bool TwoBytes) {
                return TwoBytes ? static_cast<int32_t>(R.Word()) : static_cast<int32_t>(R.Byte());
            };
            TCX_GSMRequests G;
            G.V0 = Counter(Wide);
            G.V1 = Counter(Wide);
            G.V2 = Counter(false);
            G.V3 = Counter(false);
            G.V4 = Counter(false);
            G.V5 = Counter(Wide);
            G.V6 = Counter(false);
            G.V7 = Counter(false);
            G.V8 = Counter(false);
            G.V9 = Counter(false);
            G.V10 = HasV10 ? Counter(false) : 255;
            G.V11 = Counter(false);
            CX_Fire(OnGSMRequests, this, G);
        }
        return false; // also OnGotCommand
    case CX_Cmd::PinCodeState: {
        if (Len != 5)
            return false;
        TCX_PinCodeState S;
        S.State = R.Byte();
        S.Code1 = Digits4(R.Word());
        S.Code2 = Digits4(R.Word());
        CX_Fire(OnGotPinCodeState, this, S);
        return true;
    }
    case CX_Cmd::RxQuality:
    case CX_Cmd::RxQuality7:
    case CX_Cmd::RxQualityTech:
    case CX_Cmd::RxQualityFull:
        if (!CX_DecodeRxQuality(CmdID, P, FOptimizeCells, FCellInfo))
            return false;
        CX_Fire(OnGotRxQuality, this, FCellInfo);
        return true;
    case CX_Cmd::ConnectState:
        if (Len != 1)
            return false;
        CX_Fire(OnGotConnectState, this, R.Byte());
        return true;
    case CX_Cmd::IOState: {
        if (Len != 2 && Len != 3 && Len != 5)
            return false;
        int32_t In = 0;
        if (Len == 2) {
            const int32_t V = R.Byte();
            // One-byte input reports of the first two classes carry the pins in other places.
            if (FUnitInfo.Class == 0)
                In = ((V << 8) | V) & 0xC03F;
            else if (FUnitInfo.Class == 1)
                In = ((V << 14) | V) & 0xC0FC;
            else
                In = V;
        } else {
            In = R.Word();
        }
        FInputs = In;
        FOutputs = R.Byte();
        if (Len == 5) {
            FInputMask = R.Byte();
            FOutputMask = R.Byte();
            FHasIOMask = true;
        } else {
            FInputMask = 0xFFFF;
            FOutputMask = 0xFF;
            FHasIOMask = false;
        }
        CX_Fire(OnGotIOState, this, FInputs, static_cast<int32_t>(FOutputs));
        return true;
    }
    case CX_Cmd::NetworkName:
        FNetworkName = P;
        CX_Fire(OnGotNetworkName, this, FNetworkName);
        CX_Fire(OnGotNetworkInfo, this, FNetworkName, 0, 0);
        return true;
    case CX_Cmd::GPSType:
        CX_Fire(OnGotGPSType, this, R.Byte());
        return true;
    case CX_Cmd::BatteryInfo:
        if (OnGotBatteryInfo && Len == 31) {
            TCX_BatteryInfo B;
            B.Value0 = R.Long() / 1000.0;
            B.Value4 = R.Long() / 1000.0;
            B.Value8 = R.Long() / 1000.0;
            B.Value12 = static_cast<int16_t>(R.Word()) / 100.0;
            B.Value14 = R.Word() / 1000.0;
            B.Value16 = R.Word() / 1000.0;
            B.Value18 = R.Word() / 1000.0;
            B.Value20 = R.Word() / 1000.0;
            B.Value22 = R.Word() / 1000.0;
            B.Value24 = R.Word() / 1000.0;
            const uint8_t F = R.Byte();
            B.Flag26Bit7 = Bit(F, 7);
            B.Flag26Bit6 = Bit(F, 6);
            B.Flag26Bit5 = Bit(F, 5);
            B.Flag26Bit4 = Bit(F, 4);
            B.Value27 = R.Byte() / 128.0;
            R.Skip(1);
            B.Value29 = R.Byte();
            B.Value30 = R.Byte();
            CX_Fire(OnGotBatteryInfo, this, B);
        }
        return false; // also OnGotCommand
    case CX_Cmd::ActiveSIM:
        if (Len != 1)
            return false;
        CX_Fire(OnGotActiveSIM, this, R.Byte());
        return true;
    case CX_Cmd::NetworkInfo: {
        if (Len < 4)
            return false;
        uint32_t C = R.Long();
        // Two-digit network codes come as MCC * 100 + MNC: widen them to MCC * 1000 + MNC.
        if (C / 1000 < 100)
            C = (C / 100) * 1000 + C % 100;
        FNetworkName = R.Rest();
        CX_Fire(OnGotNetworkName, this, FNetworkName);
        CX_Fire(OnGotNetworkInfo, this, FNetworkName, static_cast<int32_t>(C / 1000),
                static_cast<int32_t>(C % 1000));
        return true;
    }
    default:
        return false;
    }
}

// ---- Receiving ----

void TCorvex::ExternalComRx(const std::string& Data)
{
    if (FExternalCom)
        ProcessReceived(Data);
}

void TCorvex::DataReceived()
{
    const std::string Bytes = FPort->ReadString();
    // A notification whose bytes an earlier read already took brings nothing.
    if (!FExternalCom && !Bytes.empty())
        ProcessReceived(Bytes);
}

void TCorvex::FeedFirmware(uint8_t B, bool& Consumed)
{
    const int Result = FSoftware->ParseChar(B);
    if (Result > 0)
        Consumed = true;
    if (Result != 2)
        return;
    std::string Reply;
    FSoftware->BuildReply(Reply);
    if (!Reply.empty()) {
        TransmitRaw(Reply);
        SignalTransmit();
    }
    FReader.DropHeld();
    // The unit is busy with its own update: no keep-alive or wake-up may cut in.
    FLinkTimer.Stop();
    if (FSoftware->Active) {
        CX_Fire(OnSoftwareUpdate, this, FSoftware->LastServed, static_cast<int32_t>(FSoftware->Progress()));
    } else {
        // The unit asked for the end block: it restarts on the new firmware.
        CX_Fire(OnSoftwareUpdateComplete, this);
        Open();
    }
}

TCX_ReaderLine TCorvex::ReaderLine() const
{
    TCX_ReaderLine Line;
    Line.ConfigType = FConfigType;
    Line.AutoDetect = FConfigTypeAutoDetect;
    Line.Connected = FConnected;
    Line.CoreEscape = FUnitInfo.CoreNumber > 555;
    Line.ShowRaw = FShowRawRX;
    return Line;
}

void TCorvex::ProcessReceived(const std::string& Bytes)
{
    const TExceptionOwner Owner(this);
    std::string Display;
    for (const char Ch : Bytes) {
        const auto B = static_cast<uint8_t>(Ch);
        bool Consumed = false;
        try {
            // The unit pulling its firmware: "{" number "}" requests. A served request
            // may reopen the link, so the reader learns the link's state only after it.
            if (FSoftware->Active || (FSoftware->IsReady() && !FConnected))
                FeedFirmware(B, Consumed);

            TCX_ReaderLine Line = ReaderLine();
            const bool Complete = FReader.Take(B, Line, Consumed, Display);
            FConfigType = Line.ConfigType;
            if (Complete) {
                const TCX_Frame Frame = FReader.Frame();
                if (!Frame.Ignored)
                    DispatchFrame(Frame.CmdID, BytesToHex(Frame.Payload, true));
            }
        } catch (...) {
            // A failing event handler must not cost the rest of the chunk.
            ApplicationHandleCurrentException();
        }
        // A handler may have switched ShowRawRX: the reader sees the new value.
        FReader.Settle(Consumed, FShowRawRX, Display);
    }

    // The unit's block requests are not text to show.
    if (FSoftware->Active && !FShowRawRX)
        Display.clear();
    CX_Fire(OnRX, this, ReplaceAll(Display, "_CONFIGB", "", true));
    SignalReceive();
}
