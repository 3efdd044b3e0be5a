// veltrac-gnss-update: the window. The first argument "/MANUAL" (any letter
// case) switches the automatic choice of receiver images off.
#include "app/FCXGPSFW.h"
#include "app/SignalWatcher.h"

#include <QApplication>
#include <cstdio>

int main(int argc, char** argv)
{
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
