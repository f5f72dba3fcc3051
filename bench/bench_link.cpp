// Throughput and latency of a Link on loopback, next to the baselines a user
// would measure it against, all in the same run:
//  - plain blocking sockets with the same framing ("a %.8lx" header, then the
//    payload), one write per frame, a reader thread that reads the header and
//    then the payload;
//  - ZeroMQ PUSH/PULL and REQ/REP over TCP, when the program was built with
//    libzmq (it says so when it was not).
//
// One-way: frames of 64 B, 1 KiB, 64 KiB and 1 MiB. A frame counts as done
// when the receiving side got it (the receiver counts, and notes the time of
// the last frame); the sender keeps at most a window of frames in flight
// (sent and not yet received) so that no queue grows without bound.
// Round trip: a 64 B request and its echo, timed one by one.
//
// Usage: bench_link [--quick] [--pin] [--rounds N] [--only oneway|roundtrip]
//                   [--impl link|plain|zmq]... [--size BYTES]...
//   --quick     a short run (a few seconds in all), for smoke tests
//   --pin       pin both ends of the round trips to CPU 0
//   --rounds N  repeat every measurement N times, the implementations
//               interleaved, and report medians (default 3, quick 1)
//   --only      run only the one-way or only the round-trip measurements
//   --impl      measure only the named implementation(s) (for profiling one)
//   --size      one-way frame size(s) instead of 64 B, 1 KiB, 64 KiB, 1 MiB
// Exits 1 when a measurement failed (time-out, wrong frame), else 0. Figures
// mean something only in an optimised build.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef HX_BENCH_HAVE_ZMQ
#include <zmq.h>
#endif

#include "bench/bench_support.h"
#include "hx_net/Link.h"

namespace {

using namespace hxbench;

constexpr auto kPhaseBound = std::chrono::seconds(60);  // any single wait
constexpr int kSocketBoundSec = 60;                     // blocking socket calls
constexpr uint64_t kWindowFrames = 65536;               // in flight, one-way
constexpr uint64_t kWindowBytes = 16u << 20;

struct Options {
  bool quick = false;
  bool pin = false;
  int rounds = 3;
  double seconds = 1.0;  // per one-way measurement
  int roundTrips = 20000;
  bool oneWay = true;
  bool roundTrip = true;
  bool impl[3] = {true, true, true};  // Link, plain, ZeroMQ
  std::vector<size_t> sizes{64, 1024, 64 * 1024, 1024 * 1024};
};

// Set once by the receiving side; waited for by the sender, with a bound.
class Done {
 public:
  void Reset() {
    std::lock_guard<std::mutex> g(m_Lock);
    m_Done = false;
  }
  void Set(Clock::time_point at) {
    std::lock_guard<std::mutex> g(m_Lock);
    m_At = at;
    m_Done = true;
    m_Cond.notify_all();
  }
  bool Wait(Clock::duration bound) {
    std::unique_lock<std::mutex> g(m_Lock);
    return m_Cond.wait_for(g, bound, [this] { return m_Done; });
  }
  Clock::time_point At() {
    std::lock_guard<std::mutex> g(m_Lock);
    return m_At;
  }

 private:
  std::mutex m_Lock;
  std::condition_variable m_Cond;
  bool m_Done = false;
  Clock::time_point m_At;
};

// The receiving side's count. Only the receiving thread adds.
struct Counter {
  std::atomic<uint64_t> got{0};
  std::atomic<uint64_t> target{0};
  std::atomic<bool> bad{false};
  size_t expect = 0;
  Done done;

  // Called while nothing is in flight.
  void Arm(uint64_t total) {
    done.Reset();
    target.store(total, std::memory_order_release);
  }
  void Add(size_t length) {
    if (length != expect) bad.store(true, std::memory_order_relaxed);
    uint64_t n = got.load(std::memory_order_relaxed) + 1;
    got.store(n, std::memory_order_release);
    if (n == target.load(std::memory_order_acquire)) done.Set(Clock::now());
  }
};

std::vector<char> Payload(size_t n) {
  std::vector<char> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<char>(i * 7 + 1);
  return v;
}

std::string SizeText(size_t n) {
  if (n >= (1u << 20)) return std::to_string(n >> 20) + " MiB";
  if (n >= 1024) return std::to_string(n >> 10) + " KiB";
  return std::to_string(n) + " B";
}

// CPU time of the whole process (every thread), in seconds.
double ProcessCpu() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec +
         ru.ru_stime.tv_usec / 1e6;
}

// One timed one-way run: wall seconds (-1 when it failed) and the CPU seconds
// that all threads of the process used meanwhile (both ends are in it).
struct OneWay {
  double seconds = -1;
  double cpu = 0;
};

// Sends warm frames, waits until all arrived, then times `count` frames from
// the first send to the arrival of the last.
OneWay Drive(const std::function<bool(const char*, size_t)>& send, Counter& c, size_t size,
             uint64_t warm, uint64_t count) {
  std::vector<char> payload = Payload(size);
  c.expect = size;
  uint64_t window =
      std::max<uint64_t>(1, std::min<uint64_t>(kWindowFrames, kWindowBytes / (size + 10)));
  auto phase = [&](uint64_t from, uint64_t to) -> bool {
    c.Arm(to);
    auto deadline = Clock::now() + kPhaseBound;
    uint64_t sent = from;
    while (sent < to) {
      uint64_t limit = std::min(to, c.got.load(std::memory_order_acquire) + window);
      if (sent >= limit) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        continue;
      }
      while (sent < limit) {
        if (!send(payload.data(), size)) return false;
        ++sent;
      }
    }
    return c.done.Wait(kPhaseBound) && !c.bad.load();
  };
  OneWay r;
  if (!phase(0, warm)) return r;
  double cpu0 = ProcessCpu();
  Clock::time_point t0 = Clock::now();
  if (!phase(warm, warm + count)) return r;
  r.cpu = ProcessCpu() - cpu0;
  r.seconds = Seconds(c.done.At() - t0);
  return r;
}

// Round trip figures in microseconds.
struct Latency {
  bool ok = false;
  double p50 = 0, p99 = 0;
};

Latency Percentiles(std::vector<double>& us) {
  Latency l;
  if (us.empty()) return l;
  std::sort(us.begin(), us.end());
  l.ok = true;
  l.p50 = us[us.size() / 2];
  l.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
  return l;
}

// Pins the calling thread, and so every thread it starts, to CPU 0 for the
// life of the object.
class PinScope {
 public:
  explicit PinScope(bool on) : m_On(on) {
    if (!m_On) return;
    sched_getaffinity(0, sizeof m_Old, &m_Old);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0) {
      std::perror("sched_setaffinity");
      m_On = false;
    }
  }
  ~PinScope() {
    if (m_On) sched_setaffinity(0, sizeof m_Old, &m_Old);
  }

 private:
  bool m_On;
  cpu_set_t m_Old;
};

// ---------------------------------------------------------------------------
// Link

class CountingCB : public LinkCBClass {
 public:
  explicit CountingCB(Counter* c) : m_pCounter(c) {}
  void Receive(unsigned int length, const char*, Link*) override { m_pCounter->Add(length); }
  void Exception(int, Link*) override {}

 private:
  Counter* m_pCounter;
};

class EchoCB : public LinkCBClass {
 public:
  void Receive(unsigned int length, const char* data, Link* link) override {
    link->Send(data, length);
  }
  void Exception(int, Link*) override {}
};

class IgnoreCB : public LinkCBClass {
 public:
  void Receive(unsigned int, const char*, Link*) override {}
  void Exception(int, Link*) override {}
};

// Two links on loopback: `a` made by Connect, `b` by AcceptConnection on a
// socket from a listener on port 0.
class LinkPair {
 public:
  bool Open(LinkCBClass& cbA, LinkCBClass& cbB) {
    try {
      os_socket_address addr;
      addr.ip_address(static_cast<long>(htonl(INADDR_LOOPBACK)));
      addr.port(0);
      m_pServer.reset(new os_tcp_connection_server(addr, 16));
      int port = m_pServer->socket_address().port();
      a.SetCallbackObject(cbA);
      b.SetCallbackObject(cbB);
      char host[] = "127.0.0.1";
      char portText[16];
      std::snprintf(portText, sizeof portText, "%d", port);
      long error = 0;
      if (a.Connect(host, portText, error) != 0) return false;
      os_tcp_socket* s = new os_tcp_socket(0);
      timeval bound{10, 0};
      if (!m_pServer->accept(*s, &bound)) {
        delete s;
        return false;
      }
      return b.AcceptConnection(s) == 0;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "link setup: %s\n", e.what());
      return false;
    }
  }
  ~LinkPair() {
    a.DisConnect();
    b.DisConnect();
  }
  Link a, b;

 private:
  std::unique_ptr<os_tcp_connection_server> m_pServer;
};

OneWay LinkOneWay(size_t size, uint64_t warm, uint64_t count) {
  Counter c;
  CountingCB receiver(&c);
  IgnoreCB sender;
  LinkPair p;
  if (!p.Open(sender, receiver)) return OneWay();
  Link& a = p.a;
  return Drive([&a](const char* d, size_t n) { return a.Send(d, static_cast<unsigned>(n)) == 0; },
               c, size, warm, count);
}

// The caller sends and waits for the reply on its own thread, as a client of
// a Link does.
class WaitingClientCB : public LinkCBClass {
 public:
  void Receive(unsigned int, const char*, Link*) override {
    std::lock_guard<std::mutex> g(m_Lock);
    m_Replied = true;
    m_Cond.notify_one();
  }
  void Exception(int, Link*) override {}
  void Arm() {
    std::lock_guard<std::mutex> g(m_Lock);
    m_Replied = false;
  }
  bool Wait() {
    std::unique_lock<std::mutex> g(m_Lock);
    return m_Cond.wait_for(g, kPhaseBound, [this] { return m_Replied; });
  }

 private:
  std::mutex m_Lock;
  std::condition_variable m_Cond;
  bool m_Replied = false;
};

Latency LinkRoundTripWaiting(int warm, int count, bool pin) {
  PinScope pinned(pin);
  WaitingClientCB client;
  EchoCB server;
  std::vector<double> us;
  {
    LinkPair p;
    if (!p.Open(client, server)) return Latency();
    std::vector<char> req = Payload(64);
    us.reserve(static_cast<size_t>(count));
    for (int i = 0; i < warm + count; ++i) {
      client.Arm();
      Clock::time_point t0 = Clock::now();
      if (p.a.Send(req.data(), 64) != 0 || !client.Wait()) return Latency();
      Clock::time_point t1 = Clock::now();
      if (i >= warm) us.push_back(Seconds(t1 - t0) * 1e6);
    }
  }
  return Percentiles(us);
}

// The next request is sent from the reply's Receive, on the reader thread: a
// pipeline of one, without the hand-over to a waiting caller.
class ChainClientCB : public LinkCBClass {
 public:
  ChainClientCB(int warm, int count) : m_Warm(warm), m_Total(warm + count), m_Req(Payload(64)) {
    m_Us.reserve(static_cast<size_t>(count));
  }
  bool Start(Link& link) {
    m_T0 = Clock::now();
    return link.Send(m_Req.data(), 64) == 0;
  }
  void Receive(unsigned int, const char*, Link* link) override {
    Clock::time_point t1 = Clock::now();
    if (m_Done >= m_Warm) m_Us.push_back(Seconds(t1 - m_T0) * 1e6);
    if (++m_Done == m_Total) {
      m_Finished.Set(t1);
      return;
    }
    m_T0 = Clock::now();
    link->Send(m_Req.data(), 64);
  }
  void Exception(int, Link*) override {}
  Done& Finished() { return m_Finished; }
  std::vector<double>& Us() { return m_Us; }

 private:
  int m_Warm, m_Total, m_Done = 0;
  std::vector<char> m_Req;
  std::vector<double> m_Us;
  Clock::time_point m_T0;
  Done m_Finished;
};

Latency LinkRoundTripChained(int warm, int count, bool pin) {
  PinScope pinned(pin);
  ChainClientCB client(warm, count);
  EchoCB server;
  {
    LinkPair p;
    if (!p.Open(client, server)) return Latency();
    if (!client.Start(p.a) || !client.Finished().Wait(kPhaseBound)) return Latency();
  }  // the reader has ended: the samples are ours
  return Percentiles(client.Us());
}

// ---------------------------------------------------------------------------
// Plain blocking sockets, same framing

// A connected pair of blocking TCP sockets on loopback; -1s on failure.
class PlainPair {
 public:
  PlainPair() {
    int port = 0;
    int l = ListenLoopback(4, &port);
    if (l < 0) return;
    a = ConnectLoopback(port);
    if (a >= 0) b = ::accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(l);
    timeval bound{kSocketBoundSec, 0};
    for (int fd : {a, b}) {
      if (fd < 0) continue;
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
      ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    }
  }
  ~PlainPair() {
    if (a >= 0) ::close(a);
    if (b >= 0) ::close(b);
  }
  bool ok() const { return a >= 0 && b >= 0; }
  int a = -1, b = -1;
};

// One frame with one write: header formatted and payload copied, as a frame
// is built for a Link.
class PlainFramer {
 public:
  bool Write(int fd, const char* data, size_t n) {
    if (m_Frame.size() < n + 11) m_Frame.resize(n + 11);
    std::snprintf(m_Frame.data(), 11, "%c %.8lx", 'a',
                  static_cast<unsigned long>(static_cast<uint32_t>(n)));
    std::memcpy(m_Frame.data() + 10, data, n);
    return WriteAll(fd, m_Frame.data(), n + 10);
  }

 private:
  std::vector<char> m_Frame;
};

// Reads one frame: the header, then the payload. The length, or -1.
long PlainReadFrame(int fd, std::vector<char>& buf) {
  char h[11];
  if (!ReadExact(fd, h, 10)) return -1;
  h[10] = '\0';
  unsigned long n = std::strtoul(h + 2, nullptr, 16);
  if (buf.size() < n + 1) buf.resize(n + 1);
  if (!ReadExact(fd, buf.data(), n)) return -1;
  buf[n] = '\0';
  return static_cast<long>(n);
}

OneWay PlainOneWay(size_t size, uint64_t warm, uint64_t count) {
  PlainPair p;
  if (!p.ok()) return OneWay();
  Counter c;
  int rfd = p.b;
  std::thread reader([&c, rfd] {
    std::vector<char> buf;
    long n;
    while ((n = PlainReadFrame(rfd, buf)) >= 0) c.Add(static_cast<size_t>(n));
  });
  PlainFramer framer;
  int wfd = p.a;
  OneWay s =
      Drive([&](const char* d, size_t n) { return framer.Write(wfd, d, n); }, c, size, warm, count);
  ::shutdown(p.a, SHUT_RDWR);  // the reader sees the end of the stream
  reader.join();
  return s;
}

Latency PlainRoundTrip(int warm, int count, bool pin) {
  PinScope pinned(pin);
  PlainPair p;
  if (!p.ok()) return Latency();
  int sfd = p.b;
  std::thread server([sfd] {
    std::vector<char> buf;
    PlainFramer framer;
    long n;
    while ((n = PlainReadFrame(sfd, buf)) >= 0)
      if (!framer.Write(sfd, buf.data(), static_cast<size_t>(n))) break;
  });
  std::vector<char> req = Payload(64), buf;
  PlainFramer framer;
  std::vector<double> us;
  us.reserve(static_cast<size_t>(count));
  bool ok = true;
  for (int i = 0; i < warm + count && ok; ++i) {
    Clock::time_point t0 = Clock::now();
    ok = framer.Write(p.a, req.data(), 64) && PlainReadFrame(p.a, buf) == 64;
    Clock::time_point t1 = Clock::now();
    if (i >= warm) us.push_back(Seconds(t1 - t0) * 1e6);
  }
  ::shutdown(p.a, SHUT_RDWR);
  server.join();
  if (!ok) return Latency();
  return Percentiles(us);
}

// ---------------------------------------------------------------------------
// ZeroMQ

#ifdef HX_BENCH_HAVE_ZMQ
constexpr bool kHaveZmq = true;

// One context per end, as two processes would have.
class ZmqPair {
 public:
  ZmqPair(int serverType, int clientType) {
    m_CtxS = zmq_ctx_new();
    m_CtxC = zmq_ctx_new();
    server = zmq_socket(m_CtxS, serverType);
    client = zmq_socket(m_CtxC, clientType);
    int bound = kSocketBoundSec * 1000, zero = 0;
    for (void* s : {server, client}) {
      zmq_setsockopt(s, ZMQ_LINGER, &zero, sizeof zero);
      zmq_setsockopt(s, ZMQ_RCVTIMEO, &bound, sizeof bound);
      zmq_setsockopt(s, ZMQ_SNDTIMEO, &bound, sizeof bound);
    }
    char endpoint[256];
    size_t len = sizeof endpoint;
    if (zmq_bind(server, "tcp://127.0.0.1:*") != 0 ||
        zmq_getsockopt(server, ZMQ_LAST_ENDPOINT, endpoint, &len) != 0 ||
        zmq_connect(client, endpoint) != 0)
      return;
    m_Ok = true;
  }
  // The server socket belongs to the server thread, which closes it after
  // ServerDone() made its blocked call return.
  void ServerDone() { zmq_ctx_shutdown(m_CtxS); }
  ~ZmqPair() {
    zmq_close(client);
    zmq_ctx_term(m_CtxC);
    zmq_ctx_term(m_CtxS);
  }
  bool ok() const { return m_Ok; }
  void* server = nullptr;
  void* client = nullptr;

 private:
  void* m_CtxS;
  void* m_CtxC;
  bool m_Ok = false;
};

OneWay ZmqOneWay(size_t size, uint64_t warm, uint64_t count) {
  ZmqPair z(ZMQ_PULL, ZMQ_PUSH);
  Counter c;
  void* pull = z.server;
  std::thread reader([&c, pull] {
    zmq_msg_t m;
    zmq_msg_init(&m);
    while (zmq_msg_recv(&m, pull, 0) >= 0) c.Add(zmq_msg_size(&m));
    zmq_msg_close(&m);
    zmq_close(pull);
  });
  OneWay s;
  if (z.ok()) {
    void* push = z.client;
    s = Drive(
        [push](const char* d, size_t n) { return zmq_send(push, d, n, 0) == static_cast<int>(n); },
        c, size, warm, count);
  }
  z.ServerDone();
  reader.join();
  return s;
}

Latency ZmqRoundTrip(int warm, int count, bool pin) {
  PinScope pinned(pin);
  std::vector<double> us;
  bool ok = false;
  {
    ZmqPair z(ZMQ_REP, ZMQ_REQ);
    void* rep = z.server;
    std::thread server([rep] {
      zmq_msg_t m;
      zmq_msg_init(&m);
      while (zmq_msg_recv(&m, rep, 0) >= 0)
        if (zmq_msg_send(&m, rep, 0) < 0) break;
      zmq_msg_close(&m);
      zmq_close(rep);
    });
    if (z.ok()) {
      std::vector<char> req = Payload(64), buf(128);
      us.reserve(static_cast<size_t>(count));
      ok = true;
      for (int i = 0; i < warm + count && ok; ++i) {
        Clock::time_point t0 = Clock::now();
        ok = zmq_send(z.client, req.data(), 64, 0) == 64 &&
             zmq_recv(z.client, buf.data(), buf.size(), 0) == 64;
        Clock::time_point t1 = Clock::now();
        if (i >= warm) us.push_back(Seconds(t1 - t0) * 1e6);
      }
    }
    z.ServerDone();
    server.join();
  }
  if (!ok) return Latency();
  return Percentiles(us);
}
#else
constexpr bool kHaveZmq = false;
OneWay ZmqOneWay(size_t, uint64_t, uint64_t) {
  return OneWay();
}
Latency ZmqRoundTrip(int, int, bool) {
  return Latency();
}
#endif

// ---------------------------------------------------------------------------
// Driver

double Median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

enum Impl { kLink, kPlain, kZmq, kImpls };
const char* const kImplNames[kImpls] = {"Link", "plain", "ZeroMQ"};

struct OneWayRow {
  size_t size = 0;
  uint64_t count = 0;
  std::vector<double> rate[kImpls];  // messages per second, one per round
  std::vector<double> cpu[kImpls];   // CPU nanoseconds per frame, one per round
};

enum RtKind { kRtLinkWaiting, kRtLinkChained, kRtPlain, kRtZmq, kRtKinds };
const char* const kRtNames[kRtKinds] = {"Link, caller waits for the reply",
                                        "Link, next request sent from Receive",
                                        "plain blocking sockets", "ZeroMQ REQ/REP"};

void Usage() {
  std::fprintf(stderr,
               "usage: bench_link [--quick] [--pin] [--rounds N] [--only oneway|roundtrip] "
               "[--impl link|plain|zmq]... [--size BYTES]...\n");
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  bool roundsGiven = false, implGiven = false, sizeGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--quick") {
      o.quick = true;
    } else if (a == "--pin") {
      o.pin = true;
    } else if (a == "--rounds" && i + 1 < argc) {
      o.rounds = std::max(1, std::atoi(argv[++i]));
      roundsGiven = true;
    } else if (a == "--only" && i + 1 < argc) {
      std::string w = argv[++i];
      if (w != "oneway" && w != "roundtrip") {
        Usage();
        return 64;
      }
      o.oneWay = w == "oneway";
      o.roundTrip = w == "roundtrip";
    } else if (a == "--size" && i + 1 < argc) {
      long n = std::atol(argv[++i]);
      if (n < 0 || n >= 0x7fffffffL) {
        Usage();
        return 64;
      }
      if (!sizeGiven) o.sizes.clear();
      sizeGiven = true;
      o.sizes.push_back(static_cast<size_t>(n));
    } else if (a == "--impl" && i + 1 < argc) {
      std::string w = argv[++i];
      int k = w == "link" ? kLink : w == "plain" ? kPlain : w == "zmq" ? kZmq : -1;
      if (k < 0) {
        Usage();
        return 64;
      }
      if (!implGiven) o.impl[kLink] = o.impl[kPlain] = o.impl[kZmq] = false;
      implGiven = true;
      o.impl[k] = true;
    } else {
      Usage();
      return 64;
    }
  }
  if (o.quick) {
    o.seconds = 0.05;
    o.roundTrips = 2000;
    if (!roundsGiven) o.rounds = 1;
  }
  int failures = 0;
  std::printf("Link on loopback TCP against plain blocking sockets and ZeroMQ, same run.\n");
  if (kHaveZmq) {
#ifdef HX_BENCH_HAVE_ZMQ
    int major, minor, patch;
    zmq_version(&major, &minor, &patch);
    std::printf(
        "ZeroMQ %d.%d.%d: PUSH/PULL and REQ/REP over tcp://127.0.0.1, one context per end.\n",
        major, minor, patch);
#endif
  } else {
    std::printf(
        "ZeroMQ: not measured (this program was built without libzmq; install libzmq3-dev "
        "and reconfigure).\n");
  }
  std::printf(
      "%s run, %d round(s); figures are medians over the rounds, the implementations "
      "interleaved in each.\n",
      o.quick ? "Quick" : "Full", o.rounds);
  std::printf("MB = 10^6 payload bytes (headers not counted).\n\n");
  std::fflush(stdout);

  // One-way. The frame count of each size comes from a short pilot with
  // plain sockets, so that a measurement takes about o.seconds there.
  std::vector<OneWayRow> rows;
  for (size_t size : o.sizes) {
    if (!o.oneWay) break;
    OneWayRow row;
    row.size = size;
    uint64_t pilot = size <= 64 ? 20000 : std::max<uint64_t>(8, (8u << 20) / size);
    double ps = PlainOneWay(size, pilot / 10 + 1, pilot).seconds;
    double perSec = ps > 0 ? pilot / ps : 1000.0;
    row.count = std::max<uint64_t>(
        16, std::min<uint64_t>(50000000, static_cast<uint64_t>(perSec * o.seconds)));
    rows.push_back(row);
  }
  for (int r = 0; r < o.rounds && o.oneWay; ++r) {
    for (OneWayRow& row : rows) {
      uint64_t warm = row.count / 20 + 1;
      for (int impl = 0; impl < kImpls; ++impl) {
        if ((impl == kZmq && !kHaveZmq) || !o.impl[impl]) continue;
        OneWay s = impl == kLink    ? LinkOneWay(row.size, warm, row.count)
                   : impl == kPlain ? PlainOneWay(row.size, warm, row.count)
                                    : ZmqOneWay(row.size, warm, row.count);
        if (s.seconds <= 0) {
          std::fprintf(stderr, "one-way %s %s: measurement failed\n", kImplNames[impl],
                       SizeText(row.size).c_str());
          ++failures;
          continue;
        }
        row.rate[impl].push_back(row.count / s.seconds);
        row.cpu[impl].push_back(s.cpu * 1e9 / row.count);
      }
    }
  }

  std::vector<std::array<double, kImpls>> med(rows.size());
  if (o.oneWay)
    std::printf("One-way frames (msgs/s and payload MB/s; ratios of msgs/s, higher is better)\n");
  if (o.oneWay)
    std::printf("  %-7s %9s | %12s %9s | %12s %9s | %12s %9s | %10s %11s\n", "size", "frames",
                "Link msg/s", "MB/s", "plain msg/s", "MB/s", "ZeroMQ msg/s", "MB/s", "Link/plain",
                "Link/ZeroMQ");
  for (size_t i = 0; i < rows.size(); ++i) {
    const OneWayRow& row = rows[i];
    std::printf("  %-7s %9llu |", SizeText(row.size).c_str(),
                static_cast<unsigned long long>(row.count));
    for (int impl = 0; impl < kImpls; ++impl) {
      med[i][impl] = Median(row.rate[impl]);
      if (med[i][impl] > 0)
        std::printf(" %12.0f %9.1f |", med[i][impl], med[i][impl] * row.size / 1e6);
      else
        std::printf(" %12s %9s |", "-", "-");
    }
    if (med[i][kLink] > 0 && med[i][kPlain] > 0)
      std::printf(" %10.2f", med[i][kLink] / med[i][kPlain]);
    else
      std::printf(" %10s", "-");
    if (med[i][kLink] > 0 && med[i][kZmq] > 0)
      std::printf(" %11.2f\n", med[i][kLink] / med[i][kZmq]);
    else
      std::printf(" %11s\n", "-");
  }
  // CPU per frame tells the cost apart from the machine's other load, which
  // moves the rates above from run to run on a small, shared machine.
  if (o.oneWay) {
    std::printf("\nCPU time per frame, all threads of both ends (ns; ratios, lower is better)\n");
    std::printf("  %-7s | %10s %10s %10s | %10s %11s\n", "size", "Link", "plain", "ZeroMQ",
                "Link/plain", "Link/ZeroMQ");
  }
  for (const OneWayRow& row : rows) {
    double ns[kImpls];
    std::printf("  %-7s |", SizeText(row.size).c_str());
    for (int impl = 0; impl < kImpls; ++impl) {
      ns[impl] = row.cpu[impl].empty() ? -1 : Median(row.cpu[impl]);
      if (ns[impl] > 0)
        std::printf(" %10.0f", ns[impl]);
      else
        std::printf(" %10s", "-");
    }
    std::printf(" |");
    for (int base : {kPlain, kZmq}) {
      if (ns[kLink] > 0 && ns[base] > 0)
        std::printf(base == kPlain ? " %10.2f" : " %11.2f", ns[kLink] / ns[base]);
      else
        std::printf(base == kPlain ? " %10s" : " %11s", "-");
    }
    std::printf("\n");
  }
  std::fflush(stdout);

  // Round trips.
  int warm = o.roundTrips / 10;
  std::vector<double> p50[kRtKinds], p99[kRtKinds];
  const int rtImpl[kRtKinds] = {kLink, kLink, kPlain, kZmq};
  for (int r = 0; r < o.rounds && o.roundTrip; ++r) {
    for (int k = 0; k < kRtKinds; ++k) {
      if ((k == kRtZmq && !kHaveZmq) || !o.impl[rtImpl[k]]) continue;
      Latency l = k == kRtLinkWaiting   ? LinkRoundTripWaiting(warm, o.roundTrips, o.pin)
                  : k == kRtLinkChained ? LinkRoundTripChained(warm, o.roundTrips, o.pin)
                  : k == kRtPlain       ? PlainRoundTrip(warm, o.roundTrips, o.pin)
                                        : ZmqRoundTrip(warm, o.roundTrips, o.pin);
      if (!l.ok) {
        std::fprintf(stderr, "round trip %s: measurement failed\n", kRtNames[k]);
        ++failures;
        continue;
      }
      p50[k].push_back(l.p50);
      p99[k].push_back(l.p99);
    }
  }
  double m50[kRtKinds], m99[kRtKinds];
  for (int k = 0; k < kRtKinds; ++k) {
    m50[k] = Median(p50[k]);
    m99[k] = Median(p99[k]);
  }
  if (o.roundTrip) {
    std::printf(
        "\nRound trip, 64 B request and reply, %d per round, %s (microseconds; ratios of p50, "
        "lower is better)\n",
        o.roundTrips, o.pin ? "both ends pinned to CPU 0" : "unpinned");
    std::printf("  %-38s %9s %9s | %10s %11s\n", "", "p50 us", "p99 us", "/plain", "/ZeroMQ");
    for (int k = 0; k < kRtKinds; ++k) {
      if (m50[k] <= 0) {
        std::printf("  %-38s %9s %9s |\n", kRtNames[k], "-", "-");
        continue;
      }
      std::printf("  %-38s %9.2f %9.2f |", kRtNames[k], m50[k], m99[k]);
      if (k == kRtLinkWaiting || k == kRtLinkChained) {
        if (m50[kRtPlain] > 0)
          std::printf(" %10.2f", m50[k] / m50[kRtPlain]);
        else
          std::printf(" %10s", "-");
        if (m50[kRtZmq] > 0)
          std::printf(" %11.2f", m50[k] / m50[kRtZmq]);
        else
          std::printf(" %11s", "-");
      }
      std::printf("\n");
    }
  }

  // The targets the Link is held to, judged on this run's figures.
  std::printf("\nTargets (this run):\n");
  auto verdict = [](bool known, bool met) {
    return !known ? "not measured" : met ? "met" : "MISSED";
  };
  // The median of one implementation for one size, -1 when not measured.
  auto rate = [&](size_t size, int impl) {
    for (size_t i = 0; i < rows.size(); ++i)
      if (rows[i].size == size) return med[i][impl];
    return -1.0;
  };
  std::printf(
      "  64 B one-way >= ZeroMQ msgs/s:                 %s\n",
      verdict(rate(64, kLink) > 0 && rate(64, kZmq) > 0, rate(64, kLink) >= rate(64, kZmq)));
  for (size_t size : {size_t(64 * 1024), size_t(1024 * 1024)}) {
    double link = rate(size, kLink), plain = rate(size, kPlain), zmq = rate(size, kZmq);
    bool known = link > 0 && plain > 0 && zmq > 0;
    std::printf("  %-7s one-way >= 0.9 plain and >= ZeroMQ:     %s\n", SizeText(size).c_str(),
                verdict(known, link >= 0.9 * plain && link >= zmq));
  }
  if (o.pin)
    std::printf(
        "  round trip p50 <= 2.5 x plain (pinned):         %s (caller waits), %s (from Receive)\n",
        verdict(m50[kRtLinkWaiting] > 0 && m50[kRtPlain] > 0,
                m50[kRtLinkWaiting] <= 2.5 * m50[kRtPlain]),
        verdict(m50[kRtLinkChained] > 0 && m50[kRtPlain] > 0,
                m50[kRtLinkChained] <= 2.5 * m50[kRtPlain]));
  else
    std::printf(
        "  round trip p50 <= ZeroMQ (unpinned):            %s (caller waits), %s (from Receive)\n",
        verdict(m50[kRtLinkWaiting] > 0 && m50[kRtZmq] > 0, m50[kRtLinkWaiting] <= m50[kRtZmq]),
        verdict(m50[kRtLinkChained] > 0 && m50[kRtZmq] > 0, m50[kRtLinkChained] <= m50[kRtZmq]));
  if (failures) std::printf("\n%d measurement(s) failed.\n", failures);
  return failures ? 1 : 0;
}
