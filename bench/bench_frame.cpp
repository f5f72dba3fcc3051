// The cost of building an outgoing frame: LinkBufferToSendClass::BuildBuffer
// for 64 B and 64 KiB payloads, next to a plain memcpy of the same bytes into
// a buffer that already exists, and next to what any frame costs at least
// (allocate, copy, free). BuildBuffer adds the header formatting and the
// allocation to the copy; the program prints each ratio against the memcpy
// and the allocation baselines of the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "hx_net/Link.h"

namespace {

using namespace hxbench;

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

}  // namespace

int main(int argc, char** argv) {
  FastestReporter reporter;
  if (!RunBenchmarks(&argc, argv, reporter)) return 64;
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
