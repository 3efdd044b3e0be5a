#pragma once
// TComPort: a non-visual component that owns one serial (COM) device. It
// keeps the line settings as properties, opens and closes the device, queues
// bytes for sending and lets its owner read received bytes. The device is
// watched by worker threads, but every event except OnNonSyncEvent fires in
// the main thread: the event thread hands each event over through the
// main-thread call service and waits (at most 2000 ms) until the handlers
// have run, so a handler may read, write and query the port freely.
#include "serial/ComPortCore.h"
#include "serial/PortError.h"
#include "serial/ComPortTypes.h"
#include "serial/Component.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>

class EComPortError : public EPortError
{
  public:
    using EPortError::EPortError;
};

enum TBaudrate {
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000,
    brUser
};
enum TDatabits { db4, db5, db6, db7, db8 };
enum TParity { paNone, paOdd, paEven, paMark, paSpace };
enum TStopbits { sbOne, sbOneAndHalf, sbTwo };
enum TFlowControl { fwNone, fwXOnXOff, fwRtsCts, fwDtrDsr };
enum TComOption { coParityCheck, coDsrSensitivity, coIgnoreXOff, coErrorChar, coStripNull };
using TComOptions = std::set<TComOption>;

// Rate in bit/s of each TBaudrate value; 0 for brUser.
uint32_t BaudRateValue(TBaudrate Value);

class TComPort;

using TPortNotifyEvent = std::function<void(TComPort* Sender)>;
using TPortDataReceivedEvent = std::function<void(TComPort* Sender, int32_t Count)>;
using TPortErrorEvent = std::function<void(TComPort* Sender, uint32_t Errors)>;
using TPortCoreEvent = std::function<void(TComPort* Sender, TCoreEvent EventKind, uint32_t Data)>;
using TPortLatencyEvent = std::function<void(TComPort* Sender, const TLatencySetup& Setup)>;
using TPortHangUpEvent = std::function<void(TComPort* Sender, const std::string& Message)>;

class TDataConnComponent : public TComponent
{
  public:
    using TComponent::TComponent;
    virtual void WriteData(const void* Buf, int32_t Size) = 0;
};

class TCustomSerialPort : public TDataConnComponent
{
  public:
    explicit TCustomSerialPort(TComponent* AOwner = nullptr);
    ~TCustomSerialPort() override;

    void Loaded() override;

    virtual void Close();
    // On a port whose device hung up, Open closes the dead descriptor first
    // and opens the device again (a re-plugged adapter).
    virtual void Open();
    bool Active() const;
    // The device hung up (unplugged, or closed at the other end) since the
    // port was opened; the port stays Active until Close or the next Open.
    bool HungUp() const;

    void WriteData(const void* Buf, int32_t Size) override;
    void WriteString(const std::string& S);
    void ReadData(void* Buf, int32_t Count);
    // '\0' when no byte could be read and RaiseErrors is off.
    char ReadChar();
    // Everything the input queue holds (shortened if fewer bytes could be read).
    std::string ReadString();
    int32_t InBufUsed();
    int32_t OutBufFree();
    // The device's file descriptor; −1 when closed.
    int Handle() const;

    // Settings from a line-settings record (as the configuration dialog returns it).
    // Like every settings change on an open port, it waits for the bytes
    // written before it (see ComPortCore.h); the record shows it at once.
    void ApplyDCB(const TDCB& Rec);
    const TDCB& DCB() const { return FDCB; }
    virtual bool ExecuteConfigDialog() = 0;

    TComPortCore* Core() const { return FCore.get(); }

    // Properties, in published order.
    bool AutoOpen() const { return FAutoOpen; }
    void SetAutoOpen(bool Value) { FAutoOpen = Value; }
    TBaudrate BaudRate() const { return FBaudRate; }
    void SetBaudRate(TBaudrate Value);
    TDatabits Databits() const { return FDatabits; }
    void SetDatabits(TDatabits Value);
    bool DTR() const { return FDTR; }
    void SetDTR(bool Value);
    TThreadPriority EventThreadPriority() const { return FEventThreadPriority; }
    void SetEventThreadPriority(TThreadPriority Value) { FEventThreadPriority = Value; }
    TFlowControl FlowControl() const { return FFlowControl; }
    void SetFlowControl(TFlowControl Value);
    int32_t InBufSize() const { return FInBufSize; }
    void SetInBufSize(int32_t Value);
    const TComOptions& Options() const { return FOptions; }
    void SetOptions(const TComOptions& Value);
    int32_t OutBufSize() const { return FOutBufSize; }
    void SetOutBufSize(int32_t Value);
    bool RaiseErrors() const { return FRaiseErrors; }
    void SetRaiseErrors(bool Value) { FRaiseErrors = Value; }
    TParity Parity() const { return FParity; }
    void SetParity(TParity Value);
    bool RTS() const { return FRTS; }
    void SetRTS(bool Value);
    TStopbits Stopbits() const { return FStopbits; }
    void SetStopbits(TStopbits Value);
    int32_t UserBaudRate() const { return FUserBaudRate; }
    // The rate in bit/s the port is set to, a user rate included.
    uint32_t LineRate() const
    {
        return FBaudRate == brUser ? static_cast<uint32_t>(std::max(FUserBaudRate, 0))
                                   : BaudRateValue(FBaudRate);
    }
    void SetUserBaudRate(int32_t Value);
    TThreadPriority WriteThreadPriority() const { return FWriteThreadPriority; }
    void SetWriteThreadPriority(TThreadPriority Value) { FWriteThreadPriority = Value; }
    char XOnChar() const { return FXOnChar; }
    void SetXOnChar(char Value);
    char XOffChar() const { return FXOffChar; }
    void SetXOffChar(char Value);
    uint16_t XOnLim() const { return FXOnLim; }
    void SetXOnLim(uint16_t Value);
    uint16_t XOffLim() const { return FXOffLim; }
    void SetXOffLim(uint16_t Value);

    // Events, in published order. All but OnNonSyncEvent fire in the main thread.
    TPortNotifyEvent OnCTSChanged;
    TPortDataReceivedEvent OnDataRecived;
    TPortNotifyEvent OnDSRChanged;
    TPortErrorEvent OnLineError;
    TPortCoreEvent OnNonSyncEvent; // event thread; when set, replaces main-thread delivery
    TPortNotifyEvent OnOutBufFree;
    TPortNotifyEvent OnPortClose;
    TPortNotifyEvent OnPortOpen;
    // Right after each open, before OnPortOpen: what was done to lower the
    // port's latency (for a trace; the port works either way).
    TPortLatencyEvent OnLatencySetup;
    TPortNotifyEvent OnRINGDetected;
    TPortNotifyEvent OnRLSDChanged;
    TPortCoreEvent OnSyncEvent;
    // The device hung up (unplugged, or closed at the other end). When set,
    // the hang-up comes here, once, with the port's message, instead of being
    // raised to the application's exception handler; the handler may close
    // the port.
    TPortHangUpEvent OnHangUp;

  protected:
    virtual void InternalOpen() = 0;
    // Raises EComPortError ("%s - %s " of Msg and Name) when RaiseErrors is set.
    virtual void SignalError(const std::string& Msg);
    void CheckClosed();
    void UpdateDCB();
    void UpdateXLimits();

  private:
    struct TPendingEvent {
        uint64_t Seq;
        TCoreEvent Kind;
        uint32_t Data;
        std::exception_ptr Exception;
    };

    TComPort* Sender();
    void CoreEvent(TComPortCore* Sender, TCoreEvent EventKind, uint32_t Data,
                   const std::exception_ptr& Exception);
    void SyncDispatch();
    // The identity exceptions of this port are tied to: the TComPort.
    const void* ExceptionOwnerId();
    void DispatchCoreEvent(TCoreEvent EventKind, uint32_t Data, const std::exception_ptr& Exception);
    // The record and the properties from Rec, without applying it.
    void TakeSettings(const TDCB& Rec);

    std::unique_ptr<TComPortCore> FCore;
    uint32_t FSyncId = 0;
    TDCB FDCB{};
    std::atomic<bool> FClosing{false};
    std::atomic<bool> FDestroying{false};
    // Handed from the event thread to the main thread. A queue rather than a
    // single field, so an event whose hand-over timed out is still delivered
    // in order instead of being overwritten by the next one.
    std::mutex FPendingLock;
    std::deque<TPendingEvent> FPending;
    uint64_t FPendingSeq = 0;

    bool FAutoOpen = false;
    TBaudrate FBaudRate = br115200;
    TDatabits FDatabits = db8;
    bool FDTR = true;
    TThreadPriority FEventThreadPriority = tpNormal;
    TFlowControl FFlowControl = fwNone;
    int32_t FInBufSize = 4096;
    TComOptions FOptions;
    int32_t FOutBufSize = 2048;
    bool FRaiseErrors = true;
    TParity FParity = paNone;
    bool FRTS = true;
    TStopbits FStopbits = sbOne;
    int32_t FUserBaudRate = 0;
    TThreadPriority FWriteThreadPriority = tpHighest;
    char FXOnChar = 17;
    char FXOffChar = 19;
    uint16_t FXOnLim = 0;
    uint16_t FXOffLim = 0;
};

class TCustomComPort : public TCustomSerialPort
{
  public:
    using TCustomSerialPort::TCustomSerialPort;

    uint16_t ComNumber() const { return FComNumber; }
    // While open: Close, store, Open.
    void SetComNumber(uint16_t Value);
    // A device path to open instead of the port map's device for ComNumber
    // (e.g. "/dev/ttyUSB0"); empty = use the port map. While open: Close,
    // store, Open.
    const std::string& DevicePath() const { return FDevicePath; }
    void SetDevicePath(const std::string& Value);
    // "COM%d", or the device path when one is set.
    std::string PortName() const;

    bool ExecuteConfigDialog() override;

    // The line-settings dialog lives in the widget layer, which this layer
    // must not depend on: widgets/ComPortConfigDialog installs this hook
    // (InstallComPortConfigDialog). It edits Rec in place and returns whether
    // the user confirmed. Without a hook ExecuteConfigDialog returns False.
    using TConfigDialogHook = bool (*)(TCustomComPort* Port, TDCB& Rec);
    static void SetConfigDialogHook(TConfigDialogHook Hook);
    // Busy indication around opening (the hourglass cursor), also installed
    // by the widget layer; Busy is True before the open and False after it.
    using TBusyHook = void (*)(bool Busy);
    static void SetBusyHook(TBusyHook Hook);

  protected:
    void InternalOpen() override;

  private:
    uint16_t FComNumber = 0;
    std::string FDevicePath;
};

class TComPort : public TCustomComPort
{
  public:
    using TCustomComPort::TCustomComPort;
};
