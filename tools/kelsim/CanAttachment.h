#pragma once

#include "can/CanFrame.h"

#include <QCanBusFrame>
#include <QObject>
#include <QString>

#include <deque>
#include <memory>
#include <optional>

class QCanBusDevice;

namespace kelcon::kelsim {

// The bus form of a frame and back. Only extended data and remote frames carry controller traffic.
QCanBusFrame toBusFrame(const TCanFrame& frame);
std::optional<TCanFrame> fromBusFrame(const QCanBusFrame& frame);

// The plant's own bus through Qt Serial Bus: "virtualcan:can0" (also with a URL naming another
// port, "virtualcan:tcp://127.0.0.1:35470/can0"), "socketcan:can0" for a real adapter.
class CanAttachment : public QObject {
    Q_OBJECT
public:
    ~CanAttachment() override;

    // Nothing when the plugin or the interface does not exist; `error` then says why.
    static std::unique_ptr<CanAttachment> open(const QString& busName, QString* error);

    bool isConnected() const;
    // Frames written before the device is connected wait (the virtual bus connects asynchronously).
    void send(const TCanFrame& frame);
    qint64 framesSent() const { return sent_; }

signals:
    void connected();
    void frameReceived(const kelcon::TCanFrame& frame);
    void failed(const QString& text);

private:
    explicit CanAttachment(QCanBusDevice* device);
    void readFrames();
    void flush();

    std::unique_ptr<QCanBusDevice> device_;
    std::deque<TCanFrame> waiting_;
    qint64 sent_ = 0;
};

} // namespace kelcon::kelsim
