#include "widgets/PortComboBox.h"

#include "serial/AppException.h"
#include "widgets/ComPortConfigDialog.h"

#include <QAbstractItemView>
#include <QEvent>
#include <QPainter>
#include <QSignalBlocker>
#include <QStyledItemDelegate>

#include <cstdlib>
#include <filesystem>

namespace
{

constexpr int PortValueRole = Qt::UserRole;

class TPortItemDelegate : public QStyledItemDelegate
{
  public:
    explicit TPortItemDelegate(TPortComboBox* Combo) : QStyledItemDelegate(Combo), FCombo(Combo) {}

    void paint(QPainter* Painter, const QStyleOptionViewItem& Option, const QModelIndex& Index) const override
    {
        QStyleOptionViewItem opt = Option;
        const bool marked = Option.state & (QStyle::State_Selected | QStyle::State_HasFocus);
        const QColor c = FCombo->ItemTextColor(Index.row(), marked, FCombo->view()->isVisible());
        if (c.isValid()) {
            opt.palette.setColor(QPalette::Text, c);
            opt.palette.setColor(QPalette::WindowText, c);
        }
        QStyledItemDelegate::paint(Painter, opt, Index);
    }

    QSize sizeHint(const QStyleOptionViewItem& Option, const QModelIndex& Index) const override
    {
        QSize s = QStyledItemDelegate::sizeHint(Option, Index);
        s.setHeight(FCombo->ItemHeight());
        return s;
    }

  private:
    TPortComboBox* FCombo;
};

QString DeviceToolTip(const std::string& Path)
{
    std::error_code ec;
    const auto real = std::filesystem::canonical(Path, ec);
    if (ec || real.string() == Path)
        return QString::fromStdString(Path);
    return QString::fromStdString(Path + " \u2192 " + real.string());
}

} // namespace

TPortComboBox::TPortComboBox(QWidget* Parent) : QComboBox(Parent)
{
    // Any window with a port list can show the line-settings dialog.
    InstallComPortConfigDialog();
    view()->setItemDelegate(new TPortItemDelegate(this));
    connect(this, QOverload<int>::of(&QComboBox::activated), this, [this](int) {
        try {
            Change();
        } catch (...) {
            ApplicationHandleCurrentException();
        }
    });
}

TPortComboBox::~TPortComboBox()
{
    if (FComPort)
        FComPort->RemoveFreeNotification(this);
}

void TPortComboBox::SetComPort(TComPort* Value)
{
    if (Value == FComPort)
        return;
    if (FComPort)
        FComPort->RemoveFreeNotification(this);
    FComPort = Value;
    if (FComPort) {
        SetComNumber(FComPort->ComNumber());
        FComPort->AddFreeNotification(this, [this](TComponent*) { FComPort = nullptr; });
    }
}

void TPortComboBox::SetOptions(const TPortCtlOptions& Value)
{
    if (Value == FOptions)
        return;
    FOptions = Value;
    UpdatePortList();
}

void TPortComboBox::SetMaxComPorts(int16_t Value)
{
    if (Value == FMaxComPorts)
        return;
    FMaxComPorts = Value;
    UpdatePortList();
}

void TPortComboBox::SetComNumber(uint16_t Value)
{
    if (Value == FComNumber)
        return;
    FComNumber = Value;
    SelectPort();
}

void TPortComboBox::UpdatePortList()
{
    FFilled = true;
    const QSignalBlocker block(this);
    setUpdatesEnabled(false);
    clear();
    const TComPortMap map = ComPortMap();
    for (int n = 1; n <= FMaxComPorts; ++n) {
        const uint32_t v = ProbeComPort(n, map);
        if (!PortListed(ProbePortState(v), FOptions))
            continue;
        addItem(QString::asprintf("COM %d", n), QVariant::fromValue(v));
        const auto it = map.find(n);
        if (it != map.end())
            setItemData(count() - 1, DeviceToolTip(it->second), Qt::ToolTipRole);
    }
    setCurrentIndex(-1);
    setUpdatesEnabled(true);
}

void TPortComboBox::SelectPort()
{
    const QSignalBlocker block(this);
    for (int i = 0; i < count(); ++i) {
        if (ProbePortNumber(ItemValue(i)) == FComNumber) {
            setCurrentIndex(i);
            return;
        }
    }
    if (count() > 0) {
        setCurrentIndex(0);
        FComNumber = static_cast<uint16_t>(ProbePortNumber(ItemValue(0)));
    } else {
        FComNumber = 0;
    }
}

void TPortComboBox::Change()
{
    const int i = currentIndex();
    FComNumber = i >= 0 ? static_cast<uint16_t>(ProbePortNumber(ItemValue(i))) : 0;
    if (OnChange)
        OnChange(this);
    if (!FComPort || FComNumber == 0)
        return;
    struct TRefill {
        TPortComboBox* Self;
        ~TRefill()
        {
            Self->UpdatePortList();
            Self->SelectPort();
        }
    } refill{this};
    FComPort->SetComNumber(FComNumber);
    if (!FComPort->Active() && FComPort->AutoOpen())
        FComPort->Open();
}

uint32_t TPortComboBox::ItemValue(int Index) const
{
    return itemData(Index, PortValueRole).toUInt();
}

QColor TPortComboBox::ItemTextColor(int Index, bool SelectedOrFocused, bool DroppedDown) const
{
    if (!FOptions.count(pcHighlightOpen) || SelectedOrFocused || !DroppedDown)
        return QColor();
    switch (ProbePortState(ItemValue(Index))) {
    case psInUse:
        return palette().color(QPalette::Disabled, QPalette::Text);
    case psFree:
        return palette().color(QPalette::Active, QPalette::ButtonText);
    default:
        return QColor();
    }
}

int TPortComboBox::ItemHeight() const
{
    return std::abs(fontMetrics().height()) + 5;
}

void TPortComboBox::showEvent(QShowEvent* Event)
{
    if (!FFilled)
        UpdatePortList();
    QComboBox::showEvent(Event);
}

void TPortComboBox::changeEvent(QEvent* Event)
{
    QComboBox::changeEvent(Event);
    // A new font changes the item height; the list is built afresh, as when
    // the control's window is recreated.
    if (Event->type() == QEvent::FontChange && FFilled)
        UpdatePortList();
}
