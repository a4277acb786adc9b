#include "alarms/Forward.h"

#include "can/AlarmText.h"
#include "core/Console.h"
#include "core/Views.h"
#include "nodelink/Messages.h"

#include <QPointer>

#include <algorithm>
#include <cstring>

namespace kelcon {

namespace {
// An attempt that has neither failed nor finished after this long is started again.
constexpr qint64 kStuckAttemptSeconds = 60;
} // namespace

AlarmForwarder::AlarmForwarder(Console& console, QObject* parent) : QObject(parent), console_(console) {
    connect(&socket_, &QTcpSocket::connected, this, &AlarmForwarder::onConnected);
    connect(&socket_, &QTcpSocket::bytesWritten, this, &AlarmForwarder::onBytesWritten);
    connect(&socket_, &QTcpSocket::disconnected, this, &AlarmForwarder::onClosed);
    // Errors are swallowed: the queues stay and the minute retry tries again.
    connect(&socket_, &QTcpSocket::errorOccurred, this, [this] { batch_ = Batch::None; });
}

AlarmForwarder::~AlarmForwarder() {
    socket_.disconnect(this);
    socket_.abort();
}

void AlarmForwarder::ForwardAlarmRecord(const TCanFrame& frame) {
    if (!console_.state().settings.forwardAlarms)
        return;
    SpAvar a;
    a.ident = frame.ident;
    a.len = std::uint8_t(frame.len & 0x0F);
    std::memcpy(a.data, frame.data.data(), std::min<std::size_t>(a.len, sizeof a.data));
    a.time = toDayCount(console_.clock().now());
    records_.push_back(a);
    startAttempt();
}

void AlarmForwarder::ForwardAlarmText(QByteArrayView sapMessage) {
    if (!console_.state().settings.forwardAlarms)
        return;
    texts_.push_back({sapMessage.toByteArray(), toDayCount(console_.clock().now())});
    startAttempt();
}

void AlarmForwarder::retry() {
    if ((records_.empty() && texts_.empty()) || !console_.state().settings.forwardAlarms)
        return;
    if (socket_.state() == QAbstractSocket::UnconnectedState ||
        attemptStarted_.secsTo(console_.clock().now()) >= kStuckAttemptSeconds) {
        socket_.abort();
        startAttempt();
    }
}

QString AlarmForwarder::dispatcherAddress() {
    // The settings dialog may have changed the address since start; the stored value is the one.
    try {
        return console_.settings().read(QStringLiteral("ip_alert")).trimmed();
    } catch (const DbError&) {
        return console_.state().settings.ipAlert.trimmed();
    }
}

void AlarmForwarder::startAttempt() {
    // An attempt under way takes whatever has been queued by the time it connects; one that is
    // sending now is followed by the next as soon as it is done.
    if (socket_.state() != QAbstractSocket::UnconnectedState)
        return;
    const QString host = dispatcherAddress();
    if (host.isEmpty())
        return;
    alertMode_ = true;
    console_.state().alarmForwardBusy = true;
    attemptStarted_ = console_.clock().now();
    batch_ = Batch::None;
    socket_.connectToHost(host, console_.state().settings.remotePort);
}

bool AlarmForwarder::SendQueuedAlarms() {
    QByteArray out;
    if (!texts_.empty()) {
        for (const SpAvarPlata& t : texts_)
            out += t.text;
        batch_ = Batch::Texts;
        batchCount_ = texts_.size();
    } else if (!records_.empty()) {
        for (const SpAvar& r : records_)
            out += buildPas(r);
        batch_ = Batch::Records;
        batchCount_ = records_.size();
    } else {
        return false;
    }
    batchUnwritten_ = out.size();
    socket_.write(out);
    return true;
}

void AlarmForwarder::onConnected() {
    if (!SendQueuedAlarms()) {
        // Nothing left to say: an idle connection would only block the next attempt.
        socket_.disconnectFromHost();
        alertMode_ = false;
        console_.state().alarmForwardBusy = false;
    }
}

void AlarmForwarder::onBytesWritten(qint64 n) {
    if (batch_ == Batch::None)
        return;
    batchUnwritten_ -= n;
    if (batchUnwritten_ > 0)
        return;
    if (batch_ == Batch::Texts)
        texts_.erase(texts_.begin(), texts_.begin() + std::ptrdiff_t(batchCount_));
    else
        records_.erase(records_.begin(), records_.begin() + std::ptrdiff_t(batchCount_));
    batch_ = Batch::None;
    alertMode_ = false;
    console_.state().alarmForwardBusy = false;
    socket_.disconnectFromHost();
}

void AlarmForwarder::onClosed() {
    // A connection that delivered its batch is followed at once by the next one for what is still
    // queued (the records behind the texts, alarms raised meanwhile); a failed one waits for the
    // minute retry.
    if (alertMode_ || (records_.empty() && texts_.empty()))
        return;
    QPointer<AlarmForwarder> self(this);
    QMetaObject::invokeMethod(
        this,
        [self] {
            if (self)
                self->startAttempt();
        },
        Qt::QueuedConnection);
}

namespace {

// A length past the eight data bytes (a peer's garbage) is cut to them.
QString ForwardedAlarmText(Console& console, const SpAvar& alarm, const QString& peerName) {
    TCanFrame f;
    f.ident = alarm.ident;
    f.len = std::uint8_t(std::min<int>(alarm.len & 0x0F, int(sizeof alarm.data)));
    std::memcpy(f.data.data(), alarm.data, f.len);
    QString text;
    try {
        text = console.dispatcher().alarmText ? console.dispatcher().alarmText(f, 0).text
                                              : AlarmText(f, 0, AlarmNames{}).text;
    } catch (const DbError&) {
        // Without the register the line goes out without the building's name.
        text = AlarmText(f, 0, AlarmNames{}).text;
    }
    return text + QStringLiteral(" на: ") + peerName;
}

} // namespace

void PostForwardedAlarm(Console& console, const SpAvar& alarm, const QString& peerName) {
    const QString text = ForwardedAlarmText(console, alarm, peerName);
    console.state().alarmIndicatorOn = true;
    if (MainView* view = console.view())
        view->restoreFromTray();
    // A time no clock can show (a peer's garbage) gives way to the time of arrival.
    QDateTime time = fromDayCount(alarm.time);
    if (!time.isValid())
        time = console.clock().now();
    console.log().PostEventAt(text, time);
}

void attachAlarmForwarder(Console& console, AlarmForwarder& forwarder) {
    QPointer<AlarmForwarder> f(&forwarder);
    console.dispatcher().forwardAlarm = [f](const TCanFrame& frame, const QDateTime&, UzelIdent) {
        if (f)
            f->ForwardAlarmRecord(frame);
    };
    console.hooks().retryAlarmForwarding = [f] {
        if (f)
            f->retry();
    };
}

} // namespace kelcon
