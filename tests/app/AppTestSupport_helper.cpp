#include "AppTestSupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <stdexcept>

std::string WriteTempFile(const std::string& Name, const std::string& Data)
{
    static QTemporaryDir Dir;
    const QString Path = Dir.filePath(QString::fromStdString(Name));
    QFile F(Path);
    if (!F.open(QIODevice::WriteOnly) ||
        F.write(Data.data(), static_cast<qint64>(Data.size())) != static_cast<qint64>(Data.size()))
        throw std::runtime_error("cannot write " + Path.toStdString());
    return Path.toStdString();
}
