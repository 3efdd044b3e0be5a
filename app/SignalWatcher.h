#pragma once
// SIGINT, SIGTERM and SIGHUP as Qt signals in the main thread. The handler
// only writes the signal's number to a pipe; the event loop reads it, so
// whatever the program does about it runs where everything else runs.
#include <QObject>
#include <memory>
#include <string>

class QSocketNotifier;

class TSignalWatcher : public QObject
{
    Q_OBJECT

  public:
    // Installs the handlers (once per process; SIGPIPE is ignored as well).
    // False with Error when the pipe cannot be made.
    static bool Install(std::string* Error = nullptr);

    explicit TSignalWatcher(QObject* Parent = nullptr);
    ~TSignalWatcher() override;

  signals:
    // The last of the signals that arrived since the previous emission.
    void Signalled(int Signal);

  private:
    std::unique_ptr<QSocketNotifier> FNotifier;
};

// "SIGINT", "SIGTERM", "SIGHUP", else "signal N".
std::string SignalName(int Signal);
