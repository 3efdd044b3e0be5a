#include "app/LinkEnding.h"

#include "link/Corvex2.h"

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

void TLinkEnding::StopWatching()
{
    tEnding.stop();
}

void TLinkEnding::WatchAgain()
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
