#include "app/LinkEnding.h"

#include "link/Corvex2.h"

namespace
{
// Before the unit is switched off or let go: no answer due and none for
// QuietLineMs, waited for at most SettleMaxMs; then its answer to that last
// command ends the link, waited for at most CloseWaitMs.
constexpr int QuietLineMs = 250;
constexpr int SettleMaxMs = 1500;
constexpr int CloseWaitMs = 3000;
constexpr int TickMs = 50;
} // namespace

TLinkEnding::TLinkEnding(TCorvex& Link, TLinkEndingHost& Host) : CX(Link), FHost(Host)
{
    tEnding.setInterval(TickMs);
    connect(&tEnding, &QTimer::timeout, this, [this] { FHost.Step([this] { Tick(); }); });
}

void TLinkEnding::Start(THow How)
{
    FHow = How;
    FSent = false;
    FClock.start();
    tEnding.start();
    Tick();
}

void TLinkEnding::Stop()
{
    FHow = THow::None;
    tEnding.stop();
}

void TLinkEnding::Pause()
{
    tEnding.stop();
}

void TLinkEnding::Resume()
{
    if (Ending())
        tEnding.start();
}

void TLinkEnding::Tick()
{
    if (FHow == THow::None) {
        tEnding.stop();
        return;
    }
    const bool Connected = CX.Connected();
    if (!FSent) {
        if (Connected && !CX.LineQuiet(QuietLineMs, SettleMaxMs) && FClock.elapsed() < SettleMaxMs)
            return;
        if (Connected) {
            FSent = true;
            FClock.restart();
            if (FHow == THow::TurnOff)
                CX.TurnOff();
            else
                CX.Close(false);
            return;
        }
    } else if (Connected && FClock.elapsed() < CloseWaitMs) {
        return;
    }
    FHost.LinkEnded();
}
