#include "serial/SerialBridge.h"

#include "serial/PortSettings.h"

#include <QTcpSocket>

namespace kelcon {

namespace {

constexpr qint64 kReadChunk = 1024;

} // namespace

QString serialDeviceName(int comNumber)
{
    const QByteArray var = "KELCON_COM" + QByteArray::number(comNumber);
    const QString device = qEnvironmentVariable(var.constData());
    if (!device.isEmpty())
        return device;
    return QStringLiteral("/dev/ttyS%1").arg(comNumber - 1);
}

QString dottedAddress(const QHostAddress& address)
{
    // A dual-stack listener reports IPv4 peers as ::ffff:a.b.c.d.
    bool ok = false;
    const quint32 v4 = address.toIPv4Address(&ok);
    return ok ? QHostAddress(v4).toString() : address.toString();
}

SerialBridge::SerialBridge(int comNumber, EventSink postEvent, QObject* parent)
    : QObject(parent), comNumber_(comNumber), postEvent_(std::move(postEvent)),
      peerName_([](const QHostAddress& a) { return dottedAddress(a); })
{
    serial_.setPortName(serialDeviceName(comNumber));
    serial_.setBaudRate(comNumber == 1 ? 4800 : 9600);
    serial_.setDataBits(QSerialPort::Data8);
    serial_.setStopBits(QSerialPort::OneStop);
    serial_.setParity(QSerialPort::NoParity);
    serial_.setFlowControl(QSerialPort::NoFlowControl);
    tcpPort_ = comNumber == 2 ? kDefaultCom2Port : kDefaultCom1Port;

    connect(&server_, &QTcpServer::newConnection, this, &SerialBridge::onNewConnection);
    connect(&serial_, &QSerialPort::readyRead, this, &SerialBridge::onSerialData);
    connect(&serial_, &QSerialPort::errorOccurred, this, &SerialBridge::onSerialError);
}

SerialBridge::~SerialBridge()
{
    stopListening();
}

void SerialBridge::load(const TComParam& p)
{
    apply(p);
    if (p.on)
        startListening();
}

void SerialBridge::reconfigure(const TComParam& p)
{
    apply(p);
    if (p.on && !isListening()) {
        if (startListening())
            post(QStringLiteral("Старт сервиса удаленного доступа"));
    } else if (!p.on && isListening()) {
        stopListening();
        post(QStringLiteral("Остановлен сервис удаленного доступа"));
    }
}

void SerialBridge::apply(const TComParam& p)
{
    serial_.setBaudRate(baudRateOfIndex(p.baudIndex));
    serial_.setDataBits(dataBitsOfIndex(p.dataBitsIndex));
    serial_.setStopBits(stopBitsOfIndex(p.stopBitsIndex));
    serial_.setParity(parityOfCode(p.parityIndex));
    if (p.port != tcpPort_ && isListening())
        stopListening();
    tcpPort_ = p.port;
}

bool SerialBridge::startListening()
{
    if (isListening())
        return true;
    if (!server_.listen(QHostAddress::Any, tcpPort_)) {
        post(QStringLiteral("Не удалось открыть TCP порт %1").arg(tcpPort_));
        return false;
    }
    return true;
}

void SerialBridge::stopListening()
{
    server_.close();
    // Stopping the service drops its clients without the per-client lines.
    const auto clients = clients_;
    clients_.clear();
    for (const Client& c : clients) {
        c.socket->disconnect(this);
        c.socket->abort();
        c.socket->deleteLater();
    }
    if (serial_.isOpen())
        serial_.close();
}

void SerialBridge::onNewConnection()
{
    while (QTcpSocket* client = server_.nextPendingConnection()) {
        clients_.append({client, client->peerAddress()});
        connect(client, &QTcpSocket::readyRead, this, [this, client] { onClientData(client); });
        connect(client, &QTcpSocket::disconnected, this, [this, client] { onClientDisconnected(client); });
        connect(client, &QTcpSocket::errorOccurred, this,
                [this, client](QAbstractSocket::SocketError e) { onClientError(client, e); });

        if (!serial_.isOpen()) {
            if (!serial_.open(QIODevice::ReadWrite))
                continue; // the client stays, silent; what it sends is dropped
            // Pseudo-terminals refuse the modem lines; that is no reason to give up the port.
            serial_.setDataTerminalReady(true);
            serial_.setRequestToSend(true);
            serial_.clearError();
        }
        post(QStringLiteral("Удаленный клиент (%1) подключился").arg(nameOf(client)));
    }
}

void SerialBridge::onClientData(QTcpSocket* client)
{
    // Everything waiting is taken: a socket does not signal again for bytes already buffered.
    while (client->bytesAvailable() > 0) {
        const QByteArray bytes = client->read(kReadChunk);
        if (serial_.isOpen())
            serial_.write(bytes);
    }
}

void SerialBridge::onClientDisconnected(QTcpSocket* client)
{
    if (serial_.isOpen())
        serial_.close();
    post(QStringLiteral("Удаленный клиент (%1) разорвал соединение...").arg(nameOf(client)));
    forget(client);
}

void SerialBridge::onClientError(QTcpSocket* client, QAbstractSocket::SocketError error)
{
    // A peer closing its end is an ordinary disconnect, reported by onClientDisconnected.
    if (error == QAbstractSocket::RemoteHostClosedError)
        return;
    if (serial_.isOpen())
        serial_.close();
    post(QStringLiteral("Ошибка удаленной связи!"));
    forget(client);
    client->abort();
}

void SerialBridge::forget(QTcpSocket* client)
{
    const auto n = clients_.removeIf([client](const Client& c) { return c.socket == client; });
    if (n == 0)
        return;
    client->disconnect(this);
    client->deleteLater();
}

void SerialBridge::onSerialData()
{
    const QByteArray bytes = serial_.readAll();
    if (isListening() && !bytes.isEmpty() && !clients_.isEmpty())
        clients_.first().socket->write(bytes);
}

void SerialBridge::onSerialError(QSerialPort::SerialPortError error)
{
    // A device that went away (USB adapter pulled) would otherwise signal without end.
    if (error == QSerialPort::ResourceError && serial_.isOpen())
        serial_.close();
}

void SerialBridge::post(const QString& text) const
{
    if (postEvent_)
        postEvent_(prefix() + text);
}

QString SerialBridge::prefix() const
{
    return QStringLiteral("COM%1: ").arg(comNumber_);
}

QString SerialBridge::nameOf(const QTcpSocket* client) const
{
    QHostAddress address = client->peerAddress();
    for (const Client& c : clients_) {
        if (c.socket == client)
            address = c.address;
    }
    return peerName_ ? peerName_(address) : dottedAddress(address);
}

} // namespace kelcon
