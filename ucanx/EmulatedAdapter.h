#pragma once

#include "ChannelMap.h"
#include "Driver.h"

#include <QMetaObject>
#include <QString>

#include <array>
#include <deque>
#include <memory>

class QCanBusDevice;
class QCanBusFrame;

namespace ucanx {

// The adapter as its kernel driver presents it, built over a Qt Serial Bus device so the console
// runs unchanged where the adapter's driver does not exist. It answers the five control codes,
// keeps the register file of the adapter's MCP2515 (mode requests, receive-buffer-0 control,
// mask 0, filters 0 and 1, bit timing) and applies mask and filters itself, since not every
// plugin can filter.
class EmulatedAdapter final : public Driver {
public:
    using Record = std::array<std::uint8_t, kRecordSize>; // identifier bytes in register order

    // Null when the device cannot be created or connected.
    static std::unique_ptr<EmulatedAdapter> open(const ChannelTarget& target);
    ~EmulatedAdapter() override;

    int control(std::uint32_t code, const void* in, std::uint32_t inSize, void* out, std::uint32_t outSize,
                std::uint32_t* returned) override;

private:
    explicit EmulatedAdapter(std::unique_ptr<QCanBusDevice> device, QString serial);

    int request(const std::uint8_t* in, std::uint32_t inSize, std::uint8_t* out, std::uint32_t outSize,
                std::uint32_t* returned);
    int descriptor(const std::uint8_t* in, std::uint32_t inSize, std::uint8_t* out, std::uint32_t outSize,
                   std::uint32_t* returned) const;
    int readFrames(std::uint8_t* out, std::uint32_t outSize, std::uint32_t* returned);
    int writeFrames(const std::uint8_t* in, std::uint32_t inSize);
    int sendStatus(std::uint8_t* out, std::uint32_t outSize, std::uint32_t* returned);

    void reset();
    std::uint8_t readRegister(int address) const;
    void writeRegister(int address, std::uint8_t value);
    int operatingMode() const { return registers_[0x0E] >> 5; }
    bool accepts(std::uint32_t word, bool extended) const;
    void takeReceivedFrames();

    std::unique_ptr<QCanBusDevice> device_;
    QMetaObject::Connection writeErrors_;
    QString serial_;
    std::array<std::uint8_t, 128> registers_{};
    std::array<std::uint8_t, 64> parameters_{};
    std::uint8_t rateCode_ = 0;
    bool receiving_ = false;
    bool writeFailed_ = false;
    std::deque<Record> received_;
};

// Frame conversions between the driver's record and a Qt frame. No record for frames the adapter
// cannot carry (error frames, local echoes, more than 8 data bytes).
bool recordFromFrame(const QCanBusFrame& frame, EmulatedAdapter::Record& record);
QCanBusFrame frameFromRecord(const std::uint8_t* record);

} // namespace ucanx
