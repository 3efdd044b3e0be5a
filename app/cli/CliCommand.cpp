#include "app/cli/CliCommand.h"

#include <QCoreApplication>

void TCliCommand::End(int ExitCode)
{
    if (FDone)
        return;
    FDone = true;
    FExitCode = ExitCode;
    emit Finished(ExitCode);
}

int RunCommand(TCliCommand& Command)
{
    QObject::connect(&Command, &TCliCommand::Finished, QCoreApplication::instance(),
                     [](int Code) { QCoreApplication::exit(Code); });
    QMetaObject::invokeMethod(
        &Command, [&Command] { Command.Start(); }, Qt::QueuedConnection);
    const int Code = QCoreApplication::exec();
    return Command.Done() ? Command.ExitCode() : Code;
}
