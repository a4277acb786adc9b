#pragma once

#include "can/CanFrame.h"
#include "nodelink/Messages.h"
#include "serial/NodeTunnels.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QTcpSocket;

namespace kelcon {

class DbConnection;

// One peer the server knows: a console that greeted, or a GSM node (loaded from SPISUZEL or
// greeted for the first time). Entries are kept for the run; `link` is the server connection the
// peer last spoke on, null while it has none. Keying by the connection itself, not by its remote
// port, keeps two peers on different hosts with the same port number apart.
struct TablUzel {
    std::int32_t UzelIdent = 0; // 0: a console
    QString NameUzel;
    QTcpSocket* link = nullptr;
    int IdleMinutes = 0;
    std::unique_ptr<NodeTunnels> tunnels; // GSM nodes only
};

// The first free trio of tunnel ports: one above the largest port in SPISUZEL, 5000 at least.
TunnelPorts chooseTunnelPorts(DbConnection& db);

// The node registry of the server. Connections are closed through `closeLink`, so the server
// decides what a close costs; the registry only forgets a connection when told by Forget.
class TGSMClientDB {
public:
    using CloseLinkFn = std::function<void(QTcpSocket*)>;

    TGSMClientDB(DbConnection& db, EventSink postEvent, CloseLinkFn closeLink);
    ~TGSMClientDB();

    // The GSM nodes of SPISUZEL with their tunnel listeners.
    void Load();
    // A greeting: `peerName` is how a console is shown.
    void RegisterNode(UzelIdent ident, const QString& name, QTcpSocket* link, const QString& peerName);
    void TouchNode(UzelIdent ident, QTcpSocket* link);

    UzelIdent NodeOfLink(const QTcpSocket* link) const;
    bool IsConsoleLink(const QTcpSocket* link) const;
    QString NodeNameOfLink(const QTcpSocket* link) const;
    QString NodeName(UzelIdent ident) const;

    // 0 sent, 1 the node has no connection.
    int SendToNode(const QByteArray& bytes, UzelIdent ident);
    void SendToTunnelClients(TunnelLine line, const QByteArray& bytes, UzelIdent ident);

    // The minute tick: a GSM node that said nothing for more than ten minutes loses its connection.
    void ExpireIdleNodes();

    // A connection has gone; entries that pointed at it have none now.
    void Forget(const QTcpSocket* link);
    // Closes every tunnel listener (the server stops).
    void Clear();

    const std::vector<std::unique_ptr<TablUzel>>& entries() const { return entries_; }
    bool isLoaded() const { return loaded_; }

private:
    TablUzel& addNode(UzelIdent ident, const QString& name, TunnelPorts ports);

    DbConnection& db_;
    EventSink postEvent_;
    CloseLinkFn closeLink_;
    std::vector<std::unique_ptr<TablUzel>> entries_;
    bool loaded_ = false;
};

} // namespace kelcon
