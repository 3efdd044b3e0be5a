#include "app/ModuleTransfer.h"

#include "app/UpdateDisplay.h"
#include "link/ModuleLink.h"
#include "serial/ComPort.h"

#include <algorithm>

TModuleTransfer::TModuleTransfer(TModuleLink& Link, TModuleTransferHost& Host) : MX(Link), FHost(Host)
{
    tBlockRetry.setInterval(BlockRetryMs);
    connect(&tBlockRetry, &QTimer::timeout, this, [this] { FHost.Step([this] { RetryTick(); }); });
}

TMediaTekCheck TModuleTransfer::Start(const std::string& Image)
{
    Stop();
    MX.Port().SetBaudRate(br9600);
    const TMediaTekCheck Check = CheckMediaTekImage(Image);
    if (Check != TMediaTekCheck::Ok)
        return Check;
    FBlocks = ModuleTransferBlocks(Image);
    FPhase = TPhase::Starting;
    FHost.SendBar(0, PreparingDots);
    // Block 0 starts the transfer; the module pulls the image's blocks after it.
    FHost.UpdateBar(0, static_cast<int>(FBlocks.size()) - 1);
    Send(FBlocks[0]);
    return Check;
}

void TModuleTransfer::Stop()
{
    FPhase = TPhase::None;
    tBlockRetry.stop();
    FBlocks.clear();
    FCursor = 0;
    FDots = 0;
    FStallTicks = 0;
}

void TModuleTransfer::Phase(TPhase Value, TUpdateState State)
{
    FPhase = Value;
    FHost.TransferState(State);
}

// Each block (and block 0) starts the period again.
void TModuleTransfer::Send(const std::string& Block)
{
    tBlockRetry.stop();
    tBlockRetry.start();
    MX.SendToGPS(Block);
}

// The module answered block 0: it prepares its receiver and listens at 57600.
void TModuleTransfer::ReceiverReady()
{
    if (FPhase == TPhase::None)
        return;
    Phase(TPhase::Preparing, TUpdateState::ModuleWaiting);
    FHost.ProgressText(SessionText::Waiting);
    MX.Port().SetBaudRate(br57600);
}

void TModuleTransfer::Dot()
{
    if (FPhase == TPhase::None)
        return;
    Phase(TPhase::Preparing, TUpdateState::ModuleWaiting);
    FStallTicks = 0;
    FHost.ProgressText(SessionText::Preparing);
    FDots = FDots < PreparingDots ? FDots + 1 : PreparingDots;
    FHost.SendBar(FDots, PreparingDots);
}

void TModuleTransfer::Status(TModuleStatus Status)
{
    // Statuses with no transfer under way (late ones after a restart) start nothing.
    if (FPhase == TPhase::None)
        return;
    switch (Status) {
    case TModuleStatus::Ready:
        FHost.ProgressText(SessionText::Updating);
        MX.SendAcknowledge();
        FHost.SendBar(PreparingDots, PreparingDots);
        Phase(TPhase::Sending, TUpdateState::Busy);
        NextBlock();
        break;
    case TModuleStatus::Accepted:
        MX.SendAcknowledge();
        NextBlock();
        break;
    case TModuleStatus::Refused:
        Stop();
        FHost.BlockRefused();
        break;
    case TModuleStatus::Other:
        break;
    }
}

void TModuleTransfer::NextBlock()
{
    const int Count = static_cast<int>(FBlocks.size());
    if (FCursor >= Count)
        return;
    ++FCursor;
    FStallTicks = 0;
    FHost.ProgressText(std::to_string((FCursor - 1) * 100 / std::max(Count - 1, 1)) + "%");
    FHost.UpdateBar(FCursor - 1, Count - 1);
    if (FCursor < Count) {
        Send(FBlocks[static_cast<std::size_t>(FCursor)]);
    } else if (FPhase == TPhase::Sending) {
        // Every block accepted: the module programs its receiver. The owner
        // starts again from identification (the acknowledgement still goes
        // out at the fast rate) and asks for the version until it confirms.
        FPhase = TPhase::Sent;
        tBlockRetry.stop();
        FHost.TransferComplete(true);
        FHost.StartAgain();
    }
}

void TModuleTransfer::RetryTick()
{
    const int Count = static_cast<int>(FBlocks.size());
    switch (FPhase) {
    case TPhase::Starting:
    case TPhase::Preparing:
        // A module that went quiet before its first block status (block 0 or
        // its answer lost, the ready status lost) has given up or never
        // started: identification starts again.
        if (++FStallTicks > QuietPeriods) {
            Stop();
            FHost.StartAgain();
            return;
        }
        if (FPhase == TPhase::Starting)
            MX.Port().SetBaudRate(br57600);
        break;
    case TPhase::Sending:
        if (FCursor >= Count)
            break;
        // A block that stays unanswered after a few repeats means the module
        // left the transfer (and its speed), or, for the last block, that it
        // took the block and programs while its status was lost. Either way
        // identification starts again, which follows the module and reads the
        // receiver's version; after the last block nothing is sent again
        // until the module shows it never programmed.
        if (FStallTicks >= BlockRepeats) {
            const bool Last = FCursor == Count - 1;
            Stop();
            if (Last)
                FHost.TransferComplete(false);
            FHost.StartAgain();
            return;
        }
        ++FStallTicks;
        FHost.BlockSentAgain();
        Send(FBlocks[static_cast<std::size_t>(FCursor)]);
        break;
    case TPhase::None:
    case TPhase::Sent:
        tBlockRetry.stop();
        break;
    }
}
