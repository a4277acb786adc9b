#pragma once

#include <QByteArray>
#include <QString>

namespace kelcon {

// Windows-1251 is the byte form of every text that leaves the program: database CHAR columns,
// node-link messages, controller names on the bus and the mail body. Files and peers of the
// Windows consoles depend on it, so the conversion does not depend on the system's locale or ICU.
QByteArray toCp1251(const QString& text);          // characters with no 1251 form become '?'
QString fromCp1251(const QByteArray& bytes);
QString fromCp1251(const char* bytes, qsizetype size);

} // namespace kelcon
