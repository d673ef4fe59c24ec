// Cost of one log line: every server thread logs directly, with a flush per
// line, so this is what a busy session pays per line it logs.
#include "Logger.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

std::string benchLogPath() {
    return (std::filesystem::temp_directory_path() / "corvilane-bench.log").string();
}

void BM_LogLine(benchmark::State& state) {
    if (state.thread_index() == 0) {
        std::filesystem::remove(benchLogPath());
        CLogger::init(benchLogPath().c_str(), state.range(0));
        CLogger::setLogLevel(CLogger::kDebug);
    }
    for (auto _ : state) CLogger::debug("Connection from %s:%u", "192.168.1.20", 52311U);
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        CLogger::finish();
        std::filesystem::remove(benchLogPath());
    }
}
// 2048 KiB is the server's limit (rolls now and then); 0 never rolls.
BENCHMARK(BM_LogLine)->Arg(2048)->Arg(0)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
