// The listening server: a ServerLink with an echoing accept manager, next to a
// plain thread-per-connection echo server written here with the same framing,
// both measured in the same run.
//
//  1. Connections per second: connect, one echo round trip of a small frame,
//     close; one client after the other, rounds of both servers interleaved.
//  2. Concurrent connections one server holds (up to the target), each proved
//     by an echo round trip when opened and again once all are open, and the
//     resident memory per connection (from /proc/self/statm).
//
// Usage: bench_server [connections per round, default 2000] [concurrent target, default 2000]
// The descriptor soft limit is raised to the hard limit first.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hx_net/AcceptManager.h"
#include "hx_net/ServerLink.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kPayload = "ping: one small echo frame";

std::string Frame(const std::string& payload) {
  char h[11];
  std::snprintf(h, sizeof h, "a %.8lx", static_cast<unsigned long>(payload.size()));
  return std::string(h, 10) + payload;
}

// Reads exactly n bytes, waiting at most `ms` for each piece.
bool ReadAll(int fd, char* buf, size_t n, int ms) {
  while (n) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) != 1) return false;
    ssize_t r = ::recv(fd, buf, n, 0);
    if (r <= 0) return false;
    buf += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool WriteAll(int fd, const char* buf, size_t n) {
  while (n) {
    ssize_t w = ::send(fd, buf, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    buf += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

int Connect(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool RoundTrip(int fd, const std::string& frame, int ms = 5000) {
  std::vector<char> back(frame.size());
  return WriteAll(fd, frame.data(), frame.size()) && ReadAll(fd, back.data(), back.size(), ms) &&
         std::memcmp(back.data(), frame.data(), frame.size()) == 0;
}

long ResidentBytes() {
  std::ifstream in("/proc/self/statm");
  long size = 0, resident = 0;
  in >> size >> resident;
  return resident * ::sysconf(_SC_PAGESIZE);
}

// ---------------------------------------------------------------------------
// The library's server: every accepted socket becomes a Link that echoes.

class EchoCB : public AcceptedLinkCBClass {
 public:
  void Receive(unsigned n, const char* data, Link* link) override { link->Send(data, n); }
  void Exception(int, Link*) override {}
  bool DeleteWithLink() override { return true; }
};

class EchoManager : public AcceptManagerCBClass {
 public:
  AcceptedLinkCBClass* CreateLinkCBObject() override { return new EchoCB; }
};

class LibraryServer {
 public:
  LibraryServer() {
    m_Server.SetCallbackObject(m_Manager);
    m_Port = m_Server.InitServer(0, "127.0.0.1", 10, -1);
  }
  ~LibraryServer() { m_Server.StopServer(); }
  int Port() const { return m_Port; }

 private:
  EchoManager m_Manager;
  ServerLink m_Server;
  int m_Port = -1;
};

// ---------------------------------------------------------------------------
// The baseline: a blocking accept thread and one detached thread per
// connection that reads frames and writes them back.

class PlainServer {
 public:
  PlainServer() {
    m_Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(m_Fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(m_Fd, SOMAXCONN);
    socklen_t len = sizeof a;
    ::getsockname(m_Fd, reinterpret_cast<sockaddr*>(&a), &len);
    m_Port = ntohs(a.sin_port);
    m_Acceptor = std::thread([this] { AcceptLoop(); });
  }
  ~PlainServer() {
    m_Stop = true;
    ::shutdown(m_Fd, SHUT_RDWR);  // wakes the blocking accept
    m_Acceptor.join();
    ::close(m_Fd);
    std::unique_lock<std::mutex> g(m_Mu);
    m_Cv.wait(g, [&] { return m_Live == 0; });
  }
  int Port() const { return m_Port; }

 private:
  void AcceptLoop() {
    while (!m_Stop) {
      int fd = ::accept4(m_Fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (m_Stop) break;
        continue;
      }
      {
        std::lock_guard<std::mutex> g(m_Mu);
        ++m_Live;
      }
      try {
        std::thread([this, fd] { Serve(fd); }).detach();
      } catch (const std::exception&) {
        ::close(fd);
        Done();
      }
    }
  }
  void Serve(int fd) {
    std::vector<char> buf;
    char header[11] = {};
    while (ReadAll(fd, header, 10, -1)) {
      size_t n = std::strtoul(header + 2, nullptr, 16);
      buf.resize(10 + n);
      std::memcpy(buf.data(), header, 10);
      if (!ReadAll(fd, buf.data() + 10, n, -1) || !WriteAll(fd, buf.data(), buf.size())) break;
    }
    ::close(fd);
    Done();
  }
  void Done() {
    std::lock_guard<std::mutex> g(m_Mu);
    if (--m_Live == 0) m_Cv.notify_all();
  }

  int m_Fd = -1;
  int m_Port = 0;
  std::atomic<bool> m_Stop{false};
  std::mutex m_Mu;
  std::condition_variable m_Cv;
  int m_Live = 0;
  std::thread m_Acceptor;
};

// Connect, one echo, close, `count` times; connections per second, or -1.
double ConnectionRate(int port, int count) {
  const std::string frame = Frame(kPayload);
  auto t0 = Clock::now();
  for (int i = 0; i < count; ++i) {
    int fd = Connect(port);
    bool ok = fd >= 0 && RoundTrip(fd, frame);
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
    int fd = Connect(port);
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
  rlimit lim{};
  ::getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = lim.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &lim);
  std::printf("descriptor limit %llu, %u cpus\n", static_cast<unsigned long long>(lim.rlim_cur),
              std::thread::hardware_concurrency());

  // 1. Connection rate, rounds interleaved so both see the same machine load.
  const int kRounds = 3;
  double libBest = 0, plainBest = 0, libSum = 0, plainSum = 0;
  {
    LibraryServer lib;
    PlainServer plain;
    if (lib.Port() <= 0) return 1;
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
