#pragma once
// The receiver transfer to an External GPS module: block 0 ("R" and the page
// count) at 9600 baud; once the module has answered, the line goes to 57600
// while the receiver prepares (dots); at its ready status the "S"/"T" blocks
// follow one at a time, each sent again after 2 s without a status. A module
// that stays quiet is started again from identification by the owner.
#include "app/TransferHost.h"
#include "firmware/ReceiverImages.h"

#include <QObject>
#include <QTimer>
#include <string>
#include <vector>

class TModuleLink;
enum class TModuleStatus;

class TModuleTransferHost : public TTransferHost
{
  public:
    // The module left the transfer or went quiet: identification starts again.
    virtual void StartAgain() = 0;
    // The module refused a block (status 02): the transfer is over.
    virtual void BlockRefused() = 0;
    // A block went out again: the module gave no status for it.
    virtual void BlockSentAgain() = 0;

  protected:
    ~TModuleTransferHost() = default;
};

class TModuleTransfer : public QObject
{
  public:
    static constexpr int PreparingDots = 1189; // the send bar's maximum while the module prepares

    TModuleTransfer(TModuleLink& Link, TModuleTransferHost& Host);

    // Checks Image and, when it is a MediaTek receiver image, cuts it into
    // blocks and sends block 0. Otherwise nothing is sent.
    TMediaTekCheck Start(const std::string& Image);
    // Ends the transfer: no block goes out any more.
    void Stop();
    bool Active() const { return FPhase != TPhase::None; }

    // The module's side, as the owner hears it (statuses only while no
    // confirmation runs).
    void ReceiverReady(); // the answer to block 0
    void Dot();           // the receiver prepares
    void Status(TModuleStatus Status);
    // What the timer does (the owner's TimerE3 period for the transfer).
    void RetryTick();

    const std::vector<std::string>& Blocks() const { return FBlocks; }
    int Cursor() const { return FCursor; }

    QTimer tBlockRetry; // 2 s: the current block again, or a sign of life awaited

  private:
    enum class TPhase { None, Starting, Preparing, Sending, Sent };
    static constexpr int BlockRetryMs = 2000;
    // Periods without a sign before the module's first block status, and
    // repeats of one unanswered block (a module waits about 15 s for a block),
    // before identification starts again.
    static constexpr int QuietPeriods = 5;
    static constexpr int BlockRepeats = 7;

    void Send(const std::string& Block);
    void NextBlock();
    void Phase(TPhase Value, TUpdateState State);

    TModuleLink& MX;
    TModuleTransferHost& FHost;
    TPhase FPhase = TPhase::None;
    std::vector<std::string> FBlocks;
    int FCursor = 0; // the block sent last (0: block 0, the image start)
    int FDots = 0;
    // Timer periods without progress: the current block sent again, or no
    // sign from a preparing module.
    int FStallTicks = 0;
};
