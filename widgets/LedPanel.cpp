#include "widgets/LedPanel.h"

#include "serial/AppException.h"

#include <QMouseEvent>
#include <QPainter>
#include <QTimer>

TLedPanel::TLedPanel(QWidget* Parent) : QFrame(Parent), FTimer(new QTimer(this))
{
    // Every colour starts as the button face, so an unconfigured lamp looks the same in every state.
    const QColor Face = palette().color(QPalette::Button);
    FColorOn = FColorOff = FColorDisabled = Face;
    FEnabled = isEnabled();
    setAutoFillBackground(true);
    QPalette P = palette();
    P.setColor(QPalette::Window, Face);
    setPalette(P);

    // A precise timer: a flash must not end before Interval has passed.
    FTimer->setTimerType(Qt::PreciseTimer);
    FTimer->setInterval(static_cast<int>(FInterval));
    connect(FTimer, &QTimer::timeout, this, [this] {
        try {
            TimerTick();
        } catch (...) {
            ApplicationHandleCurrentException();
        }
    });
}

TLedPanel::~TLedPanel()
{
    FTimer->stop();
}

void TLedPanel::SetLedType(TLedType Value)
{
    // A trigger while triggered restarts the flash.
    if (Value != FLedType || Value == ltTrigger) {
        FLedType = Value;
        UpdateState();
    }
}

void TLedPanel::ChangeColor(QColor& Field, const QColor& Value)
{
    if (Value != Field) {
        Field = Value;
        UpdateColor();
    }
}

void TLedPanel::SetColorOn(const QColor& Value)
{
    ChangeColor(FColorOn, Value);
}

void TLedPanel::SetColorOff(const QColor& Value)
{
    ChangeColor(FColorOff, Value);
}

void TLedPanel::SetColorDisabled(const QColor& Value)
{
    ChangeColor(FColorDisabled, Value);
}

void TLedPanel::SetEnabled(bool Value)
{
    if (Value != FEnabled) {
        setEnabled(Value);
        FEnabled = Value;
        UpdateState();
    }
}

void TLedPanel::SetInterval(uint32_t Value)
{
    FInterval = Value;
    FTimer->setInterval(static_cast<int>(Value > 0x7FFFFFFFu ? 0x7FFFFFFFu : Value));
}

void TLedPanel::SetCaption(const QString& Value)
{
    if (Value == FCaption)
        return;
    FCaption = Value;
    update();
    if (FAutoTrigger)
        Trigger();
}

QColor TLedPanel::Color() const
{
    return palette().color(QPalette::Window);
}

void TLedPanel::Trigger()
{
    FLedType = ltTrigger;
    UpdateState();
}

void TLedPanel::Click()
{
    if (FEnabled && FAutoToggle) {
        FLedType = FLedType == ltOn ? ltOff : ltOn;
        UpdateState();
    }
    if (OnClick)
        OnClick(this);
}

void TLedPanel::SetPanelCaption(const std::string& Caption)
{
    SetCaption(QString::fromStdString(Caption));
}

void TLedPanel::SetPanelHint(const std::string& Hint)
{
    setToolTip(QString::fromStdString(Hint));
}

void TLedPanel::SetPanelLed(bool On)
{
    SetLedOn(On);
}

void TLedPanel::mouseReleaseEvent(QMouseEvent* Event)
{
    QFrame::mouseReleaseEvent(Event);
    if (Event->button() == Qt::LeftButton && rect().contains(Event->position().toPoint())) {
        try {
            Click();
        } catch (...) {
            ApplicationHandleCurrentException();
        }
    }
}

void TLedPanel::paintEvent(QPaintEvent* Event)
{
    QFrame::paintEvent(Event);
    if (FCaption.isEmpty())
        return;
    QPainter Painter(this);
    Painter.drawText(contentsRect(), Qt::AlignCenter, FCaption);
}

void TLedPanel::UpdateState()
{
    // Stopping and starting makes the timer count a full Interval from now.
    FTimer->stop();
    switch (FLedType) {
    case ltOff:
        FLit = false;
        break;
    case ltOn:
        FLit = true;
        break;
    case ltBlink:
    case ltTrigger:
        FLit = true;
        if (FEnabled)
            FTimer->start();
        break;
    }
    UpdateColor();
}

void TLedPanel::UpdateColor()
{
    const QColor C = !FEnabled ? FColorDisabled : (FLit ? FColorOn : FColorOff);
    if (C == Color())
        return;
    QPalette P = palette();
    P.setColor(QPalette::Window, C);
    setPalette(P);
    if (FForceRedraw)
        repaint();
}

void TLedPanel::TimerTick()
{
    if (FLedType == ltOff || FLedType == ltOn || FLedType == ltTrigger)
        FTimer->stop();
    if (FLedType == ltBlink) {
        FLit = !FLit;
        UpdateColor();
    } else if (FLedType == ltTrigger) {
        FLedType = ltOff;
        FLit = false;
        UpdateColor();
    }
}
