#pragma once

#include "can/CanFrame.h"
#include "nodelink/CommandLog.h"
#include "nodelink/Cutter.h"
#include "nodelink/GsmClientDb.h"
#include "nodelink/Messages.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTcpServer>

#include <functional>
#include <map>
#include <memory>

class QTcpSocket;

namespace kelcon {

class Console;
class TUstr;

// The node-link server of a console: consoles and GSM nodes on the remote-link port. Every
// connection has its own receiver; a message is handled completely in the read event that
// completes it, and every reply is built whole and written once. Of the console's windows, the
// pop-up alarm list is hidden by any read (someone is at a remote console), alarms from nodes
// restore the main window, database errors are shown.
class NodeServer : public QObject {
    Q_OBJECT
public:
    // Relayed frames a console has not taken yet; beyond this it is cut off instead of the
    // console's memory growing without end.
    static constexpr qint64 kMaxConsoleBacklog = qint64(4) * 1024 * 1024;

    explicit NodeServer(Console& console, QObject* parent = nullptr);
    ~NodeServer() override;

    // Fills the console's hooks (server start and stop, minute expiry, time broadcast, node
    // names), the dispatcher's relay to consoles and the request sender's way to GSM nodes.
    void install();

    // Loads the registry on the first call; listens on `port` (again, when it was another one).
    bool start(quint16 port);
    void stop();
    bool isListening() const { return server_.isListening(); }
    quint16 serverPort() const { return server_.serverPort(); }
    int connectionCount() const { return int(connections_.size()); }

    TGSMClientDB& registry() { return registry_; }

    void ExpireIdleNodes();
    // The daily clock: on the own bus (or the remote node), then to every peer connected.
    void SendTimeBroadcast();
    void BroadcastRequest(std::uint32_t word, const std::uint8_t* data, int count);
    void relayToConsoles(const TCanFrame& frame, UzelIdent node);

    // Later subsystems: the record of the open device window chain (null when none), the open
    // list window's refresh, and the alarm forwarding of "SAP" messages.
    std::function<TUstr*()> currentDevice;
    std::function<void()> refreshActiveList;
    std::function<void(const QByteArray& sapMessage)> forwardAlarmText;

private:
    struct Connection {
        QTcpSocket* socket = nullptr;
        ServerReceiver receiver;
        QString address; // dotted IPv4 as the peer connected
        bool closed = false;
    };

    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);
    void closeConnection(QTcpSocket* socket, bool announce = true);
    void handle(Connection& c, Code code, QByteArrayView msg);
    void handleFrameCommand(Connection& c, Code code, QByteArrayView msg);
    void handleRequest(Connection& c, Code code, QByteArrayView msg);
    void handleGsm(Connection& c, Code code, QByteArrayView msg);
    void handlePas(Connection& c, QByteArrayView msg);
    void logCommand(const Connection& c, const LoggedCommand& cmd);
    void sendToConsole(Connection& c, const QByteArray& bytes);
    void sendToConsoles(const QByteArray& bytes);
    QString peerName(const Connection& c) const;
    QString peerName(const QString& address) const;
    void reportDatabaseError(const QString& text);

    Console& console_;
    QTcpServer server_;
    TGSMClientDB registry_;
    std::map<QTcpSocket*, std::shared_ptr<Connection>> connections_;
    bool installed_ = false;
};

} // namespace kelcon
