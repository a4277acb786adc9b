#pragma once

#include <QByteArray>
#include <QList>

namespace kelcon {

// The three serial lines a GSM node tunnels: line 1, line 2 and its RS-485 line.
enum class TunnelLine { Line1, Line2, Rs485 };

constexpr int kMaxTunnelChunk = 255;

// "SC1"/"SC2"/"SC5" + length byte + bytes, one message per chunk of at most 255 bytes.
// RS-485 is split like the other lines: one message with a wrapped length byte would make the
// node read the rest of the client's bytes as node-link commands.
QList<QByteArray> buildTunnelMessages(TunnelLine line, const QByteArray& bytes);

} // namespace kelcon
