// Slow consumers next to healthy links on one server (ServerLink with an
// AcceptManagerCBClass): a server-side pusher sends fixed-size frames at a
// fixed rate to every accepted link with Link::Send. The clients are raw
// loopback sockets in this process: healthy ones read everything, slow ones
// read for a while and then stop reading for good.
//
//  1. Alone: the healthy links only. Their received frames per second and the
//     delay of each frame (send time stamped in its payload).
//  2. With slow consumers: the same healthy links, plus the slow links, all
//     pushed at the same rate. The healthy figures are taken from the time the
//     slow peers stopped reading to the end; the ratio to phase 1 is printed,
//     and so is the slowest Send call of each kind of link (Send must never
//     wait for the network).
//  3. Backlog: with the pusher stopped and the slow links settled, each slow
//     link's QueueSize is held against what its backlog must be: the payload
//     bytes Send accepted, minus the bytes the peer read (counted here), minus
//     what the kernel holds on both sides (SIOCOUTQNSD on the server's socket,
//     FIONREAD on the peer's). The difference is printed in frames.
//  4. DisConnect of every slow link (each with its backlog) and of every
//     healthy link, timed one by one; then StopServer.
//
// Usage: bench_slow_consumers [--healthy N] [--slow N] [--rate F] [--frame B]
//          [--alone S] [--with S] [--slow-reads S] [--slow-rcvbuf B] [--nodelay]
//          [--quick]
//   --healthy N      healthy links (default 4)
//   --slow N         slow consumers (default 20)
//   --rate F         frames per second pushed to every link (default 2000)
//   --frame B        payload bytes per frame, at least 16 (default 1024)
//   --alone S        seconds of phase 1 (default 3)
//   --with S         seconds of phase 2 (default 5)
//   --slow-reads S   seconds the slow peers read before they stop (default 1)
//   --slow-rcvbuf B  SO_RCVBUF of the slow peers, 0: the system's automatic
//                    sizing (default 65536, so the backlog reaches the queue
//                    soon instead of filling megabytes of kernel buffers)
//   --nodelay        an experiment, not the library's behaviour: set TCP_NODELAY
//                    on the server's sockets from here, to see how much of the
//                    frames' delay is the sender waiting to fill a segment
//   --quick          1 s alone, 2 s with, 0.5 s of reads (smoke test)
// Exits 1 when a measurement failed (a frame went wrong, a link was not
// accepted, a wait ran out).
#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "hx_net/AcceptManager.h"
#include "hx_net/ServerLink.h"

namespace {

using namespace hxbench;

constexpr size_t kHeader = 10;
// What one gathering write of the link's writer takes at most.
constexpr size_t kWriterBatchFrames = 64;
constexpr size_t kWriterBatchBytes = 256 * 1024;

struct Options {
  int healthy = 4;
  int slow = 20;
  double rate = 2000;
  size_t frame = 1024;
  double alone = 3;
  double with = 5;
  double slowReads = 1;
  int slowRcvbuf = 65536;
  bool nodelay = false;
};

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

int LocalPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return -1;
  return ntohs(a.sin_port);
}

int PeerPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return -1;
  return ntohs(a.sin_port);
}

long IoctlInt(int fd, unsigned long request) {
  int v = 0;
  return ::ioctl(fd, request, &v) == 0 ? v : -1;
}

// ---------------------------------------------------------------------------
// The server. Accept notes, for every new link, its socket's descriptor and
// the client's port, so the bench can find each client's server-side Link.

class QuietCB : public AcceptedLinkCBClass {
 public:
  void Receive(unsigned, const char*, Link*) override {}  // the clients send nothing
  void Exception(int, Link*) override {}
  bool DeleteWithLink() override { return true; }
};

class PushManager : public AcceptManagerCBClass {
 public:
  struct Accepted {
    Link* link;
    int fd;
  };

  AcceptedLinkCBClass* CreateLinkCBObject() override {
    m_pLast = new QuietCB;
    return m_pLast;
  }
  void Accept(os_tcp_socket* socket) override {
    int fd = socket ? socket->handle() : -1;
    int port = fd >= 0 ? PeerPort(fd) : -1;
    m_pLast = nullptr;
    AcceptManagerCBClass::Accept(socket);
    Link* link = nullptr;
    for (const LinkEntry& e : m_Links)
      if (e.pCallback == m_pLast) link = e.pLink;
    if (!link || port < 0) return;
    std::lock_guard<std::mutex> g(m_Mu);
    m_ByPort[port] = Accepted{link, fd};
    m_Cv.notify_all();
  }
  // The link accepted for the client on `port`, waiting up to 5 s.
  bool Find(int port, Accepted& out) {
    std::unique_lock<std::mutex> g(m_Mu);
    if (!m_Cv.wait_for(g, std::chrono::seconds(5), [&] { return m_ByPort.count(port) > 0; }))
      return false;
    out = m_ByPort[port];
    return true;
  }

 private:
  QuietCB* m_pLast = nullptr;  // server thread only
  std::mutex m_Mu;
  std::condition_variable m_Cv;
  std::map<int, Accepted> m_ByPort;
};

// ---------------------------------------------------------------------------
// Clients and the pusher.

struct Client {
  int fd = -1;
  Link* link = nullptr;  // its server-side link
  int serverFd = -1;     // that link's socket
  bool slow = false;
  // Written by the pusher and the peer's reader, sampled live by main.
  std::atomic<uint64_t> framesSent{0};  // Send returned 0
  std::atomic<uint64_t> bytesRead{0};   // read by the peer
};

struct Arrival {
  int64_t atNs;
  int64_t delayNs;
};

// A healthy peer: reads every frame, checks its header and keeps the arrival
// time and delay of each.
class HealthyReader {
 public:
  HealthyReader(Client& c, size_t frame) : m_C(c), m_Frame(frame) {}
  void Start() {
    m_T = std::thread([this] { Run(); });
  }
  void Stop() {
    m_Stop = true;
    if (m_T.joinable()) m_T.join();
  }
  const std::vector<Arrival>& Arrivals() const { return m_Arrivals; }
  uint64_t Errors() const { return m_Errors; }

 private:
  void Run() {
    const size_t whole = kHeader + m_Frame;
    std::vector<char> buf(std::max<size_t>(256 * 1024, 2 * whole));  // room for a whole frame
    size_t have = 0;
    while (!m_Stop) {
      pollfd p{m_C.fd, POLLIN, 0};
      if (::poll(&p, 1, 50) != 1) continue;
      ssize_t n = ::recv(m_C.fd, buf.data() + have, buf.size() - have, 0);
      if (n <= 0) break;
      int64_t now = NowNs();
      have += static_cast<size_t>(n);
      m_C.bytesRead.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
      size_t at = 0;
      for (; have - at >= whole; at += whole) {
        const char* f = buf.data() + at;
        char expect[11];
        std::snprintf(expect, sizeof expect, "a %.8lx", static_cast<unsigned long>(m_Frame));
        int64_t sent = 0;
        std::memcpy(&sent, f + kHeader, sizeof sent);
        if (std::memcmp(f, expect, kHeader) != 0 || sent <= 0 || sent > now) {
          ++m_Errors;
          continue;
        }
        m_Arrivals.push_back(Arrival{now, now - sent});
      }
      std::memmove(buf.data(), buf.data() + at, have - at);
      have -= at;
    }
  }

  Client& m_C;
  size_t m_Frame;
  std::atomic<bool> m_Stop{false};
  std::thread m_T;
  std::vector<Arrival> m_Arrivals;
  uint64_t m_Errors = 0;
};

// The slow peers: one thread reads all of them until `until`, then they never
// read again.
void ReadSlowUntil(std::vector<Client*> slow, Clock::time_point until) {
  std::vector<char> sink(256 * 1024);
  std::vector<pollfd> ps;
  for (Client* c : slow) ps.push_back(pollfd{c->fd, POLLIN, 0});
  while (Clock::now() < until) {
    if (::poll(ps.data(), ps.size(), 20) <= 0) continue;
    for (size_t i = 0; i < ps.size(); ++i) {
      if (!(ps[i].revents & POLLIN)) continue;
      ssize_t n = ::recv(ps[i].fd, sink.data(), sink.size(), MSG_DONTWAIT);
      if (n > 0) slow[i]->bytesRead.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    }
  }
}

struct PushStats {
  int64_t maxSendNsHealthy = 0;
  int64_t maxSendNsSlow = 0;
  uint64_t refused = 0;
};

// Sends `rate` frames a second to every client's link for `seconds`, each
// stamped with its send time, catching up after a late tick.
PushStats Push(std::vector<Client*> targets, double rate, size_t frame, double seconds) {
  PushStats st;
  std::vector<char> payload(frame, 'x');
  const auto t0 = Clock::now();
  const auto end =
      t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  uint64_t done = 0;
  for (auto tick = t0; tick < end; tick += std::chrono::milliseconds(1)) {
    std::this_thread::sleep_until(tick);
    uint64_t due = static_cast<uint64_t>(rate * Seconds(Clock::now() - t0));
    for (; done < due; ++done) {
      for (Client* c : targets) {
        int64_t s0 = NowNs();
        std::memcpy(payload.data(), &s0, sizeof s0);
        int rc = c->link->Send(payload.data(), static_cast<unsigned>(frame));
        int64_t took = NowNs() - s0;
        int64_t& worst = c->slow ? st.maxSendNsSlow : st.maxSendNsHealthy;
        worst = std::max(worst, took);
        if (rc == 0)
          c->framesSent.fetch_add(1, std::memory_order_relaxed);
        else
          ++st.refused;
      }
    }
  }
  return st;
}

struct RateFigures {
  double framesPerSecPerLink = 0;
  double p50Ms = 0, p99Ms = 0, maxMs = 0;
  size_t frames = 0;
};

// Frames that arrived in [from, to) on the healthy readers.
RateFigures Window(const std::vector<std::unique_ptr<HealthyReader>>& readers, int64_t fromNs,
                   int64_t toNs) {
  RateFigures f;
  std::vector<int64_t> delays;
  for (const auto& r : readers)
    for (const Arrival& a : r->Arrivals())
      if (a.atNs >= fromNs && a.atNs < toNs) delays.push_back(a.delayNs);
  f.frames = delays.size();
  double secs = (toNs - fromNs) / 1e9;
  if (readers.empty() || secs <= 0 || delays.empty()) return f;
  f.framesPerSecPerLink = delays.size() / secs / readers.size();
  std::sort(delays.begin(), delays.end());
  f.p50Ms = delays[delays.size() / 2] / 1e6;
  f.p99Ms = delays[std::min(delays.size() - 1, delays.size() * 99 / 100)] / 1e6;
  f.maxMs = delays.back() / 1e6;
  return f;
}

// Payload bytes inside the first `wire` bytes of a stream of equal frames.
uint64_t PayloadIn(uint64_t wire, size_t frame) {
  uint64_t whole = kHeader + frame;
  uint64_t rest = wire % whole;
  return wire / whole * frame + (rest > kHeader ? rest - kHeader : 0);
}

struct Backlog {
  uint64_t sentFrames = 0;
  uint64_t peerRead = 0;
  long inPeer = 0;  // FIONREAD on the peer's socket
  // Not yet sent, on the server's socket. On loopback a byte that was sent
  // is already in the peer's queue, but SIOCOUTQ keeps counting it until it
  // is acknowledged: it would be counted twice while data flows.
  long inServer = 0;
  uint64_t queue = 0;       // QueueSize
  int64_t notInKernel = 0;  // payload bytes Send accepted that never reached the kernel
  int64_t diff = 0;         // queue - notInKernel
};

// QueueSize must count the payload that never reached the kernel, save the
// part of the one gathering write in progress already in the kernel. Exact
// once nothing moves; while bytes flow, the readings are taken from the
// peer's end back to Send, so a byte moving on between two of them is missed
// rather than counted twice.
Backlog MeasureBacklog(const Client& c, size_t frame) {
  Backlog b;
  b.peerRead = c.bytesRead.load(std::memory_order_relaxed);
  b.inPeer = IoctlInt(c.fd, FIONREAD);
  b.inServer = IoctlInt(c.serverFd, SIOCOUTQNSD);
  b.queue = c.link->QueueSize();
  b.sentFrames = c.framesSent.load(std::memory_order_relaxed);
  uint64_t handedToKernel = b.peerRead + static_cast<uint64_t>(std::max(0L, b.inPeer)) +
                            static_cast<uint64_t>(std::max(0L, b.inServer));
  b.notInKernel = static_cast<int64_t>(b.sentFrames * frame) -
                  static_cast<int64_t>(PayloadIn(handedToKernel, frame));
  b.diff = static_cast<int64_t>(b.queue) - b.notInKernel;
  return b;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool hasValue = i + 1 < argc;
    if (a == "--nodelay") {
      o.nodelay = true;
    } else if (a == "--quick") {
      o.alone = 1;
      o.with = 2;
      o.slowReads = 0.5;
    } else if (!hasValue) {
      return false;
    } else if (a == "--healthy") {
      o.healthy = std::atoi(argv[++i]);
    } else if (a == "--slow") {
      o.slow = std::atoi(argv[++i]);
    } else if (a == "--rate") {
      o.rate = std::atof(argv[++i]);
    } else if (a == "--frame") {
      o.frame = static_cast<size_t>(std::atol(argv[++i]));
    } else if (a == "--alone") {
      o.alone = std::atof(argv[++i]);
    } else if (a == "--with") {
      o.with = std::atof(argv[++i]);
    } else if (a == "--slow-reads") {
      o.slowReads = std::atof(argv[++i]);
    } else if (a == "--slow-rcvbuf") {
      o.slowRcvbuf = std::atoi(argv[++i]);
    } else {
      return false;
    }
  }
  return o.healthy >= 1 && o.slow >= 0 && o.rate > 0 && o.frame >= 16 && o.frame < 0x7fffffff &&
         o.alone > 0.5 && o.with > o.slowReads + 0.5 && o.slowReads >= 0 && o.slowRcvbuf >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: bench_slow_consumers [--healthy N] [--slow N] [--rate F] [--frame B]\n"
                 "         [--alone S] [--with S (> slow-reads + 0.5)] [--slow-reads S]\n"
                 "         [--slow-rcvbuf B] [--nodelay] [--quick]\n");
    return 64;
  }
  RaiseDescriptorLimit();

  PushManager manager;
  ServerLink server;
  server.SetCallbackObject(manager);
  int port = server.InitServer(0, "127.0.0.1", 1, -1);
  if (port <= 0) {
    std::fprintf(stderr, "InitServer failed\n");
    return 1;
  }
  std::printf(
      "bench_slow_consumers: %d healthy + %d slow links, %zu B frames at %.0f frames/s per link;\n"
      "phase 1 %.1f s alone, phase 2 %.1f s with the slow consumers (they stop reading after "
      "%.1f s),\nslow peers' SO_RCVBUF %s%s\n\n",
      o.healthy, o.slow, o.frame, o.rate, o.alone, o.with, o.slowReads,
      o.slowRcvbuf ? std::to_string(o.slowRcvbuf).c_str() : "automatic",
      o.nodelay ? "; TCP_NODELAY set on the server's sockets by the bench (--nodelay)" : "");

  std::vector<Client> clients(static_cast<size_t>(o.healthy + o.slow));
  bool ok = true;
  for (size_t i = 0; i < clients.size(); ++i) {
    Client& c = clients[i];
    c.slow = static_cast<int>(i) >= o.healthy;
    c.fd = ConnectLoopback(port, c.slow ? o.slowRcvbuf : 0);
    PushManager::Accepted acc{};
    if (c.fd < 0 || !manager.Find(LocalPort(c.fd), acc)) {
      std::fprintf(stderr, "client %zu: not connected or not accepted\n", i);
      return 1;
    }
    c.link = acc.link;
    c.serverFd = acc.fd;
    int one = 1;
    if (o.nodelay) ::setsockopt(c.serverFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  std::vector<Client*> healthy, slow, all;
  for (Client& c : clients) {
    (c.slow ? slow : healthy).push_back(&c);
    all.push_back(&c);
  }
  std::vector<std::unique_ptr<HealthyReader>> readers;
  for (Client* c : healthy) {
    readers.emplace_back(new HealthyReader(*c, o.frame));
    readers.back()->Start();
  }

  // Phase 1: the healthy links alone (the slow clients are connected but get
  // nothing yet).
  int64_t aloneFrom = NowNs();
  PushStats aloneStats = Push(healthy, o.rate, o.frame, o.alone);
  int64_t aloneTo = NowNs();

  // Phase 2: everyone; the slow peers read for a while, then stop.
  int64_t withFrom = NowNs();
  auto slowStop = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(o.slowReads));
  int64_t slowStopNs = NowNs() + static_cast<int64_t>(o.slowReads * 1e9);
  std::thread slowReader(ReadSlowUntil, slow, slowStop);
  // The backlog as it grows, sampled from this thread while the pusher runs.
  struct Sample {
    double at, queueKiB, notInKernelKiB, minDiff, maxDiff;  // means over the slow links
  };
  std::vector<Sample> growth;
  PushStats withStats;
  std::thread pusher([&] { withStats = Push(all, o.rate, o.frame, o.with); });
  for (double t = 0.5; t < o.with; t += 0.5) {
    std::this_thread::sleep_until(Clock::now() + std::chrono::milliseconds(500));
    if (slow.empty()) continue;
    Sample s{(NowNs() - withFrom) / 1e9, 0, 0, 1e18, -1e18};
    for (Client* c : slow) {
      Backlog b = MeasureBacklog(*c, o.frame);
      s.queueKiB += b.queue / 1024.0 / slow.size();
      s.notInKernelKiB += b.notInKernel / 1024.0 / slow.size();
      s.minDiff = std::min(s.minDiff, static_cast<double>(b.diff) / o.frame);
      s.maxDiff = std::max(s.maxDiff, static_cast<double>(b.diff) / o.frame);
    }
    growth.push_back(s);
  }
  pusher.join();
  int64_t withTo = NowNs();
  slowReader.join();

  // Let the slow links settle: nothing is sent any more, their peers read
  // nothing, so their writers end up blocked with the kernel buffers full.
  // Settled: QueueSize and both kernel counts unchanged over 100 ms.
  auto snapshot = [&] {
    std::vector<long> v;
    for (Client* c : slow) {
      v.push_back(static_cast<long>(c->link->QueueSize()));
      v.push_back(IoctlInt(c->serverFd, SIOCOUTQ));
      v.push_back(IoctlInt(c->serverFd, SIOCOUTQNSD));
      v.push_back(IoctlInt(c->fd, FIONREAD));
    }
    return v;
  };
  bool settled = false;
  auto settleBound = Clock::now() + std::chrono::seconds(5);
  std::vector<long> last = snapshot();
  while (!settled && Clock::now() < settleBound) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::vector<long> now = snapshot();
    settled = now == last;
    last = now;
  }
  // The healthy peers have read everything once their links' queues are empty.
  for (int i = 0; i < 100; ++i) {
    bool drained = true;
    for (Client* c : healthy) drained = drained && c->link->QueueSize() == 0;
    if (drained) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  for (auto& r : readers) r->Stop();

  // --- Report: healthy rate.
  // Phase 1 from 0.5 s in (start-up), phase 2 from 0.5 s after the slow peers
  // stopped reading: the queues grow during the whole window.
  RateFigures aloneF = Window(readers, aloneFrom + 500000000, aloneTo);
  RateFigures withF = Window(readers, slowStopNs + 500000000, withTo);
  uint64_t errors = 0;
  for (const auto& r : readers) errors += r->Errors();
  std::printf(
      "healthy links                   frames/s/link  of push rate  delay p50 ms  p99 ms"
      "  max ms  slowest Send us\n");
  std::printf("phase 1, alone                  %13.1f  %12.3f  %12.3f  %6.2f  %6.2f  %15.1f\n",
              aloneF.framesPerSecPerLink, aloneF.framesPerSecPerLink / o.rate, aloneF.p50Ms,
              aloneF.p99Ms, aloneF.maxMs, aloneStats.maxSendNsHealthy / 1e3);
  std::printf("phase 2, with %3d slow          %13.1f  %12.3f  %12.3f  %6.2f  %6.2f  %15.1f\n",
              o.slow, withF.framesPerSecPerLink, withF.framesPerSecPerLink / o.rate, withF.p50Ms,
              withF.p99Ms, withF.maxMs, withStats.maxSendNsHealthy / 1e3);
  if (aloneF.framesPerSecPerLink > 0)
    std::printf("ratio with/without slow consumers: rate %.3f, p99 delay %.2f\n",
                withF.framesPerSecPerLink / aloneF.framesPerSecPerLink,
                aloneF.p99Ms > 0 ? withF.p99Ms / aloneF.p99Ms : 0.0);
  std::printf("slowest Send on a slow link: %.1f us; Send refused: %llu; bad frames: %llu\n\n",
              withStats.maxSendNsSlow / 1e3,
              static_cast<unsigned long long>(aloneStats.refused + withStats.refused),
              static_cast<unsigned long long>(errors));
  if (errors || aloneStats.refused || withStats.refused || aloneF.frames == 0 || withF.frames == 0)
    ok = false;

  // --- Report: backlog growth and the exact check.
  std::printf(
      "slow links during phase 2, sampled live (diff: QueueSize minus the payload not\n"
      "in the kernel, in frames; a live sample may see a few frames sent in between)\n");
  std::printf("%8s %18s %18s %10s %10s\n", "time s", "mean QueueSize KiB", "not in kernel KiB",
              "min diff", "max diff");
  for (const Sample& g : growth)
    std::printf("%8.2f %18.1f %18.1f %10.2f %10.2f\n", g.at, g.queueKiB, g.notInKernelKiB,
                g.minDiff, g.maxDiff);
  std::printf("\n");
  long unacked = 0;
  for (Client* c : slow)
    unacked =
        std::max(unacked, IoctlInt(c->serverFd, SIOCOUTQ) - IoctlInt(c->serverFd, SIOCOUTQNSD));
  std::printf("settled: %s; sent and unacknowledged on a server socket: %ld B at most\n",
              settled ? "yes" : "NO (figures below may be in motion)", unacked);
  std::printf("%4s %9s %11s %11s %11s %11s %11s %7s\n", "slow", "sent", "peer read", "peer",
              "server", "QueueSize", "not in", "diff");
  std::printf("%4s %9s %11s %11s %11s %11s %11s %7s\n", "link", "frames", "B", "FIONREAD B",
              "OUTQNSD B", "B", "kernel B", "frames");
  double minDiffFrames = 0, maxDiffFrames = 0;
  bool first = true;
  std::vector<double> backlogs;
  for (size_t i = 0; i < slow.size(); ++i) {
    Backlog b = MeasureBacklog(*slow[i], o.frame);
    double diffFrames = static_cast<double>(b.diff) / o.frame;
    if (first || diffFrames < minDiffFrames) minDiffFrames = diffFrames;
    if (first || diffFrames > maxDiffFrames) maxDiffFrames = diffFrames;
    first = false;
    backlogs.push_back(static_cast<double>(b.queue));
    std::printf("%4zu %9llu %11llu %11ld %11ld %11llu %11lld %7.2f\n", i + 1,
                static_cast<unsigned long long>(b.sentFrames),
                static_cast<unsigned long long>(b.peerRead), b.inPeer, b.inServer,
                static_cast<unsigned long long>(b.queue), static_cast<long long>(b.notInKernel),
                diffFrames);
    if (b.inPeer < 0 || b.inServer < 0 || b.queue % o.frame != 0) ok = false;
  }
  if (!slow.empty()) {
    // The writer takes up to 64 frames and stops once it holds 256 KiB.
    size_t batchBound = std::min(kWriterBatchFrames, kWriterBatchBytes / (kHeader + o.frame) + 1);
    std::printf(
        "QueueSize minus the payload not in the kernel: %.2f to %.2f frames (0 means exact;\n"
        "the writer counts its frames out when a gathering write returns, so the bound is the\n"
        "frames of one such write: %zu here)\n\n",
        minDiffFrames, maxDiffFrames, batchBound);
    if (minDiffFrames < 0 || maxDiffFrames > static_cast<double>(batchBound)) ok = false;
  }

  // --- DisConnect, one link at a time. The server thread is idle in its wait
  // for connections (nothing connects any more), so the manager does not touch
  // the links meanwhile; its own DisConnect at StopServer then finds them
  // ended.
  std::vector<double> slowMs, healthyMs;
  for (Client* c : all) {
    auto d0 = Clock::now();
    c->link->DisConnect();
    double ms = Seconds(Clock::now() - d0) * 1e3;
    (c->slow ? slowMs : healthyMs).push_back(ms);
  }
  auto s0 = Clock::now();
  server.StopServer();
  double stopMs = Seconds(Clock::now() - s0) * 1e3;
  std::printf("DisConnect          links  median ms     max ms\n");
  if (!slowMs.empty())
    std::printf("slow consumer       %5zu  %9.3f  %9.3f   (backlog %.1f KiB each, median)\n",
                slowMs.size(), Median(slowMs), *std::max_element(slowMs.begin(), slowMs.end()),
                Median(backlogs) / 1024);
  std::printf("healthy             %5zu  %9.3f  %9.3f\n", healthyMs.size(), Median(healthyMs),
              *std::max_element(healthyMs.begin(), healthyMs.end()));
  std::printf("StopServer afterwards: %.3f ms\n", stopMs);
  for (Client& c : clients) ::close(c.fd);
  if (!settled) ok = false;
  if (!ok) std::printf("\nFAILED: see the figures above\n");
  return ok ? 0 : 1;
}
