#include "serial/ComPort.h"

#include "serial/AppException.h"
#include "serial/SafeSync.h"

#include <cstdio>

namespace
{

// TBaudrate → TDCB::BaudRate; the last entry (0) stands for brUser.
const uint32_t BaudRates[16] = {110,   300,   600,   1200,  2400,   4800,   9600,   14400,
                                19200, 38400, 56000, 57600, 115200, 128000, 256000, 0};
const uint32_t FlowBits[4] = {0x0000, 0x0300, 0x2004, 0x0028};
const uint32_t OptionBits[5] = {0x0002, 0x0040, 0x0080, 0x0400, 0x0800};

constexpr uint32_t SyncTimeoutMs = 2000;

// Messages of the component; the core has its own.
const char* const SPortNotClosed = "Port is not closed";
const char* const SReadDataError = "Read data error";
const char* const SWriteDataError = "Write data error [requested: %d, free: %d]";

TCustomComPort::TConfigDialogHook ConfigDialogHook = nullptr;
TCustomComPort::TBusyHook BusyHook = nullptr;

// The DTR and RTS control bits of a record, from the two line properties.
uint32_t LineControlBits(bool DTR, bool RTS, TFlowControl Flow)
{
    uint32_t bits = 0;
    if (DTR && Flow != fwDtrDsr)
        bits |= DCB_fDtrControlEnable;
    if (RTS && Flow != fwRtsCts)
        bits |= DCB_fRtsControlEnable;
    return bits;
}

} // namespace

uint32_t BaudRateValue(TBaudrate Value)
{
    return Value >= br110 && Value <= brUser ? BaudRates[Value] : 0;
}

// ---------------------------------------------------------------------------
// TCustomSerialPort

TCustomSerialPort::TCustomSerialPort(TComponent* AOwner) : TDataConnComponent(AOwner)
{
    FSyncId = SafeSyncRegister([this](int32_t) { SyncDispatch(); });
    FCore = std::make_unique<TComPortCore>();
    FCore->SetEventTarget([this](TComPortCore* S, TCoreEvent K, uint32_t D, const std::exception_ptr& E) {
        CoreEvent(S, K, D, E);
    });
    // A change that waited for queued bytes and was then refused: the
    // properties show what the line kept.
    FCore->SetSettingsRefusedTarget([this](TComPortCore* S) {
        if (!FDestroying)
            TakeSettings(S->DCB());
    });
    UpdateDCB();
}

TCustomSerialPort::~TCustomSerialPort()
{
    NotifyFree();
    FDestroying = true;
    SafeSyncUnregister(FSyncId);
    // The core closes the device; OnPortClose is not fired.
    FCore.reset();
}

TComPort* TCustomSerialPort::Sender()
{
    return dynamic_cast<TComPort*>(this);
}

void TCustomSerialPort::Loaded()
{
    TDataConnComponent::Loaded();
    if (FAutoOpen)
        Open();
    else
        UpdateDCB();
}

bool TCustomSerialPort::Active() const
{
    return FCore && FCore->Active();
}

bool TCustomSerialPort::HungUp() const
{
    return Active() && FCore->HungUp();
}

void TCustomSerialPort::Open()
{
    if (Active()) {
        if (!HungUp())
            return;
        Close();
    }
    SafeSyncEnable(FSyncId, true);
    FCore->SetExceptionOwner(ExceptionOwnerId());
    FCore->SetDCB(FDCB);
    FCore->SetInQueueSize(FInBufSize);
    FCore->SetSendBufferSize(FOutBufSize);
    FCore->SetEventThreadPriority(FEventThreadPriority);
    FCore->SetWriteThreadPriority(FWriteThreadPriority);
    FClosing = false;
    {
        std::lock_guard<std::mutex> g(FPendingLock);
        FPending.clear();
    }
    InternalOpen();
    if (OnLatencySetup)
        OnLatencySetup(Sender(), FCore->LatencySetup());
    if (OnPortOpen)
        OnPortOpen(Sender());
}

void TCustomSerialPort::Close()
{
    FClosing = true;
    struct TClearClosing {
        std::atomic<bool>& Flag;
        ~TClearClosing() { Flag = false; }
    } clear{FClosing};
    // Disabled first: an event thread waiting for the main thread is let go
    // at once, so stopping it below cannot wait for this thread.
    SafeSyncEnable(FSyncId, false);
    if (FCore->Active())
        FCore->CloseComPort();
    {
        std::lock_guard<std::mutex> g(FPendingLock);
        FPending.clear();
    }
    if (OnPortClose)
        OnPortClose(Sender());
}

void TCustomSerialPort::SignalError(const std::string& Msg)
{
    if (FRaiseErrors)
        throw EComPortError(Msg + " - " + Name() + " ");
}

void TCustomSerialPort::CheckClosed()
{
    if (Active())
        SignalError(SPortNotClosed);
}

void TCustomSerialPort::WriteData(const void* Buf, int32_t Size)
{
    if (FClosing)
        return;
    if (!FCore->WriteData(Buf, Size)) {
        char msg[128];
        std::snprintf(msg, sizeof msg, SWriteDataError, Size, OutBufFree());
        SignalError(msg);
    }
}

void TCustomSerialPort::WriteString(const std::string& S)
{
    if (!S.empty())
        WriteData(S.data(), static_cast<int32_t>(S.size()));
}

void TCustomSerialPort::ReadData(void* Buf, int32_t Count)
{
    if (FClosing)
        return;
    if (FCore->ReadData(Buf, Count) != Count)
        SignalError(SReadDataError);
}

char TCustomSerialPort::ReadChar()
{
    char c = 0;
    ReadData(&c, 1);
    return c;
}

std::string TCustomSerialPort::ReadString()
{
    if (FClosing)
        return std::string();
    TComStat st;
    FCore->GetComStat(st);
    std::string s(st.cbInQue, '\0');
    if (!s.empty()) {
        const int32_t got = FCore->ReadData(s.data(), static_cast<int32_t>(s.size()));
        // Never hand out bytes that were not read.
        s.resize(got > 0 ? static_cast<size_t>(got) : 0);
    }
    return s;
}

int32_t TCustomSerialPort::InBufUsed()
{
    TComStat st;
    FCore->GetComStat(st);
    return static_cast<int32_t>(st.cbInQue);
}

int32_t TCustomSerialPort::OutBufFree()
{
    return FCore->OutBufFree();
}

int TCustomSerialPort::Handle() const
{
    return FCore->Handle();
}

void TCustomSerialPort::CoreEvent(TComPortCore*, TCoreEvent EventKind, uint32_t Data,
                                  const std::exception_ptr& Exception)
{
    if (FClosing || FDestroying)
        return;
    if (EventKind != ceException && OnNonSyncEvent) {
        OnNonSyncEvent(Sender(), EventKind, Data);
        return;
    }
    uint64_t seq;
    {
        std::lock_guard<std::mutex> g(FPendingLock);
        seq = ++FPendingSeq;
        FPending.push_back({seq, EventKind, Data, Exception});
    }
    if (!SafeSyncCall(FSyncId, SyncTimeoutMs)) {
        {
            std::lock_guard<std::mutex> g(FPendingLock);
            if (!FPending.empty() && FPending.back().Seq == seq)
                FPending.pop_back();
        }
        throw EAbort();
    }
}

void TCustomSerialPort::SyncDispatch()
{
    TPendingEvent ev;
    {
        std::lock_guard<std::mutex> g(FPendingLock);
        if (FPending.empty())
            return;
        ev = std::move(FPending.front());
        FPending.pop_front();
    }
    if (FClosing)
        return;
    // What the port's handlers raise is this port's.
    const TExceptionOwner Owner(ExceptionOwnerId());
    try {
        DispatchCoreEvent(ev.Kind, ev.Data, ev.Exception);
    } catch (...) {
        ApplicationHandleCurrentException();
    }
}

const void* TCustomSerialPort::ExceptionOwnerId()
{
    TComPort* Port = Sender();
    return Port ? static_cast<const void*>(Port) : static_cast<const void*>(this);
}

void TCustomSerialPort::DispatchCoreEvent(TCoreEvent EventKind, uint32_t Data,
                                          const std::exception_ptr& Exception)
{
    if (FClosing || FDestroying)
        return;
    if (OnSyncEvent)
        OnSyncEvent(Sender(), EventKind, Data);
    switch (EventKind) {
    case ceOutFree:
        if (OnOutBufFree)
            OnOutBufFree(Sender());
        break;
    case ceCommEvent: {
        if (Data & EV_RXCHAR) {
            TComStat st;
            FCore->GetComStat(st);
            if (OnDataRecived)
                OnDataRecived(Sender(), static_cast<int32_t>(st.cbInQue));
        }
        const uint32_t errors = FCore->ReadErrors();
        if ((Data & EV_ERR) && OnLineError)
            OnLineError(Sender(), errors);
        if ((Data & EV_CTS) && OnCTSChanged)
            OnCTSChanged(Sender());
        if ((Data & EV_DSR) && OnDSRChanged)
            OnDSRChanged(Sender());
        if ((Data & EV_RING) && OnRINGDetected)
            OnRINGDetected(Sender());
        if ((Data & EV_RLSD) && OnRLSDChanged)
            OnRLSDChanged(Sender());
        break;
    }
    case ceDataReceived:
        if (OnDataRecived)
            OnDataRecived(Sender(), static_cast<int32_t>(Data));
        break;
    case ceException:
        if (Exception && OnHangUp && FCore->HungUp()) {
            std::string Message;
            try {
                std::rethrow_exception(Exception);
            } catch (const std::exception& E) {
                Message = E.what();
            } catch (...) {
            }
            OnHangUp(Sender(), Message);
            break;
        }
        // Reaches the application's exception handler through the call service.
        if (Exception)
            std::rethrow_exception(Exception);
        break;
    }
}

void TCustomSerialPort::UpdateDCB()
{
    TDCB d{};
    d.DCBlength = sizeof(TDCB);
    d.BaudRate = FBaudRate == brUser ? static_cast<uint32_t>(FUserBaudRate) : BaudRateValue(FBaudRate);
    d.ByteSize = static_cast<uint8_t>(4 + FDatabits);
    d.Parity = static_cast<uint8_t>(FParity);
    d.StopBits = static_cast<uint8_t>(FStopbits);
    d.XonChar = FXOnChar;
    d.XoffChar = FXOffChar;
    d.XonLim = FXOnLim;
    d.XoffLim = FXOffLim;
    d.Flags = FlowBits[FFlowControl] | DCB_fBinary;
    for (TComOption o : FOptions)
        d.Flags |= OptionBits[o];
    d.Flags |= LineControlBits(FDTR, FRTS, FFlowControl);
    FDCB = d;
    if (Active()) {
        try {
            FCore->SetDCB(FDCB);
        } catch (...) {
            FDCB = FCore->DCB();
            throw;
        }
    }
}

void TCustomSerialPort::UpdateXLimits()
{
    if (FFlowControl != fwNone) {
        FXOnLim = static_cast<uint16_t>(FInBufSize / 4);
        FXOffLim = static_cast<uint16_t>(FInBufSize - FInBufSize / 4);
    } else {
        FXOnLim = 0;
        FXOffLim = 0;
    }
}

void TCustomSerialPort::ApplyDCB(const TDCB& Rec)
{
    if (Rec.DCBlength != sizeof(TDCB))
        SignalError(SCoreDCBError);
    TakeSettings(Rec);
    UpdateDCB();
}

void TCustomSerialPort::TakeSettings(const TDCB& Rec)
{
    FDCB = Rec;
    FBaudRate = brUser;
    bool matched = false;
    for (int i = br110; i <= brUser; ++i) {
        if (BaudRates[i] == Rec.BaudRate) {
            FBaudRate = static_cast<TBaudrate>(i);
            matched = true;
            break;
        }
    }
    if (!matched)
        FUserBaudRate = static_cast<int32_t>(Rec.BaudRate);
    else if (FBaudRate != brUser)
        FUserBaudRate = 0;
    FDatabits = Rec.ByteSize >= 4 && Rec.ByteSize <= 8 ? static_cast<TDatabits>(Rec.ByteSize - 4) : db8;
    FParity = Rec.Parity <= paSpace ? static_cast<TParity>(Rec.Parity) : paNone;
    FStopbits = Rec.StopBits <= sbTwo ? static_cast<TStopbits>(Rec.StopBits) : sbOne;
    FFlowControl = fwNone;
    for (TFlowControl f : {fwDtrDsr, fwRtsCts, fwXOnXOff, fwNone}) {
        if ((Rec.Flags & FlowBits[f]) == FlowBits[f]) {
            FFlowControl = f;
            break;
        }
    }
    FOptions.clear();
    for (int o = coParityCheck; o <= coStripNull; ++o)
        if (Rec.Flags & OptionBits[o])
            FOptions.insert(static_cast<TComOption>(o));
    FXOnChar = Rec.XonChar;
    FXOffChar = Rec.XoffChar;
    FXOnLim = Rec.XonLim;
    FXOffLim = Rec.XoffLim;
}

void TCustomSerialPort::SetBaudRate(TBaudrate Value)
{
    if (Value == FBaudRate)
        return;
    FBaudRate = Value;
    if (Value != brUser)
        FUserBaudRate = 0;
    UpdateDCB();
}

void TCustomSerialPort::SetDatabits(TDatabits Value)
{
    if (Value == FDatabits)
        return;
    FDatabits = Value;
    UpdateDCB();
}

void TCustomSerialPort::SetDTR(bool Value)
{
    if (Value == FDTR)
        return;
    if (FCore)
        FCore->EscapeComm(Value ? SETDTR : CLRDTR);
    FDTR = Value;
    // The record follows, so that the next Open does not put the line back.
    FDCB.Flags = (FDCB.Flags & ~DCB_fDtrControlMask) | (LineControlBits(FDTR, false, FFlowControl));
}

void TCustomSerialPort::SetFlowControl(TFlowControl Value)
{
    if (Value == FFlowControl)
        return;
    FFlowControl = Value;
    UpdateXLimits();
    UpdateDCB();
}

void TCustomSerialPort::SetInBufSize(int32_t Value)
{
    if (Value == FInBufSize)
        return;
    CheckClosed();
    FInBufSize = Value;
    UpdateXLimits();
}

void TCustomSerialPort::SetOptions(const TComOptions& Value)
{
    if (Value == FOptions)
        return;
    FOptions = Value;
    UpdateDCB();
}

void TCustomSerialPort::SetOutBufSize(int32_t Value)
{
    if (Value == FOutBufSize)
        return;
    CheckClosed();
    FOutBufSize = Value;
}

void TCustomSerialPort::SetParity(TParity Value)
{
    if (Value == FParity)
        return;
    FParity = Value;
    UpdateDCB();
}

void TCustomSerialPort::SetRTS(bool Value)
{
    if (Value == FRTS)
        return;
    if (FCore)
        FCore->EscapeComm(Value ? SETRTS : CLRRTS);
    FRTS = Value;
    FDCB.Flags = (FDCB.Flags & ~DCB_fRtsControlMask) | (LineControlBits(false, FRTS, FFlowControl));
}

void TCustomSerialPort::SetStopbits(TStopbits Value)
{
    if (Value == FStopbits)
        return;
    FStopbits = Value;
    UpdateDCB();
}

void TCustomSerialPort::SetUserBaudRate(int32_t Value)
{
    if (Value == FUserBaudRate)
        return;
    FUserBaudRate = Value;
    FBaudRate = brUser;
    UpdateDCB();
}

void TCustomSerialPort::SetXOnChar(char Value)
{
    if (Value == FXOnChar)
        return;
    FXOnChar = Value;
    UpdateDCB();
}

void TCustomSerialPort::SetXOffChar(char Value)
{
    if (Value == FXOffChar)
        return;
    FXOffChar = Value;
    UpdateDCB();
}

void TCustomSerialPort::SetXOnLim(uint16_t Value)
{
    if (Value == FXOnLim)
        return;
    FXOnLim = Value;
    FXOffLim = static_cast<uint16_t>(FInBufSize - Value);
}

void TCustomSerialPort::SetXOffLim(uint16_t Value)
{
    if (Value == FXOffLim)
        return;
    FXOffLim = Value;
    FXOnLim = static_cast<uint16_t>(FInBufSize - Value);
}

// ---------------------------------------------------------------------------
// TCustomComPort

void TCustomComPort::SetComNumber(uint16_t Value)
{
    if (Value == FComNumber)
        return;
    if (Active()) {
        Close();
        FComNumber = Value;
        Open();
    } else {
        FComNumber = Value;
    }
}

void TCustomComPort::SetDevicePath(const std::string& Value)
{
    if (Value == FDevicePath)
        return;
    if (Active()) {
        Close();
        FDevicePath = Value;
        Open();
    } else {
        FDevicePath = Value;
    }
}

std::string TCustomComPort::PortName() const
{
    return FDevicePath.empty() ? "COM" + std::to_string(FComNumber) : FDevicePath;
}

void TCustomComPort::InternalOpen()
{
    if (BusyHook)
        BusyHook(true);
    try {
        Core()->OpenComPort(FComNumber, FDevicePath);
    } catch (...) {
        if (BusyHook)
            BusyHook(false);
        throw;
    }
    if (BusyHook)
        BusyHook(false);
}

bool TCustomComPort::ExecuteConfigDialog()
{
    if (!ConfigDialogHook)
        return false;
    TDCB rec = DCB();
    if (!ConfigDialogHook(this, rec))
        return false;
    ApplyDCB(rec);
    return true;
}

void TCustomComPort::SetConfigDialogHook(TConfigDialogHook Hook)
{
    ConfigDialogHook = Hook;
}

void TCustomComPort::SetBusyHook(TBusyHook Hook)
{
    BusyHook = Hook;
}
