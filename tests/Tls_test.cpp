#include "hx_net/Tls.h"

#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <functional>
#include <future>
#include <random>
#include <thread>

#include "hx_net/Link.h"
#include "tests/support/test_support.h"
#include "tests/support/tls_pki.h"

using namespace hxtest;
using Clock = std::chrono::steady_clock;
using R = LinkEndReason;

namespace {

struct Client {
  Recorder rec;
  Link link;
  long error = 0;
  int Connect(std::shared_ptr<TlsContext> tls, const std::string& port,
              const char* host = "127.0.0.1") {
    link.SetCallbackObject(rec);
    link.SetTls(std::move(tls));
    return link.Connect(host, port.c_str(), error);
  }
  bool Echoes(const std::string& payload) {
    size_t before = rec.Frames().size();
    return link.Send(payload.data(), static_cast<unsigned>(payload.size())) == 0 &&
           rec.WaitFrames(before + 1) && rec.Frames().back() == payload;
  }
};

bool AcceptInto(os_tcp_connection_server& listener, Link& link, std::shared_ptr<TlsContext> tls) {
  std::unique_ptr<os_tcp_socket> s(new os_tcp_socket(0));
  timeval t{static_cast<time_t>(std::chrono::seconds(kWait).count()), 0};
  link.SetTls(std::move(tls));
  return listener.accept(*s, &t) && link.AcceptConnection(s.release()) == 0;  // owns the socket
}

// Two links over one connection (TLS when given contexts), the server's
// accepted on another thread.
struct LinkPair {
  Link client, server;
  bool Open(std::shared_ptr<TlsContext> clientTls, std::shared_ptr<TlsContext> serverTls,
            LinkCBClass& atClient, LinkCBClass& atServer, const char* host = "127.0.0.1") {
    os_tcp_connection_server listener(os_socket_address(os_ip_address(host), 0), 4);
    client.SetCallbackObject(atClient);
    server.SetCallbackObject(atServer);
    client.SetTls(std::move(clientTls));
    auto accepted = std::async(std::launch::async, AcceptInto, std::ref(listener), std::ref(server),
                               std::move(serverTls));
    long err = 0;
    std::string port = std::to_string(listener.socket_address().port());
    return client.Connect(host, port.c_str(), err) == 0 && accepted.get();
  }
};

// Frame `seq` of sender `t`: both in the first 8 bytes, then bytes that
// follow from them; sizes up to 2 MiB, log-uniform so every size class is hit,
// but 24 MiB for sender 0's first (the reader grows its buffer more than once).
std::string StressFrame(uint64_t t, uint64_t seq) {
  uint64_t x = t << 56 | seq;
  std::string f(8 + (x ? std::mt19937_64(x)() >> (43 + seq % 21) : 24 << 20), '\0');
  for (size_t i = 0; i < f.size(); i += 8, x = x * 6364136223846793005ull + 1)
    std::memcpy(&f[i], &x, std::min<size_t>(8, f.size() - i));
  return f;
}

// A link (200 ms frame time-out) accepted from a standard TLS client on a
// raw blocking socket, every wait bounded.
struct StandardPeer {
  bool mutual = false;  // the link requires a client certificate
  Recorder rec;
  os_tcp_connection_server listener{os_socket_address(os_ip_address("127.0.0.1"), 0), 4};
  RawClient raw{listener.socket_address().port()};
  SSL_CTX* ctx = PlainSslContext(false);
  SSL* ssl = SSL_new(ctx);
  Link link;
  ~StandardPeer() { SSL_free(ssl), SSL_CTX_free(ctx); }
  bool Accept() {  // the link's side alone
    link.SetCallbackObject(rec);
    link.SetFrameTimeout(200);
    return AcceptInto(listener, link, ServerTls(Pki().server, mutual));
  }
  bool Open() {
    timeval t{static_cast<time_t>(std::chrono::seconds(kWait).count()), 0};
    for (int o : {SO_RCVTIMEO, SO_SNDTIMEO}) ::setsockopt(raw.fd, SOL_SOCKET, o, &t, sizeof t);
    SSL_set_fd(ssl, raw.fd);
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), "127.0.0.1");
    return Accept() && SSL_connect(ssl) == 1;
  }
  bool Write(const std::string& b) { return SSL_write(ssl, b.data(), int(b.size())) > 0; }
  std::string Read(size_t n) {  // n bytes, fewer on an error
    std::string b(n, '\0');
    size_t got = 0, r = 0;
    while (got < n && SSL_read_ex(ssl, &b[got], n - got, &r) == 1) got += r;
    return b.substr(0, got);
  }
  int NextReadError() {  // SSL_ERROR_ZERO_RETURN after close_notify
    char c;
    size_t r = 0;
    int e = SSL_get_error(ssl, SSL_read_ex(ssl, &c, 1, &r));
    ERR_clear_error();
    return e;
  }
};

}  // namespace

// cert, key, ca: a path (starting with '/') goes to the file setting, other
// text to the PEM one. Contexts from files that build: the tools' process tests.
TEST(TlsContextBuild, FilesOrPemAndWhatIsWrongWithThem) {
  const TestPki& k = Pki();
  const std::string badPem = "-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n";
  const struct {
    bool server;
    std::string cert, key, ca;
    bool requireClient;
    const char* error;  // null: builds
  } cases[] = {
      {false, "", "", "", false, nullptr},  // trusts the system's authorities
      {true, "", "", "", false, "a server needs a certificate and its private key"},
      {true, k.dir + "/none.crt", k.server.keyFile, "", false, "none.crt': No such file"},
      {true, k.server.certFile, k.server.certFile, "", false, "privateKeyFile '"},
      {true, k.server.cert, k.client.key, "", false, "private key does not match the certificate"},
      {true, badPem, k.server.key, "", false, "certificatePem: no certificate in the text"},
      {false, "", "", "hello", false, "caPem: no certificate in the text"},
      {true, k.server.cert, k.server.key, "", true, "requirePeerCertificate needs the authority"},
      {false, k.client.cert, "", "", false, "the certificate has no private key"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error ? c.error : c.cert);
    TlsSettings s;
    for (auto [v, file, pem] :
         {std::tie(c.cert, s.certificateFile, s.certificatePem),
          std::tie(c.key, s.privateKeyFile, s.privateKeyPem), std::tie(c.ca, s.caFile, s.caPem)})
      (v[0] == '/' ? file : pem) = v;
    s.requirePeerCertificate = c.requireClient;
    std::string error = "stale";
    auto tls = c.server ? TlsContext::Server(s, error) : TlsContext::Client(s, error);
    ASSERT_EQ(!tls, !!c.error) << error;
    EXPECT_EQ(tls ? tls->IsServer() : c.server, c.server);
    EXPECT_TRUE(c.error ? error.find(c.error) != std::string::npos : error.empty()) << error;
  }
}

// Four threads send both ways at once, over clear IPv4 and IPv6 and over
// mutual TLS; the readers stall now and then, so clear frames go out both on
// the senders' threads and through the writers. Every byte and the order are
// checked on arrival; the accepting side traces its peer, bracketed for IPv6.
TEST(LinkExchange, RandomSizesBothWaysClearAndTls) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(__OPTIMIZE__)
  const uint64_t kFrames = 300;  // per sending thread; fewer in slow (checked, unoptimised) builds
#else
  const uint64_t kFrames = 2500;
#endif
  const uint64_t kThreads = 4;
  struct Checker : LinkCBClass, Waitable {
    uint64_t next[kThreads] = {}, received = 0, sent = 0, all = 0;
    int bad = 0;
    void Receive(unsigned n, const char* d, Link*) override {
      const uint64_t t = n >= 8 ? static_cast<uint8_t>(d[7]) % kThreads : 0;  // the tag's top byte
      const bool same = n >= 8 && StressFrame(t, next[t]++) == std::string(d, n);
      std::unique_lock<std::mutex> g(mu);
      bad += !same;
      ++received;
      cv.notify_all();
      // Now and then the reader stalls until more is on its way, so the
      // senders meet a full socket.
      if (received % 97 == 0)
        cv.wait_for(g, kWait, [&] { return sent >= std::min(received + 16, all); });
    }
    void Exception(int, Link*) override {}
  };
  for (auto [host, tls] :
       {std::make_pair("127.0.0.1", false), {"::1", false}, {"127.0.0.1", true}}) {
    const bool v6 = std::strchr(host, ':');
    if (v6 && !HasIPv6Loopback()) continue;
    SCOPED_TRACE(std::string(host) + (tls ? " TLS" : " clear"));
    const uint64_t frames = v6 || tls ? kFrames / 4 : kFrames;  // the clear IPv4 run is the stress
    Checker atServer, atClient;
    atServer.all = atClient.all = frames * kThreads;
    TraceCapture trace({"Link"});  // outlives the links: their threads trace into it
    LinkPair p;
    ASSERT_TRUE(p.Open(tls ? ClientTls(&Pki().client) : nullptr,
                       tls ? ServerTls(Pki().server, true) : nullptr, atClient, atServer, host));
    const std::string peer = v6 ? "[::1]:" : "127.0.0.1:";
    EXPECT_EQ(trace.Count("Peer address " + peer + std::to_string(p.server.GetPortNumber()), 5), 1);
    auto sender = [&](Link& from, Checker& to, uint64_t t) {
      for (uint64_t seq = 0; seq < frames; ++seq) {
        const std::string f = StressFrame(t, seq);
        if (from.Send(f.data(), static_cast<unsigned>(f.size())) != 0) return false;
        // Flow control: at most 64 frames in flight per direction.
        to.Locked([&] { ++to.sent; });
        if (!to.Wait([&] { return to.sent < to.received + 64; })) return false;
      }
      return true;
    };
    std::vector<std::future<bool>> senders;
    for (uint64_t t = 0; t < kThreads; ++t)
      for (auto dir : {std::make_pair(&p.client, &atServer), std::make_pair(&p.server, &atClient)})
        senders.push_back(
            std::async(std::launch::async, sender, std::ref(*dir.first), std::ref(*dir.second), t));
    for (auto& f : senders) ASSERT_TRUE(f.get());
    for (Checker* c : {&atServer, &atClient})  // all arrived, none corrupt or out of order
      EXPECT_TRUE(c->Wait([&] { return c->received == c->all && c->bad == 0; }));
  }
}

// The client checks the server's chain and its name (an address, a DNS name,
// or expectedPeerName); a server with mutual TLS serves only certificates of
// its authority and names whom it serves. The refused side's peer sees a failed
// handshake: a TLS 1.3 client learns of a refusal after Connect, as a read.
// A wrong expectedPeerName and a DNS name: the tools' process tests.
TEST(TlsLink, WhatEachSideVerifies) {
  const TestPki& k = Pki();
  const struct {
    const char* host;
    const TlsPair* serverId;
    const char* clientSaw = nullptr;  // the client's refusal
    std::string name = "";
    bool verify = true;
    const TlsPair* clientId = nullptr;
    const char* serverSaw = nullptr;  // the server's refusal
  } cases[] = {
      {"127.0.0.1", &k.server},
      {"::1", &k.server},
      {"127.0.0.1", &k.server, nullptr, "localhost"},
      {"127.0.0.2", &k.server, "wrong name: the peer's certificate is not for 127.0.0.2"},
      {"127.0.0.1", &k.expired, "verification failed: certificate has expired"},
      {"127.0.0.1", &k.otherServer, "verification failed: unable to get local issuer"},
      {"127.0.0.1", &k.otherServer, nullptr, "", false},
      {"127.0.0.1", &k.server, nullptr, "", true, &k.client},
      {"127.0.0.1", &k.server, nullptr, "", true, nullptr,
       "verification failed: the peer sent no certificate"},
      {"127.0.0.1", &k.server, nullptr, "", true, &k.otherClient,
       "verification failed: unable to get local issuer certificate"},
  };
  for (const auto& c : cases) {
    if (std::strcmp(c.host, "::1") == 0 && !HasIPv6Loopback()) continue;
    const char* refusal = c.clientSaw ? c.clientSaw : c.serverSaw;
    SCOPED_TRACE(std::string(c.host) + " " + c.name + " " + (refusal ? refusal : "ok"));
    TestServer server(ServerTls(*c.serverId, c.clientId || c.serverSaw));
    TraceCapture trace({"Link"});
    Client client;
    ASSERT_EQ(client.Connect(ClientTls(c.clientId, 10000, k.ca.cert, c.name, c.verify), server.port,
                             c.host),
              c.clientSaw ? -1 : 0);
    EXPECT_EQ(client.error, c.clientSaw ? EPROTO : 0);
    EXPECT_EQ(client.link.PeerCertificateSubject(), c.clientSaw ? ""
                                                    : c.serverId == &k.server
                                                        ? "CN=hx test server,O=hx_net tests"
                                                        : "CN=hx other server,O=hx_net tests");
    if (c.serverSaw) {
      ASSERT_TRUE(client.rec.WaitEnd());
      EXPECT_EQ(client.link.EndReason(), R::HandshakeFailed);
    } else if (!c.clientSaw) {
      EXPECT_TRUE(client.Echoes("ping"));
    }
    client.link.DisConnect();  // the server's link ends, if it had not
    TestServer::End end = server.First();
    EXPECT_EQ(end.reason, refusal ? R::HandshakeFailed : R::PeerClosed);
    EXPECT_EQ(end.subject, c.clientId && !refusal ? "CN=hx test client,O=hx_net tests" : "");
    if (refusal) {
      EXPECT_EQ(trace.Count(std::string(" - TLS handshake failed: ") + refusal, 2), 1);
      EXPECT_TRUE(trace.WaitFor("TLS handshake failed: refused by the peer"));
    }
    EXPECT_EQ(client.rec.Ends(), c.clientSaw ? 0 : 1);  // never opened, or ended once
  }
}

// A peer that writes after a refusal's alert (a TLS 1.3 client learns of it
// only then) is not answered with a reset, which could overtake the alert.
TEST(TlsLink, NoResetAfterARefusal) {
  StandardPeer p;
  p.mutual = true;
  ASSERT_TRUE(p.Open());
  EXPECT_NE(p.NextReadError(), SSL_ERROR_NONE);  // the alert
  char c;
  ASSERT_EQ(::recv(p.raw.fd, &c, 1, 0), 0);  // then the server's end: it has shut down
  auto alerted = Clock::now();
  ASSERT_EQ(::send(p.raw.fd, "late", 4, MSG_NOSIGNAL), 4);
  tcp_info info{};  // acknowledged, or reset
  for (auto end = Clock::now() + kWait; Clock::now() < end; std::this_thread::yield()) {
    socklen_t n = sizeof info;
    ASSERT_EQ(::getsockopt(p.raw.fd, IPPROTO_TCP, TCP_INFO, &info, &n), 0);
    if (info.tcpi_unacked == 0 || info.tcpi_state == TCP_CLOSE) break;
  }
  // The server waits a quarter second for such input: a slower peer tells nothing.
  EXPECT_TRUE(info.tcpi_state == TCP_CLOSE_WAIT || Clock::now() - alerted >= 200ms)
      << int(info.tcpi_state);
}

// A name goes to the server as SNI, an address does not. A client that hears
// nothing (a listener that never accepts) ends at its handshake time-out.
TEST(TlsLink, ServerNameForNamesOnlyAndTheClientsHandshakeTimeOut) {
  SSL_CTX* ctx = PlainSslContext(true);
  RawListener listener;
  for (std::string host : {"localhost", "127.0.0.1"}) {
    auto seen = std::async(std::launch::async, [&] {
      int fd = listener.Accept();
      SSL* ssl = SSL_new(ctx);
      SSL_set_fd(ssl, fd);
      const char* sni = SSL_accept(ssl) == 1 ? SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name)
                                             : "(no handshake)";
      std::string name = sni ? sni : "";
      SSL_free(ssl);
      ::close(fd);
      return name;
    });
    Client client;
    EXPECT_EQ(client.Connect(ClientTls(), listener.PortText(), host.c_str()), 0) << host;
    EXPECT_EQ(seen.get(), host == "localhost" ? host : "") << host;
  }
  SSL_CTX_free(ctx);
  TraceCapture trace({"Link"});
  Client client;
  auto t0 = Clock::now();
  EXPECT_EQ(client.Connect(ClientTls(nullptr, 300), listener.PortText()), -1);
  EXPECT_GE(Clock::now() - t0, 300ms);
  EXPECT_EQ(client.error, ETIMEDOUT);
  EXPECT_EQ(trace.Count("TLS handshake failed: handshake timed out after 300 ms", 2), 1);
}

// A peer that fails the handshake ends while a link beside it goes on: a
// clear client at a TLS server and a TLS client at a clear server well within
// the handshake time-out, a silent peer after it.
TEST(TlsLink, FailedHandshakesEndInTimeWithoutHarmToOthers) {
  enum Peer { kClear, kTls, kSilent };
  const std::tuple<Peer, R, std::string> cases[] = {
      {kClear, R::HandshakeFailed, "peer spoke clear text"},
      {kTls, R::BadHeader, "peer closed the connection"},
      {kSilent, R::HandshakeFailed, "handshake timed out after 300 ms"}};
  for (const auto& [peer, reason, failure] : cases) {
    SCOPED_TRACE(failure);
    TraceCapture trace({"Link"});
    const long handshakeMs = peer == kSilent ? 300 : 20000;
    TestServer server(peer == kTls ? nullptr : ServerTls(Pki().server, false, handshakeMs));
    Client good, bad;
    ASSERT_EQ(good.Connect(peer == kTls ? nullptr : ClientTls(), server.port), 0);
    auto t0 = Clock::now();
    auto silent = peer == kSilent ? std::make_unique<RawClient>(std::stoi(server.port)) : nullptr;
    ASSERT_TRUE(peer != kClear ||
                (bad.Connect(nullptr, server.port) == 0 && bad.link.Send("hello", 5) == 0));
    ASSERT_TRUE(peer != kTls || bad.Connect(ClientTls(nullptr, handshakeMs), server.port) == -1);
    EXPECT_TRUE(good.Echoes("served meanwhile"));
    EXPECT_EQ(server.First().reason, reason);
    EXPECT_TRUE(silent ? Clock::now() - t0 >= 300ms : Clock::now() - t0 < 10s);
    EXPECT_EQ(trace.Count("TLS handshake failed: " + failure, 2), 1);
    EXPECT_TRUE(silent ? WaitPeerClose(silent->fd) : peer == kTls || bad.rec.WaitEnd());
  }
}

// Ways a TLS link pair can end beyond a plain DisConnect (above, a standard
// peer's below; postCloseEvent and destroying an open link: the Link tests):
// each side reports once. Flush counts frames once TLS has put them on the
// socket, so Flush then DisConnect delivers all to a slow reader.
TEST(TlsLink, EveryShutdownOrder) {
  using P = LinkPair;
  const std::string big(16 << 20, 'w');  // the client writes it as the server closes
  const struct {
    std::function<void(P&, Recorder&)> close;
    R client, server;  // None: either end may note the other's first
  } cases[] = {
      {[](P& p, auto&) { p.client.Send("bye", 3); }, R::PeerClosed, R::LocalClose},
      {[&](P& p, auto&) { p.client.Send(big.data(), 16 << 20), p.server.DisConnect(); }, R::None,
       R::LocalClose},
      {[](P& p, Recorder& atServer) {
         std::unique_lock<std::mutex> hold(atServer.mu);  // its reader stops at the first frame
         const std::string chunk(256 * 1024, 'f');
         for (int i = 0; i < 96; ++i)  // 24 MiB: more than the socket buffers hold
           ASSERT_EQ(p.client.Send(chunk.data(), static_cast<unsigned>(chunk.size())), 0);
         EXPECT_FALSE(p.client.Flush(100));
         hold.unlock();
         EXPECT_TRUE(p.client.Flush(std::chrono::milliseconds(kWait).count()));
         p.client.DisConnect();
         EXPECT_TRUE(atServer.WaitFrames(96));
       },
       R::LocalClose, R::PeerClosed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    Recorder atClient, atServer;
    if (&c == cases) atServer.onReceive = [](Link* l) { l->DisConnect(); };  // "bye"
    LinkPair p;
    ASSERT_TRUE(p.Open(ClientTls(), ServerTls(Pki().server), atClient, atServer));
    c.close(p, atServer);
    ASSERT_TRUE(atClient.WaitEnd());
    ASSERT_TRUE(atServer.WaitEnd());
    EXPECT_EQ(c.client == R::None ? R::None : p.client.EndReason(), c.client);
    EXPECT_EQ(c.server == R::None ? R::None : p.server.EndReason(), c.server);
    p.client.DisConnect();
    p.server.DisConnect();
    EXPECT_EQ(atClient.Ends(), 1);
    EXPECT_EQ(atServer.Ends(), 1);
    EXPECT_FALSE(atClient.receiveAfterEnd || atServer.receiveAfterEnd);
  }
}

// A standard TLS peer: the frames inside TLS are the clear frames, an end of
// stream with or without close_notify counts as a clear link's. A close while
// the handshake (10 s time-out) waits for a silent peer ends the link at once
// and writes nothing of what was queued.
TEST(TlsLink, AStandardTlsPeer) {
  using SP = StandardPeer;
  const struct {
    const char* what;
    std::function<void(SP&)> act;
    R reason;
    int unclean;  // trace lines of an end without close_notify; -1: sent one; -2: no handshake
  } cases[] = {
      {"close_notify", [](SP& t) { SSL_shutdown(t.ssl), ::shutdown(t.raw.fd, SHUT_WR); },
       R::PeerClosed, 0},
      {"end between frames", [](SP& t) { ::shutdown(t.raw.fd, SHUT_WR); }, R::PeerClosed, 1},
      {"clear bytes", [](SP& t) { WriteAll(t.raw.fd, Frame("clear")); }, R::NetworkError, 0},
      {"a frame that stops coming", [](SP& t) { t.Write(Frame("never finished").substr(0, 12)); },
       R::FrameTimeout, 0},
      {"a local close", [](SP& t) { t.link.DisConnect(); }, R::LocalClose, -1},
      {"a local close during the handshake",
       [](SP& t) {
         ASSERT_EQ(t.link.Send("queued", 6), 0);
         auto t0 = Clock::now();
         t.link.DisConnect();
         EXPECT_LT(Clock::now() - t0, 2s);
         EXPECT_EQ(ReadExact(t.raw.fd, 1), "");  // closed, nothing written
       },
       R::LocalClose, -2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TraceCapture trace({"Link"});
    StandardPeer p;
    ASSERT_TRUE(c.unclean == -2 ? p.Accept()
                                : p.Open() && p.Write(Frame("ping")) && p.rec.WaitFrames(1) &&
                                      p.link.Send("pong", 4) == 0 && p.Read(14) == Frame("pong"));
    c.act(p);
    ASSERT_TRUE(p.rec.WaitEnd());
    EXPECT_EQ(p.link.EndReason(), c.reason);
    EXPECT_EQ(p.rec.Frames(), std::vector<std::string>(c.unclean != -2, "ping"));
    EXPECT_EQ(p.rec.Ends(), 1);
    EXPECT_TRUE(c.unclean < 0 || trace.Count("ended without close_notify.", 4) == c.unclean);
    EXPECT_TRUE(c.unclean != -1 || p.NextReadError() == SSL_ERROR_ZERO_RETURN);  // close_notify
  }
}
