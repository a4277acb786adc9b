#include "ChannelMap.h"

#include <QCanBus>
#include <QFile>
#include <QStringList>

namespace ucanx {

std::optional<ChannelTarget> channelTargetIn(const QString& config, int number) {
    for (const QString& raw : config.split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1Char(';')))
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq < 0)
            continue;
        bool ok = false;
        const int n = line.left(eq).trimmed().toInt(&ok, 10);
        if (!ok || n != number)
            continue;
        // Only the first colon separates the plugin: interface names may carry their own (URLs).
        const QString device = line.mid(eq + 1).trimmed();
        const qsizetype colon = device.indexOf(QLatin1Char(':'));
        if (colon <= 0 || colon == device.size() - 1)
            continue;
        // The first usable line of a number wins, so a later duplicate cannot redirect a channel.
        return ChannelTarget{device.left(colon).trimmed(), device.mid(colon + 1).trimmed()};
    }
    return std::nullopt;
}

std::optional<ChannelTarget> channelTarget(int number) {
    QFile file(QStringLiteral("ucanx.conf"));
    if (file.exists()) {
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            return std::nullopt;
        return channelTargetIn(QString::fromUtf8(file.readAll()), number);
    }
    const QString plugin = QStringLiteral("socketcan");
    if (!QCanBus::instance()->plugins().contains(plugin))
        return std::nullopt;
    const auto interfaces = QCanBus::instance()->availableDevices(plugin);
    if (number < 1 || number > interfaces.size())
        return std::nullopt;
    return ChannelTarget{plugin, interfaces.at(number - 1).name()};
}

} // namespace ucanx
