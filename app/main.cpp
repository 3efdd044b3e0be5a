// veltrac-gnss-update: the window. The first argument "/MANUAL" (any letter
// case) switches the automatic choice of receiver images off.
#include "app/FCXGPSFW.h"
#include "app/SignalWatcher.h"

#include <QApplication>
#include <cstdio>
#include <cstring>

#ifndef VELTRAC_VERSION
#define VELTRAC_VERSION "unknown"
#endif

namespace
{

const char* const Help =
    R"(Usage: veltrac-gnss-update [/MANUAL]

The window of Veltrac GNSS Firmware Update: brings the GNSS receiver of a
Veltrac tracking unit, or of an External GPS module, to the receiver firmware
the program carries. Choose the device type and the port, then press Open.

  /MANUAL     as the first argument, in any letter case: the automatic choice
              of the receiver image is off; versions are read and shown, and
              only a custom update (double-click "Required version") sends an
              image
  --help      this text
  --version   the program's version

While a receiver programs, Open, Close, Off and closing the window ask first,
and Open during a transfer asks whether to start again; the first SIGTERM,
SIGHUP or SIGINT closes the window once the receiver has finished (or its
confirmation time has passed), a second one at once.
VELTRAC_COM_DIR names a folder of comN links that replaces the default port
numbering. The command line does the same without a window:
veltrac-gnss-update-cli --help.
)";

} // namespace

int main(int argc, char** argv)
{
    // Answered before the toolkit looks for a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(Help, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("veltrac-gnss-update %s\n", VELTRAC_VERSION);
            return 0;
        }
    }
    QApplication App(argc, argv);
    QApplication::setApplicationName("veltrac-gnss-update");
    std::vector<std::string> Arguments;
    const QStringList All = QApplication::arguments();
    for (qsizetype i = 1; i < All.size(); ++i)
        Arguments.push_back(All[i].toLocal8Bit().toStdString());
    std::string Error;
    if (!TSignalWatcher::Install(&Error))
        std::fprintf(stderr, "veltrac-gnss-update: %s\n", Error.c_str());
    TFCXGPSFW FCXGPSFW(Arguments);
    TSignalWatcher Signals;
    QObject::connect(&Signals, &TSignalWatcher::Signalled, &FCXGPSFW,
                     [&FCXGPSFW](int Signal) { FCXGPSFW.EndOnSignal(Signal); });
    FCXGPSFW.show();
    return QApplication::exec();
}
