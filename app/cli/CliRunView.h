#pragma once
// How one command-line run is shown: its lines (on a terminal with the
// progress line redrawn in place), its row of the live table of several
// ports, or its JSON events, each at its own pace. It follows the session's
// display; the front end says when the run starts and how it ended.
#include "app/UpdateDisplay.h"
#include "app/UpdateOutcome.h"
#include "app/cli/CliConsole.h"
#include "app/cli/CliOptions.h"
#include "app/cli/CliRender.h"
#include "app/cli/CliRunFiles.h"

#include <QElapsedTimer>
#include <QTimer>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// How a front end shows its run: alone (as the command line always did),
// as one of several with each line prefixed by its port, or as one row of
// the live table of several (only its lines about the start, errors and the
// end are printed; the table shows the rest).
enum class TCliView { Single, Prefixed, Table };

// A run's port as named at its start: a device that goes away has no path any more.
struct TCliRunPort {
    std::string Text;  // "COM 5 (/dev/ttyUSB0)", "COM 5 (no device)", or the path given
    std::string Label; // "COM 5", or the path of a port outside the port map
    int ComNumber = 0; // 0: a path outside the port map
    std::string DevicePath;
    std::string AdapterSerial; // the USB adapter's, empty when none
};

// --json display events: at most one every JsonDisplayMs; the latest
// display waits for its turn, unless it shows a new state or a bar at its
// start or end, which go out at once.
class TJsonDisplayPacer
{
  public:
    explicit TJsonDisplayPacer(std::function<void(const TUpdateDisplay&)> Print);

    // AtOnce: the display goes out now whatever went out before.
    void Show(const TUpdateDisplay& D, bool AtOnce);
    // The display that waits for its turn goes out now.
    void Flush();

  private:
    void Print(const TUpdateDisplay& D);

    std::function<void(const TUpdateDisplay&)> FPrint;
    TUpdateDisplay FLatest; // the last display given
    TUpdateDisplay FShown;  // the last display event
    bool FWaiting = false;  // a newer display waits for its turn
    QElapsedTimer FClock;
    QTimer FTimer;
};

class TCliRunView
{
  public:
    // Files: where the view's lines about states and errors are logged.
    TCliRunView(const TCliOptions& Options, TCliConsole& Console, TCliView View, TCliRunFiles& Files);

    // Before it, lines have no prefix and JSON events name no port.
    void SetPort(const TCliRunPort& Port);
    // The first lines (or the start event) of a run and the log's.
    void ShowStart(const TCliOptions& Options, const std::string& Caption, bool Manual);
    // A display the session showed, with its transfer's progress. Ended:
    // the outcome is known, whose last line tells the rest.
    void Show(const TUpdateDisplay& D, const TTransferProgress& P, bool Ended);
    // No display is followed any more: the progress line stays on the
    // screen, what waited goes out.
    void Finish();
    // The transfer's summary and the last line, or the result event.
    // Good: the run ended well (its message is not repeated on stderr).
    void ShowEnd(const TUpdateOutcome& O, const std::string& Name, int ExitCode, bool Good,
                 const std::string& Result);

    void PrintLine(const std::string& Line);
    // On stderr, as a JSON error event and in the log.
    void PrintError(const std::string& Line);

    // The display last given to Show.
    const TUpdateDisplay& LastDisplay() const { return FLastDisplay; }
    // The live table's row, as D stands or, Ended given, as the run ended.
    TCliRow Row(const TUpdateDisplay& D, const TUpdateOutcome* Ended, const std::string& EndedName) const;

  private:
    void PrintJson(const std::string& Json);
    void ShowText(const TUpdateDisplay& D, const TTransferProgress& P, bool Ended);
    void DrawProgress(bool Force);
    void EndProgress();
    void ShowPace(const TTransferProgress& P, TRenderOutput& Out);

    TCliConsole& FConsole;
    TCliRunFiles& FFiles;
    TCliView FView;
    bool FJson;
    bool FTerminal; // the progress line is redrawn in place
    bool FExternalGPS;
    TCliRunPort FPort;
    std::string FPrefix; // "COM 5: " before each line of several ports
    TTextRenderer FRenderer;
    TUpdateDisplay FLastDisplay;
    bool FFirstDisplay = true;
    std::string FLastStep;

    QTimer FProgressTimer;
    QElapsedTimer FProgressClock;
    std::string FProgressWanted;

    TPaceMeter FPace;
    std::optional<TPace> FLastPace; // of the transfer under way
    QElapsedTimer FJsonPaceClock;
    bool FJsonPaceEnded = false; // the transfer's last figures went out
    TJsonDisplayPacer FJsonDisplays;
    std::vector<std::string> FErrorsShown; // on stderr so far
};
