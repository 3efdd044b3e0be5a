#include "link/CorvexLinkTimer.h"

#include "serial/AppException.h"

namespace
{

constexpr int WakeUpInterval = 1500;
constexpr int KeepAliveInterval = 10000;
constexpr int FirstWakeUpDelay = 100;
constexpr int AttemptsPerEndFrames = 6;

} // namespace

TCX_LinkTimer::TCX_LinkTimer()
{
    FTimer.setInterval(KeepAliveInterval);
    QObject::connect(&FTimer, &QTimer::timeout, &FTimer, [this] {
        const TExceptionOwner Owner(ExceptionOwner);
        try {
            Tick();
        } catch (...) {
            ApplicationHandleCurrentException();
        }
    });
}

void TCX_LinkTimer::Connect()
{
    FTimer.stop();
    FOpenAttempts = 0;
    FWakeUps = 0;
    FTag = 1;
    FTimer.setInterval(FirstWakeUpDelay);
    FTimer.start();
}

void TCX_LinkTimer::KeepAliveFromNow()
{
    FTimer.stop();
    FTag = 0;
    FTimer.setInterval(KeepAliveInterval);
    FTimer.start();
}

void TCX_LinkTimer::HoldKeepAlive()
{
    FTimer.stop();
    FTimer.setInterval(KeepAliveInterval);
    FTag = 0;
}

void TCX_LinkTimer::Start()
{
    FTimer.start();
}

void TCX_LinkTimer::Stop()
{
    FTimer.stop();
}

void TCX_LinkTimer::Tick()
{
    if (OnPortCheck && !OnPortCheck())
        return;
    if (FTag == 1) {
        FTimer.setInterval(WakeUpInterval);
        const bool First = FOpenAttempts == 0;
        FOpenAttempts = FOpenAttempts >= AttemptsPerEndFrames - 1 ? 0 : FOpenAttempts + 1;
        ++FWakeUps;
        if (OnWakeUp)
            OnWakeUp(First);
    } else {
        FTimer.setInterval(KeepAliveInterval);
        FTag = 0;
        if (OnKeepAlive)
            OnKeepAlive();
    }
}
