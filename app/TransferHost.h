#pragma once
// How a device's transfer procedure (the unit's EEPROM records, the module's
// blocks) reports to the session that owns it. A procedure knows its device's
// protocol and its own cursor; the session keeps the run, the display and
// the confirmation.
#include "app/UpdateDisplay.h"
#include "app/UpdateOutcome.h"

#include <functional>
#include <string>

class TTransferHost
{
  public:
    // Runs a step that comes from the event loop (a timer of the transfer's)
    // the way the host runs all of them: its exception guard, its display.
    virtual void Step(const std::function<void()>& Body) = 0;
    // The update state the transfer has reached.
    virtual void TransferState(TUpdateState State) = 0;
    // The bars as the transfer's cursors stand (the display clamps them), and
    // the progress text beside them.
    virtual void SendBar(int Position, int Maximum) = 0;
    virtual void UpdateBar(int Position, int Maximum) = 0;
    virtual void ProgressText(const std::string& Text) = 0;
    // Every part went out: Certain when the device accepted each one; else
    // the last one went unanswered and the device may or may not have it.
    virtual void TransferComplete(bool Certain) = 0;
    // The transfer cannot go on: how the run ends, and why.
    virtual void TransferFailed(TOutcomeKind Kind, const std::string& Message) = 0;

  protected:
    ~TTransferHost() = default;
};
