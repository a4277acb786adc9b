#include "DateTime.h"

#include <cmath>

namespace kelcon {

namespace {
const QDate kEpoch(1899, 12, 30);
}

double toDayCount(const QDateTime& t)
{
    const double days = double(kEpoch.daysTo(t.date()));
    const double ms = double(t.time().msecsSinceStartOfDay());
    return days + ms / 86400000.0;
}

QDateTime fromDayCount(double days)
{
    // Beyond a few thousand years the value is garbage, not a date.
    if (!std::isfinite(days) || days < -700000.0 || days > 3000000.0)
        return {};
    const double whole = std::floor(days);
    qint64 ms = std::llround((days - whole) * 86400000.0);
    QDate date = kEpoch.addDays(qint64(whole));
    if (ms >= 86400000) {
        date = date.addDays(1);
        ms -= 86400000;
    }
    return QDateTime(date, QTime::fromMSecsSinceStartOfDay(int(ms)));
}

QString logTimeText(const QDateTime& t)
{
    return t.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
}

} // namespace kelcon
