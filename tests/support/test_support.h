// Helpers shared by the tests: a callback recorder, a trace capture, and raw
// POSIX peers for cases where the bytes on the wire matter. Every wait is
// bounded; nothing orders threads with sleeps.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hx_net/Link.h"
#include "platform/tdiag.h"

namespace hxtest {

using namespace std::chrono_literals;
// A generous bound on what a test waits for; a passing test never reaches it.
// Sanitizers slow the library down ten times and more, so their bound grows.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr auto kWait = 60s;
#else
constexpr auto kWait = 10s;
#endif

// Records every callback of a link; tests wait on it, never on the clock.
struct Recorder : LinkCBClass {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::string> frames;
  int ends = 0;
  bool receiveAfterEnd = false;
  void Receive(unsigned n, const char* d, Link*) override {
    std::lock_guard<std::mutex> g(mu);
    if (ends) receiveAfterEnd = true;
    frames.emplace_back(d, n);
    cv.notify_all();
  }
  void Exception(int, Link*) override {
    std::lock_guard<std::mutex> g(mu);
    ++ends;
    cv.notify_all();
  }
  bool WaitFrames(size_t n, std::chrono::milliseconds t = kWait) {
    std::unique_lock<std::mutex> g(mu);
    return cv.wait_for(g, t, [&] { return frames.size() >= n; });
  }
  bool WaitEnd(std::chrono::milliseconds t = kWait) {
    std::unique_lock<std::mutex> g(mu);
    return cv.wait_for(g, t, [&] { return ends > 0; });
  }
  std::vector<std::string> Frames() {
    std::lock_guard<std::mutex> g(mu);
    return frames;
  }
  int Ends() {
    std::lock_guard<std::mutex> g(mu);
    return ends;
  }
};

// Captures trace lines of the given modules at every level while alive.
class TraceCapture {
 public:
  explicit TraceCapture(std::vector<std::string> modules = {"Link", "ServerLink", "AcceptManager",
                                                            "CtlClient", "ws_service"},
                        unsigned level = 6)
      : m_Modules(std::move(modules)), m_State(new State) {
    TDiag& d = TDiag::Instance();
    d.SetSink(Sink());
    for (auto& m : m_Modules) d.SetModuleLevel(m, level);
    d.EnableDebugOutput(true);
  }
  // The capturing sink, to set again after a test replaced it.
  std::function<void(const TraceLine&)> Sink() {
    State* st = m_State.get();
    return [st](const TraceLine& l) {
      std::lock_guard<std::mutex> g(st->mu);
      st->lines.push_back(l);
      st->cv.notify_all();
    };
  }
  void Clear() {
    std::lock_guard<std::mutex> g(m_Mu);
    m_Lines.clear();
  }
  ~TraceCapture() {
    TDiag& d = TDiag::Instance();
    d.EnableDebugOutput(false);
    for (auto& m : m_Modules) d.SetModuleLevel(m, 0);
    d.SetContextLevel(8192, 0);
    d.SetSink(nullptr);
  }
  std::vector<TraceLine> Lines() {
    std::lock_guard<std::mutex> g(m_Mu);
    return m_Lines;
  }
  // Lines whose text contains `part` (and, if given, at `level`).
  int Count(const std::string& part, int level = -1) {
    std::lock_guard<std::mutex> g(m_Mu);
    int n = 0;
    for (auto& l : m_Lines)
      if (l.text.find(part) != std::string::npos && (level < 0 || l.level == unsigned(level))) ++n;
    return n;
  }
  bool WaitFor(const std::string& part, std::chrono::milliseconds t = kWait) {
    std::unique_lock<std::mutex> g(m_Mu);
    return m_Cv.wait_for(g, t, [&] {
      for (auto& l : m_Lines)
        if (l.text.find(part) != std::string::npos) return true;
      return false;
    });
  }
  // Waits until `n` lines contain `part`.
  bool WaitCount(const std::string& part, int n, std::chrono::milliseconds t = kWait) {
    std::unique_lock<std::mutex> g(m_Mu);
    return m_Cv.wait_for(g, t, [&] {
      int k = 0;
      for (auto& l : m_Lines) k += l.text.find(part) != std::string::npos;
      return k >= n;
    });
  }
  // Waits for a line written in trace scope `scope`.
  bool WaitScope(const std::string& scope, std::chrono::milliseconds t = kWait) {
    std::unique_lock<std::mutex> g(m_Mu);
    return m_Cv.wait_for(g, t, [&] {
      for (auto& l : m_Lines)
        if (l.scope == scope) return true;
      return false;
    });
  }
  // Index of the first line containing `part`, or -1.
  int IndexOf(const std::string& part) {
    std::lock_guard<std::mutex> g(m_Mu);
    for (size_t i = 0; i < m_Lines.size(); ++i)
      if (m_Lines[i].text.find(part) != std::string::npos) return static_cast<int>(i);
    return -1;
  }

 private:
  // On the heap: a stack mutex at an address that a later test reuses for
  // another mutex would give ThreadSanitizer false lock-order reports.
  struct State {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<TraceLine> lines;
  };
  std::vector<std::string> m_Modules;
  std::unique_ptr<State> m_State;
  std::mutex& m_Mu = m_State->mu;
  std::condition_variable& m_Cv = m_State->cv;
  std::vector<TraceLine>& m_Lines = m_State->lines;
};

// A plain listening socket on 127.0.0.1, port chosen by the system.
class RawListener {
 public:
  RawListener() {
    m_Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(m_Fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(m_Fd, 64);
    socklen_t len = sizeof a;
    ::getsockname(m_Fd, reinterpret_cast<sockaddr*>(&a), &len);
    m_Port = ntohs(a.sin_port);
  }
  ~RawListener() { ::close(m_Fd); }
  int Port() const { return m_Port; }
  std::string PortText() const { return std::to_string(m_Port); }
  // Accepts one connection within `t`; -1 on time-out.
  int Accept(std::chrono::milliseconds t = kWait) {
    pollfd p{m_Fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(t.count())) != 1) return -1;
    return ::accept4(m_Fd, nullptr, nullptr, SOCK_CLOEXEC);
  }
  int Fd() const { return m_Fd; }

 private:
  int m_Fd;
  int m_Port;
};

inline sockaddr_in LoopbackAddr(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

inline int RawConnect(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = LoopbackAddr(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A raw client connection, closed when it goes out of scope.
struct RawClient {
  int fd;
  explicit RawClient(int port) : fd(RawConnect(port)) {}
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;
  ~RawClient() {
    if (fd >= 0) ::close(fd);
  }
};

// A loopback port that refuses connections: bound, never listening. On
// 127.0.0.1, or on ::1 (IPv6 only) for AF_INET6.
struct RefusingPort {
  int fd;
  int port = 0;
  explicit RefusingPort(int family = AF_INET)
      : fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (family == AF_INET6) {
      sockaddr_in6 a{};
      a.sin6_family = AF_INET6;
      a.sin6_addr = in6addr_loopback;
      int one = 1;
      ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
      socklen_t len = sizeof a;
      ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
      port = ntohs(a.sin6_port);
      return;
    }
    sockaddr_in a = LoopbackAddr(0);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  ~RefusingPort() { ::close(fd); }
};

// True when this machine has the IPv6 loopback (::1 can be bound). Tests
// over ::1 skip with IPV6_OR_SKIP() where it has not.
inline bool HasIPv6Loopback() {
  static const bool has = [] {
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
  }();
  return has;
}
constexpr const char* kNoIPv6 = "skipped: this machine has no IPv6 loopback (::1)";
#define IPV6_OR_SKIP()                                               \
  do {                                                               \
    if (!hxtest::HasIPv6Loopback()) GTEST_SKIP() << hxtest::kNoIPv6; \
  } while (0)

// A raw socket of the family of `ip` ("127.0.0.1", "::1") connected to ip and
// port, with its own local port in `localPort`; -1 when nothing listens there.
inline int RawConnectTo(const char* ip, int port, int* localPort = nullptr) {
  sockaddr_storage a{}, local{};
  socklen_t len = 0;
  if (::inet_pton(AF_INET, ip, &reinterpret_cast<sockaddr_in*>(&a)->sin_addr) == 1) {
    a.ss_family = AF_INET;
    reinterpret_cast<sockaddr_in*>(&a)->sin_port = htons(static_cast<uint16_t>(port));
    len = sizeof(sockaddr_in);
  } else if (::inet_pton(AF_INET6, ip, &reinterpret_cast<sockaddr_in6*>(&a)->sin6_addr) == 1) {
    a.ss_family = AF_INET6;
    reinterpret_cast<sockaddr_in6*>(&a)->sin6_port = htons(static_cast<uint16_t>(port));
    len = sizeof(sockaddr_in6);
  } else {
    return -1;
  }
  int fd = ::socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  socklen_t localLen = sizeof local;
  // While nothing listens, a connect from an ephemeral port equal to the
  // target port connects the socket to itself: that is no connection either.
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0 ||
      ::memcmp(&local, &a, len) == 0) {
    ::close(fd);
    return -1;
  }
  if (localPort)
    *localPort = ntohs(a.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&local)->sin_port
                                              : reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
  return fd;
}

// A listener with backlog 0 whose queue holds one connection that nobody
// accepts: the kernel drops further SYNs, so a connect to it can only time out.
class FullListener : public RawListener {
 public:
  FullListener() {
    ::listen(Fd(), 0);
    m_Queued = RawConnect(Port());
  }
  ~FullListener() {
    if (m_Queued >= 0) ::close(m_Queued);
  }
  // True when the queued connection is established and a further connect
  // gets no answer within `t`.
  bool DropsConnects(std::chrono::milliseconds t = std::chrono::milliseconds(200)) {
    pollfd ready{Fd(), POLLIN, 0};
    if (m_Queued < 0 || ::poll(&ready, 1, static_cast<int>(kWait.count())) != 1) return false;
    int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a = LoopbackAddr(Port());
    bool pending =
        ::connect(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) == -1 && errno == EINPROGRESS;
    pollfd p{probe, POLLOUT, 0};
    pending = pending && ::poll(&p, 1, static_cast<int>(t.count())) == 0;
    ::close(probe);
    return pending;
  }

 private:
  int m_Queued = -1;
};

inline bool WriteAll(int fd, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

// Reads exactly n bytes within `t`; returns what arrived (shorter on time-out or end).
inline std::string ReadExact(int fd, size_t n, std::chrono::milliseconds t = kWait) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + t;
  char buf[65536];
  while (out.size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) != 1) break;
    ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

// True when the peer closes (end of stream) within `t`, discarding data.
inline bool WaitPeerClose(int fd, std::chrono::milliseconds t = kWait) {
  auto deadline = std::chrono::steady_clock::now() + t;
  char buf[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) != 1) return false;
    ssize_t r = ::recv(fd, buf, sizeof buf, 0);
    if (r <= 0) return true;
  }
}

// Waits for a condition that nobody signals (a count falling, a thread
// leaving) by re-testing it until a deadline.
template <class F>
bool Eventually(F f, std::chrono::milliseconds t = kWait) {
  auto deadline = std::chrono::steady_clock::now() + t;
  while (!f()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    ::usleep(1000);
  }
  return true;
}

// The frame of a payload as it must appear on the wire.
inline std::string Frame(const std::string& payload, char type = 'a') {
  char h[11];
  std::snprintf(h, sizeof h, "%c %.8lx", type, static_cast<unsigned long>(payload.size()));
  return std::string(h, 10) + payload;
}

}  // namespace hxtest
