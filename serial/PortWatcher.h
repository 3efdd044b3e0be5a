#pragma once
// Tells when serial devices may have come or gone: watches /dev, udev's
// by-id folder (and /dev/serial, where it appears with the first adapter),
// the VELTRAC_COM_DIR folder and the folders its links lead into. A burst of
// changes (udev makes the node, then sets its group, then adds its links)
// comes out as one signal.
#include "serial/PortMap.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>

class TPortWatcher : public QObject
{
    Q_OBJECT

  public:
    explicit TPortWatcher(QObject* Parent = nullptr);

    // Watches the folders that matter for Map; called again after each
    // change, since folders come and go (by-id) and links may lead elsewhere.
    void Watch(const TComPortMap& Map);
    QStringList Folders() const { return FWatcher.directories(); }

    // How long a burst of changes is collected before PortsChanged.
    static constexpr int SettleMs = 100;

  signals:
    void PortsChanged();

  private:
    QFileSystemWatcher FWatcher;
    QTimer FSettle;
};
