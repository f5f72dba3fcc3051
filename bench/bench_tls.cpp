// TLS links on loopback against a plain OpenSSL client and server with the
// same framing, all in the same run:
//  - one-way throughput of 64 B, 64 KiB and 1 MiB frames: a Link pair with
//    TLS, against a blocking OpenSSL pair that writes each frame ("a %.8lx"
//    header and payload) with one SSL_write and reads header then payload;
//  - a 64 B round trip: request and echo, one at a time;
//  - handshakes per second: connect, handshake, one 64 B frame and its echo,
//    close; a Link client against an accept manager with TLS, against an
//    OpenSSL client and a one-connection-at-a-time OpenSSL server.
// Both sides use the same certificates (P-256, made at start) and the same
// protocol and cipher (TLS 1.3, AES-128-GCM, no session tickets) and both
// turn Nagle's algorithm off, so the ratios compare the machinery, not the
// cryptography. A ratio is the baseline's time over the link's (above 1 the
// link is faster), the median of the rounds' ratios; the rates are medians
// too. CPU: the process's CPU time (both ends) per KiB carried, or per
// handshake.
//
// Usage: bench_tls [--quick] [--rounds N]
//   --quick     a short run, for smoke tests
//   --rounds N  every measurement N times, the two sides interleaved;
//               medians reported (default 3, quick 1)
// Exits 1 when a measurement failed. Figures mean something only in an
// optimised build (the release preset).
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
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

#include "bench/bench_support.h"
#include "hx_net/AcceptManager.h"
#include "hx_net/Link.h"
#include "hx_net/ServerLink.h"
#include "hx_net/Tls.h"
#include "tests/support/tls_pki.h"

namespace {

using namespace hxbench;

constexpr auto kBound = std::chrono::seconds(60);  // any single wait
constexpr uint64_t kWindowBytes = 16u << 20;       // in flight, one-way

struct Options {
  bool quick = false;
  int rounds = 3;
  std::string only;           // "oneway", "roundtrip", "handshakes" or "" (all)
  std::vector<size_t> sizes;  // one-way sizes instead of the three
  bool link = true, plain = true;
};

double Median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string SizeText(size_t n) {
  if (n >= (1u << 20)) return std::to_string(n >> 20) + " MiB";
  if (n >= 1024) return std::to_string(n >> 10) + " KiB";
  return std::to_string(n) + " B";
}

// ---------------------------------------------------------------------------
// Contexts

std::shared_ptr<TlsContext> LinkServerTls() {
  return hxtest::ServerTls(hxtest::Pki().server);
}
std::shared_ptr<TlsContext> LinkClientTls() {
  return hxtest::ClientTls();
}

// The baseline's contexts: OpenSSL's defaults but for the protocol and
// cipher the library negotiates, and no tickets (the library sends none).
SSL_CTX* PlainContext(bool server) {
  SSL_CTX* ctx = hxtest::PlainSslContext(server);
  SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
  SSL_CTX_set_ciphersuites(ctx, "TLS_AES_128_GCM_SHA256");
  SSL_CTX_set1_groups_list(ctx, "X25519");
  SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  if (server) SSL_CTX_set_num_tickets(ctx, 0);
  return ctx;
}

// One blocking OpenSSL connection on a descriptor.
struct PlainTls {
  SSL* ssl = nullptr;
  int fd = -1;
  PlainTls(SSL_CTX* ctx, int descriptor, bool server) : ssl(SSL_new(ctx)), fd(descriptor) {
    // As a TLS link: without Nagle, or the first frame after the handshake
    // waits for a delayed acknowledgement.
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval t{static_cast<time_t>(kBound.count()), 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
    SSL_set_fd(ssl, fd);
    if (!server) X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), "127.0.0.1");
  }
  ~PlainTls() {
    SSL_free(ssl);
    if (fd >= 0) ::close(fd);
  }
  bool Handshake(bool server) { return (server ? SSL_accept(ssl) : SSL_connect(ssl)) == 1; }
  bool ReadExact(char* at, size_t n) {
    while (n) {
      size_t got = 0;
      if (SSL_read_ex(ssl, at, n, &got) != 1) return false;
      at += got;
      n -= got;
    }
    return true;
  }
  // One frame, header then payload; its length or -1.
  long ReadFrame(std::vector<char>& buf) {
    char h[11];
    if (!ReadExact(h, 10)) return -1;
    h[10] = '\0';
    unsigned long n = std::strtoul(h + 2, nullptr, 16);
    if (buf.size() < n + 1) buf.resize(n + 1);
    return ReadExact(buf.data(), n) ? static_cast<long>(n) : -1;
  }
  // One frame with one SSL_write.
  bool WriteFrame(std::vector<char>& frame, const char* data, size_t n) {
    if (frame.size() < n + 11) frame.resize(n + 11);
    std::snprintf(frame.data(), 11, "a %.8lx", static_cast<unsigned long>(n));
    std::memcpy(frame.data() + 10, data, n);
    size_t w = 0;
    return SSL_write_ex(ssl, frame.data(), n + 10, &w) == 1 && w == n + 10;
  }
};

// ---------------------------------------------------------------------------
// One-way

// The receiving side's count; the sender keeps at most a window in flight.
struct Counter {
  std::mutex mu;
  std::condition_variable cv;
  uint64_t got = 0;
  bool bad = false;
  size_t expect = 0;
  Clock::time_point last;
  void Add(size_t n) {
    std::lock_guard<std::mutex> g(mu);
    if (n != expect) bad = true;
    ++got;
    last = Clock::now();
    cv.notify_all();
  }
  bool WaitAtLeast(uint64_t n) {
    std::unique_lock<std::mutex> g(mu);
    return cv.wait_for(g, kBound, [&] { return got >= n; });
  }
};

// CPU time of the whole process (every thread, both ends), in seconds.
double ProcessCpu() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}
thread_local double t_LastCpu = 0;  // of the last Drive on this thread

// Sends `warm` frames and waits for them, then times `count` more from the
// first send to the arrival of the last. Seconds, or -1; the CPU time spent
// meanwhile in t_LastCpu.
double Drive(const std::function<bool(const char*, size_t)>& send, Counter& c, size_t size,
             uint64_t warm, uint64_t count) {
  std::vector<char> payload(size, 'p');
  c.expect = size;
  const uint64_t window = std::max<uint64_t>(2, kWindowBytes / (size + 10));
  auto phase = [&](uint64_t from, uint64_t to) {
    for (uint64_t sent = from; sent < to; ++sent) {
      if (sent >= window && !c.WaitAtLeast(sent - window + 1)) return false;
      if (!send(payload.data(), size)) return false;
    }
    return c.WaitAtLeast(to);
  };
  if (!phase(0, warm)) return -1;
  Clock::time_point t0 = Clock::now();
  const double cpu0 = ProcessCpu();
  if (!phase(warm, warm + count)) return -1;
  t_LastCpu = ProcessCpu() - cpu0;
  std::lock_guard<std::mutex> g(c.mu);
  return c.bad ? -1 : Seconds(c.last - t0);
}

struct CountingCB : LinkCBClass {
  Counter* counter;
  explicit CountingCB(Counter* c) : counter(c) {}
  void Receive(unsigned n, const char*, Link*) override { counter->Add(n); }
  void Exception(int, Link*) override {}
};
struct IgnoreCB : LinkCBClass {
  void Receive(unsigned, const char*, Link*) override {}
  void Exception(int, Link*) override {}
};
struct EchoCB : LinkCBClass {
  void Receive(unsigned n, const char* d, Link* l) override { l->Send(d, n); }
  void Exception(int, Link*) override {}
};

// A TLS link pair: `a` by Connect, `b` by AcceptConnection meanwhile.
struct TlsLinkPair {
  Link a, b;
  bool Open(LinkCBClass& cbA, LinkCBClass& cbB) {
    int port = 0;
    int l = ListenLoopback(4, &port);
    if (l < 0) return false;
    a.SetCallbackObject(cbA);
    b.SetCallbackObject(cbB);
    a.SetTls(LinkClientTls());
    b.SetTls(LinkServerTls());
    std::thread acceptor([&] {
      int fd = ::accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) b.AcceptConnection(os_tcp_socket::adopt(fd));
    });
    long error = 0;
    int rc = a.Connect("127.0.0.1", std::to_string(port).c_str(), error);
    acceptor.join();
    ::close(l);
    return rc == 0 && b.IsConnected();
  }
  ~TlsLinkPair() {
    a.DisConnect();
    b.DisConnect();
  }
};

double LinkOneWay(size_t size, uint64_t warm, uint64_t count) {
  Counter c;
  CountingCB receiver(&c);
  IgnoreCB sender;
  TlsLinkPair p;
  if (!p.Open(sender, receiver)) return -1;
  return Drive([&](const char* d, size_t n) { return p.a.Send(d, static_cast<unsigned>(n)) == 0; },
               c, size, warm, count);
}

// A connected, handshaken OpenSSL pair: `a` the client, `b` the server.
struct PlainTlsPair {
  SSL_CTX* serverCtx = PlainContext(true);
  SSL_CTX* clientCtx = PlainContext(false);
  std::unique_ptr<PlainTls> a, b;
  bool Open() {
    int port = 0;
    int l = ListenLoopback(4, &port);
    if (l < 0) return false;
    int cfd = ConnectLoopback(port);
    int sfd = cfd >= 0 ? ::accept4(l, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    ::close(l);
    if (sfd < 0) {
      if (cfd >= 0) ::close(cfd);
      return false;
    }
    a.reset(new PlainTls(clientCtx, cfd, false));
    b.reset(new PlainTls(serverCtx, sfd, true));
    bool serverOk = false;
    std::thread s([&] { serverOk = b->Handshake(true); });
    bool clientOk = a->Handshake(false);
    s.join();
    return clientOk && serverOk;
  }
  ~PlainTlsPair() {
    a.reset();
    b.reset();
    SSL_CTX_free(serverCtx);
    SSL_CTX_free(clientCtx);
  }
};

double PlainOneWay(size_t size, uint64_t warm, uint64_t count) {
  PlainTlsPair p;
  if (!p.Open()) return -1;
  Counter c;
  std::thread reader([&] {
    std::vector<char> buf;
    for (;;) {
      long n = p.b->ReadFrame(buf);
      if (n < 0) return;
      c.Add(static_cast<size_t>(n));
    }
  });
  std::vector<char> frame;
  double s = Drive([&](const char* d, size_t n) { return p.a->WriteFrame(frame, d, n); }, c, size,
                   warm, count);
  ::shutdown(p.a->fd, SHUT_RDWR);  // the reader's next read fails
  reader.join();
  return s;
}

// ---------------------------------------------------------------------------
// Round trip: microseconds per 64 B request and echo (median of the calls)

struct WaitingCB : LinkCBClass {
  std::mutex mu;
  std::condition_variable cv;
  bool replied = false;
  void Receive(unsigned, const char*, Link*) override {
    std::lock_guard<std::mutex> g(mu);
    replied = true;
    cv.notify_one();
  }
  void Exception(int, Link*) override {}
  bool Wait() {
    std::unique_lock<std::mutex> g(mu);
    bool ok = cv.wait_for(g, kBound, [&] { return replied; });
    replied = false;
    return ok;
  }
};

double LinkRoundTrip(int warm, int count) {
  WaitingCB client;
  EchoCB server;
  TlsLinkPair p;
  if (!p.Open(client, server)) return -1;
  std::vector<double> us;
  char req[64] = {0};
  for (int i = 0; i < warm + count; ++i) {
    Clock::time_point t0 = Clock::now();
    if (p.a.Send(req, 64) != 0 || !client.Wait()) return -1;
    if (i >= warm) us.push_back(Seconds(Clock::now() - t0) * 1e6);
  }
  return Median(us);
}

double PlainRoundTrip(int warm, int count) {
  PlainTlsPair p;
  if (!p.Open()) return -1;
  std::thread echo([&] {
    std::vector<char> buf, frame;
    for (;;) {
      long n = p.b->ReadFrame(buf);
      if (n < 0 || !p.b->WriteFrame(frame, buf.data(), static_cast<size_t>(n))) return;
    }
  });
  std::vector<double> us;
  std::vector<char> frame, buf;
  char req[64] = {0};
  bool ok = true;
  for (int i = 0; i < warm + count && ok; ++i) {
    Clock::time_point t0 = Clock::now();
    ok = p.a->WriteFrame(frame, req, 64) && p.a->ReadFrame(buf) == 64;
    if (i >= warm) us.push_back(Seconds(Clock::now() - t0) * 1e6);
  }
  ::shutdown(p.a->fd, SHUT_RDWR);
  echo.join();
  return ok ? Median(us) : -1;
}

// ---------------------------------------------------------------------------
// Handshakes: seconds for `count` of connect, handshake, one frame and its
// echo, close

double LinkHandshakes(int count) {
  EchoAcceptManager manager;
  manager.SetTls(LinkServerTls());
  ServerLink server;
  server.SetCallbackObject(manager);
  int port = server.InitServer(0, const_cast<char*>("127.0.0.1"), 10, -1);
  if (port < 0) return -1;
  std::string portText = std::to_string(port);
  std::shared_ptr<TlsContext> tls = LinkClientTls();
  char req[64] = {0};
  Clock::time_point t0 = Clock::now();
  const double cpu0 = ProcessCpu();
  for (int i = 0; i < count; ++i) {
    WaitingCB cb;
    Link link;
    link.SetCallbackObject(cb);
    link.SetTls(tls);
    long error = 0;
    if (link.Connect("127.0.0.1", portText.c_str(), error) != 0 || link.Send(req, 64) != 0 ||
        !cb.Wait())
      return -1;
    link.DisConnect();
  }
  double s = Seconds(Clock::now() - t0);
  t_LastCpu = ProcessCpu() - cpu0;
  server.StopServer();
  return s;
}

double PlainHandshakes(int count) {
  int port = 0;
  int l = ListenLoopback(64, &port);
  if (l < 0) return -1;
  SSL_CTX* serverCtx = PlainContext(true);
  SSL_CTX* clientCtx = PlainContext(false);
  std::atomic<bool> failed{false};
  std::thread server([&] {
    std::vector<char> buf, frame;
    for (int i = 0; i < count; ++i) {
      int fd = ::accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) break;
      PlainTls t(serverCtx, fd, true);
      long n = t.Handshake(true) ? t.ReadFrame(buf) : -1;
      if (n < 0 || !t.WriteFrame(frame, buf.data(), static_cast<size_t>(n))) failed = true;
      SSL_shutdown(t.ssl);
    }
  });
  char req[64] = {0};
  std::vector<char> buf, frame;
  Clock::time_point t0 = Clock::now();
  const double cpu0 = ProcessCpu();
  for (int i = 0; i < count && !failed; ++i) {
    int fd = ConnectLoopback(port);
    if (fd < 0) {
      failed = true;
      break;
    }
    PlainTls t(clientCtx, fd, false);
    if (!t.Handshake(false) || !t.WriteFrame(frame, req, 64) || t.ReadFrame(buf) != 64)
      failed = true;
    SSL_shutdown(t.ssl);
  }
  double s = Seconds(Clock::now() - t0);
  t_LastCpu = ProcessCpu() - cpu0;
  ::shutdown(l, SHUT_RDWR);
  server.join();
  ::close(l);
  SSL_CTX_free(serverCtx);
  SSL_CTX_free(clientCtx);
  return failed ? -1 : s;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  bool roundsGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--quick") {
      o.quick = true;
    } else if (a == "--rounds" && i + 1 < argc) {
      o.rounds = std::max(1, std::atoi(argv[++i]));
      roundsGiven = true;
    } else if (a == "--only" && i + 1 < argc) {
      o.only = argv[++i];
    } else if (a == "--size" && i + 1 < argc) {
      o.sizes.push_back(static_cast<size_t>(std::atol(argv[++i])));
    } else if (a == "--impl" && i + 1 < argc) {
      std::string w = argv[++i];
      o.link = w == "link";
      o.plain = w == "plain";
    } else {
      std::fprintf(stderr,
                   "usage: bench_tls [--quick] [--rounds N] [--only oneway|roundtrip|handshakes]\n"
                   "                 [--size BYTES]... [--impl link|plain]\n");
      return 64;
    }
  }
  if (o.quick && !roundsGiven) o.rounds = 1;
  const double scale = o.quick ? 0.05 : 1.0;
  hxtest::Pki();  // certificates made before anything is timed
  int failures = 0;
  std::printf(
      "TLS links on loopback against plain OpenSSL (%s), same certificates (P-256),\n"
      "TLS 1.3 with AES-128-GCM on both sides; medians of %d round(s).\n\n",
      OpenSSL_version(OPENSSL_VERSION), o.rounds);
  // Both sides `rounds` times, interleaved; the medians of the seconds each
  // took (0 for a side not measured), or false when a run failed.
  double linkCpu = 0, plainCpu = 0;  // medians of the last measurement
  double lastRatio = 0;              // median of the rounds' ratios, last measurement
  auto measure = [&](const std::function<double()>& link, const std::function<double()>& plain,
                     double& l, double& p) {
    std::vector<double> ls, ps, lc, pc;
    for (int r = 0; r < o.rounds; ++r) {
      if (o.link) {
        ls.push_back(link());
        lc.push_back(t_LastCpu);
      }
      if (o.plain) {
        ps.push_back(plain());
        pc.push_back(t_LastCpu);
      }
    }
    for (double v : ls)
      if (v <= 0) return false;
    for (double v : ps)
      if (v <= 0) return false;
    l = o.link ? Median(ls) : 0;
    p = o.plain ? Median(ps) : 0;
    // The ratio of each round's pair, run back to back: load from elsewhere
    // that comes and goes moves both sides of a pair alike.
    std::vector<double> rs;
    for (size_t i = 0; i < ls.size() && i < ps.size(); ++i) rs.push_back(ps[i] / ls[i]);
    lastRatio = Median(rs);
    linkCpu = o.link ? Median(lc) : 0;
    plainCpu = o.plain ? Median(pc) : 0;
    return true;
  };
  auto ratio = [&](double l, double p) { return l > 0 && p > 0 ? lastRatio : 0.0; };
  std::printf("%-22s %14s %14s %8s %7s\n", "", "link", "OpenSSL", "ratio", "target");

  if (o.only.empty() || o.only == "oneway") {
    struct Size {
      size_t size;
      uint64_t count;
      double target;
    };
    std::vector<Size> sizes{{64, 1000000, 1.0}, {64 * 1024, 20000, 0.8}, {1024 * 1024, 1200, 0.8}};
    if (!o.sizes.empty()) {
      sizes.clear();
      for (size_t n : o.sizes)
        sizes.push_back({n, std::max<uint64_t>(100, (400u << 20) / (n + 1024)), 0});
    }
    for (const Size& z : sizes) {
      const uint64_t count = std::max<uint64_t>(10, static_cast<uint64_t>(z.count * scale));
      const uint64_t warm = std::max<uint64_t>(2, count / 10);
      double l = 0, p = 0;
      const std::string name = SizeText(z.size) + " one-way";
      if (!measure([&] { return LinkOneWay(z.size, warm, count); },
                   [&] { return PlainOneWay(z.size, warm, count); }, l, p)) {
        std::printf("%-22s failed\n", name.c_str());
        ++failures;
        continue;
      }
      auto rate = [&](double sec) {
        char t[32];
        if (sec <= 0)
          std::snprintf(t, sizeof t, "-");
        else if (z.size < 1024)
          std::snprintf(t, sizeof t, "%.2f Mfr/s", static_cast<double>(count) / sec / 1e6);
        else
          std::snprintf(t, sizeof t, "%.0f MB/s", static_cast<double>(count * z.size) / sec / 1e6);
        return std::string(t);
      };
      std::printf("%-22s %14s %14s %7.2fx %6.1fx   CPU ns/KiB %.0f / %.0f\n", name.c_str(),
                  rate(l).c_str(), rate(p).c_str(), ratio(l, p), z.target,
                  linkCpu * 1e9 / (static_cast<double>(count * z.size) / 1024),
                  plainCpu * 1e9 / (static_cast<double>(count * z.size) / 1024));
    }
  }

  if (o.only.empty() || o.only == "roundtrip") {
    const int trips = o.quick ? 500 : 10000;
    double l = 0, p = 0;
    if (!measure([&] { return LinkRoundTrip(trips / 10, trips); },
                 [&] { return PlainRoundTrip(trips / 10, trips); }, l, p)) {
      std::printf("%-22s failed\n", "64 B round trip");
      ++failures;
    } else {
      std::printf("%-22s %11.1f us %11.1f us %7.2fx %7s\n", "64 B round trip (p50)", l, p,
                  ratio(l, p), "-");
    }
  }

  if (o.only.empty() || o.only == "handshakes") {
    const int handshakes = o.quick ? 50 : 1000;
    double l = 0, p = 0;
    if (!measure([&] { return LinkHandshakes(handshakes); },
                 [&] { return PlainHandshakes(handshakes); }, l, p)) {
      std::printf("%-22s failed\n", "handshakes");
      ++failures;
    } else {
      std::printf("%-22s %12.0f/s %12.0f/s %7.2fx %6.1fx   CPU us each %.0f / %.0f\n",
                  "handshakes + 1 frame", l > 0 ? handshakes / l : 0, p > 0 ? handshakes / p : 0,
                  ratio(l, p), 0.5, linkCpu * 1e6 / handshakes, plainCpu * 1e6 / handshakes);
    }
  }
  return failures ? 1 : 0;
}
