// The demo as a newcomer runs it: kelsim and kelcon as real processes in one folder, the adapter
// library's channel 1 on kelsim's virtual CAN bus, the remote site's GSM node on kelcon's
// node-link port. Nothing is configured by hand but the two free ports.
#include "Support.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// The demo's first minute, as seen in the console's files.
struct Seen {
    bool channel = false, reception = false, node = false, alarm = false;
    bool all() const { return channel && reception && node && alarm; }
};

const QString kPumpAlarm = QStringLiteral("Авария 1 насоса 1 контура  на KEL-08 (Школа №5) адрес № 0005");

Seen look(const QDir& dir) {
    const QString events = e2e::readFile(dir.filePath(QStringLiteral("Kelcon.log")));
    const QString errors = e2e::readFile(dir.filePath(QStringLiteral("KelError.log")));
    Seen s;
    s.channel = events.contains(QStringLiteral("->Номер канала 1\n"));
    s.reception = events.contains(QStringLiteral("->Прием разрешен\n"));
    s.node = events.contains(QStringLiteral("->Удаленный узел (Поселок Северный) подключился\n"));
    s.alarm = errors.contains(QStringLiteral(" ->") + kPumpAlarm + '\n') &&
              events.contains(QStringLiteral(" ->") + kPumpAlarm + '\n');
    return s;
}

class Demo : public ::testing::Test {
protected:
    void TearDown() override {
        for (QProcess* p : {&kelcon, &kelsim}) {
            if (p->state() == QProcess::NotRunning)
                continue;
            p->kill();
            p->waitForFinished(5000);
        }
    }

    QString report() {
        return QStringLiteral("\nKelcon.log:\n") + e2e::readFile(dir.filePath(QStringLiteral("Kelcon.log"))) +
               QStringLiteral("\nKelError.log:\n") +
               e2e::readFile(dir.filePath(QStringLiteral("KelError.log"))) + QStringLiteral("\nkelcon:\n") +
               QString::fromUtf8(kelcon.readAll()) + QStringLiteral("\nkelsim:\n") + simOutput +
               QString::fromUtf8(kelsim.readAll());
    }

    QTemporaryDir tmp;
    QDir dir;
    QProcess kelsim, kelcon;
    QString simOutput;
};

TEST_F(Demo, SimulatedPlantReachesTheConsoleAndTheConsoleStopsInOrder) {
    ASSERT_TRUE(tmp.isValid());
    dir.setPath(tmp.path());
    const quint16 busPort = e2e::freePort();
    quint16 remotePort = e2e::freePort();
    while (remotePort == busPort)
        remotePort = e2e::freePort();
    // Qt's virtual bus resolves no host names: the address must be numeric.
    const QString bus = QStringLiteral("virtualcan:tcp://127.0.0.1:%1/can0").arg(busPort);
    {
        QFile conf(dir.filePath(QStringLiteral("ucanx.conf")));
        ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
        conf.write(QStringLiteral("1 = %1\n").arg(bus).toUtf8());
    }
    e2e::presetSetting(dir.path(), QStringLiteral("portremot"), QString::number(remotePort));

    // The simulator first: the first program on the virtual bus hosts it.
    kelsim.setWorkingDirectory(dir.path());
    kelsim.setProcessChannelMode(QProcess::MergedChannels);
    kelsim.setStandardInputFile(QProcess::nullDevice());
    kelsim.start(QStringLiteral(KELSIM_PROGRAM), {QStringLiteral("--bus"), bus, QStringLiteral("--node"),
                                                  QStringLiteral("127.0.0.1:%1").arg(remotePort)});
    ASSERT_TRUE(kelsim.waitForStarted(5000)) << kelsim.errorString().toStdString();
    const QString busUp = QStringLiteral("bus %1 connected").arg(bus);
    QDeadlineTimer simDeadline(10000);
    while (!simOutput.contains(busUp) && !simDeadline.hasExpired() && kelsim.state() == QProcess::Running) {
        kelsim.waitForReadyRead(100);
        simOutput += QString::fromUtf8(kelsim.readAll());
    }
    ASSERT_TRUE(simOutput.contains(busUp)) << report().toStdString();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    kelcon.setProcessEnvironment(env);
    kelcon.setWorkingDirectory(dir.path());
    kelcon.setProcessChannelMode(QProcess::MergedChannels);
    kelcon.setStandardInputFile(QProcess::nullDevice());
    kelcon.start(QStringLiteral(KELCON_PROGRAM), {});
    ASSERT_TRUE(kelcon.waitForStarted(5000)) << kelcon.errorString().toStdString();

    // The plant's pump trips 40 s after the simulator started.
    QDeadlineTimer deadline(90000);
    Seen seen;
    while (!(seen = look(dir)).all() && !deadline.hasExpired() && kelcon.state() == QProcess::Running) {
        kelcon.waitForFinished(250);
        kelsim.waitForReadyRead(0);
        simOutput += QString::fromUtf8(kelsim.readAll());
    }
    ASSERT_EQ(kelcon.state(), QProcess::Running) << report().toStdString();
    EXPECT_TRUE(seen.channel);
    EXPECT_TRUE(seen.reception);
    EXPECT_TRUE(seen.node);
    EXPECT_TRUE(seen.alarm);
    ASSERT_TRUE(seen.all()) << report().toStdString();

    kelcon.terminate(); // SIGTERM
    ASSERT_TRUE(kelcon.waitForFinished(30000)) << report().toStdString();
    EXPECT_EQ(kelcon.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(kelcon.exitCode(), 0) << report().toStdString();
    EXPECT_TRUE(e2e::readFile(dir.filePath(QStringLiteral("Kelcon.log")))
                    .endsWith(QStringLiteral("->Закрываем программу\n")))
        << report().toStdString();

    kelsim.terminate();
    EXPECT_TRUE(kelsim.waitForFinished(10000));
}

} // namespace
