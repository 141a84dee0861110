// The journal's budget: reading and folding a journal of a million events (about a quarter
// of a million orders) into trades and computing every attribution slice, and how that cost
// grows with ten times the events. Generated journals are kept in $TOVRA_BENCH_DATA (or the
// working folder) and reused between runs.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "journal_generator.hpp"
#include "vavev_aziz/journal.hpp"

namespace {

std::filesystem::path journal_of(std::size_t events, bench::GeneratedJournal& made) {
  const char* folder = std::getenv("TOVRA_BENCH_DATA");
  const std::filesystem::path dir = folder ? folder : ".";
  const auto path = dir / fmt::format("journal-v1-{}.jsonl", events);
  const auto marker = dir / fmt::format("journal-v1-{}.orders", events);
  if (std::filesystem::exists(path) && std::filesystem::exists(marker)) {
    made.events = events;
    std::ifstream(marker) >> made.orders;
    return path;
  }
  made = bench::generate_journal(path, events);
  std::ofstream(marker) << made.orders;
  return path;
}

void release_free_memory() {
#ifdef __GLIBC__
  ::malloc_trim(0);
#endif
}

struct Folded {
  std::size_t trades = 0;
  std::uint64_t scored = 0;  // trades with a return on risk in the overall slice
};

// The timed work: the trades and every attribution slice, and freeing them.
Folded fold_and_attribute(const vavev_aziz::Journal& journal) {
  const auto all = journal.trades();
  auto total = vavev_aziz::overall(all);
  auto buckets = vavev_aziz::by_iv_rank(all);
  auto structures = vavev_aziz::by_structure(all);
  auto proposers = vavev_aziz::by_proposer(all);
  benchmark::DoNotOptimize(total);
  benchmark::DoNotOptimize(buckets);
  benchmark::DoNotOptimize(structures);
  benchmark::DoNotOptimize(proposers);
  return {all.size(), total.n};
}

void FoldAndAttribute(benchmark::State& state) {
  const auto events = static_cast<std::size_t>(state.range(0));
  bench::GeneratedJournal made;
  const vavev_aziz::Journal journal(journal_of(events, made));
  Folded folded;
  for (auto _ : state) {
    folded = fold_and_attribute(journal);
    // Each run starts as a fresh process does, with no memory left over from the previous
    // run: a reused heap spares a repeated run the page faults that a single run (such as the
    // ten-million one) and every real invocation pay, and would skew the ratio between them.
    state.PauseTiming();
    release_free_memory();
    state.ResumeTiming();
  }
  // Every generated order must come back as a trade and some must be scored, or the benchmark
  // would be timing a reader that skips lines (or an empty journal).
  if (made.orders == 0 || folded.trades != made.orders || folded.scored == 0)
    state.SkipWithError(fmt::format("{} trades folded ({} scored), {} orders written",
                                    folded.trades, folded.scored, made.orders)
                            .c_str());
  state.counters["trades"] = static_cast<double>(folded.trades);
  state.counters["events/s"] = benchmark::Counter(static_cast<double>(events),
                                                  benchmark::Counter::kIsIterationInvariantRate);
  state.counters["MB"] = static_cast<double>(std::filesystem::file_size(journal.path())) / 1e6;
}

// The budget: a million events in under 3 s. Ten times the events should cost at most about
// twelve times as much; that run is long, so it is timed once.
BENCHMARK(FoldAndAttribute)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3);
BENCHMARK(FoldAndAttribute)->Arg(10'000'000)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
