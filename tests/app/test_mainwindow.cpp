#include "app/MainWindow.h"

#include <QApplication>
#include <QTest>

#include <gtest/gtest.h>

using namespace kelcon;

TEST(MainWindow, AlarmLinesAreRedAndTheListFollowsTheLastLines)
{
    MainWindow w;
    w.show();
    const QStringList lines = {
        "09.03.2021 14:05:07 ->Номер канала 1",
        "09.03.2021 14:05:07 ->Прием разрешен",
        "09.03.2021 14:05:30 ->Авария 1 насоса 1 контура  на KEL-08 (Школа №5) адрес № 0005",
        "09.03.2021 14:06:00 ->Авария снята: Авария 1 насоса 1 контура",
        "09.03.2021 14:07:00 ->Авария - есть неактивные устройства",
        "09.03.2021 14:08:00 ->Закрываем программу",
    };
    for (const QString& l : lines)
        w.appendEventLine(l);

    QListWidget* list = w.eventList();
    ASSERT_EQ(list->count(), 6);
    const bool red[] = {false, false, true, true, true, false};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(list->item(i)->foreground().color() == QColor(Qt::red), red[i]) << lines[i].toStdString();
    EXPECT_EQ(list->item(0)->toolTip(), QStringLiteral("Номер канала 1")) << "the tool-tip drops the time";

    // A long run keeps the newest lines in view.
    for (int i = 0; i < 60; ++i)
        w.appendEventLine(QStringLiteral("09.03.2021 14:09:00 ->строка %1").arg(i));
    QApplication::processEvents();
    const QRect last = list->visualItemRect(list->item(list->count() - 1));
    EXPECT_TRUE(list->viewport()->rect().contains(last)) << "the last line is visible";
    EXPECT_GT(list->indexAt(QPoint(2, 2)).row(), 0);
}

TEST(MainWindow, TitleBarCloseDoesNothing)
{
    MainWindow w;
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    w.close();
    EXPECT_TRUE(w.isVisible()) << "the program is left through its menu only";
}

TEST(AlarmListWindow, ShowsLinesBlinksAndClosesOnClick)
{
    AlarmListWindow a;
    bool acknowledged = false;
    a.onClose = [&] { acknowledged = true; };
    EXPECT_FALSE(a.isShown());
    a.addAlarmLine(QStringLiteral("09.03.2021 14:05:30 ->Авария на KEL-02 адрес № 0012"));
    EXPECT_TRUE(a.isShown());
    EXPECT_EQ(a.lines()->count(), 1);
    a.setShapesVisible(true);
    EXPECT_TRUE(a.shapesVisible());

    auto* close = a.findChild<QPushButton*>();
    ASSERT_NE(close, nullptr);
    QTest::mouseClick(close, Qt::LeftButton);
    EXPECT_TRUE(acknowledged);
    EXPECT_FALSE(a.isShown());
}

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
