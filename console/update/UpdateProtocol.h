#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace kelcon {

// The update server's lines end with LF (a CR before it is dropped); ours end with CR LF.
// A line longer than this is not one the server would send: the peer is something else.
constexpr qsizetype kMaxUpdateLineLength = 256;

struct UpdateLine {
    QString text;
    qsizetype consumed = 0; // bytes of the buffer up to and including the LF
};

// The first whole line at the start of buffer, or nothing while it is still incomplete.
std::optional<UpdateLine> takeUpdateLine(const QByteArray& buffer);

// The archive size that follows "isfile": four bytes, most significant first.
std::optional<quint32> takeUpdateSize(const QByteArray& buffer, qsizetype offset);

QByteArray updateClientLine(const QString& text);

} // namespace kelcon
