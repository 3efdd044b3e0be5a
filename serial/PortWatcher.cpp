#include "serial/PortWatcher.h"

#include "serial/PortAdapter.h"

#include <QSet>

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace
{

void AddFolder(QSet<QString>& Folders, const fs::path& P)
{
    std::error_code ec;
    if (!P.empty() && fs::is_directory(P, ec))
        Folders.insert(QString::fromStdString(P.string()));
}

} // namespace

TPortWatcher::TPortWatcher(QObject* Parent) : QObject(Parent)
{
    FSettle.setSingleShot(true);
    FSettle.setInterval(SettleMs);
    // Not restarted by later changes: a steady stream of them still gives
    // one signal per interval, never a starved or a spinning list.
    const auto changed = [this] {
        if (!FSettle.isActive())
            FSettle.start();
    };
    connect(&FWatcher, &QFileSystemWatcher::directoryChanged, this, changed);
    connect(&FSettle, &QTimer::timeout, this, &TPortWatcher::PortsChanged);
}

void TPortWatcher::Watch(const TComPortMap& Map)
{
    QSet<QString> want;
    AddFolder(want, "/dev");
    const fs::path byId = SerialByIdDir();
    AddFolder(want, byId);
    AddFolder(want, byId.parent_path());
    if (const char* dir = std::getenv("VELTRAC_COM_DIR"); dir && *dir)
        AddFolder(want, dir);
    for (const auto& [n, path] : Map) {
        // Where a link leads, even one whose device is not there yet.
        std::error_code ec;
        const fs::path target = fs::weakly_canonical(path, ec);
        if (!ec)
            AddFolder(want, target.parent_path());
    }
    QStringList drop, add;
    for (const QString& f : FWatcher.directories())
        if (!want.contains(f))
            drop << f;
    for (const QString& f : want)
        if (!FWatcher.directories().contains(f))
            add << f;
    if (!drop.isEmpty())
        FWatcher.removePaths(drop);
    if (!add.isEmpty())
        FWatcher.addPaths(add);
}
