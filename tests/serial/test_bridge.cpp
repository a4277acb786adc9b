#include "TestSupport.h"
#include "serial/SerialBridge.h"

#include <QProcess>
#include <QSerialPort>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

using namespace kelcon;
using namespace kelcon::test;

namespace {

constexpr int kWait = 5000;

// A pseudo-terminal pair: the bridge gets end "a" as COM1, the test talks to end "b".
class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const QString socatPath = QStandardPaths::findExecutable(QStringLiteral("socat"));
        ASSERT_FALSE(socatPath.isEmpty()) << "socat is needed (scripts/setup installs it)";
        ASSERT_TRUE(dir_.isValid());
        const QString a = dir_.filePath(QStringLiteral("a"));
        const QString b = dir_.filePath(QStringLiteral("b"));
        socat_.start(socatPath,
                     {QStringLiteral("-d"), QStringLiteral("-d"), QStringLiteral("pty,raw,echo=0,link=") + a,
                      QStringLiteral("pty,raw,echo=0,link=") + b});
        QByteArray log;
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                log += socat_.readAllStandardError();
                return log.contains("starting data transfer loop");
            },
            kWait))
            << log.constData();
        qputenv("KELCON_COM1", a.toLocal8Bit());

        far_.setPortName(b);
        ASSERT_TRUE(far_.open(QIODevice::ReadWrite)) << far_.errorString().toStdString();

        port_ = freePort();
        bridge_ = std::make_unique<SerialBridge>(1, events_.sink());
        TComParam p;
        p.on = true;
        p.port = port_;
        bridge_->load(p);
        ASSERT_TRUE(bridge_->isListening());
        EXPECT_TRUE(events_.lines.isEmpty()) << "the console posts the start line";
    }

    void TearDown() override
    {
        bridge_.reset();
        far_.close();
        socat_.kill();
        socat_.waitForFinished();
        qunsetenv("KELCON_COM1");
    }

    std::unique_ptr<QTcpSocket> connectClient()
    {
        auto c = std::make_unique<QTcpSocket>();
        const auto before = events_.lines.size();
        c->connectToHost(QHostAddress::LocalHost, port_);
        EXPECT_TRUE(c->waitForConnected(kWait));
        // The bridge has taken the client once it announced it.
        EXPECT_TRUE(QTest::qWaitFor([&] { return events_.lines.size() > before; }, kWait));
        return c;
    }

    QByteArray readFar(qsizetype n)
    {
        QByteArray got;
        (void)QTest::qWaitFor(
            [&] {
                got += far_.readAll();
                return got.size() >= n;
            },
            kWait);
        return got;
    }

    static QByteArray readSocket(QTcpSocket& s, qsizetype n)
    {
        QByteArray got;
        (void)QTest::qWaitFor(
            [&] {
                got += s.readAll();
                return got.size() >= n;
            },
            kWait);
        return got;
    }

    QTemporaryDir dir_;
    QProcess socat_;
    QSerialPort far_;
    quint16 port_ = 0;
    EventLog events_;
    std::unique_ptr<SerialBridge> bridge_;
};

} // namespace

TEST_F(BridgeTest, BytesTravelBothWays)
{
    auto client = connectClient();
    EXPECT_TRUE(bridge_->isSerialOpen());
    EXPECT_EQ(events_.lines, (QStringList{QStringLiteral("COM1: Удаленный клиент (127.0.0.1) подключился")}));

    // More than one read's worth, all in the socket before the bridge looks at it.
    QByteArray request(3000, '\0');
    for (int i = 0; i < request.size(); ++i)
        request[i] = static_cast<char>(i * 7);
    client->write(request);
    ASSERT_TRUE(client->waitForBytesWritten(kWait));
    EXPECT_EQ(readFar(request.size()), request);

    const QByteArray answer("\x01\x03\x00\x10\xFF answer", 13);
    far_.write(answer);
    ASSERT_TRUE(far_.waitForBytesWritten(kWait));
    EXPECT_EQ(readSocket(*client, answer.size()), answer);

    client->disconnectFromHost();
    ASSERT_TRUE(QTest::qWaitFor([&] { return bridge_->clientCount() == 0; }, kWait));
    EXPECT_FALSE(bridge_->isSerialOpen());
    EXPECT_EQ(events_.lines.last(),
              QStringLiteral("COM1: Удаленный клиент (127.0.0.1) разорвал соединение..."));
}

TEST_F(BridgeTest, TwoClientsAnswersToTheFirstPortClosedAtFirstDisconnect)
{
    bridge_->setPeerName([](const QHostAddress&) { return QStringLiteral("Котельная"); });
    auto first = connectClient();
    auto second = connectClient();
    EXPECT_EQ(events_.lines.last(), QStringLiteral("COM1: Удаленный клиент (Котельная) подключился"));

    first->write("one;");
    ASSERT_TRUE(first->waitForBytesWritten(kWait));
    EXPECT_EQ(readFar(4), QByteArray("one;"));
    second->write("two;");
    ASSERT_TRUE(second->waitForBytesWritten(kWait));
    EXPECT_EQ(readFar(4), QByteArray("two;"));

    far_.write("reply");
    ASSERT_TRUE(far_.waitForBytesWritten(kWait));
    EXPECT_EQ(readSocket(*first, 5), QByteArray("reply"));
    // A round trip through the second client: anything meant for it would have arrived by now.
    second->write("ping");
    ASSERT_TRUE(second->waitForBytesWritten(kWait));
    EXPECT_EQ(readFar(4), QByteArray("ping"));
    QCoreApplication::processEvents();
    EXPECT_EQ(second->bytesAvailable(), 0);

    // The later client leaving closes the port for the one that stays.
    second->disconnectFromHost();
    ASSERT_TRUE(QTest::qWaitFor([&] { return bridge_->clientCount() == 1; }, kWait));
    EXPECT_FALSE(bridge_->isSerialOpen());
    EXPECT_EQ(events_.lines.last(),
              QStringLiteral("COM1: Удаленный клиент (Котельная) разорвал соединение..."));
    EXPECT_EQ(first->state(), QAbstractSocket::ConnectedState);

    // The next client opens it again, and with the first gone it is the one answered.
    auto third = connectClient();
    EXPECT_TRUE(bridge_->isSerialOpen());
    first->disconnectFromHost();
    ASSERT_TRUE(QTest::qWaitFor([&] { return bridge_->clientCount() == 1; }, kWait));
    EXPECT_FALSE(bridge_->isSerialOpen());
}

TEST(SerialBridge, SettingsAtStartAndFromTheDialog)
{
    qputenv("KELCON_COM2", "/nonexistent/tty");
    EventLog events;
    SerialBridge bridge(2, events.sink());
    EXPECT_EQ(serialDeviceName(2), QStringLiteral("/nonexistent/tty"));
    EXPECT_EQ(bridge.serialPort().baudRate(), 9600);

    // Start-up with a blank setting: defaults applied (the store writes them back), nothing listens.
    TComParam defaults;
    defaults.port = kDefaultCom2Port;
    bridge.load(defaults);
    EXPECT_FALSE(bridge.isListening());
    EXPECT_EQ(bridge.tcpPort(), 5001);
    EXPECT_EQ(bridge.serialPort().baudRate(), 9600);
    EXPECT_TRUE(events.lines.isEmpty());

    const quint16 port = freePort();
    TComParam p{true, 10, 2, 2, 1, port};
    bridge.reconfigure(p);
    EXPECT_TRUE(bridge.isListening());
    EXPECT_EQ(bridge.tcpPort(), port);
    EXPECT_EQ(bridge.serialPort().baudRate(), 38400);
    EXPECT_EQ(bridge.serialPort().dataBits(), QSerialPort::Data7);
    EXPECT_EQ(bridge.serialPort().stopBits(), QSerialPort::TwoStop);
    EXPECT_EQ(bridge.serialPort().parity(), QSerialPort::OddParity);
    EXPECT_EQ(events.lines.last(), QStringLiteral("COM2: Старт сервиса удаленного доступа"));

    // A client of a port that will not open stays connected and silent.
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(client.waitForConnected(kWait));
    ASSERT_TRUE(QTest::qWaitFor([&] { return bridge.clientCount() == 1; }, kWait));
    EXPECT_FALSE(bridge.isSerialOpen());
    EXPECT_EQ(events.lines.size(), 1);

    p.on = false;
    bridge.reconfigure(p);
    EXPECT_FALSE(bridge.isListening());
    EXPECT_EQ(events.lines.last(), QStringLiteral("COM2: Остановлен сервис удаленного доступа"));

    // A TCP port taken by someone else is reported, not silently ignored.
    QTcpServer other;
    ASSERT_TRUE(other.listen(QHostAddress::Any, 0));
    p.on = true;
    p.port = other.serverPort();
    bridge.reconfigure(p);
    EXPECT_FALSE(bridge.isListening());
    EXPECT_EQ(events.lines.last(), QStringLiteral("COM2: Не удалось открыть TCP порт %1").arg(p.port));
    qunsetenv("KELCON_COM2");
}
