#include "nodelink/NodeClient.h"

#include "can/DeviceRecord.h"
#include "can/Requests.h"
#include "core/Console.h"
#include "core/Cp1251.h"
#include "core/Views.h"
#include "nodelink/ClientSensors.h"

#include <QPointer>

#include <algorithm>
#include <span>

namespace kelcon {

namespace {
const QString kReceiving = QStringLiteral("Получаем данные...");

bool isLongReply(Code code) {
    return code == Code::QRT || code == Code::QDT || code == Code::QSA;
}
} // namespace

NodeClient::NodeClient(Console& console, QObject* parent) : QObject(parent), console_(console) {
    connect(&socket_, &QTcpSocket::connected, this, &NodeClient::onConnected);
    connect(&socket_, &QTcpSocket::disconnected, this, &NodeClient::onDisconnected);
    connect(&socket_, &QTcpSocket::errorOccurred, this, &NodeClient::onError);
    connect(&socket_, &QTcpSocket::readyRead, this, &NodeClient::onReadyRead);
}

NodeClient::~NodeClient() {
    close();
}

QString NodeClient::addressOf(const QString& entry) {
    const qsizetype open = entry.indexOf(QLatin1Char('('));
    const qsizetype close = entry.indexOf(QLatin1Char(')'));
    if (open < 0 || close <= open)
        return {};
    return entry.mid(open + 1, close - open - 1).trimmed();
}

QString NodeClient::noLinkText() const {
    return QStringLiteral("Нет связи с удаленным узлом: ") + entry_ +
           QStringLiteral("\nВыполните переподключение");
}

QString NodeClient::captionSuffix() const {
    return console_.state().remoteMode ? QStringLiteral(" Подключены к ") + entry_.trimmed() : QString();
}

void NodeClient::post(const QString& text) {
    if (!quiet_)
        console_.log().PostEvent(text);
}

void NodeClient::toggle(const QString& entry) {
    if (console_.state().remoteMode)
        disconnectRemote();
    else
        connectTo(entry);
}

void NodeClient::connectTo(const QString& entry) {
    if (auto* popup = console_.popup())
        popup->hide();
    ConsoleState& state = console_.state();
    entry_ = entry;
    host_ = addressOf(entry);
    state.remoteNodeName = entry;
    state.remoteMode = true;
    post(QStringLiteral("Попытка соединения..."));
    open();
    if (auto* view = console_.view())
        view->setTitle((console_.applicationTitle() + captionSuffix()).trimmed());
}

void NodeClient::disconnectRemote() {
    if (auto* popup = console_.popup())
        popup->hide();
    ConsoleState& state = console_.state();
    state.remoteMode = false;
    socket_.abort();
    state.remoteLinkUp = false;
    if (auto* view = console_.view())
        view->setTitle(console_.applicationTitle());
}

void NodeClient::close() {
    quiet_ = true;
    socket_.abort();
    quiet_ = false;
    console_.state().remoteLinkUp = false;
}

void NodeClient::reconnect() {
    if (console_.state().remoteMode && !console_.state().remoteLinkUp)
        open();
}

void NodeClient::open() {
    socket_.abort();
    receiver_.clear();
    // A dotted address is taken as it stands, anything else is resolved; QTcpSocket makes the
    // same distinction itself.
    socket_.connectToHost(host_, console_.state().settings.remotePort);
}

void NodeClient::onConnected() {
    write(buildConsoleGreeting(console_.state().settings.logon));
    post(QStringLiteral("Подключились к удаленному узлу - ") + entry_);
    console_.state().remoteLinkUp = true;
}

void NodeClient::onDisconnected() {
    // Only a connection that was up can break; an attempt that never connected reports its error.
    if (!console_.state().remoteLinkUp)
        return;
    console_.state().remoteLinkUp = false;
    post(QStringLiteral("Разорвано соединение с удаленным узлом: ") + entry_);
}

void NodeClient::onError(QAbstractSocket::SocketError error) {
    // The peer closing is the disconnect event's to report.
    if (error == QAbstractSocket::RemoteHostClosedError)
        return;
    const bool wasUp = console_.state().remoteLinkUp;
    console_.state().remoteLinkUp = false;
    post(QStringLiteral("Ошибка подключения к удаленному узлу - ") + entry_);
    if (wasUp || socket_.state() == QAbstractSocket::ConnectedState)
        socket_.abort();
}

void NodeClient::write(const QByteArray& bytes) {
    if (socket_.state() == QAbstractSocket::ConnectedState)
        socket_.write(bytes);
}

bool NodeClient::sendRequest(const QByteArray& message) {
    if (!console_.state().remoteLinkUp) {
        if (auto* prompt = console_.prompt())
            prompt->information(noLinkText());
        return false;
    }
    write(message);
    return true;
}

void NodeClient::SendRemoteFrame(UzelIdent node, std::uint32_t word, const std::uint8_t* data, int count) {
    const TSettings& s = console_.state().settings;
    const auto bytes =
        std::span<const std::uint8_t>(data, data ? std::size_t(std::clamp(count, 0, kMaxFrameData)) : 0u);
    if (IsSettingsWrite(word)) {
        // Without changes over the network this console keeps setting changes to itself.
        if (s.changesOverNetwork)
            write(buildCpm(node, word, bytes, toCp1251(s.networkPassword)));
        return;
    }
    write(buildCan(node, word, bytes));
}

void NodeClient::SendRemoteRequest(UzelIdent node, std::uint32_t word) {
    const TSettings& s = console_.state().settings;
    if (IsStepChange(word)) {
        if (s.changesOverNetwork)
            write(buildZpc(node, word, toCp1251(s.networkPassword)));
        return;
    }
    write(buildZcn(node, word));
}

void NodeClient::onReadyRead() {
    receiver_.append(socket_.readAll());
    try {
        for (;;) {
            const Received r = receiver_.next();
            switch (r.status) {
            case CutStatus::Message:
                handle(r);
                continue;
            case CutStatus::Unknown:
                continue;
            case CutStatus::NeedMore:
                showProgress(r);
                return;
            default:
                // A length word no server sends: what follows cannot be cut any more.
                receiver_.clear();
                socket_.abort();
                return;
            }
        }
    } catch (const DbError& e) {
        post(e.text());
        if (auto* prompt = console_.prompt())
            prompt->error(e.text());
    }
}

void NodeClient::showProgress(const Received& pending) {
    if (!isLongReply(pending.code))
        return;
    RemoteReplyConsumer* c = pending.code == Code::QSA ? activeList_ : trend_;
    if (!c)
        return;
    c->showStatus(kReceiving);
    const qsizetype have = receiver_.pendingSize();
    if (have >= kReplyHeaderSize && pending.needed > 0)
        c->showProgress(int(qint64(have) * 100 / qint64(pending.needed)));
}

void NodeClient::handle(const Received& m) {
    switch (m.code) {
    case Code::QTP:
    case Code::QTZ:
    case Code::QNW:
        if (activeList_)
            activeList_->takeReply(m.code, m.message);
        break;
    case Code::QRT:
    case Code::QDT:
        if (trend_) {
            trend_->showStatus(kReceiving);
            trend_->hideProgress();
            trend_->takeReply(m.code, m.message);
        }
        break;
    case Code::QSA:
        if (activeList_) {
            activeList_->showStatus(kReceiving);
            activeList_->hideProgress();
            activeList_->showStatus(QStringLiteral("Готово"));
            activeList_->takeReply(m.code, m.message);
        }
        break;
    case Code::QTT:
        if (const auto summary = parseQtt(m.message); summary && activeList_)
            activeList_->takeZoneSummary(*summary);
        break;
    case Code::CAN:
        applyRelayedFrame(m.message);
        break;
    case Code::SDP:
        applySensors(m.message);
        break;
    default: // "SNM": a GSM node's keep-alive means nothing to a console
        break;
    }
}

void NodeClient::applyRelayedFrame(QByteArrayView message) {
    TUstr* device = currentDevice ? currentDevice() : nullptr;
    if (!activeList_ || !device)
        return;
    const auto relayed = parseRelayedCan(message);
    if (!relayed || deviceKey(relayed->frame.ident) != device->KeyUstr || relayed->node != device->Uzel)
        return;
    device->Decode(relayed->frame);
    activeList_->refresh();
}

void NodeClient::applySensors(QByteArrayView message) {
    const auto sdp = parseSdp(message);
    if (!sdp)
        return;
    if (TUstr* device = currentDevice ? currentDevice() : nullptr)
        ApplySensorRecords(*device, sdp->node, sdp->sensors);
    if (activeList_)
        activeList_->refresh();
}

void attachNodeClient(Console& console, NodeClient& client) {
    // The console may outlive the client (its shutdown closes the client when there still is one).
    QPointer<NodeClient> c(&client);
    RequestSender& requests = console.requests();
    requests.sendRemoteFrame = [c](UzelIdent node, std::uint32_t word, const std::uint8_t* data, int count) {
        if (c)
            c->SendRemoteFrame(node, word, data, count);
    };
    requests.sendRemoteRequest = [c](UzelIdent node, std::uint32_t word) {
        if (c)
            c->SendRemoteRequest(node, word);
    };
    console.hooks().reconnectRemote = [c] {
        if (c)
            c->reconnect();
    };
    console.hooks().closeRemoteClient = [c] {
        if (c)
            c->close();
    };
}

} // namespace kelcon
