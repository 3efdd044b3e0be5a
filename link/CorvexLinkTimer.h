#pragma once
// TCorvex's connection cycle in time: while it connects, a wake-up every
// 1.5 s (the first 100 ms after Open; the end-of-connection frames go before
// the first of every six); once the unit has answered, a keep-alive after 10 s
// without a command. The link decides what each tick sends.
#include <QTimer>
#include <functional>

class TCX_LinkTimer
{
  public:
    // Before each tick: whether the port is open (the link opens it when it
    // can). While it is not, the tick does nothing more.
    std::function<bool()> OnPortCheck;
    // Time to wake the unit; EndFramesFirst on the first of every six attempts.
    std::function<void(bool EndFramesFirst)> OnWakeUp;
    // Time for a keep-alive.
    std::function<void()> OnKeepAlive;

    // Whom an exception of a tick belongs to (see TExceptionOwner).
    const void* ExceptionOwner = nullptr;

    TCX_LinkTimer();

    // Starts connecting: the first wake-up 100 ms from now, the attempts counted afresh.
    void Connect();
    // The unit answered: connected, the next keep-alive one interval from now.
    void KeepAliveFromNow();
    // Stopped and set for the keep-alive; Start (a command sent) runs it again.
    void HoldKeepAlive();
    void Start();
    void Stop();
    void ResetAttempts() { FOpenAttempts = 0; }

    bool Enabled() const { return FTimer.isActive(); }
    int Interval() const { return FTimer.interval(); }
    int Tag() const { return FTag; } // 1 = connecting, 0 = connected
    int OpenAttempts() const { return FOpenAttempts; }
    // Wake-ups sent since Connect; above 1, the unit left one unanswered.
    int WakeUps() const { return FWakeUps; }

  private:
    void Tick();

    QTimer FTimer;
    int FTag = 0;
    int FOpenAttempts = 0;
    int FWakeUps = 0;
};
