#include "nodelink/NodeServer.h"

#include "alarms/Forward.h"
#include "can/DeviceRecord.h"
#include "can/Requests.h"
#include "core/Console.h"
#include "core/Cp1251.h"
#include "core/Views.h"
#include "nodelink/ClientSensors.h"
#include "nodelink/Parse.h"
#include "nodelink/RemoteQueries.h"
#include "serial/SerialBridge.h"

#include <QTcpSocket>

#include <vector>

namespace kelcon {

namespace {

QString sapText(const SapMessage& sap) {
    if (sap.raised()) {
        if (sap.kind == '8')
            return QStringLiteral("Авария: пропало напряжение питания");
        if (sap.kind == 'F')
            return QStringLiteral("Внимание: принята команда включить режим \"выходные\"");
        return QStringLiteral("Авария: ") + fromCp1251(sap.text);
    }
    if (sap.kind == '8')
        return QStringLiteral("Авария снята: питание восстановлено");
    if (sap.kind == 'F')
        return QStringLiteral("Внимание: принята команда включить нормальный режим");
    return QStringLiteral("Авария снята: ") + fromCp1251(sap.text);
}

LoggedCommand commandOf(Code code, const FrameCommand& f) {
    LoggedCommand cmd;
    cmd.code = code;
    cmd.ident = f.ident;
    cmd.params = f.data;
    cmd.paramCount = f.count;
    return cmd;
}

} // namespace

NodeServer::NodeServer(Console& console, QObject* parent)
    : QObject(parent), console_(console),
      registry_(
          console.eventDb(), [this](const QString& text) { console_.log().PostEvent(text); },
          [this](QTcpSocket* link) { closeConnection(link); }) {
    connect(&server_, &QTcpServer::newConnection, this, &NodeServer::onNewConnection);
}

NodeServer::~NodeServer() {
    stop();
    // The console may outlive the server (and calls stopServer when it shuts down).
    if (installed_) {
        ConsoleHooks& h = console_.hooks();
        h.startServer = nullptr;
        h.stopServer = nullptr;
        h.expireIdleNodes = nullptr;
        h.sendTimeBroadcast = nullptr;
        h.nodeName = nullptr;
        console_.dispatcher().relayToConsoles = nullptr;
        console_.requests().sendToNode = nullptr;
    }
}

void NodeServer::install() {
    ConsoleHooks& h = console_.hooks();
    h.startServer = [this](quint16 port) { return start(port); };
    h.stopServer = [this] { stop(); };
    h.expireIdleNodes = [this] { ExpireIdleNodes(); };
    h.sendTimeBroadcast = [this] { SendTimeBroadcast(); };
    h.nodeName = [this](UzelIdent node) { return registry_.NodeName(node); };
    console_.dispatcher().relayToConsoles = [this](const TCanFrame& f, UzelIdent node) {
        relayToConsoles(f, node);
    };
    console_.requests().sendToNode = [this](UzelIdent node, const QByteArray& bytes) {
        return registry_.SendToNode(bytes, node);
    };
    installed_ = true;
}

bool NodeServer::start(quint16 port) {
    if (!registry_.isLoaded()) {
        try {
            registry_.Load();
        } catch (const DbError& e) {
            reportDatabaseError(e.text());
        }
    }
    if (server_.isListening() && server_.serverPort() == port)
        return true;
    server_.close();
    if (server_.listen(QHostAddress::Any, port))
        return true;
    console_.log().PostEvent(QStringLiteral("Сервис удаленного управления: не удалось открыть TCP порт ") +
                             QString::number(port));
    return false;
}

void NodeServer::stop() {
    server_.close();
    std::vector<QTcpSocket*> open;
    for (const auto& [socket, c] : connections_)
        open.push_back(socket);
    for (QTcpSocket* socket : open)
        closeConnection(socket, false);
}

void NodeServer::onNewConnection() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        auto c = std::make_shared<Connection>();
        c->socket = socket;
        c->address = dottedAddress(socket->peerAddress());
        // What one read may add to the accumulator before the 64 KiB check sees it.
        socket->setReadBufferSize(kMaxServerPending);
        connections_[socket] = c;
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { closeConnection(socket); });
        // Errors are not reported; a connection that failed is closed like one the peer ended.
        connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] { closeConnection(socket); });
    }
}

void NodeServer::closeConnection(QTcpSocket* socket, bool announce) {
    const auto it = connections_.find(socket);
    if (it == connections_.end())
        return;
    const std::shared_ptr<Connection> c = it->second;
    connections_.erase(it);
    c->closed = true;
    // A GSM node's going is not news: it comes back by itself.
    if (announce && registry_.NodeOfLink(socket) == 0)
        console_.log().PostEvent(QStringLiteral("Удаленный клиент (") + peerName(*c) +
                                 QStringLiteral(") разорвал соединение..."));
    registry_.Forget(socket);
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

QString NodeServer::peerName(const QString& address) const {
    QStringList lines;
    for (const auto& node : console_.remoteNodes())
        lines << node.entry();
    return PeerName(address, lines);
}

QString NodeServer::peerName(const Connection& c) const {
    return peerName(c.address);
}

void NodeServer::reportDatabaseError(const QString& text) {
    console_.log().PostEvent(text);
    if (auto* prompt = console_.prompt())
        prompt->error(text);
}

void NodeServer::onReadyRead(QTcpSocket* socket) {
    const auto it = connections_.find(socket);
    if (it == connections_.end())
        return;
    // Whoever made this connection speak has seen the alarm by now.
    if (console_.state().alarmIndicatorOn) {
        if (auto* popup = console_.popup())
            popup->hide();
        console_.state().alarmIndicatorOn = false;
    }
    // Handlers may close this very connection (a relay to a console that stopped reading); the
    // connection stays alive until the loop has seen that.
    const std::shared_ptr<Connection> c = it->second;
    c->receiver.append(socket->readAll());
    while (!c->closed) {
        const Received r = c->receiver.next();
        switch (r.status) {
        case CutStatus::Message:
            try {
                handle(*c, r.code, r.message);
            } catch (const DbError& e) {
                reportDatabaseError(e.text());
            }
            continue;
        case CutStatus::NeedMore:
            // An "RDC" in progress already shows that its node is alive.
            if (r.node)
                registry_.TouchNode(*r.node, socket);
            return;
        case CutStatus::Unknown:
            if (registry_.NodeOfLink(socket) == 0) {
                closeConnection(socket);
                return;
            }
            continue;
        case CutStatus::Overflow: {
            const QString who = registry_.NodeOfLink(socket) != 0
                                    ? QStringLiteral("Удаленный узел (") + registry_.NodeNameOfLink(socket)
                                    : QStringLiteral("Удаленный клиент (") + peerName(*c);
            console_.log().PostEvent(
                who + QStringLiteral("): более 64 КБ необработанных данных, соединение закрыто"));
            closeConnection(socket);
            return;
        }
        default:
            closeConnection(socket);
            return;
        }
    }
}

void NodeServer::handle(Connection& c, Code code, QByteArrayView msg) {
    switch (code) {
    case Code::CAN:
    case Code::CPM:
    case Code::ZCN:
    case Code::ZPC:
        handleFrameCommand(c, code, msg);
        return;
    case Code::GTT:
    case Code::GRT:
    case Code::GDT:
    case Code::GUT:
    case Code::DNW:
    case Code::GTP:
    case Code::GTZ:
    case Code::GNW:
    case Code::GSA:
        handleRequest(c, code, msg);
        return;
    case Code::PAS:
        handlePas(c, msg);
        return;
    default:
        handleGsm(c, code, msg);
        return;
    }
}

void NodeServer::handleFrameCommand(Connection& c, Code code, QByteArrayView msg) {
    const TSettings& settings = console_.state().settings;
    const QByteArray password = toCp1251(settings.networkPassword);
    RequestSender& requests = console_.requests();
    // Protected words travel only scrambled: a plain "CAN" or "ZCN" carrying one would let
    // anyone past the change password, so it is logged and not sent, whatever the setting.
    const auto isProtected = [](std::uint32_t word) { return IsSettingsWrite(word) || IsStepChange(word); };
    switch (code) {
    case Code::CAN:
        if (const auto f = parseCan(msg)) {
            if (!isProtected(f->ident))
                requests.ExecuteRemoteData(f->node, f->ident, f->data.data(), f->count);
            logCommand(c, commandOf(code, *f));
        }
        return;
    case Code::CPM:
        if (const auto f = verifyCpm(msg, password, settings.changesOverNetwork)) {
            requests.ExecuteRemoteData(f->node, f->ident, f->data.data(), f->count);
            logCommand(c, commandOf(code, *f));
        }
        return;
    case Code::ZCN:
        if (const auto f = parseZcn(msg)) {
            logCommand(c, commandOf(code, *f));
            if (!isProtected(f->ident))
                requests.ExecuteRemoteRequest(f->node, f->ident);
        }
        return;
    case Code::ZPC:
        if (const auto f = verifyZpc(msg, password, settings.changesOverNetwork)) {
            logCommand(c, commandOf(code, *f));
            requests.ExecuteRemoteRequest(f->node, f->ident);
        }
        return;
    default:
        return;
    }
}

void NodeServer::handleRequest(Connection& c, Code code, QByteArrayView msg) {
    DbConnection& db = console_.eventDb();
    LoggedCommand cmd;
    cmd.code = code;
    switch (code) {
    case Code::GTT:
        if (const auto q = parseGtt(msg)) {
            cmd.building = q->nomZdan;
            cmd.floor = q->nomEtaz;
            cmd.params[0] = q->nomZdan;
            cmd.params[1] = q->nomEtaz;
            cmd.paramCount = 2;
            logCommand(c, cmd);
            sendToConsole(c, BuildZoneSummary(db, q->nomZdan, q->nomEtaz, q->node));
        }
        return;
    case Code::GRT:
    case Code::GDT:
    case Code::GUT: {
        const auto q = code == Code::GRT ? parseGrt(msg) : code == Code::GDT ? parseGdt(msg) : parseGut(msg);
        if (!q)
            return;
        cmd.ident = q->ident;
        cmd.selector = q->selector;
        if (code != Code::GUT) {
            cmd.params[0] = std::uint8_t(q->selector & 0xFF);
            cmd.paramCount = 1;
        }
        logCommand(c, cmd);
        const Code replyCode = code == Code::GDT ? Code::QDT : Code::QRT;
        if (!isServableTrendPeriod(q->begin, q->end))
            sendToConsole(c, buildReply(replyCode, {}));
        else if (code == Code::GRT)
            sendToConsole(c,
                          BuildTempTrend(db, q->begin, q->end, q->ident, std::uint8_t(q->selector), q->node));
        else if (code == Code::GDT)
            sendToConsole(c, BuildSensorTrend(db, q->begin, q->end, q->selector, q->node));
        else
            sendToConsole(c, BuildOutsideTrend(db, q->begin, q->end, q->ident, q->node));
        return;
    }
    case Code::DNW:
        if (const auto q = parseDnw(msg)) {
            logCommand(c, cmd);
            db.execute(
                QStringLiteral(
                    "delete from SpisKel where TypeNo=:NType and PriborNo=:NPrib and UZELIDENT=:UzelID"),
                {{QStringLiteral("NType"), int(q->typeNo)},
                 {QStringLiteral("NPrib"), int(q->priborNo)},
                 {QStringLiteral("UzelID"), q->node}});
        }
        return;
    case Code::GTP:
        logCommand(c, cmd);
        sendToConsole(c, BuildPointList(db));
        return;
    case Code::GTZ:
        logCommand(c, cmd);
        sendToConsole(c, BuildZoneList(db));
        return;
    case Code::GNW: {
        logCommand(c, cmd);
        const TSettings& s = console_.state().settings;
        sendToConsole(c, BuildInactiveList(db, console_.clock().now(), s.neact02, s.neact06));
        return;
    }
    case Code::GSA:
        logCommand(c, cmd);
        sendToConsole(c, BuildAlarmLogReply(console_.log().errorFile()));
        return;
    default:
        return;
    }
}

void NodeServer::handlePas(Connection& c, QByteArrayView msg) {
    if (const auto alarm = parsePas(msg))
        PostForwardedAlarm(console_, *alarm, peerName(c));
}

void NodeServer::handleGsm(Connection& c, Code code, QByteArrayView msg) {
    QTcpSocket* link = c.socket;
    ConsoleState& state = console_.state();
    switch (code) {
    case Code::RDC:
        if (auto m = parseRdc(msg)) {
            registry_.TouchNode(m->node, link);
            const QDateTime now = console_.clock().now();
            for (const TCanFrame& f : m->frames)
                console_.dispatcher().dispatch(f, now, m->node);
            state.receivedFrames += quint32(m->frames.size());
        }
        return;
    case Code::SAP:
        if (const auto m = parseSap(msg)) {
            registry_.TouchNode(m->node, link);
            const QString text = sapText(*m) + QStringLiteral(" на узле: \"") +
                                 registry_.NodeNameOfLink(link) + QLatin1Char('"');
            state.alarmIndicatorOn = true;
            if (auto* view = console_.view())
                view->restoreFromTray();
            console_.log().PostEventAt(text, console_.clock().now());
            if (forwardAlarmText)
                forwardAlarmText(msg.toByteArray());
            ++state.receivedFrames;
        }
        return;
    case Code::SDP:
        if (const auto m = parseSdp(msg)) {
            registry_.TouchNode(m->node, link);
            const QDateTime now = console_.clock().now();
            for (const SdpRecord& s : m->sensors)
                console_.dispatcher().dispatch(s.frame(), now, m->node);
            if (TUstr* device = currentDevice ? currentDevice() : nullptr)
                ApplySensorRecords(*device, m->node, m->sensors);
            if (refreshActiveList)
                refreshActiveList();
            sendToConsoles(msg.toByteArray());
            ++state.receivedFrames;
        }
        return;
    case Code::SNM:
        if (const auto node = parseSnm(msg))
            registry_.TouchNode(*node, link);
        return;
    case Code::SNU:
        if (const auto g = parseSnu(msg))
            registry_.RegisterNode(g->node, g->name, link, peerName(c));
        return;
    case Code::RC1:
    case Code::RC2:
    case Code::RC4:
        if (const auto t = parseRc(msg)) {
            registry_.TouchNode(t->node, link);
            registry_.SendToTunnelClients(t->line, t->data, t->node);
        }
        return;
    default:
        return;
    }
}

void NodeServer::logCommand(const Connection& c, const LoggedCommand& cmd) {
    const QString name = peerName(c);
    // A console listed under a name is known; only address-only consoles get a row.
    if (const auto parts = dottedParts(name))
        insertCommandRow(console_.eventDb(), console_.clock().now(), *parts, cmd);
    console_.log().PostEventAt(CommandText(name, cmd), console_.clock().now());
}

void NodeServer::sendToConsole(Connection& c, const QByteArray& bytes) {
    if (c.closed)
        return;
    if (c.socket->bytesToWrite() > kMaxConsoleBacklog) {
        console_.log().PostEvent(QStringLiteral("Удаленный клиент (") + peerName(c) +
                                 QStringLiteral(") не принимает данные, соединение закрыто"));
        closeConnection(c.socket);
        return;
    }
    c.socket->write(bytes);
}

void NodeServer::sendToConsoles(const QByteArray& bytes) {
    // Gathered first: a console cut off for its backlog leaves the map.
    std::vector<std::shared_ptr<Connection>> consoles;
    for (const auto& [socket, c] : connections_) {
        if (registry_.IsConsoleLink(socket))
            consoles.push_back(c);
    }
    for (const auto& c : consoles)
        sendToConsole(*c, bytes);
}

void NodeServer::relayToConsoles(const TCanFrame& frame, UzelIdent node) {
    if (!connections_.empty())
        sendToConsoles(buildRelayedCan(node, frame));
}

void NodeServer::ExpireIdleNodes() {
    registry_.ExpireIdleNodes();
}

void NodeServer::SendTimeBroadcast() {
    const auto data = TimeBroadcastData(console_.clock().now());
    console_.requests().SendData(0, kTimeBroadcastWord, data.data(), int(data.size()));
    BroadcastRequest(kTimeBroadcastWord, data.data(), int(data.size()));
}

void NodeServer::BroadcastRequest(std::uint32_t word, const std::uint8_t* data, int count) {
    std::vector<UzelIdent> targets;
    for (const auto& [socket, c] : connections_) {
        for (const auto& e : registry_.entries()) {
            if (e->link == socket)
                targets.push_back(e->UzelIdent);
        }
    }
    for (UzelIdent node : targets)
        console_.requests().SendData(node, word, data, count);
}

} // namespace kelcon
