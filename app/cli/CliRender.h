#pragma once
// The session's display as text for a person: the window's panels become
// lines printed when they change, the two bars and the percentage one
// progress line. Pure: the front end decides where the text goes.
#include "app/UpdateSession.h"

#include <string>
#include <vector>

struct TRenderOutput {
    // Lines to print, in order, each without its line end.
    std::vector<std::string> Lines;
    // Terminal: the progress line as it stands now, redrawn in place (empty:
    // no transfer running). Plain output: a line to print, only when the
    // progress moved on by a step worth a line (empty otherwise).
    std::string Progress;
};

class TTextRenderer
{
  public:
    TTextRenderer(bool ExternalGPS, bool Terminal) : FExternalGPS(ExternalGPS), FTerminal(Terminal) {}

    // What changed since the display last given.
    TRenderOutput Update(const TUpdateDisplay& D);

  private:
    bool FExternalGPS;
    bool FTerminal;
    bool FFirst = true;
    TUpdateDisplay FLast;
    std::string FLastIdentity;
    std::string FLastPlainKey;
};

// Whole percent of a bar, 0 when its maximum is 0.
int BarPercent(const TProgressBarState& Bar);
// "[#####...............]" of Width cells.
std::string BarText(const TProgressBarState& Bar, int Width);
// Whether the state is one in which the bars move.
bool ProgressState(uint8_t State);
// "Unit 123456: firmware 2.40, ..." / "Module 0A1B2C3D: controller 2.03, ..."; empty before identification.
std::string IdentityLine(const TUpdateDisplay& D, bool ExternalGPS);
// The progress line in its terminal or plain form.
std::string ProgressLine(const TUpdateDisplay& D, bool Terminal);
