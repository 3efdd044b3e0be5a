#include "widgets/ComPortConfigDialog.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGuiApplication>
#include <QIntValidator>
#include <QLineEdit>

namespace
{

const uint32_t FlowMask = 0x0300 | 0x2004 | 0x0028;
const uint32_t FlowBits[4] = {0x0000, 0x0300, 0x2004, 0x0028};

int FlowIndex(uint32_t Flags)
{
    // The same order as the component's reading of a record.
    for (int i : {3, 2, 1})
        if ((Flags & FlowBits[i]) == FlowBits[i])
            return i;
    return 0;
}

void BusyCursor(bool Busy)
{
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return;
    if (Busy)
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QGuiApplication::restoreOverrideCursor();
}

} // namespace

TComPortConfigDialog::TComPortConfigDialog(const QString& PortName, const TDCB& Rec, QWidget* Parent)
    : QDialog(Parent), FRec(Rec)
{
    setWindowTitle(PortName + " Properties");
    auto* form = new QFormLayout;

    BaudRate = new QComboBox(this);
    BaudRate->setObjectName("BaudRate");
    BaudRate->setEditable(true);
    BaudRate->setValidator(new QIntValidator(1, 12000000, BaudRate));
    for (int b = br110; b <= br256000; ++b)
        BaudRate->addItem(QString::number(BaudRateValue(static_cast<TBaudrate>(b))));
    BaudRate->setCurrentText(QString::number(Rec.BaudRate));
    form->addRow("Bits per second:", BaudRate);

    DataBits = new QComboBox(this);
    DataBits->setObjectName("DataBits");
    for (int d = 4; d <= 8; ++d)
        DataBits->addItem(QString::number(d), d);
    DataBits->setCurrentIndex(std::max(0, DataBits->findData(static_cast<int>(Rec.ByteSize))));
    form->addRow("Data bits:", DataBits);

    Parity = new QComboBox(this);
    Parity->setObjectName("Parity");
    Parity->addItems({"None", "Odd", "Even", "Mark", "Space"});
    Parity->setCurrentIndex(Rec.Parity <= SPACEPARITY ? Rec.Parity : 0);
    form->addRow("Parity:", Parity);

    StopBits = new QComboBox(this);
    StopBits->setObjectName("StopBits");
    StopBits->addItems({"1", "1.5", "2"});
    StopBits->setCurrentIndex(Rec.StopBits <= TWOSTOPBITS ? Rec.StopBits : 0);
    form->addRow("Stop bits:", StopBits);

    FlowControl = new QComboBox(this);
    FlowControl->setObjectName("FlowControl");
    FlowControl->addItems({"None", "Xon / Xoff", "RTS / CTS", "DTR / DSR"});
    FlowControl->setCurrentIndex(FlowIndex(Rec.Flags));
    form->addRow("Flow control:", FlowControl);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    form->addRow(buttons);
    setLayout(form);
}

TDCB TComPortConfigDialog::Result() const
{
    TDCB r = FRec;
    bool ok = false;
    const uint32_t rate = BaudRate->currentText().toUInt(&ok);
    if (ok && rate > 0)
        r.BaudRate = rate;
    r.ByteSize = static_cast<uint8_t>(DataBits->currentData().toInt());
    r.Parity = static_cast<uint8_t>(Parity->currentIndex());
    r.StopBits = static_cast<uint8_t>(StopBits->currentIndex());
    const int flow = std::max(0, FlowControl->currentIndex());
    r.Flags &= ~FlowMask;
    if (flow == 2)
        r.Flags &= ~DCB_fRtsControlMask;
    if (flow == 3)
        r.Flags &= ~DCB_fDtrControlMask;
    r.Flags |= FlowBits[flow];
    return r;
}

bool ExecComPortConfigDialog(TCustomComPort* Port, TDCB& Rec)
{
    TComPortConfigDialog dlg(QString::fromStdString(Port->PortName()), Rec, QApplication::activeWindow());
    if (dlg.exec() != QDialog::Accepted)
        return false;
    Rec = dlg.Result();
    return true;
}

void InstallComPortConfigDialog()
{
    TCustomComPort::SetConfigDialogHook(&ExecComPortConfigDialog);
    TCustomComPort::SetBusyHook(&BusyCursor);
}
