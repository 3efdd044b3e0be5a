// veltrac-gnss-update: the window. The first argument "/MANUAL" (any letter
// case) switches the automatic choice of receiver images off.
#include "app/FCXGPSFW.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication App(argc, argv);
    QApplication::setApplicationName("veltrac-gnss-update");
    std::vector<std::string> Arguments;
    const QStringList All = QApplication::arguments();
    for (qsizetype i = 1; i < All.size(); ++i)
        Arguments.push_back(All[i].toLocal8Bit().toStdString());
    TFCXGPSFW FCXGPSFW(Arguments);
    FCXGPSFW.show();
    return QApplication::exec();
}
