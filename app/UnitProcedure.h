#pragma once
// The Veltrac tracking unit on its link (CX): woken and identified, offered
// its own newest firmware, asked for its receiver's version (65352, 65354),
// sent an image as EEPROM records, followed by its logger status while it
// programs, and let go of by a turn-off or an end of connection once its
// line is quiet.
#include "app/DeviceProcedure.h"
#include "app/LinkEnding.h"
#include "app/UnitTransfer.h"
#include "link/Corvex2.h"

#include <QObject>
#include <QTimer>

class TSoftwareVersionCollection;

class TUnitProcedure : public QObject,
                       public TDeviceProcedure,
                       private TTransferToEvents<TTransferHost>,
                       private TLinkEndingHost
{
  public:
    explicit TUnitProcedure(TProcedureEvents& Events);
    ~TUnitProcedure() override;

    // How long the unit is listened to, after its version information and
    // after refused records, for a logger status that shows it programming,
    // before anything that changes it is sent (default 3 s).
    void SetListenTime(int Milliseconds) { tListen.setInterval(Milliseconds > 0 ? Milliseconds : 1); }
    // The unit firmware the unit is offered (from the firmware package); may be null.
    void SetUnitFirmware(const TSoftwareVersionCollection* Firmware) { FUnitFirmware = Firmware; }

    // ---- TDeviceProcedure ----
    void SetDevicePath(const std::string& Path) override;
    void SetLamps(TCX_Lamp* Tx, TCX_Lamp* Rx, TCX_Lamp* GPSData) override;
    void Open(int ComNumber, bool MayBeProgramming) override;
    void Close() override;
    void DropPort() override;
    bool PortOpen() const override { return CX.Active(); }
    std::string DevicePath() const override;
    uint32_t LineRate() const override;
    uint64_t BytesSent() const override { return CX.BytesSent(); }
    bool OwnsException(const void* Owner) const override;
    void Reset() override;
    void StateEntered(TUpdateState State) override;
    std::string CannotSend() const override;
    bool RecoveryPossible() const override;
    bool ReceiverCannotReport() const override { return FReceiverCannotReport; }
    std::string ImageProblem(const std::string& Image, const std::string& Name) const override;
    bool SendImage(const std::string& Image, const std::string& Name) override;
    void StopTransfer() override {}
    const TProgressBarState* CountingBar(TUpdateState State, const TUpdateDisplay& Shown) const override;
    void Follow() override;
    void ProgrammingEnded() override;
    void LetGo() override;
    void RunBegins() override {}
    void RunEnded(const TUpdateOutcome& Outcome) override;
    bool TurnOff() override;
    bool EndLink() override;
    bool Ending() const override { return FLinkEnding.Ending(); }
    bool EndingWatched() const override { return FLinkEnding.Watching(); }

    // Asks the unit for its version information again until it arrives.
    QTimer tVersionRetry;

    // Read-only, for front ends that report on the link (and for tests).
    const TCorvex& Link() const { return CX; }
    const TUnitTransfer& Transfer() const { return FTransfer; }
    // The unit offered its own firmware on this connection (-1: none).
    int32_t UpdatedUnitID() const { return FUpdatedUnitID; }

  private:
    // ---- Link events ----
    void AfterOpen();
    void GotVersionInfo(const TCX_VersionInfo& Info);
    void SoftwareUpdate(int32_t Block, int32_t Percent);
    void GPSLocation();
    void RequestParameter(int32_t Parameter, const std::string& Value);
    void LoggerStatusReceived(const TCX_LoggerStatus& Status);
    void VersionRetryTick();
    // A link event as a step of the session's.
    template <typename... A> auto Event(void (TUnitProcedure::*Method)(A...));

    // ---- TTransferHost, TLinkEndingHost ----
    void Step(const std::function<void()>& Body) override { FEvents.Step(Body); }
    // Records refused in a row: the unit is listened to for a logger status.
    void RecordsRefused();
    // The listening time passed without a logger status: the unit is not programming.
    void Listened();
    void LinkEnded() override;

    // Nothing of the update runs on; the link ends once the line is quiet.
    void StartEnding(TLinkEnding::THow How);

    TCorvex CX;
    TUnitTransfer FTransfer;
    TLinkEnding FLinkEnding;
    TCX_Lamp* lGPSData = nullptr;
    const TSoftwareVersionCollection* FUnitFirmware = nullptr;
    std::string FDevicePath;

    // A version information was asked for and has not arrived yet.
    bool FAwaitingVersion = false;
    // Listens for a logger status before anything that changes the unit goes out.
    QTimer tListen;
    // While its receiver is followed, no word from the unit for this long: it
    // is woken again at 9600, as after a restart of its own.
    QTimer tSilence;
    // The unit is known not to be programming: it was listened to.
    bool FIdleKnown = false;
    // The unit's own firmware, offered once the unit is known to be idle.
    std::string FOffer;
    // What the receiver reported before then, told once it is known idle.
    std::string FHeldVersion;
    bool FHeldUnreadable = false;
    int32_t FUpdatedUnitID = -1;
    bool FReceiverCannotReport = false;
};
