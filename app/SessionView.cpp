#include "app/SessionView.h"

namespace
{
// The status line says a freshly opened device is silent after 10 s, then every 30 s.
constexpr int FirstSilenceMs = 10000;
constexpr int SilenceStepMs = 30000;
} // namespace

TSessionView::TSessionView()
{
    connect(&tSilence, &QTimer::timeout, this, [this] {
        Enter();
        FSilentSeconds += tSilence.interval() / 1000;
        const int Said = FSilentSeconds * 1000;
        tSilence.setInterval(Said < SilenceStepMs ? SilenceStepMs - Said : SilenceStepMs);
        Leave();
    });
}

void TSessionView::Enter()
{
    if (FDepth++ == 0)
        FAtEntry = Display;
}

void TSessionView::Leave()
{
    if (--FDepth != 0)
        return;
    UpdateStatus();
    if (!(Display == FAtEntry) && OnChanged)
        OnChanged();
}

void TSessionView::UpdateStatus()
{
    TStatusFacts F = Facts ? Facts() : TStatusFacts();
    F.SilentSeconds = FSilentSeconds;
    const TSessionStatus Status = SessionStatus(Display, F);
    Display.Status = Status.Text;
    Display.StatusStep = Status.Step;
}

void TSessionView::DeviceOpened()
{
    FSilentSeconds = 0;
    tSilence.start(FirstSilenceMs);
}

void TSessionView::DeviceHeard()
{
    tSilence.stop();
    FSilentSeconds = 0;
}
