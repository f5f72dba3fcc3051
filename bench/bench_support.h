// Pieces the benchmark programs share: loopback socket helpers (listen,
// connect, read exactly, write all), the "a %.8lx" framing and an echo round
// trip, the process's resident memory and descriptor limit, the echoing accept
// manager and the plain thread-per-connection echo server the listening
// benchmarks compare against, and, for Google Benchmark programs, a reporter
// that keeps the fastest repetition of each benchmark.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hx_net/AcceptManager.h"
#include "hx_net/Link.h"

namespace hxbench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// ---------------------------------------------------------------------------
// Sockets

// Reads exactly n bytes from a blocking socket, retrying an interrupted call.
inline bool ReadExact(int fd, char* buf, size_t n) {
  while (n) {
    ssize_t r = ::recv(fd, buf, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    buf += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// Reads exactly n bytes, waiting at most `ms` for each piece (-1: no limit).
inline bool ReadExactWithin(int fd, char* buf, size_t n, int ms) {
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

// Writes all n bytes; a peer that has gone is a failure, not a SIGPIPE.
inline bool WriteAll(int fd, const char* buf, size_t n) {
  while (n) {
    ssize_t w = ::send(fd, buf, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    buf += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// A listening socket on 127.0.0.1 at a port the system picks: the descriptor
// (its port in *port), or -1.
inline int ListenLoopback(int backlog, int* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

// A blocking connection to 127.0.0.1:port, or -1. A positive `rcvbuf` sets
// SO_RCVBUF before connecting, so that the window offered to the server
// follows it.
inline int ConnectLoopback(int port, int rcvbuf = 0) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (rcvbuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
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

// The payload behind its 10-byte header, as a Link puts it on the wire.
inline std::string Frame(const std::string& payload) {
  char h[11];
  std::snprintf(h, sizeof h, "a %.8lx", static_cast<unsigned long>(payload.size()));
  return std::string(h, 10) + payload;
}

// Sends a whole frame and checks that the same bytes come back, waiting at
// most `ms` for each piece of the echo.
inline bool RoundTrip(int fd, const std::string& frame, int ms) {
  std::vector<char> back(frame.size());
  return WriteAll(fd, frame.data(), frame.size()) &&
         ReadExactWithin(fd, back.data(), back.size(), ms) &&
         std::memcmp(back.data(), frame.data(), frame.size()) == 0;
}

// ---------------------------------------------------------------------------
// The process

inline long ResidentBytes() {
  std::ifstream in("/proc/self/statm");
  long size = 0, resident = 0;
  in >> size >> resident;
  return resident * ::sysconf(_SC_PAGESIZE);
}

// Raises the descriptor soft limit to the hard limit; the soft limit now.
inline unsigned long long RaiseDescriptorLimit() {
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &rl);
  }
  ::getrlimit(RLIMIT_NOFILE, &rl);
  return static_cast<unsigned long long>(rl.rlim_cur);
}

// ---------------------------------------------------------------------------
// Echo servers

// Every accepted link sends back what it receives.
class EchoLinkCB : public AcceptedLinkCBClass {
 public:
  void Receive(unsigned n, const char* data, Link* link) override { link->Send(data, n); }
  void Exception(int, Link*) override {}
  bool DeleteWithLink() override { return true; }
};

class EchoAcceptManager : public AcceptManagerCBClass {
 public:
  AcceptedLinkCBClass* CreateLinkCBObject() override { return new EchoLinkCB; }
};

// The baseline for a ServerLink: a blocking accept thread and one thread per
// connection that reads frames and writes each back with one write. Start
// gives the port, or -1. Stop closes the listener and returns once every
// connection's thread has ended; the destructor stops.
class PlainEchoServer {
 public:
  // What becomes of a connection's thread.
  enum class Threads {
    // Kept with its socket until Stop, which shuts every connection down and
    // joins every thread, as StopServer does for a server's links: no thread
    // is left once Stop returns.
    kJoinAtStop,
    // Detached; it closes its socket when its peer has gone. For many short
    // connections, which would otherwise each keep a thread until Stop. Stop
    // waits for the connections still open to end.
    kDetached,
  };

  explicit PlainEchoServer(Threads threads) : m_Mode(threads) {}
  ~PlainEchoServer() { Stop(); }
  PlainEchoServer(const PlainEchoServer&) = delete;
  PlainEchoServer& operator=(const PlainEchoServer&) = delete;

  int Start() {
    int port = -1;
    m_Fd = ListenLoopback(SOMAXCONN, &port);
    if (m_Fd < 0) return -1;
    m_Acceptor = std::thread([this] { AcceptLoop(); });
    return port;
  }

  void Stop() {
    if (m_Stop.exchange(true) || m_Fd < 0) return;
    ::shutdown(m_Fd, SHUT_RDWR);  // wakes the blocking accept
    if (m_Acceptor.joinable()) m_Acceptor.join();
    ::close(m_Fd);
    // The acceptor has ended: the lists are ours alone now.
    for (int fd : m_Conns) ::shutdown(fd, SHUT_RDWR);
    for (auto& t : m_Kept) t.join();
    for (int fd : m_Conns) ::close(fd);
    m_Kept.clear();
    m_Conns.clear();
    std::unique_lock<std::mutex> g(m_Mu);
    m_Cv.wait(g, [&] { return m_Detached == 0; });
  }

 private:
  void AcceptLoop() {
    while (!m_Stop) {
      int fd = ::accept4(m_Fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (m_Stop) break;
        continue;
      }
      if (m_Mode == Threads::kJoinAtStop) {
        try {
          m_Kept.emplace_back([fd] { EchoFrames(fd); });
          m_Conns.push_back(fd);
        } catch (const std::exception&) {
          ::close(fd);  // out of threads: this client sees its connection closed
        }
        continue;
      }
      {
        std::lock_guard<std::mutex> g(m_Mu);
        ++m_Detached;
      }
      try {
        std::thread([this, fd] {
          EchoFrames(fd);
          ::close(fd);
          Done();
        }).detach();
      } catch (const std::exception&) {
        ::close(fd);
        Done();
      }
    }
  }

  // Until the peer goes or the socket is shut down. The socket is closed by
  // its owner: a kept one by Stop after the join, so its number is never
  // reused while Stop may still shut it down.
  static void EchoFrames(int fd) {
    std::vector<char> buf;
    char header[11] = {};
    while (ReadExactWithin(fd, header, 10, -1)) {
      size_t n = std::strtoul(header + 2, nullptr, 16);
      buf.resize(10 + n);
      std::memcpy(buf.data(), header, 10);
      if (!ReadExactWithin(fd, buf.data() + 10, n, -1) || !WriteAll(fd, buf.data(), buf.size()))
        break;
    }
  }

  void Done() {
    std::lock_guard<std::mutex> g(m_Mu);
    if (--m_Detached == 0) m_Cv.notify_all();
  }

  const Threads m_Mode;
  int m_Fd = -1;
  std::atomic<bool> m_Stop{false};
  std::vector<std::thread> m_Kept;  // kJoinAtStop: acceptor, then Stop
  std::vector<int> m_Conns;         // their sockets
  std::mutex m_Mu;
  std::condition_variable m_Cv;
  int m_Detached = 0;  // kDetached threads not yet done
  std::thread m_Acceptor;
};

}  // namespace hxbench

// ---------------------------------------------------------------------------
// Google Benchmark programs only: a file that includes <benchmark/benchmark.h>
// before this header gets these; the plain programs do not need the library.
#ifdef BENCHMARK_BENCHMARK_H_
#include <map>

namespace hxbench {

// Shows everything, and keeps the fastest repetition of each benchmark (and
// argument, as "BM_Name/arg") in nanoseconds: the least disturbed by the rest
// of the machine.
class FastestReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
      double ns = r.GetAdjustedRealTime() * ToNs(r.time_unit);
      std::string key = r.run_name.function_name;
      if (!r.run_name.args.empty()) key += "/" + r.run_name.args;
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

// Runs the benchmarks the command line selects, reported to `reporter`;
// false when an argument was not understood (already reported).
inline bool RunBenchmarks(int* argc, char** argv, FastestReporter& reporter) {
  benchmark::Initialize(argc, argv);
  if (benchmark::ReportUnrecognizedArguments(*argc, argv)) return false;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return true;
}

}  // namespace hxbench
#endif  // BENCHMARK_BENCHMARK_H_
