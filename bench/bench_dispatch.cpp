// The whole road of a received frame, as the console's poll drives it: FrameDispatcher::dispatch on
// a real event database with forced writes (month table check, relay to no consoles, register
// look-up and update, alarm text and record, frame-log insert), in frames per second.
//
// The plant: 200 controllers (70 KEL-02, 50 KEL-04, 60 KEL-08, 20 KEL-06 with three zones each)
// whose rows already exist, sending a fixed pseudo-random mix of parameter, state, zone
// temperature, name, alarm-status, alarm and alarm-clear frames (shares in `kMix`).
//
// Commits follow the console's commit timer: the first write after a commit arms it and 250 ms
// later everything written goes in one commit. Without an event loop the elapsed time is checked
// after every frame instead, which commits at the same pace. A 1 s pace is run for comparison.
//
// Besides frames/s the counters show the commits' share: seconds spent committing and the page
// writes of a commit (with forced writes each one waits for the disk).
//
// Run from the disk under test (the files go to $TMPDIR, by default /tmp):
//   bench_dispatch --benchmark_counters_tabular=true

#include "can/AlarmText.h"
#include "can/DeviceRegister.h"
#include "can/FrameDispatcher.h"
#include "core/ConsoleState.h"
#include "core/Cp1251.h"
#include "core/EventLog.h"
#include "storage/Db.h"
#include "storage/FrameLog.h"
#include "storage/Schema.h"

#include <benchmark/benchmark.h>

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <random>
#include <vector>

using namespace kelcon;

namespace {

struct Controller {
    int number, type;
};

std::vector<Controller> plant() {
    std::vector<Controller> c;
    int number = 1;
    for (const auto& [type, count] : {std::pair{2, 70}, {4, 50}, {8, 60}, {6, 20}}) {
        for (int i = 0; i < count; ++i)
            c.push_back({number++, type});
    }
    return c;
}

TCanFrame frameOf(std::uint32_t word, std::initializer_list<std::uint8_t> data) {
    TCanFrame f;
    f.ident = word;
    f.len = std::uint8_t(data.size());
    std::copy(data.begin(), data.end(), f.data.begin());
    return f;
}

TCanFrame nameHalf(std::uint32_t word, int zdan, const char* five) {
    TCanFrame f = frameOf(word, {std::uint8_t(zdan), 1, 0});
    const QByteArray b = toCp1251(QString::fromUtf8(five));
    std::copy_n(b.constData(), 5, f.data.begin() + 3);
    f.len = 8;
    return f;
}

// Write calls of the process so far: with forced writes every page the engine writes is one
// synchronous write. (The alarm lines' file appends count too, so only commits are measured.)
qint64 writeCalls() {
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : io.readAll().split('\n')) {
        if (line.startsWith("syscw:"))
            return line.mid(6).trimmed().toLongLong();
    }
    return 0;
}

// Frames per kind out of 100.
constexpr int kMix[] = {
    45, // parameter report (KEL-06: zone temperatures)
    33, // state report
    8,  // name half
    10, // alarm status words
    2,  // alarm report with alarm bits: an alarm line
    2,  // alarm cleared
};

std::vector<TCanFrame> traffic(const std::vector<Controller>& plant, std::size_t count) {
    std::mt19937 rng(4462);
    std::uniform_int_distribution<int> pick(0, int(plant.size()) - 1), percent(0, 99), byte(0, 255);
    std::vector<TCanFrame> frames;
    frames.reserve(count);
    while (frames.size() < count) {
        const Controller& c = plant[std::size_t(pick(rng))];
        const std::uint32_t key = makeDeviceKey(c.number, c.type);
        const auto v = [&] { return std::uint8_t(byte(rng)); };
        int p = percent(rng), kind = 0;
        while (p >= kMix[kind])
            p -= kMix[kind++];
        switch (kind) {
        case 0:
            frames.push_back(
                c.type == 6 ? frameOf(key | 0x8000FF09u, {0x00, 21, 0x20, 20, 0x40, 19, 0x21, 22})
                            : frameOf(key | kParameterReport, {0x20, v(), 0x21, 40, 0x40, 62, 0x41, v()}));
            break;
        case 1:
            frames.push_back(frameOf(key | kStateReport, {0x01, v(), 0x10, 0x03, 0x20, 0x01}));
            break;
        case 2:
            frames.push_back(nameHalf(key | (percent(rng) < 50 ? 0xDF04u : 0xDF05u), c.number % 40,
                                      percent(rng) < 50 ? "Котел" : "ьная "));
            break;
        case 3:
            frames.push_back(frameOf(key | 0x8000FF0Bu, {0, 0, 1, 0, 5, 0, 6, 0}));
            break;
        case 4:
            frames.push_back(frameOf(key | kAlarmReport, {0, std::uint8_t(1 << (v() % 8)), 2, 0}));
            break;
        default:
            frames.push_back(frameOf(key | kAlarmClearReport, {}));
            break;
        }
    }
    return frames;
}

// Arguments: 1 = the register's index as storage creates it at start, 0 = dropped as in files
// that predate it (every look-up scans SPISKEL); the commit pace in milliseconds.
void dispatchFrames(benchmark::State& state) {
    const qint64 commitMs = state.range(1);
    QTemporaryDir dir;
    DbConnection db(TransactionMode::ReadCommitted);
    if (!dir.isValid() || openDatabases(dir.path(), db) != 0) {
        state.SkipWithError("cannot create the databases");
        return;
    }
    if (state.range(0) == 0) {
        // Start-up has used the index; only a fresh attachment can drop it.
        const QString file = db.fileName();
        db.close();
        {
            DbConnection ddl;
            ddl.open(file);
            ddl.execute(QStringLiteral("DROP INDEX ") + kSpiskelDeviceIndex);
            ddl.commit();
        }
        db.open(file);
    }

    ManualClock clock(QDateTime(QDate(2030, 4, 1), QTime(8, 0)));
    ConsoleState consoleState;
    EventLog log(dir.path(), clock);
    log.setDatabase(&db);
    FrameLog frameLog(db);
    DeviceRegister reg(db, clock);
    reg.setNodeName([](UzelIdent) { return QString(); });
    FrameDispatcher dispatcher(consoleState, frameLog, reg, log);
    dispatcher.relayToConsoles = [](const TCanFrame&, UzelIdent) {}; // a server without clients
    AlarmNames names;
    names.buildingName = [&db](UzelIdent node, int number, int type) {
        QString name;
        db.forEach(
            QStringLiteral("select NameZdan from SPISKEL where UzelIdent=:Uzel_ID and PriborNo=:NomerUstr "
                           "and TypeNo=:TypeUstr"),
            {{QStringLiteral("Uzel_ID"), node},
             {QStringLiteral("NomerUstr"), number},
             {QStringLiteral("TypeUstr"), type}},
            [&](const DbRow& row) {
                name = row.toString(QStringLiteral("NAMEZDAN")).trimmed();
                return false;
            });
        return name;
    };
    dispatcher.alarmText = [names](const TCanFrame& f, UzelIdent node) { return AlarmText(f, node, names); };
    int errors = 0;
    dispatcher.onDatabaseError = [&](const QString&) { ++errors; };

    // Every controller has been heard before: its rows and names exist.
    const std::vector<Controller> controllers = plant();
    QDateTime t = clock.now();
    for (const Controller& c : controllers) {
        const std::uint32_t key = makeDeviceKey(c.number, c.type);
        dispatcher.dispatch(nameHalf(key | 0xDF04u, c.number % 40, "Котел"), t, 0);
        dispatcher.dispatch(nameHalf(key | 0xDF05u, c.number % 40, "ьная "), t, 0);
        for (int zone = 0; c.type == 6 && zone < 3; ++zone)
            dispatcher.dispatch(nameHalf(key | 0xD004u | std::uint32_t(zone << 8), c.number % 40, "Зал 1"), t,
                                0);
    }
    db.commit();

    const std::vector<TCanFrame> frames = traffic(controllers, 20000);
    QElapsedTimer sinceCommit, committing;
    bool dirty = false;
    std::size_t n = 0;
    std::int64_t commits = 0, commitNs = 0, commitWrites = 0;
    auto commit = [&] {
        const qint64 w = writeCalls();
        committing.start();
        db.commit();
        commitNs += committing.nsecsElapsed();
        commitWrites += writeCalls() - w;
        ++commits;
    };
    for (auto _ : state) {
        dispatcher.dispatch(frames[n % frames.size()], t, 0);
        if (++n % 100 == 0) { // the poll's batch: one receive time for up to 100 frames
            t = t.addMSecs(13);
            clock.set(t);
        }
        if (!dirty) {
            dirty = true;
            sinceCommit.start();
        } else if (sinceCommit.elapsed() >= commitMs) {
            commit();
            dirty = false;
        }
    }
    commit();
    if (errors)
        state.SkipWithError("database errors during dispatch");
    state.SetItemsProcessed(std::int64_t(n));
    state.counters["frames/s"] = benchmark::Counter(double(n), benchmark::Counter::kIsRate);
    // Where the wall time goes: the commits (forced writes: one synchronous write per dirty page)
    // and the dispatching between them.
    state.counters["commits"] = double(commits);
    state.counters["ms/commit"] = double(commitNs) / 1e6 / double(std::max<std::int64_t>(commits, 1));
    state.counters["commit s"] = double(commitNs) / 1e9;
    state.counters["writes/commit"] = double(commitWrites) / double(std::max<std::int64_t>(commits, 1));
}

} // namespace

BENCHMARK(dispatchFrames)->Args({1, 250})->Iterations(60000)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(dispatchFrames)->Args({1, 1000})->Iterations(60000)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(dispatchFrames)->Args({0, 250})->Iterations(20000)->Unit(benchmark::kMicrosecond)->UseRealTime();

BENCHMARK_MAIN();
