#pragma once

#include "nodelink/Messages.h"

#include <QByteArray>
#include <QList>

namespace kelcon {

// "SC1"/"SC2"/"SC5" + length byte + bytes, one message per chunk of at most 255 bytes, so that
// each can go to the node in a write of its own. RS-485 is split like the other lines: one
// message with a wrapped length byte would make the node read the rest of the client's bytes
// as node-link commands.
QList<QByteArray> buildTunnelMessages(TunnelLine line, const QByteArray& bytes);

} // namespace kelcon
