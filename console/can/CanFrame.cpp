#include "CanFrame.h"

namespace kelcon {

QString typeName(int type)
{
    return QStringLiteral("KEL-%1").arg(type, 2, 10, QLatin1Char('0'));
}

QString addressText(int number)
{
    return QStringLiteral("адрес № %1").arg(number, 4, 10, QLatin1Char('0'));
}

QString deviceTitle(int type, int number)
{
    return typeName(type) + QStringLiteral(" (") + addressText(number) + QStringLiteral(") ");
}

} // namespace kelcon
