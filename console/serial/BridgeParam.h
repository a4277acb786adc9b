#pragma once

#include <QSerialPort>
#include <QString>

#include <optional>

namespace kelcon {

// One serial bridge as its settings value describes it. The indexes are positions in the
// lists of the settings dialog, which is why they are kept as indexes and not as values.
struct BridgeParam {
    bool enabled = false;
    int baudIndex = 7;     // 1 = 110 ... 7 = 9600 ... 15 = 256000
    int dataBitsIndex = 3; // 0 = 5 bits ... 3 = 8 bits
    int stopBitsIndex = 0; // 0 = 1, 1 = 1.5, 2 = 2
    int parityCode = 0;    // 0 = none, 1 = odd, 2 = even
    quint16 tcpPort = 0;

    bool operator==(const BridgeParam&) const = default;
};

constexpr int kMinBaudIndex = 1;
constexpr int kMaxBaudIndex = 15;

// The bridge value is "E B D S P port...": one character each, then the TCP port in decimal.
// Baud indexes 10-15 do not fit one decimal digit, so they are written as one upper-case
// hexadecimal digit A-F; indexes 1-9 stay decimal, which keeps every older value readable.
// A blank or malformed value has no reading: the caller decides what to do with it.
std::optional<BridgeParam> parseBridgeParam(const QString& value);
// Empty text for a parameter outside the lists, so that nothing unreadable gets stored.
QString formatBridgeParam(const BridgeParam& p);

// Disabled, 9600 baud, 8 data bits, 1 stop bit, no parity, TCP port 5000 (COM1) or 5001 (COM2).
BridgeParam defaultBridgeParam(int comNumber);

qint32 baudRateOfIndex(int index); // 0 for an index outside 1..15
QSerialPort::DataBits dataBitsOfIndex(int index);
QSerialPort::StopBits stopBitsOfIndex(int index);
QSerialPort::Parity parityOfCode(int code);

} // namespace kelcon
