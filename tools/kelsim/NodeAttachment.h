#pragma once

#include "PlantFile.h"
#include "Simulator.h"
#include "nodelink/Cutter.h"
#include "nodelink/Messages.h"

#include <QObject>
#include <QTcpSocket>
#include <QTimer>

#include <vector>

namespace kelcon::kelsim {

// What a GSM node is sent by a console's server: "SRC" requests for its controllers and "SC1",
// "SC2", "SC5" bytes for its serial lines. Anything else costs one byte.
Cut cutNodeMessage(QByteArrayView pending);

// A GSM node of the plant: a TCP client of a console's node-link server that greets, pushes its
// site's frames in "RDC" batches, its own alarms ("SAP") and sensor readings ("SDP"), keeps the link
// alive with "SNM", hands the "SRC" requests to its controllers and echoes its serial lines.
class NodeAttachment : public QObject {
    Q_OBJECT
public:
    NodeAttachment(UzelDesc node, QString host, quint16 port, QObject* parent = nullptr);

    UzelIdent ident() const { return node_.ident; }
    const QString& name() const { return node_.name; }
    bool isConnected() const { return socket_.state() == QAbstractSocket::ConnectedState; }
    qint64 framesSent() const { return framesSent_; }

    void start();
    void queueFrame(const QDateTime& stamp, const TCanFrame& frame);
    void sendAlarm(const UzelAlarm& alarm);
    void sendSensors(const UzelSensors& readings);
    void flush(); // the batch goes out now

signals:
    void frameReceived(kelcon::UzelIdent uzel, const kelcon::TCanFrame& frame);
    void linkChanged(bool connected);

private:
    void onConnected();
    void onReadyRead();
    void write(const QByteArray& message);

    UzelDesc node_;
    QString host_;
    quint16 port_;
    QTcpSocket socket_;
    Receiver receiver_;
    QTimer batchTimer_;
    QTimer keepAlive_;
    QTimer reconnect_;
    std::vector<RdcRecord> batch_;
    qint64 framesSent_ = 0;
    std::uint16_t tag_ = 0;
};

} // namespace kelcon::kelsim
