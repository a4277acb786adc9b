#include "serial/PortSettings.h"

#include "storage/Settings.h"

#include <array>

namespace kelcon {

namespace {

constexpr std::array<qint32, kMaxBaudIndex> kBaudRates = {
    110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
constexpr std::array kDataBits = {QSerialPort::Data5, QSerialPort::Data6, QSerialPort::Data7,
                                  QSerialPort::Data8};
constexpr std::array kStopBits = {QSerialPort::OneStop, QSerialPort::OneAndHalfStop, QSerialPort::TwoStop};
constexpr std::array kParities = {QSerialPort::NoParity, QSerialPort::OddParity, QSerialPort::EvenParity};

template <class T, std::size_t N> T listValue(const std::array<T, N>& list, int position, T outside) {
    return position >= 0 && std::size_t(position) < N ? list[std::size_t(position)] : outside;
}

} // namespace

qint32 baudRateOfIndex(int index) {
    return listValue(kBaudRates, index - kMinBaudIndex, 0);
}

QSerialPort::DataBits dataBitsOfIndex(int index) {
    return listValue(kDataBits, index, QSerialPort::Data8);
}

QSerialPort::StopBits stopBitsOfIndex(int index) {
    return listValue(kStopBits, index, QSerialPort::OneStop);
}

QSerialPort::Parity parityOfCode(int code) {
    return listValue(kParities, code, QSerialPort::NoParity);
}

} // namespace kelcon
