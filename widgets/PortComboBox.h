#pragma once
// TPortComboBox: a drop-down list of the machine's serial ports ("COM %d"),
// found by probing each number; busy ports are drawn grey while the list is
// dropped down. Beside each port the dropped-down list names its adapter;
// the tooltip adds the device path and the by-id link. The list is probed
// afresh whenever it drops down, and follows devices that come and go. It
// can drive a TComPort directly: picking a port sets the port's ComNumber.
#include "serial/ComPort.h"
#include "serial/PortControls.h"
#include "serial/PortWatcher.h"

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

    // Refills the list by probing 1..MaxComPorts (never a port this process
    // holds, nor one PortKept names). The selected port stays selected, followed by its by-id link
    // when it has one; with none selected, none is.
    void UpdatePortList();
    // After devices came or went: probes only the ports whose device changed.
    void RefreshChangedPorts();
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
    // What the dropped-down list shows beside item Index's "COM n".
    QString ItemDescription(int Index) const;

    // The item data roles: that value, the description, the port map's path
    // and the by-id link.
    static constexpr int PortValueRole = Qt::UserRole;
    static constexpr int DescriptionRole = Qt::UserRole + 1;
    static constexpr int PathRole = Qt::UserRole + 2;
    static constexpr int ByIdRole = Qt::UserRole + 3;

    // Port numbers the owner keeps for a device that may be programming
    // (its link gone for the moment): never opened to look at them.
    std::function<bool(int ComNumber)> PortKept;

    // The inherited change notification, after ComNumber is updated.
    std::function<void(TPortComboBox* Sender)> OnChange;

    void showPopup() override;

  protected:
    void showEvent(QShowEvent* Event) override;
    void changeEvent(QEvent* Event) override;

  private:
    void FillItems();
    // Remembers the selected item's adapter, to find it again after a refill.
    void RememberSelection();
    void RestoreSelection();

    TComPort* FComPort = nullptr;
    TPortCtlOptions FOptions{pcCheckExist};
    int16_t FMaxComPorts = 4;
    uint16_t FComNumber = 0;
    bool FFilled = false;
    TPortStatusMap FPorts;
    TPortWatcher* FWatcher = nullptr;
    // The selection as the adapter's stable name (by-id), else the port
    // map's path, else the number; all empty/0 when nothing is selected.
    std::string FSelectedById, FSelectedPath;
    int FSelectedNumber = 0;
};
