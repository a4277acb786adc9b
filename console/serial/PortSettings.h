#pragma once

#include <QSerialPort>

namespace kelcon {

// The serial-port values behind the indexes of a bridge setting (TComParam of the settings store).
// The indexes are positions in the lists of the settings dialog, which is why they are stored as
// indexes and not as values.
qint32 baudRateOfIndex(int index); // 0 for an index outside 1..15
QSerialPort::DataBits dataBitsOfIndex(int index);
QSerialPort::StopBits stopBitsOfIndex(int index);
QSerialPort::Parity parityOfCode(int code);

} // namespace kelcon
