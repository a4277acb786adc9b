#pragma once

#include "can/CanFrame.h"
#include "nodelink/Cutter.h"
#include "nodelink/Messages.h"
#include "nodelink/Parse.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTcpSocket>

#include <cstdint>
#include <functional>

namespace kelcon {

class Console;
class TUstr;

// A window that waits for what the remote node sends back: the open list window or the trend
// window. Every reply is handed over whole (code, length word, payload), as the local builders
// produce it, so a window reads remote and local data the same way.
class RemoteReplyConsumer {
public:
    virtual ~RemoteReplyConsumer() = default;
    // "QTP", "QTZ", "QNW", "QSA" to the list window; "QRT", "QDT" to the trend window.
    virtual void takeReply(Code code, QByteArrayView message) = 0;
    // "QTT": the zone window's minimum, average and maximum.
    virtual void takeZoneSummary(const ZoneSummary&) {}
    // The status line and the progress bar of the long replies ("QRT", "QDT", "QSA").
    virtual void showStatus(const QString&) {}
    virtual void showProgress(int /*percent*/) {}
    virtual void hideProgress() {}
    // A relayed frame or sensor reading changed the open device: redraw.
    virtual void refresh() {}
};

// The client of remote mode: one connection to another console's node-link server, over which
// this console's lists, trends and requests are served. Alarm forwarding has a connection of its
// own, so what the operator connected to stays connected to.
class NodeClient : public QObject {
    Q_OBJECT
public:
    explicit NodeClient(Console& console, QObject* parent = nullptr);
    ~NodeClient() override;

    // The open list window (ActiveListWindow) and the trend window; nullptr when closed.
    void setActiveList(RemoteReplyConsumer* consumer) { activeList_ = consumer; }
    void setTrend(RemoteReplyConsumer* consumer) { trend_ = consumer; }
    RemoteReplyConsumer* activeList() const { return activeList_; }
    // The device record of the open device window chain (CurrentDevice), or nullptr.
    std::function<TUstr*()> currentDevice;

    // "Соединиться" with an entry of the remote-node list, name + " (" + address + ")".
    void connectTo(const QString& entry);
    // "Отключиться".
    void disconnectRemote();
    // The connect button: connects to `entry` outside remote mode, disconnects in it.
    void toggle(const QString& entry);

    // The main tick's minute step while remote mode is on and the link is down.
    void reconnect();
    // Shutdown: the connection goes without a word in the event list.
    void close();

    // Requests of the request layer; protected words go scrambled or not at all.
    void SendRemoteFrame(UzelIdent node, std::uint32_t word, const std::uint8_t* data, int count);
    void SendRemoteRequest(UzelIdent node, std::uint32_t word);

    // A message the windows built ("GTP", "GRT", "DNW"...). False, with the no-link box shown,
    // when remote mode has no link.
    bool sendRequest(const QByteArray& message);
    // "Нет связи с удаленным узлом: " + entry + "\nВыполните переподключение"
    QString noLinkText() const;
    // The main window's caption in remote mode.
    QString captionSuffix() const;

    const QString& remoteEntry() const { return entry_; }
    QString host() const { return host_; }
    QTcpSocket& socket() { return socket_; }

    // The address part of an entry: between the first "(" and the first ")", trimmed.
    static QString addressOf(const QString& entry);

private:
    void open();
    void onConnected();
    void onDisconnected();
    void onError(QAbstractSocket::SocketError error);
    void onReadyRead();
    void handle(const Received& message);
    void showProgress(const Received& pending);
    void applyRelayedFrame(QByteArrayView message);
    void applySensors(QByteArrayView message);
    void write(const QByteArray& bytes);
    void post(const QString& text);

    Console& console_;
    QTcpSocket socket_;
    ClientReceiver receiver_;
    QString entry_;
    QString host_;
    RemoteReplyConsumer* activeList_ = nullptr;
    RemoteReplyConsumer* trend_ = nullptr;
    bool quiet_ = false; // closing on shutdown: no event lines
};

// Hands the client to the console: the request layer's remote senders, the minute reconnection
// and the shutdown's close.
void attachNodeClient(Console& console, NodeClient& client);

} // namespace kelcon
