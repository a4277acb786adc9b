#include "core/Cp1251.h"
#include "core/DateTime.h"

#include <gtest/gtest.h>

using namespace kelcon;

TEST(Cp1251, RoundTripOfCyrillicAndSigns)
{
    const QString text = QStringLiteral("Авария на Котельной №1 ёЁ «т°»");
    const QByteArray bytes = toCp1251(text);
    EXPECT_EQ(bytes.size(), text.size()) << "one byte per character";
    EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xC0); // А
    EXPECT_EQ(fromCp1251(bytes), text);
    EXPECT_EQ(toCp1251(QStringLiteral("日")), QByteArray("?"));
}

TEST(DateTime, DayCountBothWays)
{
    const QDateTime t(QDate(2021, 3, 9), QTime(14, 5, 7));
    const double d = toDayCount(t);
    EXPECT_NEAR(d, 44264.0 + (14 * 3600 + 5 * 60 + 7) / 86400.0, 1e-9);
    EXPECT_EQ(fromDayCount(d), t);
    EXPECT_EQ(toDayCount(QDateTime(QDate(1899, 12, 30), QTime(0, 0))), 0.0);
    EXPECT_NEAR(toDayCount(t.addSecs(60)) - d, kOneMinute, 1e-9);
    EXPECT_FALSE(fromDayCount(std::numeric_limits<double>::quiet_NaN()).isValid());
    EXPECT_FALSE(fromDayCount(1e300).isValid());
    EXPECT_EQ(logTimeText(t), QStringLiteral("09.03.2021 14:05:07"));
}
