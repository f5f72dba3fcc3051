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
using Millis = std::chrono::milliseconds;
// A generous bound on what a test waits for; a passing test never reaches it.
// Sanitizers slow the library down ten times and more, so their bound grows.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr auto kWait = 60s;
#else
constexpr auto kWait = 10s;
#endif

// State shared between threads: Locked() changes or reads it and wakes the
// waiters; Wait() returns true once `done` holds, false after `t`.
struct Waitable {
  std::mutex mu;
  std::condition_variable cv;
  template <class F>
  auto Locked(F f) -> decltype(f()) {
    std::lock_guard<std::mutex> g(mu);
    cv.notify_all();  // the waiters look once the lock is free, after f
    return f();
  }
  template <class P>
  bool Wait(P done, Millis t = kWait) {
    std::unique_lock<std::mutex> g(mu);
    return cv.wait_for(g, t, done);
  }
};

// Records every callback of a link; `onReceive`, if set, runs on the reader
// after each frame is recorded.
struct Recorder : LinkCBClass, Waitable {
  std::vector<std::string> frames;
  int ends = 0;
  bool receiveAfterEnd = false;
  std::function<void(Link*)> onReceive;
  void Receive(unsigned n, const char* d, Link* l) override {
    Locked([&] {
      receiveAfterEnd |= ends > 0;
      frames.emplace_back(d, n);
    });
    if (onReceive) onReceive(l);
  }
  void Exception(int, Link*) override {
    Locked([&] { ++ends; });
  }
  bool WaitFrames(size_t n, Millis t = kWait) {
    return Wait([&] { return frames.size() >= n; }, t);
  }
  bool WaitEnd(Millis t = kWait) {
    return Wait([&] { return ends > 0; }, t);
  }
  std::vector<std::string> Frames() {
    return Locked([&] { return frames; });
  }
  int Ends() {
    return Locked([&] { return ends; });
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
  ~TraceCapture() {
    TDiag& d = TDiag::Instance();
    d.EnableDebugOutput(false);
    for (auto& m : m_Modules) d.SetModuleLevel(m, 0);
    d.SetContextLevel(8192, 0);
    d.SetSink(nullptr);
  }
  // The capturing sink, to set again after a test replaced it.
  std::function<void(const TraceLine&)> Sink() {
    State* st = m_State.get();
    return [st](const TraceLine& l) { st->Locked([&] { st->lines.push_back(l); }); };
  }
  void Clear() {
    m_State->Locked([&] { m_State->lines.clear(); });
  }
  std::vector<TraceLine> Lines() {
    return m_State->Locked([&] { return m_State->lines; });
  }
  // Lines whose text contains `part` (and, if given, at `level`).
  int Count(const std::string& part, int level = -1) {
    return m_State->Locked([&] { return CountLocked(part, level); });
  }
  bool WaitCount(const std::string& part, int n, Millis t = kWait) {
    return m_State->Wait([&] { return CountLocked(part, -1) >= n; }, t);
  }
  bool WaitFor(const std::string& part, Millis t = kWait) { return WaitCount(part, 1, t); }
  bool WaitScope(const std::string& scope, Millis t = kWait) {
    return m_State->Wait(
        [&] { return IndexLocked([&](const TraceLine& l) { return l.scope == scope; }) >= 0; }, t);
  }
  int IndexOf(const std::string& part) {
    return m_State->Locked([&] {
      return IndexLocked(
          [&](const TraceLine& l) { return l.text.find(part) != std::string::npos; });
    });
  }

 private:
  // On the heap: a stack mutex at an address that a later test reuses for
  // another mutex would give ThreadSanitizer false lock-order reports.
  struct State : Waitable {
    std::vector<TraceLine> lines;
  };
  int CountLocked(const std::string& part, int level) {
    int n = 0;
    for (auto& l : m_State->lines)
      n += l.text.find(part) != std::string::npos && (level < 0 || l.level == unsigned(level));
    return n;
  }
  template <class P>
  int IndexLocked(P p) {
    for (size_t i = 0; i < m_State->lines.size(); ++i)
      if (p(m_State->lines[i])) return static_cast<int>(i);
    return -1;
  }
  std::vector<std::string> m_Modules;
  std::unique_ptr<State> m_State;
};

// `ip` ("127.0.0.1", "::1") and `port` as a socket address; its length, or 0
// for text that is no address.
inline socklen_t Addr(const char* ip, int port, sockaddr_storage& a) {
  a = sockaddr_storage{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&a);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&a);
  v4->sin_port = htons(static_cast<uint16_t>(port));  // where sin6_port is too
  a.ss_family = ::inet_pton(AF_INET, ip, &v4->sin_addr) == 1     ? AF_INET
                : ::inet_pton(AF_INET6, ip, &v6->sin6_addr) == 1 ? AF_INET6
                                                                 : AF_UNSPEC;
  return a.ss_family == AF_INET ? sizeof *v4 : a.ss_family == AF_INET6 ? sizeof *v6 : 0;
}

// A TCP socket bound to `ip` and `port` (0: chosen by the system; IPv6 only
// for an IPv6 address), its port in `bound`; -1 when that fails.
inline int BoundSocket(const char* ip, int port, int& bound) {
  sockaddr_storage a;
  socklen_t len = Addr(ip, port, a);
  int fd = ::socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
  if (a.ss_family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  bound = ntohs(reinterpret_cast<sockaddr_in&>(a).sin_port);  // where sin6_port is too
  return fd;
}

// A plain listening socket on 127.0.0.1, port chosen by the system.
class RawListener {
 public:
  RawListener() : m_Fd(BoundSocket("127.0.0.1", 0, m_Port)) { ::listen(m_Fd, 64); }
  ~RawListener() { ::close(m_Fd); }
  int Port() const { return m_Port; }
  std::string PortText() const { return std::to_string(m_Port); }
  // Accepts one connection within `t`; -1 on time-out.
  int Accept(Millis t = kWait) {
    pollfd p{m_Fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(t.count())) != 1) return -1;
    return ::accept4(m_Fd, nullptr, nullptr, SOCK_CLOEXEC);
  }
  int Fd() const { return m_Fd; }

 private:
  int m_Port = 0;
  int m_Fd;
};

// A raw socket connected to `ip` and `port`, its own port in `localPort`; -1
// when nothing listens there.
inline int RawConnectTo(const char* ip, int port, int* localPort = nullptr) {
  sockaddr_storage a, local;
  socklen_t len = Addr(ip, port, a), localLen = sizeof local;
  int fd = ::socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // While nothing listens, a connect from an ephemeral port equal to the
  // target port connects the socket to itself: that is no connection either.
  if (len == 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0 ||
      std::memcmp(&local, &a, len) == 0) {
    ::close(fd);
    return -1;
  }
  if (localPort) *localPort = ntohs(reinterpret_cast<sockaddr_in&>(local).sin_port);
  return fd;
}

// A raw client connection, closed when it goes out of scope.
struct RawClient {
  int fd;
  explicit RawClient(int port) : fd(RawConnectTo("127.0.0.1", port)) {}
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;
  ~RawClient() {
    if (fd >= 0) ::close(fd);
  }
};

// A loopback port that refuses connections: bound, never listening. On
// 127.0.0.1, or on ::1 (IPv6 only) for AF_INET6.
struct RefusingPort {
  int port = 0;
  int fd;
  explicit RefusingPort(int family = AF_INET)
      : fd(BoundSocket(family == AF_INET6 ? "::1" : "127.0.0.1", 0, port)) {}
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  ~RefusingPort() { ::close(fd); }
};

// True when this machine has the IPv6 loopback (::1 can be bound). Tests
// over ::1 skip with IPV6_OR_SKIP() where it has not.
inline bool HasIPv6Loopback() {
  static const bool has = [] {
    int port, fd = BoundSocket("::1", 0, port);
    if (fd >= 0) ::close(fd);
    return fd >= 0;
  }();
  return has;
}
constexpr const char* kNoIPv6 = "skipped: this machine has no IPv6 loopback (::1)";
#define IPV6_OR_SKIP()                                               \
  do {                                                               \
    if (!hxtest::HasIPv6Loopback()) GTEST_SKIP() << hxtest::kNoIPv6; \
  } while (0)

// A listener with backlog 0 whose queue holds one connection that nobody
// accepts: the kernel drops further SYNs, so a connect to it can only time out.
class FullListener : public RawListener {
 public:
  FullListener() : m_Queued((::listen(Fd(), 0), RawConnectTo("127.0.0.1", Port()))) {}
  ~FullListener() {
    if (m_Queued >= 0) ::close(m_Queued);
  }
  // True once the queued connection is established, filling the queue.
  bool Filled() {
    pollfd ready{Fd(), POLLIN, 0};
    return m_Queued >= 0 && ::poll(&ready, 1, static_cast<int>(kWait.count())) == 1;
  }

 private:
  int m_Queued;
};

inline bool WriteAll(int fd, const std::string& data) {
  for (size_t off = 0; off < data.size();) {
    ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

inline bool ReadableBy(int fd, std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
  pollfd p{fd, POLLIN, 0};
  return left.count() > 0 && ::poll(&p, 1, static_cast<int>(left.count())) == 1;
}

// Reads exactly n bytes within `t`; returns what arrived (shorter on time-out or end).
inline std::string ReadExact(int fd, size_t n, Millis t = kWait) {
  std::string out;
  char buf[65536];
  for (auto deadline = std::chrono::steady_clock::now() + t;
       out.size() < n && ReadableBy(fd, deadline);) {
    ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

// True when the peer closes (end of stream) within `t`, discarding data.
inline bool WaitPeerClose(int fd, Millis t = kWait) {
  char buf[4096];
  for (auto deadline = std::chrono::steady_clock::now() + t; ReadableBy(fd, deadline);)
    if (::recv(fd, buf, sizeof buf, 0) <= 0) return true;
  return false;
}

// Waits for a condition that nobody signals (a count falling, a thread
// leaving) by re-testing it until a deadline.
template <class F>
bool Eventually(F f, Millis t = kWait) {
  for (auto deadline = std::chrono::steady_clock::now() + t; !f(); ::usleep(1000))
    if (std::chrono::steady_clock::now() > deadline) return false;
  return true;
}

// The frame of a payload as it must appear on the wire.
inline std::string Frame(const std::string& payload, char type = 'a') {
  char h[11];
  std::snprintf(h, sizeof h, "%c %.8x", type, static_cast<unsigned>(payload.size()));
  return std::string(h, 10) + payload;
}

}  // namespace hxtest
