#pragma once
// What the link component needs from the indicators it drives. The link layer
// knows no widgets; TLedPanel (widgets/) implements both interfaces, and any
// other front end may supply its own.
#include <string>

// A lamp flashed once for every transmission or reception.
class TCX_Lamp
{
  public:
    virtual ~TCX_Lamp() = default;
    virtual void Trigger() = 0;
};

// A panel that shows one unit-identity text. Plain panels ignore the LED; LED
// panels light it when the unit reports an identity other than its original.
class TCX_Panel
{
  public:
    virtual ~TCX_Panel() = default;
    virtual void SetPanelCaption(const std::string& Caption) = 0;
    virtual void SetPanelHint(const std::string& Hint) = 0;
    virtual void SetPanelLed(bool On) { (void)On; }
};
