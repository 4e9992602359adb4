// A benchmark program for the test of scripts/bench: one benchmark that
// runs and one that ends with an error, as a benchmark does whose set-up
// failed.

#include <benchmark/benchmark.h>

namespace {

void BM_Fine(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(state.iterations());
    }
}
BENCHMARK(BM_Fine)->Iterations(1);

void BM_Broken(benchmark::State& state) {
    state.SkipWithError("no board");
    for (auto _ : state) {
    }
}
BENCHMARK(BM_Broken);

} // namespace
