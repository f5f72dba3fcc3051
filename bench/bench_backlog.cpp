// A peer that sends requests and never reads the answers: one ServerLink with
// an echoing accept manager, one raw loopback client that sends frames at a
// fixed rate and never reads. Every echo the server cannot write piles up in
// that link's send queue.
//
// Two runs, each in a child process of its own (forked before any thread, so
// one run's heap never shows in the other's figures):
//  - with a backlog limit applied to accepted links through
//    AcceptManagerCBClass::SetLinkLimits (maxQueuedBytes); an echo the limit
//    refuses is dropped, so the peer goes on sending for the whole run;
//  - without it, the plain link.
// Each prints its resident memory and the link's QueueSize every half second;
// then the growth per second of both, and their ratio. With the limit the
// memory must stay flat near the limit; without it, it grows with the rate.
//
// Usage: bench_backlog [--seconds S] [--rate MIB] [--frame B] [--limit B] [--quick]
//   --seconds S  length of each run (default 10)
//   --rate MIB   MiB per second the peer sends (default 32)
//   --frame B    payload bytes per frame (default 32768)
//   --limit B    the backlog limit of the first run (default 4194304)
//   --quick      3 s runs (smoke test)
// A run stops early, and says so, when its memory has grown by 2 GiB.
// Exits 1 when a run failed (no server, no connection, a child that died).
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "hx_net/AcceptManager.h"
#include "hx_net/ServerLink.h"

namespace {

using namespace hxbench;

constexpr double kSampleSeconds = 0.5;
constexpr long kGrowthStop = 2L << 30;  // bytes of growth that end a run early

struct Options {
  double seconds = 10;
  double rateMiB = 32;
  unsigned frame = 32768;
  unsigned long limit = 4UL << 20;
};

struct Sample {
  double t = 0;       // seconds since the peer started sending
  long rss = 0;       // bytes
  long queue = 0;     // the server link's QueueSize
  long refused = 0;   // echoes refused by the limit so far
  long received = 0;  // frames the server received so far
};

// Echoes; remembers its link, counts what the limit refuses and drops it.
struct Stats {
  std::atomic<Link*> link{nullptr};
  std::atomic<long> refused{0};
  std::atomic<long> received{0};
};
Stats g_Stats;

class DroppingEcho : public AcceptedLinkCBClass {
 public:
  void Receive(unsigned n, const char* data, Link* link) override {
    g_Stats.link.store(link);
    ++g_Stats.received;
    if (link->Send(data, n) != 0) ++g_Stats.refused;
  }
  void Exception(int, Link*) override {}
  bool DeleteWithLink() override { return true; }
};

class Manager : public AcceptManagerCBClass {
 public:
  AcceptedLinkCBClass* CreateLinkCBObject() override { return new DroppingEcho; }
};

// One run; writes "t rss queue refused received" lines to `out`, then "end"
// (or "stopped" when the growth bound ended it). Returns the exit status.
int Run(const Options& o, bool limited, FILE* out) {
  Manager manager;
  LinkLimits limits;
  if (limited) limits.maxQueuedBytes = o.limit;
  manager.SetLinkLimits(limits);
  ServerLink server;
  server.SetCallbackObject(manager);
  char host[] = "127.0.0.1";
  const int port = server.InitServer(0, host, 1, 0);
  if (port < 0) {
    std::fprintf(stderr, "InitServer failed: %s\n", std::strerror(server.LastError()));
    return 1;
  }
  // A small receive window: the kernel soon stops taking the echoes.
  const int fd = ConnectLoopback(port, 4096);
  if (fd < 0) {
    std::fprintf(stderr, "connect failed: %s\n", std::strerror(errno));
    return 1;
  }
  timeval bound{1, 0};  // a send never blocks the run for long
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
  const std::string frame = Frame(std::string(o.frame, 'r'));

  std::atomic<bool> stop{false};
  const long rssStart = ResidentBytes();
  const Clock::time_point t0 = Clock::now();
  std::thread peer([&] {
    const double bytesPerSecond = o.rateMiB * 1048576.0;
    double sent = 0;
    while (!stop.load()) {
      const double due = bytesPerSecond * Seconds(Clock::now() - t0);
      if (sent + static_cast<double>(frame.size()) > due) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      if (!WriteAll(fd, frame.data(), frame.size())) break;  // time-out or closed
      sent += static_cast<double>(frame.size());
    }
  });

  bool stoppedEarly = false;
  for (int i = 1; Seconds(Clock::now() - t0) < o.seconds - 1e-3; ++i) {
    std::this_thread::sleep_until(t0 + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(i * kSampleSeconds)));
    Sample s;
    s.t = Seconds(Clock::now() - t0);
    s.rss = ResidentBytes();
    Link* link = g_Stats.link.load();
    s.queue = link ? static_cast<long>(link->QueueSize()) : 0;
    s.refused = g_Stats.refused.load();
    s.received = g_Stats.received.load();
    std::fprintf(out, "%.3f %ld %ld %ld %ld\n", s.t, s.rss - rssStart, s.queue, s.refused,
                 s.received);
    std::fflush(out);
    if (s.rss - rssStart > kGrowthStop) {
      stoppedEarly = true;
      break;
    }
  }
  stop.store(true);
  ::shutdown(fd, SHUT_RDWR);
  peer.join();
  ::close(fd);
  server.StopServer();
  std::fprintf(out, stoppedEarly ? "stopped\n" : "end\n");
  return 0;
}

struct Series {
  std::vector<Sample> samples;
  bool stoppedEarly = false;
  bool ok = false;
};

Series RunInChild(const Options& o, bool limited) {
  Series r;
  int p[2];
  if (::pipe(p) != 0) return r;
  std::fflush(stdout);
  pid_t pid = ::fork();
  if (pid < 0) return r;
  if (pid == 0) {
    ::close(p[0]);
    FILE* out = ::fdopen(p[1], "w");
    if (!out) ::_exit(1);
    const int status = Run(o, limited, out);
    std::fclose(out);
    ::_exit(status);
  }
  ::close(p[1]);
  FILE* in = ::fdopen(p[0], "r");
  char line[256];
  bool ended = false;
  while (in && std::fgets(line, sizeof line, in)) {
    Sample s;
    if (std::sscanf(line, "%lf %ld %ld %ld %ld", &s.t, &s.rss, &s.queue, &s.refused, &s.received) ==
        5) {
      r.samples.push_back(s);
    } else {
      ended = true;
      r.stoppedEarly = std::strncmp(line, "stopped", 7) == 0;
    }
  }
  if (in) std::fclose(in);
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.ok = ended && WIFEXITED(status) && WEXITSTATUS(status) == 0 && !r.samples.empty();
  return r;
}

// Bytes per second between the sample at 1 s (once the kernel buffers have
// filled) and the last one.
double Growth(const Series& s) {
  const Sample* first = &s.samples.front();
  for (const Sample& x : s.samples)
    if (x.t >= 1.0 - 1e-3) {
      first = &x;
      break;
    }
  const Sample& last = s.samples.back();
  return last.t > first->t ? static_cast<double>(last.rss - first->rss) / (last.t - first->t) : 0;
}

double MiB(double bytes) {
  return bytes / 1048576.0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--seconds" && i + 1 < argc) {
      o.seconds = std::min(60.0, std::max(1.0, std::atof(argv[++i])));
    } else if (a == "--rate" && i + 1 < argc) {
      o.rateMiB = std::min(256.0, std::max(1.0, std::atof(argv[++i])));
    } else if (a == "--frame" && i + 1 < argc) {
      o.frame = static_cast<unsigned>(std::min(1L << 24, std::max(1L, std::atol(argv[++i]))));
    } else if (a == "--limit" && i + 1 < argc) {
      o.limit = static_cast<unsigned long>(std::max(1L, std::atol(argv[++i])));
    } else if (a == "--quick") {
      o.seconds = 3;
    } else {
      std::fprintf(stderr,
                   "usage: bench_backlog [--seconds S] [--rate MIB] [--frame B] [--limit B] "
                   "[--quick]\n");
      return 64;
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  std::printf("A peer that never reads: %.0f MiB/s of %u-byte frames for %.0f s, echoed\n",
              o.rateMiB, o.frame, o.seconds);
  const Series with = RunInChild(o, true);
  const Series without = RunInChild(o, false);
  if (!with.ok || !without.ok) {
    std::fprintf(stderr, "a run failed (%s)\n", with.ok ? "without the limit" : "with the limit");
    return 1;
  }

  std::printf("\n%7s | %-36s | %-36s\n", "", "with SetMaxQueuedBytes", "without");
  std::printf("%7s | %11s %11s %12s | %11s %11s %12s\n", "t (s)", "RSS +MiB", "queue MiB",
              "refused", "RSS +MiB", "queue MiB", "received");
  const size_t n = std::max(with.samples.size(), without.samples.size());
  for (size_t i = 0; i < n; ++i) {
    const Sample* w = i < with.samples.size() ? &with.samples[i] : nullptr;
    const Sample* u = i < without.samples.size() ? &without.samples[i] : nullptr;
    std::printf("%7.1f |", w ? w->t : u->t);
    if (w)
      std::printf(" %11.1f %11.2f %12ld |", MiB(w->rss), MiB(w->queue), w->refused);
    else
      std::printf(" %36s |", "");
    if (u) std::printf(" %11.1f %11.2f %12ld", MiB(u->rss), MiB(u->queue), u->received);
    std::printf("\n");
  }
  if (without.stoppedEarly) std::printf("(the run without the limit stopped at 2 GiB of growth)\n");

  long withPeak = 0;
  for (const Sample& s : with.samples) withPeak = std::max(withPeak, s.rss);
  const double gWith = Growth(with), gWithout = Growth(without);
  std::printf(
      "\nwith the limit (%.2f MiB): peak RSS +%.1f MiB, growth %.2f MiB/s after 1 s, "
      "largest queue %.2f MiB\n",
      MiB(static_cast<double>(o.limit)), MiB(static_cast<double>(withPeak)), MiB(gWith),
      MiB(static_cast<double>(
          std::max_element(with.samples.begin(), with.samples.end(),
                           [](const Sample& a, const Sample& b) { return a.queue < b.queue; })
              ->queue)));
  std::printf("without:            final RSS +%.1f MiB, growth %.2f MiB/s, final queue %.1f MiB\n",
              MiB(static_cast<double>(without.samples.back().rss)), MiB(gWithout),
              MiB(static_cast<double>(without.samples.back().queue)));
  const double finalWith = std::max(1.0, static_cast<double>(with.samples.back().rss));
  std::printf("ratio of the final growth, without / with: %.1f x\n",
              static_cast<double>(without.samples.back().rss) / finalWith);
  return 0;
}
