// What idle links cost: opens N pairs of Links on loopback (one end by
// Connect, the other by AcceptConnection, both in this process), checks that
// every link carries a frame each way, lets them settle, and measures the
// process's CPU time (getrusage) over a stretch of idleness. An idle link
// must not wake up at all: 2,000 idle links on one server are to use under 1%
// of a core.
//
// The baseline, measured in the same run: one thread per link that polls in
// 100 ms sleeps, as a writer waiting for its queue in 100 ms steps does. The
// program prints both, their ratio, and the verdict.
//
// Usage: bench_idle [--pairs N] [--seconds S] [--quick]
//   --pairs N    link pairs to open (default 2000: 4000 links, 8000 threads)
//   --seconds S  idle time measured (default 5)
//   --quick      200 pairs, 1 s (smoke test)
// Exits 1 when fewer links than asked for could be opened or a frame went
// missing.
#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "hx_net/Link.h"

namespace {

using namespace hxbench;

// Counts frames received over all links; a waiter may wait for a total.
class FrameCount : public LinkCBClass {
 public:
  void Receive(unsigned int, const char*, Link*) override {
    std::lock_guard<std::mutex> g(m_Lock);
    ++m_Frames;
    m_Cond.notify_all();
  }
  void Exception(int, Link*) override {}
  bool WaitFor(long total, std::chrono::seconds bound) {
    std::unique_lock<std::mutex> g(m_Lock);
    return m_Cond.wait_for(g, bound, [&] { return m_Frames >= total; });
  }
  long Frames() {
    std::lock_guard<std::mutex> g(m_Lock);
    return m_Frames;
  }

 private:
  std::mutex m_Lock;
  std::condition_variable m_Cond;
  long m_Frames = 0;
};

struct Usage {
  double cpu = 0;  // user + system seconds
  double user = 0, sys = 0;
  long volSwitches = 0, involSwitches = 0;
  Clock::time_point at;
};

Usage Now() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  Usage u;
  u.user = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6;
  u.sys = ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
  u.cpu = u.user + u.sys;
  u.volSwitches = ru.ru_nvcsw;
  u.involSwitches = ru.ru_nivcsw;
  u.at = Clock::now();
  return u;
}

struct Idle {
  double seconds = 0;  // wall
  double cpu = 0;      // user + system over that time
  double user = 0, sys = 0;
  long switches = 0;  // context switches of all threads over that time
  double PercentOfCore() const { return seconds > 0 ? 100.0 * cpu / seconds : 0; }
};

// Sleeps through `seconds` and reports what the process used meanwhile.
Idle MeasureIdle(double seconds) {
  Usage a = Now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  Usage b = Now();
  Idle r;
  r.seconds = std::chrono::duration<double>(b.at - a.at).count();
  r.cpu = b.cpu - a.cpu;
  r.user = b.user - a.user;
  r.sys = b.sys - a.sys;
  r.switches = (b.volSwitches - a.volSwitches) + (b.involSwitches - a.involSwitches);
  return r;
}

std::string StatusField(const char* name) {
  std::ifstream in("/proc/self/status");
  std::string line;
  size_t n = std::strlen(name);
  while (std::getline(in, line))
    if (line.compare(0, n, name) == 0 && line.size() > n && line[n] == ':') {
      size_t i = n + 1;
      while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
      return line.substr(i);
    }
  return "?";
}

void PrintIdle(const char* what, const Idle& r, size_t links) {
  std::printf(
      "  %-44s %7.4f s CPU (user %.4f, system %.4f) in %.2f s: %7.3f %% of a core, "
      "%ld context switches (%.0f/s, %.2f per link per s)\n",
      what, r.cpu, r.user, r.sys, r.seconds, r.PercentOfCore(), r.switches, r.switches / r.seconds,
      links ? r.switches / r.seconds / links : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  long pairs = 2000;
  double seconds = 5.0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--pairs" && i + 1 < argc) {
      pairs = std::max(1L, std::atol(argv[++i]));
    } else if (a == "--seconds" && i + 1 < argc) {
      seconds = std::max(0.1, std::atof(argv[++i]));
    } else if (a == "--quick") {
      pairs = 200;
      seconds = 1.0;
    } else {
      std::fprintf(stderr, "usage: bench_idle [--pairs N] [--seconds S] [--quick]\n");
      return 64;
    }
  }
  std::printf("Descriptor limit: %llu\n", RaiseDescriptorLimit());

  FrameCount counter;
  std::vector<std::unique_ptr<Link>> clients, servers;
  long opened = 0;
  {
    std::unique_ptr<os_tcp_connection_server> listener;
    try {
      os_socket_address addr;
      addr.ip_address(static_cast<long>(htonl(INADDR_LOOPBACK)));
      addr.port(0);
      listener.reset(new os_tcp_connection_server(addr, 128));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "listener: %s\n", e.what());
      return 1;
    }
    char host[] = "127.0.0.1";
    char port[16];
    std::snprintf(port, sizeof port, "%d", listener->socket_address().port());
    Clock::time_point t0 = Clock::now();
    for (; opened < pairs; ++opened) {
      std::unique_ptr<Link> c(new Link), s(new Link);
      c->SetCallbackObject(counter);
      s->SetCallbackObject(counter);
      long error = 0;
      if (c->Connect(host, port, error) != 0) {
        std::fprintf(stderr, "pair %ld: Connect failed (error %ld: %s)\n", opened, error,
                     std::strerror(static_cast<int>(error)));
        break;
      }
      os_tcp_socket* sock = new os_tcp_socket(0);
      timeval bound{10, 0};
      if (!listener->accept(*sock, &bound)) {
        std::fprintf(stderr, "pair %ld: accept failed (%s)\n", opened,
                     std::strerror(listener->last_accept_error()));
        delete sock;
        break;
      }
      if (s->AcceptConnection(sock) != 0) {
        std::fprintf(stderr, "pair %ld: AcceptConnection failed\n", opened);
        break;
      }
      clients.push_back(std::move(c));
      servers.push_back(std::move(s));
    }
    std::printf("Opened %ld of %ld link pairs in %.2f s\n", opened, pairs,
                std::chrono::duration<double>(Clock::now() - t0).count());
  }  // the listener is closed: nothing but the links remains

  // Every link carries one frame each way, so every reader and writer has run.
  const char ping[] = "ping";
  for (long i = 0; i < opened; ++i) {
    clients[i]->Send(ping, 4);
    servers[i]->Send(ping, 4);
  }
  bool allArrived = counter.WaitFor(2 * opened, std::chrono::seconds(60));
  std::printf("Frames exchanged: %ld of %ld\n", counter.Frames(), 2 * opened);
  std::this_thread::sleep_for(std::chrono::seconds(1));  // let the last wake-ups pass

  size_t links = static_cast<size_t>(2 * opened);
  std::printf("Process: %s threads, resident %s\n", StatusField("Threads").c_str(),
              StatusField("VmRSS").c_str());
  std::printf("\nIdle for %.1f s with %zu links (%ld pairs, both ends in this process):\n", seconds,
              links, opened);
  std::fflush(stdout);
  Idle linkIdle = MeasureIdle(seconds);
  PrintIdle("Links:", linkIdle, links);

  // Closing every link must still work after the idle stretch.
  Clock::time_point tc = Clock::now();
  for (auto& l : clients) l->DisConnect();
  for (auto& l : servers) l->DisConnect();
  clients.clear();
  servers.clear();
  double closeSecs = std::chrono::duration<double>(Clock::now() - tc).count();

  // Baseline: a thread per link polling in 100 ms sleeps.
  std::atomic<bool> stop{false};
  std::vector<std::thread> pollers;
  pollers.reserve(links);
  for (size_t i = 0; i < links; ++i)
    pollers.emplace_back([&stop] {
      while (!stop.load(std::memory_order_relaxed)) os_this_thread::milli_sleep(100);
    });
  std::this_thread::sleep_for(std::chrono::seconds(1));
  Idle pollIdle = MeasureIdle(seconds);
  stop.store(true);
  for (auto& t : pollers) t.join();
  PrintIdle("Baseline, a thread per link polling 100 ms:", pollIdle, links);

  double per2000 = linkIdle.PercentOfCore() * 2000.0 / static_cast<double>(links ? links : 1);
  std::printf("\nLinks/baseline CPU ratio: %.4f\n",
              pollIdle.cpu > 0 ? linkIdle.cpu / pollIdle.cpu : 0.0);
  std::printf("Scaled to 2,000 links: %.3f %% of a core (target: under 1 %%): %s\n", per2000,
              per2000 < 1.0 ? "met" : "MISSED");
  std::printf("Closing all links took %.2f s\n", closeSecs);
  bool ok = opened == pairs && allArrived;
  if (opened != pairs) std::printf("Only %ld of %ld pairs could be opened.\n", opened, pairs);
  return ok ? 0 : 1;
}
