// How many concurrent echo links one server holds, and what they cost: one
// ServerLink with an echoing AcceptManagerCBClass, next to the plain
// thread-per-connection echo server of bench_support.h (the same framing).
//
// For each server: open N loopback connections one after the other (plain
// POSIX client sockets in this process, so the server's threads are the only
// ones that grow), each proved by one framed echo round trip as it opens;
// once all are open, one more round trip on every connection; then stop the
// server with all of them open and check that every client sees its
// connection closed. Reported per server: connections held, the time to open
// them all, resident memory and threads per connection (/proc/self/statm and
// /proc/self/status, before and after), the time of the stop, and what is
// left after it.
//
// Each measurement runs in a child process of its own, forked before any
// thread exists, so one server's freed heap and cached thread stacks never
// lower the other's resident figure. Rounds alternate the two servers.
// What is still resident after the stop is mostly heap the allocator keeps
// for reuse (malloc_trim gives it back), not links left behind.
//
// Usage: bench_hold [--links N] [--rounds R] [--impl link|plain] [--quick]
//   --links N   connections to hold (default 2000)
//   --rounds R  measurements of each server, alternated (default 3)
//   --impl      measure one server only
//   --quick     200 links, 1 round (smoke test)
// The descriptor soft limit is raised to the hard limit first; N is capped
// so that both ends fit. Exits 1 when a server held fewer than N links.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "hx_net/AcceptManager.h"
#include "hx_net/ServerLink.h"

namespace {

using namespace hxbench;

const std::string kPayload = "hold: one small echo frame";
constexpr int kChildBoundSec = 300;  // a measurement that hangs is killed

int ThreadCount() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, 8, "Threads:") == 0) return std::atoi(line.c_str() + 8);
  return -1;
}

// ---------------------------------------------------------------------------
// The servers, behind one face: Start gives the port (or -1), Stop stops the
// server with its connections open and returns when it has.

class Server {
 public:
  virtual ~Server() = default;
  virtual int Start() = 0;
  virtual void Stop() = 0;
};

class LibraryServer : public Server {
 public:
  int Start() override {
    m_Server.SetCallbackObject(m_Manager);
    return m_Server.InitServer(0, "127.0.0.1", 1, -1);
  }
  void Stop() override { m_Server.StopServer(); }

 private:
  EchoAcceptManager m_Manager;
  ServerLink m_Server;  // destroyed first: its destructor stops the server
};

// Every connection's thread is kept until Stop joins it, which is what
// StopServer does for the library's links.
class PlainServer : public Server {
 public:
  int Start() override { return m_Server.Start(); }
  void Stop() override { m_Server.Stop(); }

 private:
  PlainEchoServer m_Server{PlainEchoServer::Threads::kJoinAtStop};
};

// ---------------------------------------------------------------------------
// One measurement, run in a child process.

struct Result {
  int ok = 0;          // 1 when the measurement ran to its end
  int held = 0;        // connections opened, each with its first echo
  int alive = 0;       // of those, echoing again once all were open
  int closedSeen = 0;  // clients that saw their connection closed after the stop
  double connectSec = 0;
  double connectCallSec = 0;  // of connectSec, spent in connect() itself
  // Per connection, over the first and the last tenth opened: whether opening
  // one costs more with many already open.
  double firstTenthUs = 0, lastTenthUs = 0;
  double stopSec = 0;
  long rssBefore = 0, rssHeld = 0, rssAfterStop = 0;
  int threadsBefore = 0, threadsHeld = 0, threadsAfterStop = 0;
};

Result Measure(bool library, int links) {
  Result r;
  std::unique_ptr<Server> server;
  if (library)
    server.reset(new LibraryServer);
  else
    server.reset(new PlainServer);
  int port = server->Start();
  if (port <= 0) return r;
  const std::string frame = Frame(kPayload);

  // Warm-up: one connection, so what is made once per process (a first heap
  // arena for the server's threads, for one) is not charged to the links.
  {
    int fd = ConnectLoopback(port);
    bool ok = fd >= 0 && RoundTrip(fd, frame, 5000);
    if (fd >= 0) ::close(fd);
    if (!ok) return r;
  }
  // Let the warm-up connection's threads end (main and server thread remain)
  // before the baseline is taken; bounded, the count is only reported.
  for (int i = 0; i < 200 && ThreadCount() > 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  r.rssBefore = ResidentBytes();
  r.threadsBefore = ThreadCount();

  std::vector<int> fds;
  fds.reserve(static_cast<size_t>(links));
  const int tenth = std::max(1, links / 10);
  auto t0 = Clock::now();
  auto lastTenthFrom = t0;
  for (int i = 0; i < links; ++i) {
    if (i == tenth) r.firstTenthUs = Seconds(Clock::now() - t0) * 1e6 / tenth;
    if (i == links - tenth) lastTenthFrom = Clock::now();
    auto c0 = Clock::now();
    int fd = ConnectLoopback(port);
    r.connectCallSec += Seconds(Clock::now() - c0);
    if (fd < 0 || !RoundTrip(fd, frame, 5000)) {
      if (fd >= 0) ::close(fd);
      std::fprintf(stderr, "  %s: stopped at connection %d (%s)\n", library ? "link" : "plain",
                   i + 1, std::strerror(errno));
      break;
    }
    fds.push_back(fd);
  }
  r.connectSec = Seconds(Clock::now() - t0);
  r.held = static_cast<int>(fds.size());
  if (r.held == links) r.lastTenthUs = Seconds(Clock::now() - lastTenthFrom) * 1e6 / tenth;
  for (int fd : fds)
    if (RoundTrip(fd, frame, 5000)) ++r.alive;
  r.rssHeld = ResidentBytes();
  r.threadsHeld = ThreadCount();

  auto s0 = Clock::now();
  server->Stop();
  r.stopSec = Seconds(Clock::now() - s0);

  // Every client must see its connection end (EOF or reset) within 5 s.
  auto deadline = Clock::now() + std::chrono::seconds(5);
  for (int fd : fds) {
    char c;
    int left = static_cast<int>(std::max<long>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()));
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, left) == 1 && ::recv(fd, &c, 1, 0) <= 0) ++r.closedSeen;
  }
  r.rssAfterStop = ResidentBytes();
  r.threadsAfterStop = ThreadCount();
  for (int fd : fds) ::close(fd);
  server.reset();
  r.ok = 1;
  return r;
}

// Runs Measure in a child forked from this (single-threaded) process.
Result MeasureInChild(bool library, int links) {
  int p[2];
  Result r;
  if (::pipe(p) != 0) return r;
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) return r;
  if (pid == 0) {
    ::close(p[0]);
    ::alarm(kChildBoundSec);
    Result mine = Measure(library, links);
    ssize_t w = ::write(p[1], &mine, sizeof mine);
    ::_exit(w == static_cast<ssize_t>(sizeof mine) ? 0 : 1);
  }
  ::close(p[1]);
  size_t got = 0;
  char* dst = reinterpret_cast<char*>(&r);
  while (got < sizeof r) {
    ssize_t n = ::read(p[0], dst + got, sizeof r - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(p[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (got != sizeof r) {
    r = Result();
    std::fprintf(stderr, "  %s: measurement died (status %d)\n", library ? "link" : "plain",
                 status);
  }
  return r;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void PrintRow(const char* name, int round, const Result& r) {
  double per = r.held ? 1.0 / r.held : 0;
  std::printf("%-7s %5d %6d %6d %9.3f %9.3f %9.1f %9.1f %9.1f %11.1f %9.2f %9.1f %7d %8d %9.1f\n",
              name, round, r.held, r.alive, r.connectSec, r.connectCallSec,
              r.connectSec * per * 1e6, r.firstTenthUs, r.lastTenthUs,
              (r.rssHeld - r.rssBefore) * per / 1024, (r.threadsHeld - r.threadsBefore) * per,
              r.stopSec * 1e3, r.closedSeen, r.threadsAfterStop,
              (r.rssAfterStop - r.rssBefore) / 1048576.0);
}

struct Summary {
  double connectSec, kibPerLink, stopMs;
};

Summary Summarise(const std::vector<Result>& rs) {
  std::vector<double> c, m, s;
  for (const Result& r : rs) {
    if (!r.ok || !r.held) continue;
    c.push_back(r.connectSec);
    m.push_back(static_cast<double>(r.rssHeld - r.rssBefore) / r.held / 1024);
    s.push_back(r.stopSec * 1e3);
  }
  return Summary{Median(c), Median(m), Median(s)};
}

}  // namespace

int main(int argc, char** argv) {
  int links = 2000, rounds = 3;
  bool doLink = true, doPlain = true;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--links" && i + 1 < argc) {
      links = std::atoi(argv[++i]);
    } else if (a == "--rounds" && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else if (a == "--impl" && i + 1 < argc) {
      std::string v = argv[++i];
      doLink = v == "link";
      doPlain = v == "plain";
    } else if (a == "--quick") {
      links = 200;
      rounds = 1;
    } else {
      std::fprintf(stderr,
                   "usage: bench_hold [--links N] [--rounds R] [--impl link|plain] [--quick]\n");
      return 64;
    }
  }
  if (links < 1 || rounds < 1 || (!doLink && !doPlain)) {
    std::fprintf(stderr, "bench_hold: --links and --rounds must be positive\n");
    return 64;
  }
  const unsigned long long fdLimit = RaiseDescriptorLimit();
  // Both ends of every connection live in the child, plus a few of its own.
  long maxLinks = (static_cast<long>(fdLimit) - 64) / 2;
  if (links > maxLinks) {
    std::printf("descriptor limit %llu: links capped at %ld\n", fdLimit, maxLinks);
    links = static_cast<int>(maxLinks);
  }
  std::printf("bench_hold: %d links, %d round(s), descriptor limit %llu, %u cpus\n\n", links,
              rounds, fdLimit, std::thread::hardware_concurrency());
  std::printf("%-7s %5s %6s %6s %9s %9s %9s %9s %9s %11s %9s %9s %7s %8s %9s\n", "server", "round",
              "held", "alive", "connect s", "connect()", "us/link", "1st 10%", "last 10%",
              "RSS KiB/lnk", "thr/link", "stop ms", "closed", "thr left", "RSS+ MiB");

  std::vector<Result> libRs, plainRs;
  for (int round = 1; round <= rounds; ++round) {
    // Alternate which server goes first, so neither always meets a fresher machine.
    bool libFirst = round % 2 == 1;
    for (int k = 0; k < 2; ++k) {
      bool library = (k == 0) == libFirst;
      if (library && !doLink) continue;
      if (!library && !doPlain) continue;
      Result r = MeasureInChild(library, links);
      PrintRow(library ? "link" : "plain", round, r);
      std::fflush(stdout);
      (library ? libRs : plainRs).push_back(r);
    }
  }
  std::printf(
      "\nconnect s: opening all, each with its first echo; connect(): of that, in the\n"
      "client's connect calls; us/link: per connection, overall and over the first and last\n"
      "tenth opened; held: opened with one echo each; alive: echoed again with\n"
      "all open; closed: clients that saw the stop; thr left: threads after the stop (1 is\n"
      "the main thread alone); RSS+: resident growth still present after the stop\n");

  bool ok = true;
  for (const auto* rs : {&libRs, &plainRs})
    for (const Result& r : *rs)
      if (!r.ok || r.held < links || r.alive < links) ok = false;

  if (!libRs.empty() && !plainRs.empty()) {
    Summary l = Summarise(libRs), p = Summarise(plainRs);
    std::printf("\nmedians             %12s %12s %12s\n", "connect s", "KiB/link", "stop ms");
    std::printf("plain per-thread    %12.3f %12.1f %12.1f\n", p.connectSec, p.kibPerLink, p.stopMs);
    std::printf("ServerLink + Accept %12.3f %12.1f %12.1f\n", l.connectSec, l.kibPerLink, l.stopMs);
    if (p.connectSec > 0 && p.kibPerLink > 0 && p.stopMs > 0)
      std::printf(
          "ratio ServerLink/plain: connect time %.2f, memory per link %.2f, stop time %.2f\n",
          l.connectSec / p.connectSec, l.kibPerLink / p.kibPerLink, l.stopMs / p.stopMs);
  }
  if (!ok) std::printf("\nFAILED: a server held fewer than %d links\n", links);
  return ok ? 0 : 1;
}
