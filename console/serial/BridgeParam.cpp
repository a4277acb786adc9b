#include "serial/BridgeParam.h"

#include <array>

namespace kelcon {

namespace {

constexpr std::array<qint32, kMaxBaudIndex> kBaudRates = {
    110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};

int digitValue(QChar c, int maxValue)
{
    if (c < u'0' || c > u'9')
        return -1;
    const int v = c.unicode() - u'0';
    return v <= maxValue ? v : -1;
}

int baudIndexOf(QChar c)
{
    if (c >= u'1' && c <= u'9')
        return c.unicode() - u'0';
    if (c >= u'A' && c <= u'F')
        return 10 + (c.unicode() - u'A');
    return -1;
}

} // namespace

std::optional<BridgeParam> parseBridgeParam(const QString& value)
{
    // Stored values are blank-padded; leading characters are positions and stay as they are.
    QString v = value;
    while (!v.isEmpty() && v.back().isSpace())
        v.chop(1);
    if (v.size() < 6)
        return std::nullopt;

    BridgeParam p;
    p.enabled = v[0] == u'1';
    p.baudIndex = baudIndexOf(v[1]);
    p.dataBitsIndex = digitValue(v[2], 3);
    p.stopBitsIndex = digitValue(v[3], 2);
    p.parityCode = digitValue(v[4], 2);
    if (p.baudIndex < 0 || p.dataBitsIndex < 0 || p.stopBitsIndex < 0 || p.parityCode < 0)
        return std::nullopt;

    const QStringView port = QStringView(v).mid(5);
    for (QChar c : port) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
    }
    bool ok = false;
    const uint n = port.toUInt(&ok);
    if (!ok || n == 0 || n > 65535)
        return std::nullopt;
    p.tcpPort = static_cast<quint16>(n);
    return p;
}

QString formatBridgeParam(const BridgeParam& p)
{
    if (p.baudIndex < kMinBaudIndex || p.baudIndex > kMaxBaudIndex || p.dataBitsIndex < 0 ||
        p.dataBitsIndex > 3 || p.stopBitsIndex < 0 || p.stopBitsIndex > 2 || p.parityCode < 0 ||
        p.parityCode > 2 || p.tcpPort == 0)
        return {};
    QString s;
    s += p.enabled ? u'1' : u'0';
    s += p.baudIndex <= 9 ? QChar(u'0' + p.baudIndex) : QChar(u'A' + (p.baudIndex - 10));
    s += QChar(u'0' + p.dataBitsIndex);
    s += QChar(u'0' + p.stopBitsIndex);
    s += QChar(u'0' + p.parityCode);
    s += QString::number(p.tcpPort);
    return s;
}

BridgeParam defaultBridgeParam(int comNumber)
{
    BridgeParam p;
    p.tcpPort = static_cast<quint16>(comNumber == 2 ? 5001 : 5000);
    return p;
}

qint32 baudRateOfIndex(int index)
{
    if (index < kMinBaudIndex || index > kMaxBaudIndex)
        return 0;
    return kBaudRates[static_cast<std::size_t>(index - 1)];
}

QSerialPort::DataBits dataBitsOfIndex(int index)
{
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

QSerialPort::StopBits stopBitsOfIndex(int index)
{
    switch (index) {
    case 1:
        return QSerialPort::OneAndHalfStop;
    case 2:
        return QSerialPort::TwoStop;
    default:
        return QSerialPort::OneStop;
    }
}

QSerialPort::Parity parityOfCode(int code)
{
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
