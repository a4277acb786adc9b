#include "serial/TunnelMessages.h"

namespace kelcon {

QList<QByteArray> buildTunnelMessages(TunnelLine line, const QByteArray& bytes)
{
    const char* code = line == TunnelLine::Line1 ? "SC1" : line == TunnelLine::Line2 ? "SC2" : "SC5";
    QList<QByteArray> messages;
    for (qsizetype at = 0; at < bytes.size(); at += kMaxTunnelChunk) {
        const QByteArray chunk = bytes.mid(at, kMaxTunnelChunk);
        QByteArray m;
        m.reserve(4 + chunk.size());
        m.append(code, 3);
        m.append(static_cast<char>(static_cast<unsigned char>(chunk.size())));
        m.append(chunk);
        messages.append(m);
    }
    return messages;
}

} // namespace kelcon
