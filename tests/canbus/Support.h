#pragma once

#include "can/CanFrame.h"
#include "core/Cp1251.h"

#include <QFile>
#include <QString>

#include <algorithm>
#include <initializer_list>

namespace canbus {

inline kelcon::TCanFrame frame(std::uint32_t word, std::initializer_list<std::uint8_t> data) {
    kelcon::TCanFrame f;
    f.ident = word;
    f.len = std::uint8_t(data.size());
    std::copy(data.begin(), data.end(), f.data.begin());
    return f;
}

// A name frame half: building, floor and zone numbers, then five characters of the name.
inline kelcon::TCanFrame nameFrame(std::uint32_t word, int zdan, int etaz, int zon, const QString& five) {
    kelcon::TCanFrame f;
    f.ident = word;
    f.len = 8;
    f.data[0] = std::uint8_t(zdan);
    f.data[1] = std::uint8_t(etaz);
    f.data[2] = std::uint8_t(zon);
    const QByteArray bytes = kelcon::toCp1251(five);
    std::copy_n(bytes.constData(), std::min<qsizetype>(bytes.size(), 5), f.data.begin() + 3);
    return f;
}

inline QString readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

} // namespace canbus
