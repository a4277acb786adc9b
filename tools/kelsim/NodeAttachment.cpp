#include "NodeAttachment.h"

#include "core/Cp1251.h"
#include "nodelink/Parse.h"

namespace kelcon::kelsim {

namespace {

constexpr int kBatchMs = 2000;        // a node collects its site's frames for a moment before it sends them
constexpr std::size_t kBatchMax = 60; // ... or until this many have gathered
constexpr std::size_t kKeptWhileDown = 255;
constexpr int kKeepAliveMs = 120000; // well inside the ten minutes after which the server drops a node
constexpr int kReconnectMs = 5000;
// Largest amount a server could have a reason to send a node at once: requests and tunnel chunks.
constexpr qsizetype kMaxNodePending = 64 * 1024;

Cut cutFrom(CutStatus status, Code code, qsizetype length) {
    return {status, code, length, std::nullopt};
}

} // namespace

Cut cutNodeMessage(QByteArrayView pending) {
    if (pending.size() < 3)
        return cutFrom(CutStatus::NeedMore, Code::None, 0);
    const QByteArrayView head = pending.first(3);
    if (head == codeText(Code::SRC))
        return pending.size() < 16 ? cutFrom(CutStatus::NeedMore, Code::SRC, 16)
                                   : cutFrom(CutStatus::Message, Code::SRC, 16);
    for (Code c : {Code::SC1, Code::SC2, Code::SC5}) {
        if (head != codeText(c))
            continue;
        if (pending.size() < 4)
            return cutFrom(CutStatus::NeedMore, c, 4);
        const qsizetype total = 4 + std::uint8_t(pending[3]);
        return pending.size() < total ? cutFrom(CutStatus::NeedMore, c, total)
                                      : cutFrom(CutStatus::Message, c, total);
    }
    return cutFrom(CutStatus::Unknown, Code::None, 1);
}

NodeAttachment::NodeAttachment(UzelDesc node, QString host, quint16 port, QObject* parent)
    : QObject(parent), node_(std::move(node)), host_(std::move(host)), port_(port),
      receiver_(&cutNodeMessage, kMaxNodePending) {
    connect(&socket_, &QTcpSocket::connected, this, &NodeAttachment::onConnected);
    connect(&socket_, &QTcpSocket::readyRead, this, &NodeAttachment::onReadyRead);
    connect(&socket_, &QTcpSocket::disconnected, this, [this] {
        keepAlive_.stop();
        emit linkChanged(false);
        reconnect_.start();
    });
    connect(&socket_, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        if (socket_.state() == QAbstractSocket::UnconnectedState)
            reconnect_.start();
    });
    batchTimer_.setInterval(kBatchMs);
    connect(&batchTimer_, &QTimer::timeout, this, &NodeAttachment::flush);
    keepAlive_.setInterval(kKeepAliveMs);
    connect(&keepAlive_, &QTimer::timeout, this, [this] { write(buildSnm(node_.ident)); });
    reconnect_.setInterval(kReconnectMs);
    reconnect_.setSingleShot(true);
    connect(&reconnect_, &QTimer::timeout, this, &NodeAttachment::start);
}

void NodeAttachment::start() {
    if (socket_.state() != QAbstractSocket::UnconnectedState)
        return;
    receiver_.clear();
    socket_.connectToHost(host_, port_);
}

void NodeAttachment::onConnected() {
    write(buildGreeting(node_.ident, node_.name));
    keepAlive_.start();
    batchTimer_.start();
    emit linkChanged(true);
    flush();
}

void NodeAttachment::write(const QByteArray& message) {
    if (isConnected())
        socket_.write(message);
}

void NodeAttachment::queueFrame(const QDateTime& stamp, const TCanFrame& frame) {
    // While the link is down the node keeps only its latest frames, as a field gateway's buffer would.
    if (!isConnected() && batch_.size() >= kKeptWhileDown)
        batch_.erase(batch_.begin());
    batch_.push_back({stamp, frame});
    if (isConnected() && batch_.size() >= kBatchMax)
        flush();
}

void NodeAttachment::flush() {
    if (!isConnected() || batch_.empty())
        return;
    write(buildRdc(node_.ident, batch_));
    framesSent_ += qint64(batch_.size());
    batch_.clear();
}

void NodeAttachment::sendAlarm(const UzelAlarm& alarm) {
    flush(); // the controllers' frames before the alarm that followed them
    write(buildSap(node_.ident, tag_++, alarm.time, alarm.raised ? '1' : '0', alarm.kind,
                   toCp1251(alarm.text).left(kSapTextSize)));
}

void NodeAttachment::sendSensors(const UzelSensors& readings) {
    std::vector<SdpRecord> records;
    for (const auto& s : readings.sensors)
        records.push_back(makeSdpRecord(s.code, s.channel, s.value, toCp1251(s.name)));
    write(buildSdp(node_.ident, tag_++, readings.time, records));
}

void NodeAttachment::onReadyRead() {
    receiver_.append(socket_.readAll());
    for (;;) {
        const Received r = receiver_.next();
        if (r.status == CutStatus::Overflow) {
            receiver_.clear();
            return;
        }
        if (r.status == CutStatus::Unknown)
            continue;
        if (r.status != CutStatus::Message)
            return;
        if (r.code == Code::SRC) {
            if (const auto frame = parseSrc(r.message))
                emit frameReceived(node_.ident, *frame);
        } else if (const auto tunnel = parseSc(r.message); tunnel && !tunnel->data.isEmpty()) {
            // The node's serial lines are looped back: what the console sends comes back on the same line.
            write(buildRc(tunnel->line, node_.ident, tunnel->data));
        }
    }
}

} // namespace kelcon::kelsim
