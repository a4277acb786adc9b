#pragma once

#include "../core/FakeAdapter.h"
#include "../core/HeadlessEnv.h"

#include "core/Console.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>

inline void PrintTo(const QString& s, std::ostream* os) {
    *os << s.toStdString();
}

namespace testing_alarms {

using namespace kelcon;

// Lets the event loop run until the condition holds; the deadline only guards against a hang.
inline bool waitFor(const std::function<bool()>& done, int ms = 10000) {
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

inline TCanFrame frame(std::uint32_t word, std::initializer_list<std::uint8_t> data) {
    TCanFrame f;
    f.ident = word;
    f.len = std::uint8_t(std::min<std::size_t>(data.size(), 8));
    std::copy_n(data.begin(), f.len, f.data.begin());
    return f;
}

// A console on real database files in a temporary folder, with the scripted adapter and a clock
// the test sets.
class ConsoleFixture : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        ASSERT_TRUE(dir.isValid());
    }

    void startConsole() {
        ConsoleEnv env = headlessEnv(dir.path(), clock, views);
        console = std::make_unique<Console>(env);
        ASSERT_TRUE(console->start());
        views.events.clear();
    }

    QTemporaryDir dir;
    ManualClock clock{QDateTime(QDate(2030, 4, 1), QTime(12, 0, 5))};
    RecordingViews views;
    std::unique_ptr<Console> console;
};

} // namespace testing_alarms
