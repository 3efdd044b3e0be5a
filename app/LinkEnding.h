#pragma once
// Ends the unit's link politely. Acknowledgements from the unit name no
// command: the link reads each as the answer to the last command sent. A
// turn-off or end-of-connection sent while an earlier command's answer is due
// would take that answer for its own, and the port would close before the
// unit has read it. So the last command goes out once the line is quiet, and
// the link ends with the unit's answer to it.
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <functional>

class TCorvex;

class TLinkEndingHost
{
  public:
    virtual void Step(const std::function<void()>& Body) = 0;
    // The unit answered the last command, or did not in time, or its link is gone.
    virtual void LinkEnded() = 0;

  protected:
    ~TLinkEndingHost() = default;
};

class TLinkEnding : public QObject
{
  public:
    enum class THow { None, TurnOff, Close };

    TLinkEnding(TCorvex& Link, TLinkEndingHost& Host);

    // Sends the turn-off or the end of connection once the line is quiet.
    void Start(THow How);
    // Nothing is ending any more.
    void Stop();
    // Stops watching the link (it ended); How stays until Stop.
    void StopWatching();
    // Watches again an ending that was paused.
    void WatchAgain();
    THow How() const { return FHow; }
    bool Ending() const { return FHow != THow::None; }
    // The link is being watched until it ends.
    bool Watching() const { return tEnding.isActive(); }

  private:
    // Before the unit is switched off or let go: no answer due and none for
    // QuietLineMs, waited for at most SettleMaxMs; then its answer to that
    // last command ends the link, waited for at most CloseWaitMs.
    static constexpr int QuietLineMs = 250;
    static constexpr int SettleMaxMs = 1500;
    static constexpr int CloseWaitMs = 3000;
    static constexpr int TickMs = 50;

    void Tick();

    TCorvex& CX;
    TLinkEndingHost& FHost;
    THow FHow = THow::None;
    bool FSent = false;
    QElapsedTimer FClock;
    QTimer tEnding;
};
