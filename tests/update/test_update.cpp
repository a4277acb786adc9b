#include "update/UpdateClient.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtCore/qtestsupport_core.h>
#include <QtEndian>

#include <gtest/gtest.h>

#include <optional>

using namespace kelcon;

namespace {

const QByteArray kNewProgram = "new kelcon executable, build 2";

// A real zip archive holding kelcon.ex_ and a second file, as the update server would serve it.
QByteArray makeArchive(const QTemporaryDir& dir)
{
    const QString path = dir.filePath(QStringLiteral("served.zip"));
    QProcess python;
    python.setProcessChannelMode(QProcess::ForwardedChannels);
    python.start(QStringLiteral("/usr/bin/python3"),
                 {"-c",
                  "import sys, zipfile\n"
                  "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
                  "    z.writestr('kelcon.ex_', sys.argv[2])\n"
                  "    z.writestr('readme.txt', 'x' * 5000)\n",
                  path, QString::fromLatin1(kNewProgram)});
    if (!python.waitForFinished() || python.exitCode() != 0)
        qFatal("python3 could not make the test archive");
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

QByteArray sizeBytes(quint32 size)
{
    QByteArray b(4, '\0');
    qToBigEndian(size, b.data());
    return b;
}

// The update server's side of the dialogue, with knobs for the ways a server goes wrong.
class UpdateServer {
public:
    QByteArray archive;
    QByteArray offerLine = "isfile\n";
    std::optional<quint32> announced; // default: the archive's size
    QByteArray fileLine = "file\r\n";
    qsizetype bytesBeforeClose = -1;  // -1: the whole archive
    bool silent = false;
    bool dribble = false; // header lines one byte at a time

    QList<QByteArray> clientLines;
    bool clientClosed = false;

    UpdateServer()
    {
        server_.listen(QHostAddress::LocalHost);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] { accept(); });
    }
    quint16 port() const { return server_.serverPort(); }

private:
    void send(QTcpSocket* s, const QByteArray& bytes)
    {
        if (!dribble) {
            s->write(bytes);
            return;
        }
        for (qsizetype i = 0; i < bytes.size(); ++i)
            QTimer::singleShot(5 * (pendingDribble_++), s, [s, b = bytes[i]] {
                s->write(&b, 1);
                s->flush();
            });
    }

    void accept()
    {
        QTcpSocket* s = server_.nextPendingConnection();
        pendingDribble_ = 0;
        QObject::connect(s, &QTcpSocket::disconnected, [this] { clientClosed = true; });
        if (silent)
            return;
        send(s, offerLine + sizeBytes(announced.value_or(static_cast<quint32>(archive.size()))));
        QObject::connect(s, &QTcpSocket::readyRead, [this, s] {
            while (s->canReadLine()) {
                const QByteArray line = s->readLine();
                clientLines.append(line);
                if (line == "start\r\n")
                    answerStart(s);
            }
        });
    }

    void answerStart(QTcpSocket* s)
    {
        send(s, fileLine);
        if (bytesBeforeClose < 0) {
            QTimer::singleShot(5 * pendingDribble_, s, [this, s] { s->write(archive); });
            return;
        }
        QTimer::singleShot(5 * pendingDribble_, s, [this, s] {
            s->write(archive.left(bytesBeforeClose));
            s->disconnectFromHost();
        });
    }

    QTcpServer server_;
    int pendingDribble_ = 0;
};

class ObservingLauncher : public ProcessUpdateLauncher {
public:
    QStringList installerStarts;
    bool startInstaller(const QString& folder) override
    {
        installerStarts.append(folder);
        return true;
    }
};

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

struct Fixture {
    QTemporaryDir dir;
    QString zipPath = dir.filePath(QStringLiteral("update.zip"));
    QStringList events;
    QList<QPair<int, bool>> progress;
    int quits = 0;
    ObservingLauncher launcher;
    TUpdateClient client;

    explicit Fixture(quint16 port, int idleTimeoutMs = 5000)
        : client(settings(port, idleTimeoutMs), launcher,
                 {[this](const QString& t) { events.append(t); },
                  [this](int percent, bool visible) { progress.append({percent, visible}); },
                  [this] { ++quits; }})
    {
    }
    UpdateSettings settings(quint16 port, int idleTimeoutMs) const
    {
        UpdateSettings s;
        s.host = QStringLiteral("127.0.0.1");
        s.port = port;
        s.folder = dir.path();
        s.idleTimeoutMs = idleTimeoutMs;
        return s;
    }
    bool attempt()
    {
        client.SetUpdatePending();
        client.MinuteTick(false);
        return QTest::qWaitFor([this] { return !client.attemptUnderWay(); }, 10000);
    }
};

quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

} // namespace

TEST(UpdateProtocol, ServerLines)
{
    const struct {
        const char* name;
        QByteArray buffer;
        std::optional<QString> text;
        qsizetype consumed;
    } cases[] = {
        {"line ended by LF", "isfile\n\0\0\1\0", QStringLiteral("isfile"), 7},
        {"CR before LF dropped", "file\r\nPK", QStringLiteral("file"), 6},
        {"empty line", "\n", QString(), 1},
        {"incomplete line", "isfi", std::nullopt, 0},
    };
    for (const auto& c : cases) {
        const auto line = takeUpdateLine(c.buffer);
        ASSERT_EQ(line.has_value(), c.text.has_value()) << c.name;
        if (line) {
            EXPECT_EQ(line->text, *c.text) << c.name;
            EXPECT_EQ(line->consumed, c.consumed) << c.name;
        }
    }
    EXPECT_EQ(takeUpdateSize(QByteArray("isfile\n\x00\x01\x02\x03", 11), 7), 0x00010203u);
    EXPECT_EQ(takeUpdateSize(QByteArray("isfile\n\x00\x01\x02", 10), 7), std::nullopt);
    EXPECT_EQ(updateClientLine(QStringLiteral("start")), "start\r\n");
}

TEST(UpdateClient, FirstAttemptDownloadsUnpacksAndHandsOver)
{
    QTemporaryDir scratch;
    UpdateServer server;
    server.archive = makeArchive(scratch);
    server.dribble = true;
    Fixture f(server.port());

    ASSERT_TRUE(f.attempt());
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.quits > 0; }, 10000));

    EXPECT_EQ(f.events, QStringList({"Проверяем обновления...", "Обновление: соединились",
                                     "Обновление: файл принят! Отключаемся..."}));
    EXPECT_EQ(readFile(f.zipPath), server.archive);
    EXPECT_EQ(readFile(f.dir.filePath(QStringLiteral("kelcon.ex_"))), kNewProgram) << "unpacked by unzip";
    EXPECT_EQ(f.launcher.installerStarts, QStringList{f.dir.path()});
    EXPECT_EQ(f.quits, 1);
    EXPECT_FALSE(f.client.pending());
    EXPECT_EQ(server.clientLines, QList<QByteArray>({"start\r\n", "end\r\n"}));

    ASSERT_GE(f.progress.size(), 2);
    EXPECT_EQ(f.progress.last(), qMakePair(0, false)) << "the bar is hidden at the end";
    EXPECT_EQ(f.progress[f.progress.size() - 2], qMakePair(100, true));
    for (qsizetype i = 1; i + 1 < f.progress.size(); ++i)
        EXPECT_LE(f.progress[i - 1].first, f.progress[i].first);

    f.client.MinuteTick(false);
    EXPECT_FALSE(f.client.attemptUnderWay()) << "the series ended with the download";
}

TEST(UpdateClient, SameSizeIsNotFetchedAgain)
{
    UpdateServer server;
    server.archive = QByteArray(3000, 'N');
    Fixture f(server.port());
    const QByteArray old(3000, 'O'); // different content, same size
    writeFile(f.zipPath, old);

    ASSERT_TRUE(f.attempt());
    EXPECT_EQ(f.events, QStringList({"Проверяем обновления...", "Обновление: соединились",
                                     "Обновлений нет, отключаемся..."}));
    EXPECT_FALSE(f.client.pending());
    EXPECT_EQ(readFile(f.zipPath), old);
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.clientClosed; }));
    EXPECT_EQ(server.clientLines, QList<QByteArray>{"end\r\n"});
    EXPECT_TRUE(f.launcher.installerStarts.isEmpty());
}

TEST(UpdateClient, BrokenDownloadKeepsTheOldArchive)
{
    UpdateServer server;
    server.archive = QByteArray(200000, 'N');
    server.bytesBeforeClose = 100000;
    Fixture f(server.port());
    const QByteArray old = "old archive";
    writeFile(f.zipPath, old);

    ASSERT_TRUE(f.attempt());
    EXPECT_EQ(f.events.last(), "Обновление: ошибка приема файла!");
    EXPECT_EQ(readFile(f.zipPath), old);
    EXPECT_TRUE(f.client.pending()) << "the next minute tries again";
    EXPECT_TRUE(f.launcher.installerStarts.isEmpty());
    ASSERT_FALSE(f.progress.isEmpty());
    EXPECT_EQ(f.progress.last(), qMakePair(0, false));
    EXPECT_EQ(QDir(f.dir.path()).entryList(QDir::Files), QStringList{"update.zip"}) << "no leftovers";
}

TEST(UpdateClient, FailuresAndUnexpectedLines)
{
    const QString error = QStringLiteral("Обновление: ошибка приема файла!");
    const struct {
        const char* name;
        std::function<void(UpdateServer&)> setUp;
        bool reachable;
        QStringList eventsAfterConnect; // empty: closed without a word
    } cases[] = {
        {"unexpected offer line closes quietly", [](UpdateServer& s) { s.offerLine = "nofile\n"; }, true, {}},
        {"unexpected answer to start closes quietly", [](UpdateServer& s) { s.fileLine = "busy\n"; }, true, {}},
        {"a line that never ends closes quietly", [](UpdateServer& s) { s.offerLine = QByteArray(300, 'x'); },
         true, {}},
        {"size 0 is a reception error", [](UpdateServer& s) { s.announced = 0; }, true, {error}},
        {"a silent server times out", [](UpdateServer& s) { s.silent = true; }, true, {error}},
        {"unreachable server", [](UpdateServer&) {}, false, {error}},
    };
    for (const auto& c : cases) {
        UpdateServer server;
        server.archive = "PK archive";
        c.setUp(server);
        Fixture f(c.reachable ? server.port() : closedPort(), 300);
        ASSERT_TRUE(f.attempt()) << c.name;
        QStringList expected{"Проверяем обновления..."};
        if (c.reachable)
            expected.append("Обновление: соединились");
        expected += c.eventsAfterConnect;
        EXPECT_EQ(f.events, expected) << c.name;
        EXPECT_TRUE(f.client.pending()) << c.name;
        EXPECT_FALSE(QFile::exists(f.zipPath)) << c.name;
        if (c.reachable) {
            EXPECT_TRUE(QTest::qWaitFor([&] { return server.clientClosed; }, 2000)) << "closed: " << c.name;
        }
    }
}

TEST(UpdateClient, SeriesRules)
{
    Fixture f(closedPort());
    f.client.MinuteTick(false);
    EXPECT_TRUE(f.events.isEmpty()) << "nothing pending at start";

    f.client.SetUpdatePending();
    f.client.MinuteTick(true);
    EXPECT_TRUE(f.events.isEmpty()) << "a list window is open";
    EXPECT_EQ(f.client.attempts(), 0);

    f.client.MinuteTick(false);
    f.client.MinuteTick(false);
    EXPECT_EQ(f.client.attempts(), 1) << "no second attempt beside one under way";
    for (int minute = 0; minute < 60; ++minute) {
        f.client.MinuteTick(false);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !f.client.attemptUnderWay(); }, 5000));
    }
    EXPECT_EQ(f.client.attempts(), kMaxUpdateAttempts);
    EXPECT_EQ(f.events.count("Проверяем обновления..."), kMaxUpdateAttempts);
    EXPECT_TRUE(f.client.pending());

    const QDate monday(2021, 3, 8);
    const struct {
        const char* name;
        QDateTime at;
        bool autoUpdate;
        bool rearmed;
    } cases[] = {
        {"Monday 10:00 re-arms", QDateTime(monday, QTime(10, 0)), true, true},
        {"Monday 11:00 does not", QDateTime(monday, QTime(11, 0)), true, false},
        {"Tuesday 10:00 does not", QDateTime(monday.addDays(1), QTime(10, 0)), true, false},
        {"automatic updating off", QDateTime(monday, QTime(10, 0)), false, false},
    };
    for (const auto& c : cases) {
        Fixture g(closedPort());
        UpdateSettings s = g.client.settings();
        s.autoUpdate = c.autoUpdate;
        g.client.setSettings(s);
        g.client.HourTick(c.at);
        EXPECT_EQ(g.client.pending(), c.rearmed) << c.name;
    }
    f.client.HourTick(QDateTime(monday, QTime(10, 0)));
    EXPECT_EQ(f.client.attempts(), 0) << "a new series counts from 0";
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
