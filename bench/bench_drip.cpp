// Slow-drip connections: N raw loopback clients each send the first five
// bytes of a frame header and then stay silent. Against a ServerLink with an
// echoing accept manager each of them holds an accepted link: two threads and
// a descriptor of the server's process.
//
// Two runs in this process, one after the other:
//  - no frame time-out (the plain link): the threads and descriptors are
//    still held when the observation window ends;
//  - a frame time-out applied to accepted links through
//    AcceptManagerCBClass::SetLinkLimits (frameTimeoutMs): every link closes,
//    and the program prints how long after the last client's five bytes the
//    process was back to the threads and descriptors it had before.
// The clients' own descriptors stay open all along (they never close); they
// are left out of the descriptor figures, which are the server's.
//
// Usage: bench_drip [--connections N] [--timeout-ms MS] [--hold S] [--quick]
//   --connections N  slow-drip clients (default 500)
//   --timeout-ms MS  the frame time-out of the second run (default 1000)
//   --hold S         how long the first run is watched (default 3)
//   --quick          100 clients, 2 s of watching (smoke test)
// Exits 1 when a run failed (no server, a client could not connect) or the
// second run's links were not released within 10 s.
#include <dirent.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "hx_net/AcceptManager.h"
#include "hx_net/ServerLink.h"

namespace {

using namespace hxbench;

constexpr double kReleaseBound = 10;  // seconds the second run may take to release

int ThreadCount() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, 8, "Threads:") == 0) return std::atoi(line.c_str() + 8);
  return -1;
}

int DescriptorCount() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') ++n;
    ::closedir(d);
    --n;  // the directory's own
  }
  return n;
}

struct Result {
  bool ok = false;
  int baseThreads = 0, baseFds = 0;  // before the clients came
  int peakThreads = 0, peakFds = 0;  // fds: the server's, clients' left out
  int endThreads = 0, endFds = 0;    // when the watch ended
  double released = -1;              // seconds after the last client's bytes; -1: not
  double connectSeconds = 0;
};

Result Run(int connections, long frameTimeoutMs, double watchSeconds) {
  Result r;
  EchoAcceptManager manager;
  LinkLimits limits;
  limits.frameTimeoutMs = frameTimeoutMs;
  manager.SetLinkLimits(limits);
  ServerLink server;
  server.SetCallbackObject(manager);
  char host[] = "127.0.0.1";
  const int port = server.InitServer(0, host, 1, 0);
  if (port < 0) {
    std::fprintf(stderr, "InitServer failed: %s\n", std::strerror(server.LastError()));
    return r;
  }
  r.baseThreads = ThreadCount();
  r.baseFds = DescriptorCount();

  std::vector<int> clients;
  const Clock::time_point t0 = Clock::now();
  for (int i = 0; i < connections; ++i) {
    const int fd = ConnectLoopback(port);
    if (fd < 0 || !WriteAll(fd, "a 000", 5)) {
      std::fprintf(stderr, "client %d: %s\n", i, std::strerror(errno));
      if (fd >= 0) ::close(fd);
      break;
    }
    clients.push_back(fd);
  }
  const Clock::time_point sent = Clock::now();
  r.connectSeconds = Seconds(sent - t0);
  const int clientFds = static_cast<int>(clients.size());
  if (clientFds == connections) {
    // Every 10 ms: the process's threads and the server's descriptors.
    const Clock::time_point end =
        sent + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                   frameTimeoutMs > 0 ? kReleaseBound : watchSeconds));
    while (Clock::now() < end) {
      const int threads = ThreadCount();
      const int fds = DescriptorCount() - clientFds;
      r.peakThreads = std::max(r.peakThreads, threads);
      r.peakFds = std::max(r.peakFds, fds);
      r.endThreads = threads;
      r.endFds = fds;
      if (frameTimeoutMs > 0 && r.peakThreads > r.baseThreads && threads <= r.baseThreads &&
          fds <= r.baseFds) {
        r.released = Seconds(Clock::now() - sent);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    r.ok = frameTimeoutMs == 0 || r.released >= 0;
  }
  for (int fd : clients) ::close(fd);
  server.StopServer();
  return r;
}

void Print(const char* what, const Result& r, int connections) {
  std::printf("%s\n", what);
  std::printf("  %d clients connected and sent 5 bytes in %.2f s\n", connections, r.connectSeconds);
  std::printf("  threads: %d before, %d at the peak (+%d), %d at the end\n", r.baseThreads,
              r.peakThreads, r.peakThreads - r.baseThreads, r.endThreads);
  std::printf("  server descriptors: %d before, %d at the peak (+%d), %d at the end\n", r.baseFds,
              r.peakFds, r.peakFds - r.baseFds, r.endFds);
}

}  // namespace

int main(int argc, char** argv) {
  int connections = 500;
  long timeoutMs = 1000;
  double hold = 3;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--connections" && i + 1 < argc) {
      connections = std::min(5000, std::max(1, std::atoi(argv[++i])));
    } else if (a == "--timeout-ms" && i + 1 < argc) {
      timeoutMs = std::min(60000L, std::max(1L, std::atol(argv[++i])));
    } else if (a == "--hold" && i + 1 < argc) {
      hold = std::min(60.0, std::max(0.5, std::atof(argv[++i])));
    } else if (a == "--quick") {
      connections = 100;
      hold = 2;
    } else {
      std::fprintf(stderr,
                   "usage: bench_drip [--connections N] [--timeout-ms MS] [--hold S] [--quick]\n");
      return 64;
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  std::printf("Descriptor limit: %llu\n", RaiseDescriptorLimit());

  const Result plain = Run(connections, 0, hold);
  Print("No frame time-out:", plain, connections);
  if (!plain.ok) return 1;
  std::printf("  after %.1f s the links still hold %d threads and %d descriptors\n", hold,
              plain.endThreads - plain.baseThreads, plain.endFds - plain.baseFds);

  const Result timed = Run(connections, timeoutMs, 0);
  char title[64];
  std::snprintf(title, sizeof title, "Frame time-out %ld ms:", timeoutMs);
  Print(title, timed, connections);
  if (!timed.ok) {
    std::printf("  NOT released within %.0f s\n", kReleaseBound);
    return 1;
  }
  std::printf(
      "  threads and descriptors released %.2f s after the last client's bytes "
      "(time-out %.2f s; bound %.2f s)\n",
      timed.released, timeoutMs / 1000.0, timeoutMs / 1000.0 + 1.0);
  return 0;
}
