#include "serial/PortSettings.h"

#include "storage/Settings.h"

#include <array>

namespace kelcon {

namespace {

constexpr std::array<qint32, kMaxBaudIndex> kBaudRates = {
    110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};

} // namespace

qint32 baudRateOfIndex(int index) {
    if (index < kMinBaudIndex || index > kMaxBaudIndex)
        return 0;
    return kBaudRates[static_cast<std::size_t>(index - 1)];
}

QSerialPort::DataBits dataBitsOfIndex(int index) {
    switch (index) {
    case 0:
        return QSerialPort::Data5;
    case 1:
        return QSerialPort::Data6;
    case 2:
        return QSerialPort::Data7;
    default:
        return QSerialPort::Data8;
    }
}

QSerialPort::StopBits stopBitsOfIndex(int index) {
    switch (index) {
    case 1:
        return QSerialPort::OneAndHalfStop;
    case 2:
        return QSerialPort::TwoStop;
    default:
        return QSerialPort::OneStop;
    }
}

QSerialPort::Parity parityOfCode(int code) {
    switch (code) {
    case 1:
        return QSerialPort::OddParity;
    case 2:
        return QSerialPort::EvenParity;
    default:
        return QSerialPort::NoParity;
    }
}

} // namespace kelcon
