#pragma once
// The session's display as text for a person: the window's panels become
// lines printed when they change, the two bars and the percentage one
// progress line. Pure: the front end decides where the text goes.
#include "app/UpdateDisplay.h"
#include "app/UpdateOutcome.h"

#include <string>
#include <vector>

struct TRenderOutput {
    // Lines to print, in order, each without its line end.
    std::vector<std::string> Lines;
    // Terminal: the progress line as it stands now, redrawn in place (empty:
    // no transfer running). Plain output: a line to print, only when the
    // progress moved on by a step worth a line (empty otherwise).
    std::string Progress;
    // The unit's transfer has just ended with every record in the unit: its
    // last progress line, reading complete (the session empties the bar as
    // the programming begins). Printed before Lines.
    std::string TransferDone;
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

// "[#####...............]" of Width cells.
std::string BarText(const TProgressBarState& Bar, int Width);
// Whether the state is one in which the bars move.
bool ProgressState(TUpdateState State);
// "Unit 123456: firmware 2.40, ..." / "Module 0A1B2C3D: controller 2.03, ..."; empty before identification.
std::string IdentityLine(const TUpdateDisplay& D, bool ExternalGPS);
// The progress line in its terminal or plain form.
std::string ProgressLine(const TUpdateDisplay& D, bool Terminal);

// The pace of a transfer as the command line shows it.
struct TPace {
    double Elapsed = 0; // seconds since the transfer started
    double Rate = 0;    // image bytes per second while records or blocks went out; 0: not known yet
    double Left = -1;   // seconds still to go; negative: not known yet
    double LineUse = 0; // bytes on the line as a share of the line rate
    bool Paced = true;  // false: the port moved the bytes faster than its rate allows
};

// Follows a transfer's progress reports; the rate counts from the first
// record or block the device took, so a module's preparation does not
// spoil the estimate.
class TPaceMeter
{
  public:
    TPace Update(const TTransferProgress& P);
    void Reset() { FStarted = false; }

  private:
    bool FStarted = false;
    double FStartSeconds = 0;
    uint64_t FStartDone = 0;
};

// "0:52", "1:03:07".
std::string DurationText(double Seconds);
// "850 B/s", "4.7 kB/s", "1.2 MB/s".
std::string RateText(double BytesPerSecond);
// "  0:52, 4.7 kB/s, 1:03 left" (what is not known yet is left out).
std::string PaceText(const TPace& Pace);
// "Transfer: 524,288 bytes in 1:13 (7.2 kB/s); 71 % of the line's 57,600 bit/s used";
// "...; the port does not pace its bytes: no line figures"; empty when the
// run had no transfer.
std::string TransferSummary(const TUpdateOutcome& O);
// Image bytes per second of a finished transfer; 0 when unknown.
double ImageRate(const TUpdateOutcome& O);
// The share of Seconds that LineBytes take on a line at LineRate (ten bits a
// byte); 0 when unknown. Above 1 only on a port that does not pace its bytes.
double LineUse(uint64_t LineBytes, uint32_t LineRate, double Seconds);
// False when the port moved the bytes faster than its rate allows: a
// pseudo-terminal, or a USB device that ignores the rate it was given.
bool PortPaces(uint64_t LineBytes, uint32_t LineRate, double Seconds);

// One port's row of the live table of several ports.
struct TCliRow {
    std::string Port;     // "COM 5", or the device path outside the port map
    std::string Adapter;  // the USB adapter's serial number, empty when none
    std::string DeviceID; // as shown, empty before identification
    std::string Step;     // the status line's words, or the outcome's at the end
    std::string Progress; // "33%", empty when no bar moves
    std::string Rate, Left;
    std::string Outcome; // the outcome's name once the run ended
};

// The table: a heading, one line a port, and a line that counts the ends so far.
std::vector<std::string> TableLines(const std::vector<TCliRow>& Rows);
// "3 updated, 1 port-error" for the outcomes' names, in the order first seen.
std::string OutcomeCounts(const std::vector<std::string>& Outcomes);
