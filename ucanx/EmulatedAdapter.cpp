#include "EmulatedAdapter.h"

#include "Platform.h"
#include "can/CanFrame.h"

#include <QCanBus>
#include <QCanBusDevice>
#include <QCanBusFrame>
#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstring>

namespace ucanx {

namespace {

// MCP2515 register addresses and mode values the console relies on.
constexpr int kCanStat = 0x0E;
constexpr int kCanCtrl = 0x0F;
constexpr int kFilter0 = 0x00;
constexpr int kFilter1 = 0x04;
constexpr int kMask0 = 0x20;
constexpr int kRxb0Ctrl = 0x60;
constexpr int kNormalMode = 0;
constexpr int kListenOnlyMode = 3;

constexpr int kConnectTimeoutMs = 3000;
constexpr std::uint32_t kParameterBlockSize = 64;

// Device descriptor string indexes the emulation answers for.
constexpr std::uint8_t kManufacturerIndex = 1;
constexpr std::uint8_t kProductIndex = 2;
constexpr std::uint8_t kSerialIndex = 3;

// Unloading happens at the end of the process or while the host goes on; either way Qt may be
// past the point where a device can be deleted on the spot.
bool g_unloading = false;

void ensureApplication() {
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "ucanx";
    static char* argv[] = {name, nullptr};
    // Never deleted: a host without Qt has no moment at which Qt could still be taken down safely
    // (at exit its globals and plugins are already gone).
    new QCoreApplication(argc, argv);
}

// A host with a running event loop feeds the device itself. A host without one (a plain program,
// or a caller between two turns of its loop) gets the pending socket events handled here, so
// frames reach the device by the time they are asked for.
void serviceEvents() {
    if (QThread::currentThread()->loopLevel() == 0)
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

std::uint32_t wordOf(const std::uint8_t* image) {
    return std::uint32_t(image[0]) << 24 | std::uint32_t(image[1]) << 16 | std::uint32_t(image[2]) << 8 |
           image[3];
}

void putWord(std::uint8_t* image, std::uint32_t word) {
    image[0] = std::uint8_t(word >> 24);
    image[1] = std::uint8_t(word >> 16);
    image[2] = std::uint8_t(word >> 8);
    image[3] = std::uint8_t(word);
}

QByteArray utf16(const QString& text) {
    QByteArray bytes;
    for (QChar c : text) {
        bytes.append(char(c.unicode() & 0xFF));
        bytes.append(char(c.unicode() >> 8));
    }
    return bytes;
}

} // namespace

bool recordFromFrame(const QCanBusFrame& frame, EmulatedAdapter::Record& record) {
    const bool remote = frame.frameType() == QCanBusFrame::RemoteRequestFrame;
    if ((!remote && frame.frameType() != QCanBusFrame::DataFrame) || frame.hasLocalEcho())
        return false;
    const QByteArray payload = frame.payload();
    if (payload.size() > 8)
        return false;
    record.fill(0);
    const std::uint32_t id = frame.frameId();
    const bool extended = frame.hasExtendedFrameFormat();
    putWord(record.data(), extended ? kelcon::wordFromIdentifier(id & 0x1FFFFFFFu) : (id & 0x7FFu) << 21);
    record[4] = std::uint8_t(payload.size() | (remote ? 0x40 : 0));
    if (!remote)
        std::memcpy(record.data() + 5, payload.constData(), std::size_t(payload.size()));
    return true;
}

QCanBusFrame frameFromRecord(const std::uint8_t* record) {
    const std::uint32_t word = wordOf(record);
    // The console always sets the extended flag; a record without it is a standard frame, whose
    // identifier sits in the SIDH/SIDL bits alone.
    const bool extended = (word & kelcon::kExtendedFlag) != 0;
    const std::uint32_t id = extended ? kelcon::identifierFromWord(word) : word >> 21;
    const int length = std::min(record[4] & 0x0F, 8);
    const bool remote = (record[4] & 0x40) != 0;
    QCanBusFrame frame(id, remote ? QByteArray(length, 0)
                                  : QByteArray(reinterpret_cast<const char*>(record + 5), length));
    frame.setExtendedFrameFormat(extended);
    if (remote)
        frame.setFrameType(QCanBusFrame::RemoteRequestFrame);
    return frame;
}

std::unique_ptr<EmulatedAdapter> EmulatedAdapter::open(const ChannelTarget& target) {
    QString error;
    std::unique_ptr<QCanBusDevice> device(
        QCanBus::instance()->createDevice(target.plugin, target.interface, &error));
    if (!device || !device->connectDevice())
        return nullptr;
    // Some plugins (virtualcan) connect in the background; the caller is told "open" only once
    // frames can flow, the way the driver's open is.
    if (device->state() == QCanBusDevice::ConnectingState) {
        QEventLoop wait;
        // A timer of our own, gone when this returns: a single-shot timer would outlive the call,
        // and firing after the console unloaded the library it would run code that is not mapped.
        QTimer timeout;
        timeout.setSingleShot(true);
        QObject::connect(&timeout, &QTimer::timeout, &wait, &QEventLoop::quit);
        timeout.start(kConnectTimeoutMs);
        QObject::connect(device.get(), &QCanBusDevice::stateChanged, &wait,
                         [&wait](QCanBusDevice::CanBusDeviceState s) {
                             if (s != QCanBusDevice::ConnectingState)
                                 wait.quit();
                         });
        wait.exec(QEventLoop::ExcludeUserInputEvents);
    }
    if (device->state() != QCanBusDevice::ConnectedState)
        return nullptr;
    QString serial = device->deviceInfo().serialNumber();
    if (serial.isEmpty())
        serial = target.plugin + QLatin1Char(':') + target.interface;
    return std::unique_ptr<EmulatedAdapter>(new EmulatedAdapter(std::move(device), serial.left(120)));
}

EmulatedAdapter::EmulatedAdapter(std::unique_ptr<QCanBusDevice> device, QString serial)
    : device_(std::move(device)), serial_(std::move(serial)) {
    reset();
    writeErrors_ = QObject::connect(device_.get(), &QCanBusDevice::errorOccurred, device_.get(),
                                    [this](QCanBusDevice::CanBusError e) {
                                        if (e == QCanBusDevice::WriteError)
                                            writeFailed_ = true;
                                    });
}

EmulatedAdapter::~EmulatedAdapter() {
    QObject::disconnect(writeErrors_); // the handler's code goes away with the library
    if (!g_unloading) {
        device_->disconnectDevice();
        serviceEvents();
        return;
    }
    // Left to the host's event loop if it goes on; the process's end takes it otherwise. Without an
    // application object (the host has ended it) not even the disconnect can be sent.
    QCanBusDevice* device = device_.release();
    if (QCoreApplication::instance()) {
        device->disconnectDevice();
        device->deleteLater();
    }
}

void EmulatedAdapter::reset() {
    registers_.fill(0);
    registers_[kCanCtrl] = 0x87; // power-on: configuration mode requested
    registers_[kCanStat] = 0x80; // ... and entered
    receiving_ = false;
    received_.clear();
}

std::uint8_t EmulatedAdapter::readRegister(int address) const {
    // CANSTAT and CANCTRL appear at the end of every row of the register map.
    if ((address & 0x0F) == 0x0E)
        return registers_[kCanStat];
    if ((address & 0x0F) == 0x0F)
        return registers_[kCanCtrl];
    return registers_[std::size_t(address)];
}

void EmulatedAdapter::writeRegister(int address, std::uint8_t value) {
    if ((address & 0x0F) == 0x0E)
        return; // read-only
    if ((address & 0x0F) == 0x0F) {
        registers_[kCanCtrl] = value;
        // A requested mode is entered at once; the console reads CANCTRL back to check the request.
        registers_[kCanStat] = std::uint8_t((registers_[kCanStat] & 0x1F) | (value & 0xE0));
        return;
    }
    registers_[std::size_t(address)] = value;
}

bool EmulatedAdapter::accepts(std::uint32_t word, bool extended) const {
    const int rxm = (registers_[kRxb0Ctrl] >> 5) & 3;
    if (rxm == 3)
        return true;
    if ((rxm == 1 && extended) || (rxm == 2 && !extended))
        return false;
    // Bits that take part in the comparison: the identifier bits, not SRR, EXIDE or the unused bit
    // 18; a standard frame has only its eleven SID bits.
    const std::uint32_t idBits = extended ? 0xFFE3FFFFu : 0xFFE00000u;
    const std::uint32_t mask = wordOf(&registers_[kMask0]) & idBits;
    for (int f : {kFilter0, kFilter1}) {
        const std::uint32_t filter = wordOf(&registers_[std::size_t(f)]);
        if (((filter & kelcon::kExtendedFlag) != 0) != extended)
            continue;
        if (((word ^ filter) & mask) == 0)
            return true;
    }
    return false;
}

void EmulatedAdapter::takeReceivedFrames() {
    if (!device_->framesAvailable())
        return;
    const bool listening =
        receiving_ && (operatingMode() == kNormalMode || operatingMode() == kListenOnlyMode);
    // Everything the device holds is taken now, under the settings of the moment, and kept until
    // the caller has room for it.
    for (const QCanBusFrame& frame : device_->readAllFrames()) {
        Record r;
        if (!listening || !recordFromFrame(frame, r))
            continue;
        if (accepts(wordOf(r.data()), frame.hasExtendedFrameFormat()))
            received_.push_back(r);
    }
}

int EmulatedAdapter::control(std::uint32_t code, const void* in, std::uint32_t inSize, void* out,
                             std::uint32_t outSize, std::uint32_t* returned) {
    std::uint32_t ignored = 0;
    if (!returned)
        returned = &ignored;
    *returned = 0;
    const auto* input = static_cast<const std::uint8_t*>(in);
    auto* output = static_cast<std::uint8_t*>(out);
    if ((inSize && !input) || (outSize && !output))
        return 0;
    // Frames that came in before this request were received under the settings before it.
    takeReceivedFrames();
    switch (code) {
    case kGetDescriptor:
        return descriptor(input, inSize, output, outSize, returned);
    case kVendorRequest:
        return request(input, inSize, output, outSize, returned);
    case kReadFrames:
        return readFrames(output, outSize, returned);
    case kWriteFrames:
        return writeFrames(input, inSize);
    case kSendStatus:
        return sendStatus(output, outSize, returned);
    default:
        return 0;
    }
}

int EmulatedAdapter::request(const std::uint8_t* in, std::uint32_t inSize, std::uint8_t* out,
                             std::uint32_t outSize, std::uint32_t* returned) {
    if (inSize < kRequestHeaderSize)
        return 0;
    const RequestHeader h = takeHeader(in);
    const std::uint8_t* data = in + kRequestHeaderSize;
    const std::uint32_t dataSize = inSize - kRequestHeaderSize;
    const std::uint32_t length = h.length;
    switch (h.request) {
    case kWriteRegisters:
        if (dataSize < length || h.index + length > registers_.size())
            return 0;
        for (std::uint32_t i = 0; i < length; ++i)
            writeRegister(int(h.index + i), data[i]);
        return 1;
    case kReadRegisters:
        if (outSize < length || h.index + length > registers_.size())
            return 0;
        for (std::uint32_t i = 0; i < length; ++i)
            out[i] = readRegister(int(h.index + i));
        *returned = length;
        return 1;
    case kWriteRegister:
        if (h.index >= registers_.size())
            return 0;
        writeRegister(h.index, std::uint8_t(h.value));
        return 1;
    case kWriteParameters:
        if (dataSize < length || length > kParameterBlockSize)
            return 0;
        std::copy(data, data + length, parameters_.begin());
        return 1;
    case kReadParameters:
        if (outSize < length || length > kParameterBlockSize)
            return 0;
        std::copy(parameters_.begin(), parameters_.begin() + length, out);
        // Byte 0 is the block's length as the caller knows it, so writing the block back stays
        // within the caller's memory.
        if (length)
            out[0] = std::uint8_t(length);
        *returned = length;
        return 1;
    case kInitialise:
        if (outSize < 1 || length < 1)
            return 0;
        reset();
        out[0] = 0x10; // high nibble 1: the controller answered
        *returned = 1;
        return 1;
    case kEnableReception:
        receiving_ = true;
        return 1;
    case kDisableReception:
        receiving_ = false;
        return 1;
    case kSetBitRate:
        // The bus's bit rate belongs to the interface (ip link, the virtual bus); the code is kept
        // only so the adapter answers like one.
        rateCode_ = std::uint8_t(h.value);
        return 1;
    default:
        return 0;
    }
}

int EmulatedAdapter::descriptor(const std::uint8_t* in, std::uint32_t inSize, std::uint8_t* out,
                                std::uint32_t outSize, std::uint32_t* returned) const {
    if (inSize < 2)
        return 0;
    QByteArray answer;
    if (in[0] == 4) {
        // A USB device descriptor with only the string indexes filled in.
        answer = QByteArray(18, 0);
        answer[0] = 18;
        answer[1] = 1;
        answer[14] = char(kManufacturerIndex);
        answer[15] = char(kProductIndex);
        answer[16] = char(kSerialIndex);
        answer[17] = 1;
    } else if (in[0] == 5 && in[1] == kSerialIndex) {
        answer = utf16(serial_);
    } else if (in[0] == 5 && in[1] == kManufacturerIndex) {
        answer = utf16(QStringLiteral("Qt Serial Bus"));
    } else if (in[0] == 5 && in[1] == kProductIndex) {
        answer = utf16(device_->deviceInfo().plugin());
    } else {
        return 0;
    }
    const auto n = std::min<std::uint32_t>(outSize, std::uint32_t(answer.size()));
    std::memcpy(out, answer.constData(), n);
    *returned = n;
    return 1;
}

int EmulatedAdapter::readFrames(std::uint8_t* out, std::uint32_t outSize, std::uint32_t* returned) {
    serviceEvents();
    takeReceivedFrames();
    if (device_->state() != QCanBusDevice::ConnectedState)
        return 0;
    std::uint32_t n = 0;
    while (!received_.empty() && (n + 1) * kRecordSize <= outSize) {
        std::memcpy(out + n * kRecordSize, received_.front().data(), kRecordSize);
        received_.pop_front();
        ++n;
    }
    *returned = n * kRecordSize;
    return 1;
}

int EmulatedAdapter::writeFrames(const std::uint8_t* in, std::uint32_t inSize) {
    if (device_->state() != QCanBusDevice::ConnectedState)
        return 0;
    writeFailed_ = false;
    for (std::uint32_t offset = 0; offset + kRecordSize <= inSize; offset += kRecordSize) {
        if (!device_->writeFrame(frameFromRecord(in + offset))) {
            writeFailed_ = true;
            return 0;
        }
    }
    serviceEvents();
    return 1;
}

int EmulatedAdapter::sendStatus(std::uint8_t* out, std::uint32_t outSize, std::uint32_t* returned) {
    if (outSize < 1)
        return 0;
    serviceEvents();
    // 0 is "transmitted"; a write error reported by the device since the last send is not.
    out[0] = (writeFailed_ || device_->state() != QCanBusDevice::ConnectedState) ? 1 : 0;
    *returned = 1;
    return 1;
}

std::unique_ptr<Driver> openPlatformDriver(int number) {
    ensureApplication();
    const auto target = channelTarget(number);
    if (!target)
        return nullptr;
    return EmulatedAdapter::open(*target);
}

void prepareUnload() {
    g_unloading = true;
}

} // namespace ucanx
