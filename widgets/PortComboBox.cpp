#include "widgets/PortComboBox.h"

#include "serial/AppException.h"
#include "widgets/ComPortConfigDialog.h"

#include <QAbstractItemView>
#include <QEvent>
#include <QPainter>
#include <QSignalBlocker>
#include <QStyledItemDelegate>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace
{

// The description column starts after the widest "COM n" text.
int DescriptionColumn(const QFontMetrics& Metrics)
{
    return Metrics.horizontalAdvance(QStringLiteral("COM 8888")) + Metrics.averageCharWidth() * 2;
}

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

        const QString description = Index.data(TPortComboBox::DescriptionRole).toString();
        if (description.isEmpty())
            return;
        // Beside the item's own text, in the colour that text has.
        QRect r = opt.rect;
        r.setLeft(r.left() + DescriptionColumn(opt.fontMetrics));
        if (r.width() <= 0)
            return;
        Painter->save();
        Painter->setFont(opt.font);
        Painter->setPen((Option.state & QStyle::State_Selected) ? opt.palette.color(QPalette::HighlightedText)
                                                                : opt.palette.color(QPalette::Text));
        Painter->drawText(r, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                          opt.fontMetrics.elidedText(description, Qt::ElideRight, r.width()));
        Painter->restore();
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

std::string RealPath(const std::string& Path)
{
    std::error_code ec;
    const auto real = std::filesystem::canonical(Path, ec);
    return ec ? std::string() : real.string();
}

QString DeviceToolTip(const std::string& Path)
{
    const std::string real = RealPath(Path);
    if (real.empty() || real == Path)
        return QString::fromStdString(Path);
    return QString::fromStdString(Path + " \u2192 " + real);
}

QString StatusNote(const TPortStatus& P)
{
    if (P.Detail.HeldHere)
        return QStringLiteral("in use by this program");
    if (P.Detail.NoPermission)
        return QStringLiteral("no permission: join the group dialout");
    return {};
}

QString Description(const TPortStatus& P)
{
    std::string what = AdapterSummary(P.Adapter);
    if (what.empty())
        what = RealPath(P.Path);
    QString text = QString::fromStdString(what);
    const QString note = StatusNote(P);
    if (!note.isEmpty())
        text += (text.isEmpty() ? QString() : QStringLiteral(" \u2014 ")) + note;
    return text;
}

QString ToolTip(const TPortStatus& P)
{
    QStringList lines{DeviceToolTip(P.Path)};
    const TPortAdapter& a = P.Adapter;
    if (const std::string summary = AdapterSummary(a); !summary.empty())
        lines << QString::fromStdString(summary);
    if (a.Usb())
        lines << QString::fromStdString("USB " + a.VendorId + ":" + a.ProductId + " at " + a.UsbPort +
                                        (a.Interface.empty() ? "" : ", " + a.Interface));
    if (!a.ById.empty())
        lines << QString::fromStdString(a.ById);
    if (const QString note = StatusNote(P); !note.isEmpty())
        lines << note;
    return lines.join('\n');
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
    const TComPortMap map = ComPortMap();
    FPorts = ScanPorts(map, {}, PortKept);
    if (!FWatcher) {
        FWatcher = new TPortWatcher(this);
        connect(FWatcher, &TPortWatcher::PortsChanged, this, [this] {
            try {
                RefreshChangedPorts();
            } catch (...) {
                ApplicationHandleCurrentException();
            }
        });
    }
    FWatcher->Watch(map);
    FillItems();
    RestoreSelection();
}

void TPortComboBox::RefreshChangedPorts()
{
    if (!FFilled)
        return;
    const TComPortMap map = ComPortMap();
    TPortStatusMap ports = ScanPorts(map, FPorts, PortKept);
    FWatcher->Watch(map);
    const auto same = [](const TPortStatusMap& A, const TPortStatusMap& B) {
        if (A.size() != B.size())
            return false;
        for (auto a = A.begin(), b = B.begin(); a != A.end(); ++a, ++b)
            if (a->first != b->first || a->second.Path != b->second.Path ||
                a->second.Value != b->second.Value || Description(a->second) != Description(b->second) ||
                ToolTip(a->second) != ToolTip(b->second))
                return false;
        return true;
    };
    const bool changed = !same(ports, FPorts);
    FPorts = std::move(ports);
    if (!changed)
        return;
    FillItems();
    RestoreSelection();
}

void TPortComboBox::FillItems()
{
    const QSignalBlocker block(this);
    setUpdatesEnabled(false);
    clear();
    for (int n = 1; n <= FMaxComPorts; ++n) {
        const auto it = FPorts.find(n);
        const uint32_t v =
            it != FPorts.end() ? it->second.Value : static_cast<uint32_t>(n) + psMissing * 65536;
        if (!PortListed(ProbePortState(v), FOptions))
            continue;
        addItem(QString::asprintf("COM %d", n), QVariant::fromValue(v));
        if (it == FPorts.end())
            continue;
        const int i = count() - 1;
        setItemData(i, Description(it->second), DescriptionRole);
        setItemData(i, ToolTip(it->second), Qt::ToolTipRole);
        setItemData(i, QString::fromStdString(it->second.Path), PathRole);
        setItemData(i, QString::fromStdString(it->second.Adapter.ById), ByIdRole);
    }
    setCurrentIndex(-1);
    setUpdatesEnabled(true);
}

void TPortComboBox::RememberSelection()
{
    const int i = currentIndex();
    FSelectedNumber = i >= 0 ? ProbePortNumber(ItemValue(i)) : 0;
    FSelectedPath = i >= 0 ? itemData(i, PathRole).toString().toStdString() : std::string();
    FSelectedById = i >= 0 ? itemData(i, ByIdRole).toString().toStdString() : std::string();
}

void TPortComboBox::RestoreSelection()
{
    if (FSelectedNumber == 0)
        return;
    int found = -1;
    for (int i = 0; i < count() && found < 0; ++i) {
        // ttyUSB numbers are handed out again in plug order: an adapter is
        // known by its by-id link when udev gave it one.
        if (!FSelectedById.empty())
            found = itemData(i, ByIdRole).toString().toStdString() == FSelectedById ? i : -1;
        else if (!FSelectedPath.empty())
            found = itemData(i, PathRole).toString().toStdString() == FSelectedPath ? i : -1;
        else
            found = ProbePortNumber(ItemValue(i)) == FSelectedNumber ? i : -1;
    }
    {
        const QSignalBlocker block(this);
        setCurrentIndex(found);
    }
    // udev adds the by-id link a moment after the node.
    if (found >= 0 && FSelectedById.empty())
        FSelectedById = itemData(found, ByIdRole).toString().toStdString();
    // The selection is kept for when the adapter comes back; meanwhile no
    // port is chosen, rather than whatever took its number.
    const uint16_t n = found >= 0 ? static_cast<uint16_t>(ProbePortNumber(ItemValue(found))) : 0;
    if (n == FComNumber)
        return;
    FComNumber = n;
    // Also runs while Change() unwinds from a failed open: the owner's
    // trouble goes to the application's handler, not up through a refill.
    try {
        if (OnChange)
            OnChange(this);
    } catch (...) {
        ApplicationHandleCurrentException();
    }
}

void TPortComboBox::SelectPort()
{
    const QSignalBlocker block(this);
    for (int i = 0; i < count(); ++i) {
        if (ProbePortNumber(ItemValue(i)) == FComNumber) {
            setCurrentIndex(i);
            RememberSelection();
            return;
        }
    }
    if (count() > 0) {
        setCurrentIndex(0);
        FComNumber = static_cast<uint16_t>(ProbePortNumber(ItemValue(0)));
    } else {
        FComNumber = 0;
    }
    RememberSelection();
}

void TPortComboBox::Change()
{
    const int i = currentIndex();
    FComNumber = i >= 0 ? static_cast<uint16_t>(ProbePortNumber(ItemValue(i))) : 0;
    RememberSelection();
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

QString TPortComboBox::ItemDescription(int Index) const
{
    return itemData(Index, DescriptionRole).toString();
}

void TPortComboBox::showPopup()
{
    // What is free and what another program took since the last look; the
    // port this program holds is not opened again.
    try {
        UpdatePortList();
    } catch (...) {
        ApplicationHandleCurrentException();
    }
    int width = 0;
    const QFontMetrics metrics = view()->fontMetrics();
    for (int i = 0; i < count(); ++i)
        width = std::max(width, metrics.horizontalAdvance(ItemDescription(i)));
    if (width > 0)
        width += DescriptionColumn(metrics) + metrics.averageCharWidth() * 4;
    view()->setMinimumWidth(width);
    QComboBox::showPopup();
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
