// The cost of building an outgoing frame: LinkBufferToSendClass::BuildBuffer
// for 64 B and 64 KiB payloads, next to a plain memcpy of the same bytes into
// a buffer that already exists, and next to what any frame costs at least
// (allocate, copy, free). BuildBuffer adds the header formatting and the
// allocation to the copy; the program prints each ratio against the memcpy
// and the allocation baselines of the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "hx_net/Link.h"

namespace {

std::vector<char> Payload(size_t n) {
  std::vector<char> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<char>('a' + i % 26);
  return v;
}

// A frame built and released, as Send and the writer do for every message.
void BM_BuildBuffer(benchmark::State& state) {
  size_t n = static_cast<size_t>(state.range(0));
  std::vector<char> data = Payload(n);
  for (auto _ : state) {
    LinkBufferToSendClass rec;
    rec.m_OwnsBuffer = true;
    rec.BuildBuffer(data.data(), static_cast<unsigned>(n));
    benchmark::DoNotOptimize(rec.m_pBuffer);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

// The copy alone, into a buffer allocated once.
void BM_Memcpy(benchmark::State& state) {
  size_t n = static_cast<size_t>(state.range(0));
  std::vector<char> data = Payload(n);
  std::vector<char> dst(n + 11);
  for (auto _ : state) {
    std::memcpy(dst.data() + 10, data.data(), n);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

// The least any separately allocated frame costs: new, copy, delete.
void BM_NewMemcpy(benchmark::State& state) {
  size_t n = static_cast<size_t>(state.range(0));
  std::vector<char> data = Payload(n);
  for (auto _ : state) {
    char* dst = new char[n + 11];
    std::memcpy(dst + 10, data.data(), n);
    benchmark::DoNotOptimize(dst);
    benchmark::ClobberMemory();
    delete[] dst;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

BENCHMARK(BM_Memcpy)->Arg(64)->Arg(64 * 1024)->Repetitions(3);
BENCHMARK(BM_NewMemcpy)->Arg(64)->Arg(64 * 1024)->Repetitions(3);
BENCHMARK(BM_BuildBuffer)->Arg(64)->Arg(64 * 1024)->Repetitions(3);

// Shows everything, and keeps the fastest repetition of each benchmark and
// argument in nanoseconds (the least disturbed by the rest of the machine).
class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
      double ns = r.GetAdjustedRealTime() * ToNs(r.time_unit);
      std::string key = r.run_name.function_name + "/" + r.run_name.args;
      auto it = m_Best.find(key);
      if (it == m_Best.end() || ns < it->second) m_Best[key] = ns;
    }
  }
  bool Has(const std::string& key) const { return m_Best.count(key) != 0; }
  double Ns(const std::string& key) const { return m_Best.at(key); }

 private:
  static double ToNs(benchmark::TimeUnit u) {
    switch (u) {
      case benchmark::kSecond:
        return 1e9;
      case benchmark::kMillisecond:
        return 1e6;
      case benchmark::kMicrosecond:
        return 1e3;
      default:
        return 1.0;
    }
  }
  std::map<std::string, double> m_Best;
};
}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 64;
  Collector reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::printf("\nBuildBuffer against the baselines (fastest of the repetitions):\n");
  std::printf("  %-8s %12s %12s %12s %14s %14s\n", "payload", "memcpy ns", "new+cpy ns", "Build ns",
              "Build/memcpy", "Build/new+cpy");
  for (const char* arg : {"64", "65536"}) {
    std::string a = arg;
    if (!reporter.Has("BM_BuildBuffer/" + a) || !reporter.Has("BM_Memcpy/" + a) ||
        !reporter.Has("BM_NewMemcpy/" + a))
      continue;  // filtered out: nothing to compare
    double build = reporter.Ns("BM_BuildBuffer/" + a);
    double copy = reporter.Ns("BM_Memcpy/" + a);
    double alloc = reporter.Ns("BM_NewMemcpy/" + a);
    std::printf("  %-8s %12.1f %12.1f %12.1f %14.2f %14.2f\n", arg, copy, alloc, build,
                build / copy, build / alloc);
  }
  return 0;
}
