#pragma once
// What the command line runs on its event loop — the search for the
// devices, the runs on the ports, a station — each started once and ended
// once with the exit code of the command.
#include <QObject>

class TCliCommand : public QObject
{
    Q_OBJECT

  public:
    using QObject::QObject;

    // Begins the work; the rest happens in the event loop until Finished.
    virtual void Start() = 0;
    bool Done() const { return FDone; }
    int ExitCode() const { return FExitCode; }

  signals:
    void Finished(int ExitCode);

  protected:
    // The command has ended with ExitCode (the first call counts).
    void End(int ExitCode);

  private:
    bool FDone = false;
    int FExitCode = 1;
};

// Starts Command from the event loop of the application and runs the loop
// until it ended: its exit code, or the loop's when it did not end.
int RunCommand(TCliCommand& Command);
