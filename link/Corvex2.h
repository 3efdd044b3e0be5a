#pragma once
// TCorvex: the link to a Veltrac tracking unit over its own serial port. It
// wakes the unit into framed command mode, frames commands, assembles reply
// frames byte by byte and turns them into properties and events. Payloads go
// in and out as hex text ("FF 48 31"). Everything runs on the Qt main thread;
// events are called synchronously and their handlers may send commands or call
// Open again. Frame layouts and commands: docs/link-protocol.md.
#include "link/CorvexFrameReader.h"
#include "link/CorvexLinkTimer.h"
#include "link/CorvexNames.h"
#include "link/CorvexRecords.h"
#include "link/Indicators.h"
#include "serial/Component.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QElapsedTimer;
class TComPort;
class TSoftwareUpdate;
class TSoftwareVersionCollection;
class TCorvex;

using TCX_Notify = std::function<void(TCorvex* Sender)>;
using TCX_Success = std::function<void(TCorvex* Sender, bool Success)>;
using TCX_Command = std::function<void(TCorvex* Sender, uint8_t CmdID, const std::string& CmdData)>;
using TCX_CommandDebug =
    std::function<void(TCorvex* Sender, bool Outgoing, uint8_t CmdID, const std::string& CmdData)>;
using TCX_RxCharacters = std::function<void(TCorvex* Sender, const std::string& Rx)>;
using TCX_TxCharacters = std::function<void(TCorvex* Sender, const std::string& Tx)>;
using TCX_SoftUpdate = std::function<void(TCorvex* Sender, int32_t Block, int32_t Percent)>;
using TCX_GotGPSLocation = std::function<void(TCorvex* Sender, const TCX_GPSLocation& GPSLocation)>;
using TCX_GotViewData = std::function<void(TCorvex* Sender, TCX_ViewType ViewType, const std::string& Data)>;
using TCX_RequestParameter = std::function<void(TCorvex* Sender, int32_t Parameter, bool Valid,
                                                const std::string& Value, const std::string& HexValue)>;
using TCX_SetParameter = std::function<void(TCorvex* Sender, int32_t Parameter, bool Success)>;
using TCX_GotUnitInfo = std::function<void(TCorvex* Sender, const TCX_UnitInfo& UnitInfo)>;
using TCX_GotVersionInfo = std::function<void(TCorvex* Sender, const TCX_VersionInfo& Info)>;
using TCX_GotLoggerStatus = std::function<void(TCorvex* Sender, const TCX_LoggerStatus& Status)>;
using TCX_GotEEPromDataRead = std::function<void(TCorvex* Sender, int32_t Address, const std::string& Data)>;
using TCX_GotEEPromDataWrite = std::function<void(TCorvex* Sender, bool Result)>;
using TCX_GotVoltage = std::function<void(TCorvex* Sender, const TCX_Voltage& VoltageInfo)>;
using TCX_GotTemperature =
    std::function<void(TCorvex* Sender, int32_t Temperature, bool InRange, bool RealTemp, bool ModemInRange)>;
using TCX_GotPinCodeState = std::function<void(TCorvex* Sender, const TCX_PinCodeState& PinCodeState)>;
using TCX_GotRxQuality = std::function<void(TCorvex* Sender, const TCX_RxQuality& RxQuality)>;
using TCX_GotConnectState = std::function<void(TCorvex* Sender, uint8_t ConnectState)>;
using TCX_GotIOState = std::function<void(TCorvex* Sender, int32_t Inputs, int32_t Outputs)>;
using TCX_GotTxRxAction = std::function<void(TCorvex* Sender, TCX_ActionType ActionType,
                                             TCX_ActionSource ActionSource, const std::string& Data)>;
using TCX_GotTxRxSMS =
    std::function<void(TCorvex* Sender, TCX_ActionType ActionType, const std::string& Phone,
                       const std::string& Text, const std::string& HexData, const std::string& RawPDU)>;
using TCX_GotTxRxSMSPDU = std::function<void(TCorvex* Sender, TCX_ActionType ActionType,
                                             const PDU_Record& PDUData, const std::string& RawPDU)>;
using TCX_GotTxRxMagneticCard = std::function<void(TCorvex* Sender, bool Valid, const std::string& Track1,
                                                   const std::string& Track2, const std::string& Track3)>;
using TCX_GotNetworkName = std::function<void(TCorvex* Sender, const std::string& Network)>;
using TCX_GotNetworkInfo =
    std::function<void(TCorvex* Sender, const std::string& Network, int32_t MCC, int32_t MNC)>;
using TCX_GotGPSType = std::function<void(TCorvex* Sender, uint8_t GPSType)>;
using TCX_GotCurrent = std::function<void(TCorvex* Sender, int32_t Current)>;
using TCX_GotEEPROMTestResult =
    std::function<void(TCorvex* Sender, int32_t EEPROMNumber, TCX_EEPROMTest TestResult,
                       TCX_EEPROMType ChipType, uint8_t NeededSize, uint8_t FoundSize)>;
using TCX_GotADXLData =
    std::function<void(TCorvex* Sender, double X, double Y, double Z, double mX, double mY, double mZ)>;
using TCX_GotGSMRequests = std::function<void(TCorvex* Sender, const TCX_GSMRequests& GSMRequests)>;
using TCX_GotTime = std::function<void(TCorvex* Sender, const TCX_Time& UnitTime)>;
using TCX_GotShockData = std::function<void(TCorvex* Sender, int32_t Shock)>;
using TCX_GotBatteryInfo = std::function<void(TCorvex* Sender, const TCX_BatteryInfo& BatteryInfo)>;
using TCX_GotActiveSIM = std::function<void(TCorvex* Sender, uint8_t SIM_Number)>;

class TCorvex : public TComponent
{
  public:
    explicit TCorvex(TComponent* AOwner = nullptr);
    ~TCorvex() override;
    TCorvex(const TCorvex&) = delete;
    TCorvex& operator=(const TCorvex&) = delete;

    // ---- Published properties ----
    const TCX_UnitInfo& UnitInfo() const { return FUnitInfo; }
    const TCX_VersionInfo& VersionInfo() const { return FVersionInfo; }
    const TCX_RxQuality& CellInfo() const { return FCellInfo; }
    const std::string& NetworkName() const { return FNetworkName; }
    bool PassThroughActive() const { return FPassThroughActive; }
    void SetPassThroughActive(bool Value); // stores and sends 0x18; the unit's 0x18 reply sets it too
    uint8_t MaxLength() const { return FMaxLength; }
    TCX_ViewType ViewMode() const { return FViewMode; }
    bool ShowRawRX() const { return FShowRawRX; }
    void SetShowRawRX(bool Value) { FShowRawRX = Value; }
    bool Connected() const { return FConnected; }
    void SetConnected(bool Value); // True: Open; False: Close(false)
    int32_t Inputs() const { return FInputs; }
    uint8_t Outputs() const { return FOutputs; }
    void SetOutputs(uint8_t Value); // stores and sends 0x25
    bool HasIOMask() const { return FHasIOMask; }
    int32_t InputMask() const { return FInputMask; }
    uint8_t OutputMask() const { return FOutputMask; }
    bool TemperatureValid() const { return FTemperatureValid; }
    double Temperature() const { return FTemperature; }
    bool OptimizeCells() const { return FOptimizeCells; }
    void SetOptimizeCells(bool Value) { FOptimizeCells = Value; }
    bool CloseBeforeOpen() const { return FCloseBeforeOpen; }
    void SetCloseBeforeOpen(bool Value) { FCloseBeforeOpen = Value; }
    TCX_ConfigType ConfigType() const { return FConfigType; }
    void SetConfigType(TCX_ConfigType Value) { FConfigType = Value; }
    bool ConfigTypeAutoDetect() const { return FConfigTypeAutoDetect; }
    void SetConfigTypeAutoDetect(bool Value) { FConfigTypeAutoDetect = Value; }

    // ---- Published events (an empty function is skipped) ----
    TCX_Notify OnAfterOpen;
    TCX_Notify OnAfterClose;
    // A wake-up that repeats one the unit left unanswered: any after the first since Open.
    TCX_Notify OnWakeUpAgain;
    TCX_CommandDebug DebugCommands; // every frame sent (Outgoing) and every good frame received
    TCX_GotUnitInfo OnGotUnitInfo;
    TCX_Command OnGotCommand; // frames no branch took, wrong lengths, and some replies in addition
    TCX_GotGPSLocation OnGPSLocation;
    TCX_GotViewData OnView;
    TCX_SoftUpdate OnSoftwareUpdate;
    TCX_Notify OnSoftwareUpdateComplete;
    TCX_RequestParameter OnRequestParameter;
    TCX_SetParameter OnSetParameter;
    TCX_GotVoltage OnGotVoltage;
    TCX_GotTemperature OnGotTemperature;
    TCX_GotPinCodeState OnGotPinCodeState;
    TCX_GotRxQuality OnGotRxQuality;
    TCX_GotConnectState OnGotConnectState;
    TCX_GotIOState OnGotIOState;
    TCX_GotTxRxAction OnGotTxRxAction;
    TCX_GotTxRxSMS OnGotTxRxSMS;       // never fired: SMS PDUs are not decoded
    TCX_GotTxRxSMSPDU OnGotTxRxSMSPDU; // never fired: SMS PDUs are not decoded
    TCX_GotTxRxMagneticCard OnGotTxRxMagneticCard;
    TCX_GotNetworkName OnGotNetworkName;
    TCX_GotNetworkInfo OnGotNetworkInfo;
    TCX_GotGPSType OnGotGPSType;
    TCX_GotCurrent OnGotCurrent;
    TCX_GotVersionInfo OnGotVersionInfo;
    TCX_Notify OnResetSettings;
    TCX_Notify OnCalibrateVoltage;
    TCX_Notify OnSettingsSaved;
    TCX_GotLoggerStatus OnLoggerStatus;
    TCX_Success OnPassThrough;
    TCX_GotEEPROMTestResult OnEEPROMTest;
    TCX_GotADXLData OnGotADXLData;
    TCX_GotGSMRequests OnGSMRequests;
    TCX_GotTime OnGotTime;
    TCX_Success OnManualSMS;
    TCX_Success OnNewDef;
    TCX_GotShockData OnGotShockData;
    TCX_GotBatteryInfo OnGotBatteryInfo;
    TCX_Notify OnFastSpeed;
    TCX_GotEEPromDataRead OnEEPromDataRead;
    TCX_GotEEPromDataWrite OnEEPromDataWrite;
    TCX_Notify OnUnitUnlock;
    TCX_GotActiveSIM OnGotActiveSIM;
    TCX_Success OnGPSResetCommand;
    TCX_Notify OnTX;
    TCX_RxCharacters OnRX; // text outside frames (and frame bytes with ShowRawRX), "_CONFIGB" removed

    // ---- Port ----
    uint32_t BaudRate() const { return FBaudRate; }
    void SetBaudRate(uint32_t Value) { FBaudRate = Value; } // taken at the next open or wake-up
    int32_t ComNumber() const;                              // number after "COM" in ComPort, else 0
    void SetComNumber(int32_t Value);                       // ComPort := "COM<n>"
    const std::string& ComPort() const { return FComPort; }
    void SetComPort(const std::string& Value);
    bool ExternalCom() const { return FExternalCom; }
    void SetExternalCom(bool Value) { FExternalCom = Value; }
    TCX_TxCharacters OnExternalComTx; // with ExternalCom: every byte string to send

    // ---- Panels and their texts ----
    const std::string& Text_UnitNotTested() const { return FText_UnitNotTested; }
    void SetText_UnitNotTested(const std::string& Value) { FText_UnitNotTested = Value; }
    const std::string& Text_OriginalID() const { return FText_OriginalID; }
    void SetText_OriginalID(const std::string& Value) { FText_OriginalID = Value; }
    const std::string& Text_OriginalType() const { return FText_OriginalType; }
    void SetText_OriginalType(const std::string& Value) { FText_OriginalType = Value; }
    bool Text_VersionAndCore() const { return FText_VersionAndCore; }
    void SetText_VersionAndCore(bool Value) { FText_VersionAndCore = Value; }
    bool Text_ShowRevision() const { return FText_ShowRevision; }
    void SetText_ShowRevision(bool Value) { FText_ShowRevision = Value; }
    bool Panel_UseHints() const { return FPanel_UseHints; }
    void SetPanel_UseHints(bool Value) { FPanel_UseHints = Value; }
    // Linked panels and lamps are not owned; unlink them before they are destroyed.
    TCX_Panel* Panel_UnitID() const { return FPanel_UnitID; }
    void SetPanel_UnitID(TCX_Panel* Value) { FPanel_UnitID = Value; }
    TCX_Panel* Panel_Version() const { return FPanel_Version; }
    void SetPanel_Version(TCX_Panel* Value) { FPanel_Version = Value; }
    TCX_Panel* Panel_HexType() const { return FPanel_HexType; }
    void SetPanel_HexType(TCX_Panel* Value) { FPanel_HexType = Value; }
    bool Panel_ClearOnClose() const { return FPanel_ClearOnClose; }
    void SetPanel_ClearOnClose(bool Value) { FPanel_ClearOnClose = Value; }
    TCX_Lamp* Panel_Tx() const { return FPanel_Tx; }
    void SetPanel_Tx(TCX_Lamp* Value) { FPanel_Tx = Value; }
    TCX_Lamp* Panel_Rx() const { return FPanel_Rx; }
    void SetPanel_Rx(TCX_Lamp* Value) { FPanel_Rx = Value; }

    // ---- Published methods ----
    bool Active() const; // ExternalCom, or the own port is open
    void ExternalComRx(const std::string& Data);

    // ---- Connection ----
    void Open();
    void Close(bool Immediately);

    // ---- Commands (each dropped silently when it cannot be sent) ----
    // Throws std::invalid_argument for a payload above 255 bytes and ERangeError for a hex group above FF.
    void SendCommand(uint8_t CmdID, const std::string& CmdData, bool ExpectReply);
    void RequestParameter(int32_t Parameter);
    void SetParameterHex(int32_t Parameter, const std::string& HexData);
    void SetParameterText(int32_t Parameter, const std::string& Text);
    void SetParameterInt(int32_t Parameter, int32_t Value);
    void SetGPSReports(bool Enable, bool Mode2);
    void RequestVersionInfo(bool AssumeOld);
    bool StartSoftwareUpdate(bool Flag);
    void SetFastSpeed();
    void WriteEEPromData(int32_t Address, const std::string& HexData);
    void SetLoggerReports(bool Enable);
    void TurnOff();

    // One good frame from the unit; the receiver calls it, and so may a caller replaying frames.
    void DispatchFrame(uint8_t CmdID, const std::string& CmdData);

    // ---- Panels and firmware ----
    void ShowPanels(bool Show);
    std::string FindSoftwareForUnit(const TSoftwareVersionCollection& Collection) const;
    bool SelectSoftware(const TSoftwareVersionCollection& Collection, const std::string& Title);
    const std::string& SoftwareTitle() const { return FSoftwareTitle; }

    // ---- Inspection (read-only views for front ends and tests) ----
    TComPort& Port() { return *FPort; }
    const TComPort& Port() const { return *FPort; }
    TSoftwareUpdate& SoftwareSource() { return *FSoftware; }
    const TCX_Voltage& Voltage() const { return FVoltage; }
    int32_t LastCommand() const { return FLastCommand; }
    int32_t LastParameter() const { return FLastParameter; }
    bool LinkTimerEnabled() const;
    int LinkTimerInterval() const;
    int LinkTimerTag() const { return FLinkTimer.Tag(); } // 1 = connecting, 0 = connected
    int OpenAttempts() const { return FLinkTimer.OpenAttempts(); }
    // Every byte written to the unit since the link was made (frames, wake-ups).
    uint64_t BytesSent() const { return FBytesSent; }
    // No command of ours awaits its answer (answered, or sent more than LostMs
    // ago and taken as lost) and no answer came within the last QuietMs.
    // Answers name no command: a command sent while one is still due would
    // take that one's answer for its own.
    bool LineQuiet(int QuietMs, int LostMs) const;

    // Most bytes held while a frame or block request is being assembled; beyond it
    // the oldest bytes are shown as raw text instead of being held.
    static constexpr std::size_t MaxRawText = TCX_FrameReader::MaxRawText;

  private:
    // Sending side and commands (Corvex2.cpp).
    void TransmitRaw(const std::string& Bytes);
    void SignalTransmit();
    void SignalReceive();
    bool CheckParameter(int32_t Parameter) const;
    std::string ParameterHex(int32_t Parameter) const;
    int ParameterWidth() const { return FUnitInfo.WideParameters ? 2 : 1; }

    // The unit's state as it is before a connection (Corvex2.cpp).
    void ResetUnitState();

    // Connection cycle (CorvexConnection.cpp).
    void BindLinkTimer();
    void WakeUp(bool EndFramesFirst);
    void ApplyPortSettings();
    void OpenPort();
    void ClosePort();
    void SetPortBaudRate(uint32_t Rate);
    void EndOfConnection();

    // Receiving side (CorvexDispatch.cpp).
    void DataReceived();
    void ProcessReceived(const std::string& Bytes);
    void FeedFirmware(uint8_t B, bool& Consumed);
    TCX_ReaderLine ReaderLine() const;

    // Reply handling (CorvexDispatch.cpp).
    void HandleAcknowledge(const std::string& Payload);
    void HandleUnitInfo(uint8_t CmdID, const std::string& Payload);
    bool DispatchOther(uint8_t CmdID, const std::string& Payload);

    TCX_LinkTimer FLinkTimer;
    std::unique_ptr<TSoftwareUpdate> FSoftware;
    std::unique_ptr<TComPort> FPort;
    bool FPortSettingsChanged = true;

    TCX_UnitInfo FUnitInfo;
    TCX_VersionInfo FVersionInfo;
    TCX_RxQuality FCellInfo;
    TCX_Voltage FVoltage;
    std::string FNetworkName;
    bool FPassThroughActive = false;
    uint8_t FMaxLength = 0;
    TCX_ViewType FViewMode = cxvOff;
    uint8_t FRequestedView = 0;
    bool FShowRawRX = false;
    bool FConnected = false;
    int32_t FInputs = 0;
    uint8_t FOutputs = 0;
    bool FHasIOMask = false;
    int32_t FInputMask = 0xFFFF;
    uint8_t FOutputMask = 0xFF;
    bool FTemperatureValid = false;
    double FTemperature = 0;
    bool FOptimizeCells = false;
    bool FCloseBeforeOpen = true;
    TCX_ConfigType FConfigType = cxctCore2;
    bool FConfigTypeAutoDetect = false;

    uint32_t FBaudRate = 9600;
    std::string FComPort = "COM1";
    bool FExternalCom = false;

    std::string FText_UnitNotTested = "Not tested";
    std::string FText_OriginalID = "Original ID: %s";
    std::string FText_OriginalType = "Original Type: %s";
    bool FText_VersionAndCore = false;
    bool FText_ShowRevision = false;
    bool FPanel_UseHints = true;
    TCX_Panel* FPanel_UnitID = nullptr;
    TCX_Panel* FPanel_Version = nullptr;
    TCX_Panel* FPanel_HexType = nullptr;
    bool FPanel_ClearOnClose = true;
    TCX_Lamp* FPanel_Tx = nullptr;
    TCX_Lamp* FPanel_Rx = nullptr;

    std::string FSoftwareTitle;
    int32_t FLastCommand = -1;
    int32_t FLastParameter = 0;
    uint64_t FBytesSent = 0;
    int64_t FAwaitingSince = -1; // ms on FClock of the oldest unanswered send, -1: none
    int64_t FLastAnswerAt = -1;  // ms on FClock of the last answer
    std::unique_ptr<QElapsedTimer> FClock;

    TCX_FrameReader FReader;
};
