// Storing frames in the monthly frame log through the wrapper, on a real file with forced writes,
// as the console does: one prepared insert reused for every frame, commits batched.
//
// Run from a folder on the disk under test (the files go to $TMPDIR, by default /tmp):
//   bench_framelog --benchmark_counters_tabular=true

#include "storage/Db.h"
#include "storage/FrameLog.h"
#include "storage/Schema.h"

#include <benchmark/benchmark.h>

#include <QTemporaryDir>

using namespace kelcon;

namespace {

// Frames arrive at 1,000 a second; `rowsPerCommit` rows go in one transaction.
void appendFrames(benchmark::State& state) {
    const auto rowsPerCommit = state.range(0);
    QTemporaryDir dir;
    DbConnection db(TransactionMode::ReadCommitted);
    if (!dir.isValid() || openDatabases(dir.path(), db) != 0) {
        state.SkipWithError("cannot create the databases");
        return;
    }
    FrameLog log(db);
    QDateTime t(QDate(2030, 4, 1), QTime(8, 0));
    log.tableFor(t);

    TCanFrame f;
    f.len = 8;
    std::int64_t n = 0;
    for (auto _ : state) {
        f.ident = 0x00A80080u + std::uint32_t(n % 97) * 0x00200000u;
        for (int i = 0; i < 8; ++i)
            f.data[std::size_t(i)] = std::uint8_t(n + i);
        log.append(f, t, 0);
        t = t.addMSecs(1);
        if (++n % rowsPerCommit == 0)
            db.commit();
    }
    db.commit();
    state.SetItemsProcessed(n);
    state.counters["rows/s"] = benchmark::Counter(double(n), benchmark::Counter::kIsRate);
}

} // namespace

// One commit per 60 s of frames; and one per 250 ms, the commit timer's cadence under load.
BENCHMARK(appendFrames)->Arg(60000)->Iterations(240000)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(appendFrames)->Arg(250)->Iterations(60000)->Unit(benchmark::kMicrosecond)->UseRealTime();

BENCHMARK_MAIN();
