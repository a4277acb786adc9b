#include "nodelink/GsmClientDb.h"

#include "storage/Db.h"

#include <QTcpSocket>

#include <algorithm>

namespace kelcon {

namespace {
constexpr int kFirstTunnelPort = 5000;
constexpr int kMaxIdleMinutes = 10;
} // namespace

TunnelPorts chooseTunnelPorts(DbConnection& db) {
    int highest = 0;
    db.forEach(
        QStringLiteral("select MAX(PORTCOM1) as maxcom1, MAX(PORTCOM2) as maxcom2, MAX(PORT485) as max485 "
                       "from SPISUZEL"),
        {}, [&](const DbRow& row) {
            for (const char* column : {"MAXCOM1", "MAXCOM2", "MAX485"})
                highest = std::max<qint64>(highest, row.value(QString::fromLatin1(column)).toInt64());
            return false;
        });
    const int a = std::max(highest + 1, kFirstTunnelPort);
    return {a, a + 1, a + 2};
}

TGSMClientDB::TGSMClientDB(DbConnection& db, EventSink postEvent, CloseLinkFn closeLink)
    : db_(db), postEvent_(std::move(postEvent)), closeLink_(std::move(closeLink)) {}

TGSMClientDB::~TGSMClientDB() = default;

TablUzel& TGSMClientDB::addNode(UzelIdent ident, const QString& name, TunnelPorts ports) {
    auto e = std::make_unique<TablUzel>();
    e->UzelIdent = ident;
    e->NameUzel = name;
    e->tunnels = std::make_unique<NodeTunnels>(
        ident, name, ports, [this, ident](const QByteArray& bytes) { SendToNode(bytes, ident); }, postEvent_);
    e->tunnels->listen();
    entries_.push_back(std::move(e));
    return *entries_.back();
}

void TGSMClientDB::Load() {
    std::vector<std::pair<UzelIdent, std::pair<QString, TunnelPorts>>> rows;
    db_.forEach(QStringLiteral("select * from SPISUZEL"), {}, [&](const DbRow& row) {
        const TunnelPorts ports{row.toInt(QStringLiteral("PORTCOM1")), row.toInt(QStringLiteral("PORTCOM2")),
                                row.toInt(QStringLiteral("PORT485"))};
        rows.push_back(
            {row.toInt(QStringLiteral("UZELIDENT")), {row.toString(QStringLiteral("NAMEUZEL")), ports}});
        return true;
    });
    for (const auto& [ident, rest] : rows)
        addNode(ident, rest.first, rest.second);
    loaded_ = true;
}

void TGSMClientDB::RegisterNode(UzelIdent ident, const QString& name, QTcpSocket* link,
                                const QString& peerName) {
    if (ident == 0) {
        auto e = std::make_unique<TablUzel>();
        e->NameUzel = name;
        e->link = link;
        entries_.push_back(std::move(e));
        if (postEvent_)
            postEvent_(QStringLiteral("Удаленный клиент (") + peerName + QStringLiteral(") подключился"));
        return;
    }
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [ident](const auto& e) { return e->UzelIdent == ident; });
    if (it != entries_.end()) {
        TablUzel& e = **it;
        // The node has come back on a new connection; the old one is dead weight. A greeting
        // repeated on the current connection keeps it.
        QTcpSocket* old = e.link;
        if (old && old != link && closeLink_)
            closeLink_(old);
        e.link = link;
        e.NameUzel = name;
        e.IdleMinutes = 0;
        if (e.tunnels)
            e.tunnels->setNameUzel(name);
        db_.execute(QStringLiteral("update SPISUZEL set NameUzel=:NamUzel where UzelIdent=:Uzel_ID"),
                    {{QStringLiteral("NamUzel"), name}, {QStringLiteral("Uzel_ID"), ident}});
    } else {
        const TunnelPorts ports = chooseTunnelPorts(db_);
        db_.execute(QStringLiteral("insert into SPISUZEL (UzelIdent,NameUzel,PortCOM1,PortCOM2,Port485)"
                                   "values (:Uzel_ID,:NamUzel,:NomCOM1,:NomCOM2,:Nom485)"),
                    {{QStringLiteral("Uzel_ID"), ident},
                     {QStringLiteral("NamUzel"), name},
                     {QStringLiteral("NomCOM1"), ports.com1},
                     {QStringLiteral("NomCOM2"), ports.com2},
                     {QStringLiteral("Nom485"), ports.rs485}});
        addNode(ident, name, ports).link = link;
    }
    if (postEvent_)
        postEvent_(QStringLiteral("Удаленный узел (") + name + QStringLiteral(") подключился"));
}

void TGSMClientDB::TouchNode(UzelIdent ident, QTcpSocket* link) {
    if (ident == 0)
        return;
    for (auto& e : entries_) {
        if (e->UzelIdent == ident) {
            e->IdleMinutes = 0;
            e->link = link;
        }
    }
}

UzelIdent TGSMClientDB::NodeOfLink(const QTcpSocket* link) const {
    for (const auto& e : entries_) {
        if (e->link == link)
            return e->UzelIdent;
    }
    return 0;
}

bool TGSMClientDB::IsConsoleLink(const QTcpSocket* link) const {
    return std::any_of(entries_.begin(), entries_.end(),
                       [link](const auto& e) { return e->UzelIdent == 0 && e->link == link; });
}

QString TGSMClientDB::NodeNameOfLink(const QTcpSocket* link) const {
    for (const auto& e : entries_) {
        if (e->link == link)
            return e->NameUzel;
    }
    return {};
}

QString TGSMClientDB::NodeName(UzelIdent ident) const {
    for (const auto& e : entries_) {
        if (e->UzelIdent == ident)
            return e->NameUzel;
    }
    return {};
}

int TGSMClientDB::SendToNode(const QByteArray& bytes, UzelIdent ident) {
    for (const auto& e : entries_) {
        if (e->UzelIdent == ident && e->link && e->link->state() == QAbstractSocket::ConnectedState) {
            e->link->write(bytes);
            return 0;
        }
    }
    return 1;
}

void TGSMClientDB::SendToTunnelClients(TunnelLine line, const QByteArray& bytes, UzelIdent ident) {
    for (const auto& e : entries_) {
        if (e->UzelIdent == ident && e->tunnels)
            e->tunnels->sendToClients(line, bytes);
    }
}

void TGSMClientDB::ExpireIdleNodes() {
    std::vector<QTcpSocket*> expired;
    for (auto& e : entries_) {
        ++e->IdleMinutes;
        if (e->UzelIdent != 0 && e->IdleMinutes > kMaxIdleMinutes && e->link &&
            std::find(expired.begin(), expired.end(), e->link) == expired.end())
            expired.push_back(e->link);
    }
    // Closing tells the registry through Forget, so the list is gathered first.
    for (QTcpSocket* link : expired) {
        if (closeLink_)
            closeLink_(link);
    }
}

void TGSMClientDB::Forget(const QTcpSocket* link) {
    for (auto& e : entries_) {
        if (e->link == link)
            e->link = nullptr;
    }
}

void TGSMClientDB::Clear() {
    entries_.clear();
    loaded_ = false;
}

} // namespace kelcon
