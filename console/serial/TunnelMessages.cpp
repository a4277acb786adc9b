#include "serial/TunnelMessages.h"

namespace kelcon {

QList<QByteArray> buildTunnelMessages(TunnelLine line, const QByteArray& bytes)
{
    QList<QByteArray> messages;
    for (QByteArrayView rest(bytes); !rest.isEmpty();) {
        const QByteArrayView chunk = rest.first(std::min(kTunnelMaxChunk, rest.size()));
        messages.append(buildSc(line, chunk));
        rest = rest.sliced(chunk.size());
    }
    return messages;
}

} // namespace kelcon
