#pragma once

#include <QStringList>
#include <QTcpServer>

#include <ostream>

// Readable failure messages for texts and byte strings.
inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QByteArray& b, std::ostream* os)
{
    *os << b.toHex(' ').toStdString();
}

namespace kelcon::test {

// A port nothing listens on right now (the kernel's choice, released at once).
inline quint16 freePort()
{
    QTcpServer s;
    s.listen(QHostAddress::Any, 0);
    return s.serverPort();
}

// Event lines as the program's log would receive them.
struct EventLog {
    QStringList lines;
    auto sink()
    {
        return [this](const QString& line) { lines << line; };
    }
};

} // namespace kelcon::test
