#pragma once
// A small dialog for the line settings of a port (rate, data bits, parity,
// stop bits, flow control), shown by TComPort::ExecuteConfigDialog once
// InstallComPortConfigDialog has plugged it into the serial layer.
#include "serial/ComPort.h"

#include <QDialog>

class QComboBox;

class TComPortConfigDialog : public QDialog
{
  public:
    TComPortConfigDialog(const QString& PortName, const TDCB& Rec, QWidget* Parent = nullptr);

    // The record with the chosen settings; a rate that is not a number keeps
    // the old one.
    TDCB Result() const;

    QComboBox* BaudRate;
    QComboBox* DataBits;
    QComboBox* Parity;
    QComboBox* StopBits;
    QComboBox* FlowControl;

  private:
    TDCB FRec;
};

// Shows the dialog for Port, modal to the active window; on OK writes the
// settings into Rec and returns True.
bool ExecComPortConfigDialog(TCustomComPort* Port, TDCB& Rec);

// Installs the dialog and the busy cursor into the serial layer's hooks.
void InstallComPortConfigDialog();
