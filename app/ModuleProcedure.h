#pragma once
// The External GPS module on its port (cCom1): identified (TimerE3 asks
// until it answers), its controller brought to the firmware the tool carries
// (the controller pulls it block by block), its receiver asked for its
// version ("Q"), sent an image as blocks, and followed through its statuses
// and restarts while it programs; a module that is done is let go of.
#include "app/DeviceProcedure.h"
#include "app/ModuleTransfer.h"
#include "firmware/SoftUpdate.h"
#include "link/ModuleLink.h"

#include <QObject>
#include <QTimer>

class TModuleProcedure : public QObject,
                         public TDeviceProcedure,
                         private TTransferToEvents<TModuleTransferHost>
{
  public:
    static constexpr int RetryMs = 2000;

    explicit TModuleProcedure(TProcedureEvents& Events);
    ~TModuleProcedure() override;

    // The controller firmware the module is given when it runs an older one.
    void UseControllerFirmware(const TSoftwareVersionCollection& Versions);

    // ---- TDeviceProcedure ----
    void SetDevicePath(const std::string& Path) override;
    void SetLamps(TCX_Lamp* Tx, TCX_Lamp* Rx, TCX_Lamp* GPSData) override;
    void Open(int ComNumber, bool MayBeProgramming) override;
    void Close() override;
    void DropPort() override;
    bool PortOpen() const override { return MX.Port().Active(); }
    std::string DevicePath() const override;
    uint32_t LineRate() const override;
    uint64_t BytesSent() const override { return MX.BytesSent(); }
    bool OwnsException(const void* Owner) const override;
    void Reset() override;
    void StateEntered(TUpdateState State) override;
    std::string CannotSend() const override;
    bool RecoveryPossible() const override { return true; }
    bool ReceiverCannotReport() const override { return false; }
    std::string ImageProblem(const std::string& Image, const std::string& Name) const override;
    bool SendImage(const std::string& Image, const std::string& Name) override;
    void StopTransfer() override { FTransfer.Stop(); }
    const TProgressBarState* CountingBar(TUpdateState State, const TUpdateDisplay& Shown) const override;
    void Follow() override;
    void ProgrammingEnded() override {}
    void LetGo() override {}
    void RunBegins() override { FControllerSent = false; }
    void RunEnded(const TUpdateOutcome& Outcome) override;
    bool TurnOff() override;
    bool EndLink() override { return true; }
    bool Ending() const override { return false; }
    bool EndingWatched() const override { return false; }

    // Bytes from the module as if read from its port (replays and tests).
    void Received(const std::string& Bytes);
    // The identify question and the receiver's version question, as TimerE3 sends them.
    void SendModuleIdentify();
    void SendToGPS(const std::string& Text);

    // What TimerE3 asks: who the module is, then its receiver's version.
    void TimerE3Timer();
    // Asks the module who it is, or its receiver's version, until it answers.
    QTimer TimerE3;

    // Read-only, for front ends that report on the link (and for tests).
    const TModuleLink& Link() const { return MX; }
    const TComPort& Port() const { return MX.Port(); }
    const TModuleTransfer& Transfer() const { return FTransfer; }
    const TSoftwareUpdate& ControllerFirmware() const { return FModuleUpdate; }

  private:
    // ---- Module link and port events ----
    void PortOpened();
    void Identity(const TModuleIdentity& Identity);
    void Status(TModuleStatus Status);
    void ControllerProgress(bool Active, double Percent);
    // A module link event as a step of the session's.
    template <typename... A> auto Event(void (TModuleProcedure::*Method)(A...));

    // ---- TModuleTransferHost ----
    void StartAgain() override { FEvents.StartAgain(); }
    void BlockRefused() override;
    void BlockSentAgain() override { FEvents.Run().Repeated(TRunRecord::TRepeat::Block); }

    TModuleLink MX; // owns the module's port cCom1
    TComPort& cCom1;
    TModuleTransfer FTransfer;
    // The controller firmware the module's loader pulls.
    TSoftwareUpdate FModuleUpdate;
    // The controller pulled its firmware to the end in this run and restarts on it.
    bool FControllerSent = false;
};
