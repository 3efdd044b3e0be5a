#pragma once
// TPortComboBox: a drop-down list of the machine's serial ports ("COM %d"),
// found by probing each number; busy ports are drawn grey while the list is
// dropped down, and the device path shows as the item's tooltip. It can drive
// a TComPort directly: picking a port sets the port's ComNumber.
#include "serial/ComPort.h"
#include "serial/PortControls.h"

#include <QColor>
#include <QComboBox>

#include <cstdint>
#include <functional>

class TPortComboBox : public QComboBox
{
  public:
    explicit TPortComboBox(QWidget* Parent = nullptr);
    ~TPortComboBox() override;

    TComPort* ComPort() const { return FComPort; }
    void SetComPort(TComPort* Value);
    const TPortCtlOptions& Options() const { return FOptions; }
    void SetOptions(const TPortCtlOptions& Value);
    int16_t MaxComPorts() const { return FMaxComPorts; }
    void SetMaxComPorts(int16_t Value);
    // Port number of the selected item; 0 = none.
    uint16_t ComNumber() const { return FComNumber; }
    void SetComNumber(uint16_t Value);

    // Refills the list by probing 1..MaxComPorts; leaves no item selected.
    void UpdatePortList();
    void SelectPort();
    // What picking an item runs (also callable directly). A failure of the
    // port propagates after the list has been refilled and the selection
    // restored; picks by the user hand it to the application's handler.
    void Change();

    // The probe result carried by item Index (number + state × 65536).
    uint32_t ItemValue(int Index) const;
    // The text colour of item Index as drawn; invalid = the style's own.
    QColor ItemTextColor(int Index, bool SelectedOrFocused, bool DroppedDown) const;
    int ItemHeight() const;

    // The inherited change notification, after ComNumber is updated.
    std::function<void(TPortComboBox* Sender)> OnChange;

  protected:
    void showEvent(QShowEvent* Event) override;
    void changeEvent(QEvent* Event) override;

  private:
    TComPort* FComPort = nullptr;
    TPortCtlOptions FOptions{pcCheckExist};
    int16_t FMaxComPorts = 4;
    uint16_t FComNumber = 0;
    bool FFilled = false;
};
