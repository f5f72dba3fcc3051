// The listening server: a ServerLink with an echoing accept manager, next to
// the plain thread-per-connection echo server of bench_support.h (the same
// framing), both measured in the same run.
//
//  1. Connections per second: connect, one echo round trip of a small frame,
//     close; one client after the other, rounds of both servers interleaved.
//  2. Concurrent connections one server holds (up to the target), each proved
//     by an echo round trip when opened and again once all are open, and the
//     resident memory per connection (from /proc/self/statm).
//
// Usage: bench_server [connections per round, default 2000] [concurrent target, default 2000]
// The descriptor soft limit is raised to the hard limit first.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "hx_net/AcceptManager.h"
#include "hx_net/ServerLink.h"

namespace {

using namespace hxbench;

const std::string kPayload = "ping: one small echo frame";

// ---------------------------------------------------------------------------
// The library's server: every accepted socket becomes a Link that echoes.

class LibraryServer {
 public:
  LibraryServer() {
    m_Server.SetCallbackObject(m_Manager);
    m_Port = m_Server.InitServer(0, "127.0.0.1", 10, -1);
  }
  ~LibraryServer() { m_Server.StopServer(); }
  int Port() const { return m_Port; }

 private:
  EchoAcceptManager m_Manager;
  ServerLink m_Server;
  int m_Port = -1;
};

// ---------------------------------------------------------------------------
// The baseline: a blocking accept thread and one detached thread per
// connection that reads frames and writes them back.

class PlainServer {
 public:
  PlainServer() { m_Port = m_Server.Start(); }
  int Port() const { return m_Port; }

 private:
  PlainEchoServer m_Server{PlainEchoServer::Threads::kDetached};
  int m_Port = -1;
};

// Connect, one echo, close, `count` times; connections per second, or -1.
double ConnectionRate(int port, int count) {
  const std::string frame = Frame(kPayload);
  auto t0 = Clock::now();
  for (int i = 0; i < count; ++i) {
    int fd = ConnectLoopback(port);
    bool ok = fd >= 0 && RoundTrip(fd, frame, 5000);
    if (fd >= 0) ::close(fd);
    if (!ok) {
      std::fprintf(stderr, "connection %d failed\n", i);
      return -1;
    }
  }
  return count / std::chrono::duration<double>(Clock::now() - t0).count();
}

struct Capacity {
  int held = 0;
  double bytesPerConnection = 0;
};

// Opens up to `target` connections at once, each echoing once as it opens and
// once more when all are open; stops at the first one that fails.
Capacity HoldConnections(int port, int target) {
  const std::string frame = Frame(kPayload);
  std::vector<int> fds;
  fds.reserve(static_cast<size_t>(target));
  long before = ResidentBytes();
  for (int i = 0; i < target; ++i) {
    int fd = ConnectLoopback(port);
    if (fd < 0 || !RoundTrip(fd, frame, 2000)) {
      if (fd >= 0) ::close(fd);
      std::fprintf(stderr, "  stopped at connection %d\n", i + 1);
      break;
    }
    fds.push_back(fd);
  }
  Capacity c;
  for (int fd : fds)
    if (RoundTrip(fd, frame, 2000)) ++c.held;
  long after = ResidentBytes();
  if (c.held > 0) c.bytesPerConnection = static_cast<double>(after - before) / c.held;
  for (int fd : fds) ::close(fd);
  return c;
}

}  // namespace

int main(int argc, char** argv) {
  int perRound = argc > 1 ? std::atoi(argv[1]) : 2000;
  int target = argc > 2 ? std::atoi(argv[2]) : 2000;
  if (perRound < 10 || target < 1) {
    std::fprintf(stderr, "usage: bench_server [connections per round >= 10] [concurrent target]\n");
    return 64;
  }
  std::printf("descriptor limit %llu, %u cpus\n", RaiseDescriptorLimit(),
              std::thread::hardware_concurrency());

  // 1. Connection rate, rounds interleaved so both see the same machine load.
  const int kRounds = 3;
  double libBest = 0, plainBest = 0, libSum = 0, plainSum = 0;
  {
    LibraryServer lib;
    PlainServer plain;
    if (lib.Port() <= 0 || plain.Port() <= 0) return 1;
    ConnectionRate(lib.Port(), 50);  // warm-up
    ConnectionRate(plain.Port(), 50);
    for (int r = 0; r < kRounds; ++r) {
      double p = ConnectionRate(plain.Port(), perRound);
      double l = ConnectionRate(lib.Port(), perRound);
      if (p < 0 || l < 0) return 1;
      plainSum += p;
      libSum += l;
      plainBest = std::max(plainBest, p);
      libBest = std::max(libBest, l);
    }
  }
  std::printf("\nconnect + one echo + close, %d per round, %d rounds\n", perRound, kRounds);
  std::printf("%-36s %14s %14s\n", "", "mean conn/s", "best conn/s");
  std::printf("%-36s %14.0f %14.0f\n", "plain thread-per-connection server", plainSum / kRounds,
              plainBest);
  std::printf("%-36s %14.0f %14.0f\n", "ServerLink + AcceptManagerCBClass", libSum / kRounds,
              libBest);
  std::printf("ratio ServerLink/plain: connections per second %.2f (mean), %.2f (best)\n",
              libSum / plainSum, libBest / plainBest);

  // 2. Concurrent connections and memory per connection.
  Capacity libCap, plainCap;
  {
    PlainServer plain;
    plainCap = HoldConnections(plain.Port(), target);
  }
  {
    LibraryServer lib;
    libCap = HoldConnections(lib.Port(), target);
  }
  std::printf("\nconcurrent echo connections (target %d)\n", target);
  std::printf("%-36s %14s %18s\n", "", "held", "resident KiB/conn");
  std::printf("%-36s %14d %18.1f\n", "plain thread-per-connection server", plainCap.held,
              plainCap.bytesPerConnection / 1024);
  std::printf("%-36s %14d %18.1f\n", "ServerLink + AcceptManagerCBClass", libCap.held,
              libCap.bytesPerConnection / 1024);
  if (plainCap.held > 0 && plainCap.bytesPerConnection > 0)
    std::printf("ratio ServerLink/plain: connections held %.2f, memory per connection %.2f\n",
                static_cast<double>(libCap.held) / plainCap.held,
                libCap.bytesPerConnection / plainCap.bytesPerConnection);
  return 0;
}
