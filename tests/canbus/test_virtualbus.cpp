// The console with the real adapter library on Qt's virtual CAN bus. A device of the test plays a
// KEL-08 on the same bus: its frames must reach the register, the frame log and the error log, and
// the console's requests must reach it with their identifier words.
#include "../core/HeadlessEnv.h"
#include "Support.h"

#include "can/Requests.h"
#include "core/Console.h"
#include "storage/FrameLog.h"

#include <QCanBus>
#include <QCanBusDevice>
#include <QCanBusFrame>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace kelcon;
using canbus::readFile;

namespace {

// The virtual bus is a TCP server started by the first device of the process; a free port of our
// own keeps the test off any other bus on the machine.
int freePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &size);
    ::close(s);
    return int(ntohs(a.sin_port));
}

QCanBusFrame busFrame(const TCanFrame& f) {
    QCanBusFrame b(identifierFromWord(f.ident),
                   QByteArray(reinterpret_cast<const char*>(f.data.data()), f.dataLength()));
    b.setExtendedFrameFormat(true);
    return b;
}

template <typename Done> bool waitFor(Done done, int ms = 5000) {
    QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

class VirtualBus : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        previous = QDir::currentPath();
        // The library reads its channel map from the process's current folder.
        QDir::setCurrent(dir.path());
        bus = QStringLiteral("tcp://127.0.0.1:%1/can0").arg(freePort());
        QFile conf(dir.filePath(QStringLiteral("ucanx.conf")));
        ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
        conf.write(QStringLiteral("1 = virtualcan:%1\n").arg(bus).toUtf8());
        conf.close();

        ConsoleEnv env = headlessEnv(dir.path(), clock, views);
        env.loadAdapterLibrary = nullptr;
        console = std::make_unique<Console>(env); // the program's own loader: libucanx.so
        ASSERT_TRUE(console->start());
        ASSERT_TRUE(console->state().adapterReady) << views.texts().join('\n').toStdString();
        // CnOpen of a virtualcan channel leaves a 3 s single-shot Qt timer whose slot lives in the
        // library; when the console unloads the library before it fires, the timer calls into
        // unmapped code. Until the library keeps its timer to itself, the test holds it mapped.
        static void* const pinned = dlopen(QDir(QCoreApplication::applicationDirPath())
                                               .filePath(QStringLiteral("libucanx.so"))
                                               .toLocal8Bit()
                                               .constData(),
                                           RTLD_NOW);
        ASSERT_NE(pinned, nullptr) << dlerror();

        controller.reset(QCanBus::instance()->createDevice(QStringLiteral("virtualcan"), bus));
        ASSERT_TRUE(controller && controller->connectDevice());
        ASSERT_TRUE(waitFor([&] { return controller->state() == QCanBusDevice::ConnectedState; }));
    }

    void TearDown() override {
        if (console)
            console->shutDown();
        if (controller)
            controller->disconnectDevice();
        controller.reset();
        console.reset();
        QDir::setCurrent(previous);
    }

    // The next frame the controller hears from the console.
    std::optional<QCanBusFrame> heard(int ms = 2000) {
        if (!waitFor([&] { return controller->framesAvailable() > 0; }, ms))
            return std::nullopt;
        return controller->readFrame();
    }

    QTemporaryDir dir;
    QString previous;
    QString bus;
    ManualClock clock{QDateTime(QDate(2030, 4, 1), QTime(12, 0, 5))};
    RecordingViews views;
    std::unique_ptr<Console> console;
    std::unique_ptr<QCanBusDevice> controller;
};

TEST_F(VirtualBus, ControllerFramesLandAndRequestsGoOut) {
    EXPECT_EQ(views.texts(),
              QStringList({QStringLiteral("Номер канала 1"), QStringLiteral("Прием разрешен")}));
    const std::uint32_t key = makeDeviceKey(5, 8);

    // The bus knows both ends once a frame has gone through; until then it may drop frames.
    std::optional<QCanBusFrame> poll;
    for (int i = 0; i < 50 && !poll; ++i) {
        EXPECT_EQ(console->requests().SendRequest(0, PresencePollWord(5, 8)), 0);
        poll = heard(100);
    }
    ASSERT_TRUE(poll) << "the virtual bus does not carry the console's frames";
    EXPECT_EQ(poll->frameId(), identifierFromWord(PresencePollWord(5, 8)));
    while (controller->framesAvailable() > 0)
        controller->readFrame();

    using canbus::frame;
    const std::vector<TCanFrame> frames = {
        canbus::nameFrame(key | 0xDF04u, 2, 0, 0, QStringLiteral("Котел")),
        canbus::nameFrame(key | 0xDF05u, 2, 0, 0, QStringLiteral("ьная ")),
        frame(key | kParameterReport, {0x20, 55, 0x21, 40, 0x40, 62, 0xC0, 0xFB}),
        frame(key | kStateReport, {0x01, 0x00, 0x10, 0x03}),
        frame(key | kAlarmReport, {0, 0x01, 2, 0x00}),
    };
    for (const TCanFrame& f : frames)
        ASSERT_TRUE(controller->writeFrame(busFrame(f)));

    // The one-second tick at advancing times, with the socket events handled in between.
    QDeadlineTimer deadline(10000);
    while (console->state().receivedFrames < frames.size() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        clock.advance(1);
        console->tick();
    }
    ASSERT_EQ(console->state().receivedFrames, frames.size());

    DbConnection& db = console->eventDb();
    const DbRows rows = db.query(QStringLiteral("select * from SPISKEL where PriborNo=5 and TypeNo=8"));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].toInt("UZELIDENT"), 0);
    EXPECT_EQ(rows[0].toString("NAMEZDAN"), QStringLiteral("Котельная"));
    EXPECT_EQ(rows[0].toInt("NOMZDAN"), 2);
    EXPECT_EQ(rows[0].toInt("SPISAVAR1"), 1);
    EXPECT_EQ(rows[0].toInt("SPISAVAR3"), 0);
    EXPECT_EQ(rows[0].toDateTime("LASTDATE"), clock.now());

    // Frames of one poll share their receive time, so they are matched by word, not by order.
    const QString table = frameLogTableName(clock.now().date());
    EXPECT_EQ(db.query(QStringLiteral("select count(*) from ") + table).at(0).at(0).toInt(),
              int(frames.size()));
    for (const TCanFrame& f : frames) {
        const DbRows logged = db.query(
            QStringLiteral("select LengData, DataCAN12, DataCAN34, DataCAN56, DataCAN78, UzelIdent from ") +
                table + QStringLiteral(" where IdentCAN=:w"),
            {{QStringLiteral("w"), int(std::int32_t(f.ident))}});
        ASSERT_EQ(logged.size(), 1u) << std::hex << f.ident;
        EXPECT_EQ(logged[0].toInt("LENGDATA"), f.len) << std::hex << f.ident;
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(logged[0].at(1 + i).toInt(), logColumn(f, i)) << std::hex << f.ident << " column " << i;
        EXPECT_EQ(logged[0].toInt("UZELIDENT"), 0);
    }

    const QString alarm =
        QStringLiteral("Авария датчика температуры 1 контура  на KEL-08 (Котельная) адрес № 0005");
    EXPECT_TRUE(readFile(dir.filePath(QStringLiteral("KelError.log")))
                    .contains(QStringLiteral(" ->") + alarm + '\n'));
    ASSERT_FALSE(views.alarms.isEmpty());
    EXPECT_TRUE(views.alarms.last().endsWith(alarm));
    EXPECT_TRUE(console->state().alarmIndicatorOn);

    // The operator asks the controller for all its data.
    EXPECT_EQ(console->requests().SendRequest(0, DeviceDataWord(key)), 0);
    const auto request = heard();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->frameId(), identifierFromWord((5u << 21) + 0x80u + 0x00080000u + 0x8000E003u));
    EXPECT_TRUE(request->hasExtendedFrameFormat());
    EXPECT_EQ(request->frameType(), QCanBusFrame::RemoteRequestFrame);

    // And changes a setting with a data frame.
    const std::uint8_t mode[5] = {3, 1, 0, 0, 0};
    EXPECT_EQ(console->requests().SendData(0, key | kCommandDop, mode, 5), 0);
    const auto command = heard();
    ASSERT_TRUE(command);
    EXPECT_EQ(command->frameId(), identifierFromWord(key | kCommandDop));
    EXPECT_EQ(command->payload(), QByteArray::fromHex("0301000000"));
}

} // namespace
