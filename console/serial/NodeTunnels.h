#pragma once

#include "serial/SerialBridge.h"
#include "serial/TunnelMessages.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpServer>

#include <array>
#include <functional>

class QTcpSocket;

namespace kelcon {

// Tunnel ports of a node as its SPISUZEL row holds them (INTEGER columns, so not trusted).
struct TunnelPorts {
    int com1 = 0;
    int com2 = 0;
    int rs485 = 0;
};

using SendToNodeFn = std::function<void(const QByteArray&)>;

// The three tunnel listeners of one GSM node. What a client sends leaves through sendToNode as
// node-link messages (lost when the node is not connected: that is the caller's business);
// what the node's lines answer is handed to sendToClients.
class NodeTunnels : public QObject {
    Q_OBJECT
public:
    NodeTunnels(qint32 uzelIdent, const QString& nameUzel, TunnelPorts ports, SendToNodeFn sendToNode,
                EventSink postEvent, QObject* parent = nullptr);
    ~NodeTunnels() override;

    // Opens the three listeners; a port that cannot be opened is posted with the node's name.
    // True when all three listen.
    bool listen();

    void setNameUzel(const QString& name) { nameUzel_ = name; }
    // "RC1"/"RC2"/"RC4" payloads: to every client of that line's listener.
    void sendToClients(TunnelLine line, const QByteArray& bytes);

    qint32 uzelIdent() const { return uzelIdent_; }
    const QString& nameUzel() const { return nameUzel_; }
    int port(TunnelLine line) const { return lines_[index(line)].port; }
    bool isListening(TunnelLine line) const { return lines_[index(line)].server.isListening(); }
    int clientCount(TunnelLine line) const { return static_cast<int>(lines_[index(line)].clients.size()); }

private:
    struct Line {
        TunnelLine line = TunnelLine::Com1;
        int port = 0;
        QTcpServer server;
        QList<QTcpSocket*> clients;
    };

    static std::size_t index(TunnelLine line) { return static_cast<std::size_t>(line); }
    void onNewConnection(Line& l);
    void onClientData(Line& l, QTcpSocket* client);
    void forget(Line& l, QTcpSocket* client);

    const qint32 uzelIdent_;
    QString nameUzel_;
    SendToNodeFn sendToNode_;
    EventSink postEvent_;
    std::array<Line, 3> lines_;
};

} // namespace kelcon
