#include "CanAttachment.h"
#include "NodeAttachment.h"
#include "PlantFile.h"
#include "Runner.h"
#include "Simulator.h"
#include "core/DateTime.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <memory>
#include <unistd.h>

using namespace kelcon;
using namespace kelcon::kelsim;

namespace {

// Plant time that runs `speed` times as fast as the wall clock from a chosen start.
class ScaledClock final : public Clock {
public:
    ScaledClock(QDateTime start, double speed) : start_(std::move(start)), speed_(speed) { wall_.start(); }
    QDateTime now() const override { return start_.addMSecs(qint64(double(wall_.elapsed()) * speed_)); }

private:
    QDateTime start_;
    double speed_;
    QElapsedTimer wall_;
};

void say(const QString& text) {
    QTextStream(stdout) << logTimeText(QDateTime::currentDateTime()) << " kelsim: " << text << Qt::endl;
}

[[noreturn]] void fail(const QString& text) {
    QTextStream(stderr) << "kelsim: " << text << Qt::endl;
    std::exit(2);
}

qint64 parseSeconds(const QString& text) {
    qint64 total = 0;
    for (const QString& part : text.split(u':')) {
        bool ok = false;
        const int v = part.toInt(&ok);
        if (!ok || v < 0)
            fail(QStringLiteral("bad time \"%1\", expected [h:]mm:ss or seconds").arg(text));
        total = total * 60 + v;
    }
    return total;
}

QString hex8(UzelIdent id) {
    return QStringLiteral("%1").arg(quint32(id), 8, 16, QChar(u'0')).toUpper();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kelsim"));
    // The virtual bus reports every client connecting; our own lines say what matters.
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        QLoggingCategory::setFilterRules(QStringLiteral("qt.canbus.plugins.virtualcan.info=false"));

    QCommandLineParser cli;
    cli.setApplicationDescription(QStringLiteral(
        "Simulates a heating plant of KEL controllers on a CAN bus and behind GSM nodes.\n"
        "Commands on standard input, one a line, inject faults now: "
        "<pump|sensor|mains|silent|conflict> <number>[@<node>] [circuit=] [pump=] [sensor=] [duration=]"));
    cli.addHelpOption();
    const QCommandLineOption plantOpt(QStringLiteral("plant"),
                                      QStringLiteral("Plant file (default: the built-in plant)."),
                                      QStringLiteral("file"));
    const QCommandLineOption dumpOpt(QStringLiteral("print-plant"),
                                     QStringLiteral("Print the built-in plant file and exit."));
    const QCommandLineOption busOpt(
        QStringLiteral("bus"),
        QStringLiteral("CAN bus as plugin:interface: virtualcan:can0 (default), socketcan:can0."),
        QStringLiteral("bus"), QStringLiteral("virtualcan:can0"));
    const QCommandLineOption noBusOpt(QStringLiteral("no-bus"), QStringLiteral("No CAN bus."));
    const QCommandLineOption nodeOpt(
        QStringLiteral("node"),
        QStringLiteral("Console node-link server the GSM nodes connect to (default 127.0.0.1:4462)."),
        QStringLiteral("host:port"), QStringLiteral("127.0.0.1:4462"));
    const QCommandLineOption noNodeOpt(QStringLiteral("no-node"),
                                       QStringLiteral("Do not attach the GSM nodes."));
    const QCommandLineOption rateOpt(
        QStringLiteral("rate"),
        QStringLiteral("Load mode: N frames per second on the bus, plant time running as fast as needed."),
        QStringLiteral("N"));
    const QCommandLineOption speedOpt(QStringLiteral("speed"),
                                      QStringLiteral("Plant time runs X times as fast (default 1)."),
                                      QStringLiteral("X"), QStringLiteral("1"));
    const QCommandLineOption durationOpt(
        QStringLiteral("duration"), QStringLiteral("Stop after this much plant time ([h:]mm:ss or seconds)."),
        QStringLiteral("time"));
    const QCommandLineOption startOpt(
        QStringLiteral("start"), QStringLiteral("Plant clock start, \"yyyy-MM-dd hh:mm:ss\" (default: now)."),
        QStringLiteral("time"));
    const QCommandLineOption faultOpt(
        QStringLiteral("fault"),
        QStringLiteral("Add a scheduled fault, as a plant file's fault line without \"fault\"."),
        QStringLiteral("line"));
    const QCommandLineOption noFaultsOpt(QStringLiteral("no-faults"),
                                         QStringLiteral("Drop the plant's fault schedule."));
    const QCommandLineOption seedOpt(QStringLiteral("seed"), QStringLiteral("Random seed (default 1)."),
                                     QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption quietOpt(QStringLiteral("quiet"), QStringLiteral("Only errors."));
    cli.addOptions({plantOpt, dumpOpt, busOpt, noBusOpt, nodeOpt, noNodeOpt, rateOpt, speedOpt, durationOpt,
                    startOpt, faultOpt, noFaultsOpt, seedOpt, quietOpt});
    cli.process(app);

    if (cli.isSet(dumpOpt)) {
        QTextStream(stdout) << defaultPlantText();
        return 0;
    }

    PlantDesc plant;
    if (cli.isSet(plantOpt)) {
        QFile file(cli.value(plantOpt));
        if (!file.open(QIODevice::ReadOnly))
            fail(QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString()));
        auto parsed = parsePlant(QString::fromUtf8(file.readAll()));
        if (!parsed.plant)
            fail(QStringLiteral("%1: %2").arg(file.fileName(), parsed.error));
        plant = std::move(*parsed.plant);
    } else {
        plant = defaultPlant();
    }
    if (cli.isSet(noFaultsOpt))
        plant.faults.clear();
    for (const QString& faultLine : cli.values(faultOpt)) {
        QString error;
        const auto f = parseFaultLine(faultLine, plant, &error);
        if (!f)
            fail(QStringLiteral("--fault \"%1\": %2").arg(faultLine, error));
        plant.faults.push_back(*f);
    }

    bool ok = true;
    const double speed = cli.value(speedOpt).toDouble(&ok);
    if (!ok || speed <= 0)
        fail(QStringLiteral("--speed must be a positive number"));
    const int rate = cli.isSet(rateOpt) ? cli.value(rateOpt).toInt(&ok) : 0;
    if (!ok || rate < 0)
        fail(QStringLiteral("--rate must be a whole number of frames per second"));
    const std::uint32_t seed = cli.value(seedOpt).toUInt(&ok);
    if (!ok)
        fail(QStringLiteral("--seed must be a whole number"));
    QDateTime start = QDateTime::currentDateTime();
    if (cli.isSet(startOpt)) {
        start = QDateTime::fromString(cli.value(startOpt), QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        if (!start.isValid())
            fail(QStringLiteral("--start: expected \"yyyy-MM-dd hh:mm:ss\""));
    }
    const qint64 duration = cli.isSet(durationOpt) ? parseSeconds(cli.value(durationOpt)) : 0;
    const bool quiet = cli.isSet(quietOpt);

    // The plant's clock: scaled wall time, or in load mode moved on by the runner itself.
    ScaledClock scaled(start, speed);
    ManualClock manual(start);
    const Clock& clock = rate > 0 ? static_cast<const Clock&>(manual) : scaled;
    Simulator sim(plant, clock, seed);

    std::unique_ptr<CanAttachment> can;
    if (!cli.isSet(noBusOpt)) {
        QString error;
        can = CanAttachment::open(cli.value(busOpt), &error);
        if (!can)
            fail(error);
        QObject::connect(can.get(), &CanAttachment::connected,
                         [&] { say(QStringLiteral("bus %1 connected").arg(cli.value(busOpt))); });
        QObject::connect(can.get(), &CanAttachment::failed,
                         [](const QString& text) { say(QStringLiteral("bus: ") + text); });
    }

    std::vector<std::unique_ptr<NodeAttachment>> nodes;
    std::vector<NodeAttachment*> nodePtrs;
    if (!cli.isSet(noNodeOpt) && !plant.uzly.empty()) {
        const QString target = cli.value(nodeOpt);
        const int colon = target.lastIndexOf(u':');
        const int port = colon > 0 ? target.mid(colon + 1).toInt(&ok) : 0;
        if (colon <= 0 || !ok || port <= 0 || port > 65535)
            fail(QStringLiteral("--node must be host:port"));
        for (const auto& u : plant.uzly) {
            nodes.push_back(std::make_unique<NodeAttachment>(u, target.left(colon), quint16(port)));
            nodePtrs.push_back(nodes.back().get());
            QObject::connect(nodes.back().get(), &NodeAttachment::linkChanged, [u, target](bool up) {
                say(QStringLiteral("node %1 \"%2\" %3 %4")
                        .arg(hex8(u.ident), u.name, up ? "connected to" : "lost", target));
            });
        }
    }

    Runner runner(sim, can.get(), nodePtrs);
    if (!quiet)
        QObject::connect(&runner, &Runner::event, [](const QString& e) { say(e); });

    if (!quiet) {
        QStringList list;
        for (const auto& k : plant.kontrollery)
            list << QStringLiteral("KEL-%1 %2%3")
                        .arg(k.type, 2, 10, QChar(u'0'))
                        .arg(k.number)
                        .arg(k.uzel ? QStringLiteral("@") + hex8(k.uzel) : QString());
        say(QStringLiteral("%1 controllers: %2")
                .arg(plant.kontrollery.size())
                .arg(list.join(QStringLiteral(", "))));
    }

    // Fault commands on standard input; not from a terminal this process does not own (a background job
    // that reads its terminal is stopped by the system).
    std::unique_ptr<QSocketNotifier> stdinNotifier;
    QByteArray typed;
    if (!isatty(STDIN_FILENO) || tcgetpgrp(STDIN_FILENO) == getpgrp()) {
        stdinNotifier = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
        QObject::connect(stdinNotifier.get(), &QSocketNotifier::activated, [&] {
            char buf[512];
            const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
            if (n <= 0) {
                stdinNotifier->setEnabled(false); // end of input: keep running without commands
                return;
            }
            typed.append(buf, qsizetype(n));
            for (qsizetype eol; (eol = typed.indexOf('\n')) >= 0;) {
                const QString text = QString::fromUtf8(typed.left(eol)).trimmed();
                typed.remove(0, eol + 1);
                if (text.isEmpty())
                    continue;
                QString error;
                const auto f = parseFaultLine(QStringLiteral("0 ") + text, sim.plant(), &error);
                if (!f) {
                    say(QStringLiteral("command \"%1\": %2").arg(text, error));
                    continue;
                }
                sim.applyFault(*f);
                runner.pump();
            }
        });
    }

    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        runner.pump();
        if (duration > 0 && sim.elapsedSeconds() >= duration)
            app.quit();
    });
    tick.start(rate > 0 ? 200 : 100);

    QElapsedTimer wall;
    wall.start();
    QTimer status;
    qint64 lastFrames = 0;
    QObject::connect(&status, &QTimer::timeout, [&] {
        const qint64 frames = runner.busFrames();
        QStringList links;
        for (const auto& n : nodes)
            links << QStringLiteral("node %1 %2, %3 frames")
                         .arg(hex8(n->ident()), n->isConnected() ? "up" : "down")
                         .arg(n->framesSent());
        say(QStringLiteral("plant time %1, %2 frames on the bus (%3/s)%4")
                .arg(logTimeText(clock.now()))
                .arg(frames)
                .arg((frames - lastFrames) / 10)
                .arg(links.isEmpty() ? QString() : QStringLiteral("; ") + links.join(QStringLiteral("; "))));
        lastFrames = frames;
    });
    if (!quiet)
        status.start(10000);

    for (const auto& n : nodes)
        n->start();
    if (rate > 0)
        runner.startLoad(manual, rate);
    return app.exec();
}
