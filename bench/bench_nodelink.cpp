// The node-link server under GSM-node traffic.
//
//   cutRdc      - cutting and reading "RDC" streams (255 records a message, 4 KiB socket chunks)
//   handleRdc   - the same, each record then dispatched into a console on a real event database
//   gsmNodes200 - 200 GSM nodes on loopback sockets pushing frames at once into one console
//
// Run from a folder on the disk under test (the files go to $TMPDIR, by default /tmp):
//   bench_nodelink --benchmark_counters_tabular=true

#include "core/Console.h"
#include "nodelink/Cutter.h"
#include "nodelink/NodeServer.h"
#include "nodelink/Parse.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <memory>
#include <vector>

using namespace kelcon;

namespace {

QByteArray rdcStream(UzelIdent node, int messages, int recordsPerMessage) {
    std::vector<RdcRecord> records(static_cast<std::size_t>(recordsPerMessage));
    const QDateTime t(QDate(2030, 4, 1), QTime(8, 0));
    for (int i = 0; i < recordsPerMessage; ++i) {
        TCanFrame& f = records[std::size_t(i)].frame;
        f.ident = 0x8000F008u | makeDeviceKey(1 + i % 50, 2 + 2 * (i % 4));
        f.len = 8;
        for (int b = 0; b < 8; ++b)
            f.data[std::size_t(b)] = std::uint8_t(i + b);
        records[std::size_t(i)].stamp = t;
    }
    const QByteArray one = buildRdc(node, records);
    QByteArray out;
    out.reserve(one.size() * messages);
    for (int m = 0; m < messages; ++m)
        out += one;
    return out;
}

// Feeds the stream in socket-sized chunks; calls `each` for every record read.
template <typename Each> std::int64_t cutAndRead(const QByteArray& stream, Each each) {
    ServerReceiver receiver;
    std::int64_t records = 0;
    for (qsizetype at = 0; at < stream.size(); at += 4096) {
        receiver.append(QByteArrayView(stream).sliced(at, std::min<qsizetype>(4096, stream.size() - at)));
        for (;;) {
            const Received r = receiver.next();
            if (r.status != CutStatus::Message)
                break;
            if (const auto m = parseRdc(r.message)) {
                for (const TCanFrame& f : m->frames)
                    each(m->node, f);
                records += qsizetype(m->frames.size());
            }
        }
    }
    return records;
}

struct ConsoleUnderTest {
    QTemporaryDir dir;
    SystemClock clock;
    std::unique_ptr<Console> console;
    std::unique_ptr<NodeServer> server;

    // GSM nodes 1..nodes are known with no tunnel ports, so the load opens no listeners.
    bool start(int nodes) {
        if (!dir.isValid())
            return false;
        ConsoleEnv env;
        env.folder = dir.path();
        env.clock = &clock;
        env.pause = [](int) {};
        env.loadAdapterLibrary = [] { return std::unique_ptr<UcanxLibrary>(); };
        console = std::make_unique<Console>(env);
        if (!console->start())
            return false;
        for (int n = 1; n <= nodes; ++n)
            console->eventDb().execute(
                QStringLiteral("insert into SPISUZEL (UzelIdent,NameUzel,PortCOM1,PortCOM2,"
                               "Port485) values (:N,'node',0,0,0)"),
                {{QStringLiteral("N"), n}});
        console->eventDb().commit();
        server = std::make_unique<NodeServer>(*console);
        server->install();
        return server->start(0);
    }
};

void cutRdc(benchmark::State& state) {
    const QByteArray stream = rdcStream(0x1234, 100, 255);
    std::int64_t records = 0;
    std::uint32_t sink = 0;
    for (auto _ : state)
        records += cutAndRead(stream, [&](UzelIdent, const TCanFrame& f) { sink += f.ident; });
    benchmark::DoNotOptimize(sink);
    state.SetItemsProcessed(records);
    state.counters["records/s"] = benchmark::Counter(double(records), benchmark::Counter::kIsRate);
}

void handleRdc(benchmark::State& state) {
    ConsoleUnderTest c;
    if (!c.start(0)) {
        state.SkipWithError("cannot start the console");
        return;
    }
    const QByteArray stream = rdcStream(0x1234, 4, 255);
    std::int64_t records = 0;
    for (auto _ : state) {
        const QDateTime now = QDateTime::currentDateTime();
        records += cutAndRead(stream, [&](UzelIdent node, const TCanFrame& f) {
            c.console->dispatcher().dispatch(f, now, node);
        });
    }
    c.console->eventDb().commit();
    state.SetItemsProcessed(records);
    state.counters["records/s"] = benchmark::Counter(double(records), benchmark::Counter::kIsRate);
}

// Each node greets, then sends its frames as "RDC" messages of 20 records in one go.
void gsmNodes200(benchmark::State& state) {
    constexpr int kNodes = 200;
    const int messagesPerNode = int(state.range(0));
    ConsoleUnderTest c;
    if (!c.start(kNodes)) {
        state.SkipWithError("cannot start the console");
        return;
    }
    std::vector<std::unique_ptr<QTcpSocket>> nodes;
    for (int n = 1; n <= kNodes; ++n) {
        auto s = std::make_unique<QTcpSocket>();
        s->connectToHost(QHostAddress(QHostAddress::LocalHost), c.server->serverPort());
        nodes.push_back(std::move(s));
    }
    const auto pumpUntil = [](const std::function<bool()>& done) {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < 600000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        return done();
    };
    const auto allConnected = [&] {
        for (const auto& s : nodes) {
            if (s->state() != QAbstractSocket::ConnectedState)
                return false;
        }
        return true;
    };
    if (!pumpUntil(allConnected)) {
        state.SkipWithError("the nodes could not connect");
        return;
    }
    for (int n = 1; n <= kNodes; ++n)
        nodes[std::size_t(n - 1)]->write(buildGreeting(n, QStringLiteral("node")));
    pumpUntil([&] { return c.server->connectionCount() == kNodes; });

    std::int64_t frames = 0;
    bool dropped = false;
    for (auto _ : state) {
        const quint32 before = c.console->state().receivedFrames;
        for (int n = 1; n <= kNodes; ++n)
            nodes[std::size_t(n - 1)]->write(rdcStream(n, messagesPerNode, 20));
        const quint32 expected = before + quint32(kNodes * messagesPerNode * 20);
        pumpUntil([&] { return c.console->state().receivedFrames >= expected; });
        frames += c.console->state().receivedFrames - before;
        dropped = dropped || !allConnected() || c.server->connectionCount() != kNodes;
    }
    c.console->eventDb().commit();
    if (dropped)
        state.SkipWithError("a connection was dropped");
    state.SetItemsProcessed(frames);
    state.counters["frames/s"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
    state.counters["connections"] = c.server->connectionCount();
}

} // namespace

BENCHMARK(cutRdc)->Unit(benchmark::kMillisecond);
BENCHMARK(handleRdc)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(gsmNodes200)->Arg(5)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
