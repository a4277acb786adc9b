#pragma once

#include "storage/Schema.h"
#include "storage/Settings.h"

#include <QFile>
#include <QHostAddress>
#include <QString>
#include <QTcpServer>

namespace e2e {

inline QString readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// A port nobody listens on right now, for a server that is started a moment later.
inline quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Settings that must hold at the console's very first start: the files are created the way
// start-up creates them and the row is written before any console opens them.
inline void presetSetting(const QString& folder, const QString& name, const QString& value) {
    kelcon::DbConnection eventDb;
    kelcon::openDatabases(folder, eventDb);
    kelcon::SettingsStore store(kelcon::databasePath(folder, kelcon::kSettingsDbFile));
    store.read(name); // a missing row is created empty; write only changes rows
    store.write(name, value);
}

} // namespace e2e
