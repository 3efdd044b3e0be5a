#pragma once
// TLedPanel: a small panel that shows a lamp by its background colour: steady
// on, steady off, blinking, or one flash (a trigger) that goes out by itself
// Interval ms after the last trigger, so triggers closer together than
// Interval keep it lit without flicker. It is the link component's TX/RX lamp
// and may serve as one of its unit-identity panels.
#include "link/Indicators.h"

#include <QColor>
#include <QFrame>
#include <QString>

#include <cstdint>
#include <functional>

class QTimer;

enum TLedType { ltOff, ltOn, ltBlink, ltTrigger };

class TLedPanel : public QFrame, public TCX_Lamp, public TCX_Panel
{
    Q_OBJECT

  public:
    explicit TLedPanel(QWidget* Parent = nullptr);
    ~TLedPanel() override;

    bool AutoToggle() const { return FAutoToggle; } // a click toggles on/off
    void SetAutoToggle(bool Value) { FAutoToggle = Value; }
    bool AutoTrigger() const { return FAutoTrigger; } // a caption change flashes
    void SetAutoTrigger(bool Value) { FAutoTrigger = Value; }
    bool LedOn() const { return FLedType == ltOn; }
    void SetLedOn(bool Value) { SetLedType(Value ? ltOn : ltOff); }
    bool Blinking() const { return FLedType == ltBlink; }
    void SetBlinking(bool Value) { SetLedType(Value ? ltBlink : ltOff); }
    TLedType LedType() const { return FLedType; }
    void SetLedType(TLedType Value);
    bool ForceRedraw() const { return FForceRedraw; }
    void SetForceRedraw(bool Value) { FForceRedraw = Value; }
    QColor ColorOn() const { return FColorOn; }
    void SetColorOn(const QColor& Value);
    QColor ColorOff() const { return FColorOff; }
    void SetColorOff(const QColor& Value);
    QColor ColorDisabled() const { return FColorDisabled; }
    void SetColorDisabled(const QColor& Value);
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value);
    uint32_t Interval() const { return FInterval; } // blink half-period and flash length, ms
    void SetInterval(uint32_t Value);
    QString Caption() const { return FCaption; }
    void SetCaption(const QString& Value);

    bool Lit() const { return FLit; }
    // The colour the panel shows now.
    QColor Color() const;

    // One flash; the operation the TX/RX users call.
    void Trigger() override;
    // The click handling: toggles with AutoToggle, then OnClick.
    void Click();

    // As a unit-identity panel of the link component.
    void SetPanelCaption(const std::string& Caption) override;
    void SetPanelHint(const std::string& Hint) override;
    void SetPanelLed(bool On) override;

    std::function<void(TLedPanel* Sender)> OnClick;

  protected:
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void paintEvent(QPaintEvent* Event) override;

  private:
    void UpdateState();
    void UpdateColor();
    void ChangeColor(QColor& Field, const QColor& Value);
    void TimerTick();

    QTimer* FTimer; // owned through the Qt parent
    bool FForceRedraw = false;
    TLedType FLedType = ltOff;
    bool FLit = false;
    QColor FColorOn;
    QColor FColorOff;
    QColor FColorDisabled;
    uint32_t FInterval = 500;
    bool FEnabled = true;
    bool FAutoToggle = false;
    bool FAutoTrigger = false;
    QString FCaption;
};
