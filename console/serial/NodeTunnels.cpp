#include "serial/NodeTunnels.h"

#include <QTcpSocket>

namespace kelcon {

NodeTunnels::NodeTunnels(qint32 uzelIdent, const QString& nameUzel, TunnelPorts ports,
                         SendToNodeFn sendToNode, EventSink postEvent, QObject* parent)
    : QObject(parent), uzelIdent_(uzelIdent), nameUzel_(nameUzel), sendToNode_(std::move(sendToNode)),
      postEvent_(std::move(postEvent))
{
    const std::array<int, 3> portOf = {ports.com1, ports.com2, ports.rs485};
    const std::array<TunnelLine, 3> lineOf = {TunnelLine::Com1, TunnelLine::Com2, TunnelLine::Rs485};
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        Line& l = lines_[i];
        l.line = lineOf[i];
        l.port = portOf[i];
        connect(&l.server, &QTcpServer::newConnection, this, [this, &l] { onNewConnection(l); });
    }
}

NodeTunnels::~NodeTunnels()
{
    for (Line& l : lines_) {
        l.server.close();
        for (QTcpSocket* c : l.clients) {
            c->disconnect(this);
            c->abort();
            c->deleteLater();
        }
        l.clients.clear();
    }
}

bool NodeTunnels::listen()
{
    bool all = true;
    for (Line& l : lines_) {
        if (l.server.isListening())
            continue;
        const bool valid = l.port > 0 && l.port <= 65535;
        if (!valid || !l.server.listen(QHostAddress::Any, static_cast<quint16>(l.port))) {
            all = false;
            if (postEvent_)
                postEvent_(QStringLiteral("Удаленный узел (%1): не удалось открыть TCP порт %2")
                               .arg(nameUzel_)
                               .arg(l.port));
        }
    }
    return all;
}

void NodeTunnels::sendToClients(TunnelLine line, const QByteArray& bytes)
{
    for (QTcpSocket* c : lines_[index(line)].clients)
        c->write(bytes);
}

void NodeTunnels::onNewConnection(Line& l)
{
    // Tunnel clients are neither announced nor reported: errors and disconnects only end them.
    while (QTcpSocket* client = l.server.nextPendingConnection()) {
        l.clients.append(client);
        connect(client, &QTcpSocket::readyRead, this, [this, &l, client] { onClientData(l, client); });
        connect(client, &QTcpSocket::disconnected, this, [this, &l, client] { forget(l, client); });
        connect(client, &QTcpSocket::errorOccurred, this, [this, &l, client](QAbstractSocket::SocketError e) {
            if (e != QAbstractSocket::RemoteHostClosedError) {
                forget(l, client);
                client->abort();
            }
        });
    }
}

void NodeTunnels::onClientData(Line& l, QTcpSocket* client)
{
    const QByteArray bytes = client->readAll();
    if (!sendToNode_)
        return;
    for (const QByteArray& m : buildTunnelMessages(l.line, bytes))
        sendToNode_(m);
}

void NodeTunnels::forget(Line& l, QTcpSocket* client)
{
    if (!l.clients.removeOne(client))
        return;
    client->disconnect(this);
    client->deleteLater();
}

} // namespace kelcon
