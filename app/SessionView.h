#pragma once
// What the update session shows, as plain data (the window's panels, bars and
// status line), and when its front end is told: once, as the outermost entry
// into the session ends, if something shown changed. It also counts how long
// a freshly opened device has stayed silent, for the status line.
#include "app/SessionStatus.h"
#include "app/UpdateDisplay.h"

#include <QObject>
#include <QTimer>
#include <functional>

class TSessionView : public QObject
{
  public:
    TSessionView();

    TUpdateDisplay Display;
    // The facts the status line needs besides the display, gathered as an entry ends.
    std::function<TStatusFacts()> Facts;
    // Something shown changed in the entry that just ended.
    std::function<void()> OnChanged;

    // Entries nest; the outermost one's end writes the status line.
    void Enter();
    void Leave();
    struct TEntry {
        TSessionView& View;
        explicit TEntry(TSessionView& V) : View(V) { View.Enter(); }
        ~TEntry() { View.Leave(); }
    };
    void UpdateStatus();

    // The device was just opened and has said nothing yet; it has been heard (or is gone).
    void DeviceOpened();
    void DeviceHeard();
    int SilentSeconds() const { return FSilentSeconds; }

  private:
    int FDepth = 0;
    TUpdateDisplay FAtEntry;
    QTimer tSilence;
    int FSilentSeconds = 0;
};
