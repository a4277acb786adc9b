#pragma once

#include "storage/Settings.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QTcpServer>

#include <functional>

class QTcpSocket;

namespace kelcon {

using EventSink = std::function<void(const QString&)>;
// How a peer is named in event lines; the default is its dotted IPv4 address.
using PeerNameFn = std::function<QString(const QHostAddress&)>;

// "COM1"/"COM2" of the settings are /dev/ttyS0 and /dev/ttyS1 unless KELCON_COM1 / KELCON_COM2
// names another device (a USB adapter, or a pseudo-terminal).
QString serialDeviceName(int comNumber);

QString dottedAddress(const QHostAddress& address);

// Local serial port n exposed on a TCP port. The port is opened by the first client and closed
// at the first disconnect; every client may write to it, answers go to the earliest client.
class SerialBridge : public QObject {
    Q_OBJECT
public:
    SerialBridge(int comNumber, EventSink postEvent, QObject* parent = nullptr);
    ~SerialBridge() override;

    void setPeerName(PeerNameFn peerName) { peerName_ = std::move(peerName); }

    // Start-up (the console's configureBridge): serial settings and TCP port, listening when on.
    // The console posts the start line once every bridge is configured.
    void load(const TComParam& p);

    // The settings dialog: apply everything, start or stop the listener, post what changed.
    void reconfigure(const TComParam& p);

    // Serial settings and TCP port only; a listener running on another port is stopped.
    void apply(const TComParam& p);
    bool startListening(); // posts a line when the TCP port cannot be opened
    void stopListening();

    int comNumber() const { return comNumber_; }
    bool isListening() const { return server_.isListening(); }
    quint16 tcpPort() const { return tcpPort_; }
    bool isSerialOpen() const { return serial_.isOpen(); }
    int clientCount() const { return static_cast<int>(clients_.size()); }
    const QSerialPort& serialPort() const { return serial_; }

private:
    void onNewConnection();
    void onClientData(QTcpSocket* client);
    void onClientDisconnected(QTcpSocket* client);
    void onClientError(QTcpSocket* client, QAbstractSocket::SocketError error);
    void onSerialData();
    void onSerialError(QSerialPort::SerialPortError error);
    void forget(QTcpSocket* client);
    void post(const QString& text) const;
    QString prefix() const;
    QString nameOf(const QTcpSocket* client) const;

    const int comNumber_;
    EventSink postEvent_;
    PeerNameFn peerName_;
    QTcpServer server_;
    QSerialPort serial_;
    quint16 tcpPort_ = 0;
    struct Client {
        QTcpSocket* socket;
        QHostAddress address; // kept: a socket forgets its peer once it has disconnected
    };
    QList<Client> clients_; // in the order they connected
};

} // namespace kelcon
