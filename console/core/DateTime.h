#pragma once

#include <QDateTime>
#include <QString>

namespace kelcon {

// Records and node-link messages carry a time as a double counting days since 1899-12-30,
// the time of day being the fraction. All times are local wall-clock times.
constexpr double kOneMinute = 1.0 / 1440.0;

double toDayCount(const QDateTime& t);
QDateTime fromDayCount(double days); // invalid QDateTime for a value that is not finite or out of range

// "dd.mm.yyyy hh:nn:ss", the form of every log line and every shown time.
QString logTimeText(const QDateTime& t);

// Where "now" comes from, so minute and hour tasks can be tested without waiting.
class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
};

class SystemClock final : public Clock {
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
};

class ManualClock final : public Clock {
public:
    explicit ManualClock(QDateTime t = QDateTime(QDate(2021, 3, 9), QTime(14, 5, 7))) : t_(std::move(t)) {}
    QDateTime now() const override { return t_; }
    void set(const QDateTime& t) { t_ = t; }
    void advance(qint64 seconds) { t_ = t_.addSecs(seconds); }

private:
    QDateTime t_;
};

} // namespace kelcon
