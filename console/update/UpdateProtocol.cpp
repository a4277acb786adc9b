#include "UpdateProtocol.h"

#include "core/Cp1251.h"

#include <QtEndian>

namespace kelcon {

std::optional<UpdateLine> takeUpdateLine(const QByteArray& buffer)
{
    const qsizetype lf = buffer.indexOf('\n');
    if (lf < 0)
        return std::nullopt;
    qsizetype end = lf;
    if (end > 0 && buffer[end - 1] == '\r')
        --end;
    return UpdateLine{fromCp1251(buffer.constData(), end), lf + 1};
}

std::optional<quint32> takeUpdateSize(const QByteArray& buffer, qsizetype offset)
{
    if (buffer.size() - offset < 4)
        return std::nullopt;
    return qFromBigEndian<quint32>(buffer.constData() + offset);
}

QByteArray updateClientLine(const QString& text)
{
    return toCp1251(text) + "\r\n";
}

} // namespace kelcon
