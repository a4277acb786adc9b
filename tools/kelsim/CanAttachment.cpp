#include "CanAttachment.h"

#include <QCanBus>
#include <QCanBusDevice>

namespace kelcon::kelsim {

namespace {

// Frames waiting for the connection; beyond this the oldest are lost, as on a bus nobody listens to.
constexpr std::size_t kMaxWaiting = 4096;

} // namespace

QCanBusFrame toBusFrame(const TCanFrame& frame) {
    const quint32 id = identifierFromWord(frame.ident);
    if (frame.isRemoteRequest()) {
        QCanBusFrame f(QCanBusFrame::RemoteRequestFrame);
        f.setFrameId(id);
        f.setExtendedFrameFormat(true);
        return f;
    }
    const int n = std::min(frame.dataLength(), 8);
    QCanBusFrame f(id, QByteArray(reinterpret_cast<const char*>(frame.data.data()), n));
    f.setExtendedFrameFormat(true);
    return f;
}

std::optional<TCanFrame> fromBusFrame(const QCanBusFrame& frame) {
    if (!frame.isValid() || !frame.hasExtendedFrameFormat())
        return std::nullopt;
    TCanFrame f;
    f.ident = wordFromIdentifier(frame.frameId());
    if (frame.frameType() == QCanBusFrame::RemoteRequestFrame) {
        f.len = 0x40;
        return f;
    }
    if (frame.frameType() != QCanBusFrame::DataFrame)
        return std::nullopt;
    const QByteArray payload = frame.payload();
    const int n = int(std::min<qsizetype>(payload.size(), 8));
    f.len = std::uint8_t(n);
    for (int i = 0; i < n; ++i)
        f.data[i] = std::uint8_t(payload[i]);
    return f;
}

CanAttachment::CanAttachment(QCanBusDevice* device) : device_(device) {
    connect(device, &QCanBusDevice::framesReceived, this, &CanAttachment::readFrames);
    connect(device, &QCanBusDevice::stateChanged, this, [this](QCanBusDevice::CanBusDeviceState state) {
        if (state == QCanBusDevice::ConnectedState) {
            flush();
            emit connected();
        } else if (state == QCanBusDevice::UnconnectedState) {
            emit failed(tr("CAN device disconnected"));
        }
    });
    connect(device, &QCanBusDevice::errorOccurred, this,
            [this](QCanBusDevice::CanBusError) { emit failed(device_->errorString()); });
}

CanAttachment::~CanAttachment() {
    if (device_ && device_->state() != QCanBusDevice::UnconnectedState)
        device_->disconnectDevice();
}

std::unique_ptr<CanAttachment> CanAttachment::open(const QString& busName, QString* error) {
    const int colon = busName.indexOf(u':');
    if (colon <= 0) {
        *error = QStringLiteral("bus \"%1\": expected plugin:iface, e.g. virtualcan:can0").arg(busName);
        return nullptr;
    }
    const QString plugin = busName.left(colon), iface = busName.mid(colon + 1);
    QString text;
    QCanBusDevice* device = QCanBus::instance()->createDevice(plugin, iface, &text);
    if (!device) {
        *error = QStringLiteral("bus \"%1\": %2").arg(busName, text);
        return nullptr;
    }
    std::unique_ptr<CanAttachment> a(new CanAttachment(device));
    if (!device->connectDevice()) {
        *error = QStringLiteral("bus \"%1\": %2").arg(busName, device->errorString());
        return nullptr;
    }
    return a;
}

bool CanAttachment::isConnected() const {
    return device_->state() == QCanBusDevice::ConnectedState;
}

void CanAttachment::send(const TCanFrame& frame) {
    if (!isConnected()) {
        if (waiting_.size() >= kMaxWaiting)
            waiting_.pop_front();
        waiting_.push_back(frame);
        return;
    }
    if (device_->writeFrame(toBusFrame(frame)))
        ++sent_;
}

void CanAttachment::flush() {
    while (!waiting_.empty() && isConnected()) {
        if (device_->writeFrame(toBusFrame(waiting_.front())))
            ++sent_;
        waiting_.pop_front();
    }
}

void CanAttachment::readFrames() {
    while (device_->framesAvailable() > 0) {
        const QCanBusFrame f = device_->readFrame();
        if (const auto frame = fromBusFrame(f))
            emit frameReceived(*frame);
    }
}

} // namespace kelcon::kelsim
