// The cost of tracing while it is off: a trace scope with its "Enter" line,
// and a trace line with arguments, each next to the same call without it.
// Debug output off (the default) must cost one branch per line: a few
// nanoseconds at most per call. The program prints the differences and
// ratios against the baseline of the same run, and exits with 1 when a
// difference is over that target.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "bench/bench_support.h"
#include "hx_net/trace_modules.h"

namespace {

using namespace hxbench;

constexpr double kTargetNs = 5.0;

// The same small body in every variant. Not inlined, so that each variant is a
// real call, as a library operation is.
__attribute__((noinline)) int Baseline(int x) {
  benchmark::DoNotOptimize(x);
  return x * 3 + 1;
}

__attribute__((noinline)) int WithScope(int x) {
  LINK_SCOPE("Link::Send");
  benchmark::DoNotOptimize(x);
  return x * 3 + 1;
}

__attribute__((noinline)) int WithScopeAndLine(int x) {
  LINK_SCOPE("Link::Send");
  HX_TRACE(4, "queued " << x << " bytes for " << std::string("component-host") << ':' << 4711);
  benchmark::DoNotOptimize(x);
  return x * 3 + 1;
}

template <int (*Fn)(int)>
void Run(benchmark::State& state) {
  int x = 0;
  for (auto _ : state) {
    x = Fn(x);
    benchmark::DoNotOptimize(x);
  }
}

void BM_Baseline(benchmark::State& s) {
  Run<Baseline>(s);
}
void BM_DisabledScope(benchmark::State& s) {
  Run<WithScope>(s);
}
void BM_DisabledScopeAndLine(benchmark::State& s) {
  Run<WithScopeAndLine>(s);
}

// Debug output on, but the module's level (1) is below both lines: the usual
// setting of a component that logs only errors.
void BM_BelowLevelScopeAndLine(benchmark::State& s) {
  TDiag::Instance().SetModuleLevel("Link", 1);
  TDiag::Instance().EnableDebugOutput(true);
  Run<WithScopeAndLine>(s);
  TDiag::Instance().EnableDebugOutput(false);
  TDiag::Instance().SetModuleLevel("Link", 0);
}

BENCHMARK(BM_Baseline)->Repetitions(5);
BENCHMARK(BM_DisabledScope)->Repetitions(5);
BENCHMARK(BM_DisabledScopeAndLine)->Repetitions(5);
BENCHMARK(BM_BelowLevelScopeAndLine)->Repetitions(5);

}  // namespace

int main(int argc, char** argv) {
  FastestReporter reporter;
  if (!RunBenchmarks(&argc, argv, reporter)) return 64;
  if (!reporter.Has("BM_Baseline")) return 0;  // filtered out: nothing to compare
  double base = reporter.Ns("BM_Baseline");
  std::printf("\nDisabled tracing against the baseline (fastest of the repetitions):\n");
  std::printf("  %-28s %8.2f ns/call\n", "baseline", base);
  int over = 0;
  for (const char* name :
       {"BM_DisabledScope", "BM_DisabledScopeAndLine", "BM_BelowLevelScopeAndLine"}) {
    if (!reporter.Has(name)) continue;
    double ns = reporter.Ns(name), diff = ns - base;
    bool ok = diff <= kTargetNs;
    over += ok ? 0 : 1;
    std::printf("  %-28s %8.2f ns/call  %+6.2f ns  ratio %.2f  %s\n", name + 3, ns, diff, ns / base,
                ok ? "within the target" : "OVER the target");
  }
  std::printf("Target: at most %.1f ns more per call than the baseline.\n", kTargetNs);
  return over ? 1 : 0;
}
