#pragma once

#include "can/CanFrame.h"
#include "nodelink/Records.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTcpSocket>

#include <deque>

namespace kelcon {

class Console;

// A "SAP" alarm message of a GSM node waiting to be passed on; only the text travels.
struct SpAvarPlata {
    QByteArray text; // the 50 characters as they arrived
    double time = 0; // day count of the moment it was queued
};

// Passes every alarm this node raises on to the dispatcher's console (setting ip_alert) over the
// node link. The alarms wait in two queues; each forwarding connection carries either all queued
// texts or all queued records and is closed once they are written. The connection is the
// forwarder's own: the operator's remote-mode connection is never touched.
class AlarmForwarder : public QObject {
    Q_OBJECT
public:
    explicit AlarmForwarder(Console& console, QObject* parent = nullptr);
    ~AlarmForwarder() override;

    // A received frame that was recorded as an alarm (identifier 0, length 0: inactive devices).
    void ForwardAlarmRecord(const TCanFrame& frame);
    // A GSM node's "SAP" message as received.
    void ForwardAlarmText(QByteArrayView sapMessage);
    // The main tick's minute step: a forwarding that failed is tried again while anything waits.
    void retry();

    bool alertMode() const { return alertMode_; }
    QAbstractSocket::SocketState connectionState() const { return socket_.state(); }
    const std::deque<SpAvar>& records() const { return records_; }
    const std::deque<SpAvarPlata>& texts() const { return texts_; }

private:
    void startAttempt();
    bool SendQueuedAlarms();
    void onConnected();
    void onBytesWritten(qint64 n);
    void onClosed();
    QString dispatcherAddress();

    Console& console_;
    QTcpSocket socket_;
    std::deque<SpAvar> records_;
    std::deque<SpAvarPlata> texts_;
    bool alertMode_ = false;
    QDateTime attemptStarted_;
    // What the open connection carries: which queue, how many of its elements, and how many of
    // their bytes are still to be written. Elements leave their queue only once all are written.
    enum class Batch { None, Texts, Records } batch_ = Batch::None;
    std::size_t batchCount_ = 0;
    qint64 batchUnwritten_ = 0;
};

// The dispatcher's side of a "PAS" (the node-link server calls it): the alarm line of the record,
// " на: " and the sending node's name, posted with the record's time; the alarm signal goes on and
// the main window comes up.
void PostForwardedAlarm(Console& console, const SpAvar& alarm, const QString& peerName);

// Hands the forwarder to the console: the dispatcher's alarm hand-over and the minute retry.
void attachAlarmForwarder(Console& console, AlarmForwarder& forwarder);

} // namespace kelcon
