// TLS links: contexts, frames both ways, what is verified, peers that speak
// clear text or nothing, closes during and after the handshake, and the
// bytes a standard TLS peer sees. Certificates come from tls_pki.h.
#include "hx_net/Tls.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cmath>
#include <functional>
#include <future>
#include <random>
#include <thread>

#include "hx_net/AcceptManager.h"
#include "hx_net/Link.h"
#include "hx_net/ServerLink.h"
#include "tests/support/test_support.h"
#include "tests/support/tls_pki.h"

using namespace hxtest;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kServerSubject = "CN=hx test server,O=hx_net tests";
const std::string kClientSubject = "CN=hx test client,O=hx_net tests";

// An echoing server of the library's own classes; every session notes how
// its link ended and whom it served.
class EchoServer : public AcceptManagerCBClass {
 public:
  struct End {
    LinkEndReason reason;
    std::string subject;
  };
  explicit EchoServer(std::shared_ptr<TlsContext> tls) {
    SetTls(std::move(tls));
    m_Server.SetCallbackObject(*this);
    m_Port = std::to_string(m_Server.InitServer(0, nullptr, 10, -1));
  }
  ~EchoServer() override { m_Server.StopServer(); }
  const std::string& Port() const { return m_Port; }
  void Stop() { m_Server.StopServer(); }
  bool WaitEnds(size_t n) {
    std::unique_lock<std::mutex> g(m_Mu);
    return m_Cv.wait_for(g, kWait, [&] { return m_Ends.size() >= n; });
  }
  std::vector<End> Ends() {
    std::lock_guard<std::mutex> g(m_Mu);
    return m_Ends;
  }
  AcceptedLinkCBClass* CreateLinkCBObject() override { return new Session(*this); }

 private:
  struct Session : AcceptedLinkCBClass {
    explicit Session(EchoServer& s) : server(s) {}
    void Receive(unsigned n, const char* d, Link* link) override { link->Send(d, n); }
    void Exception(int, Link* link) override {
      std::lock_guard<std::mutex> g(server.m_Mu);
      server.m_Ends.push_back(End{link->EndReason(), link->PeerCertificateSubject()});
      server.m_Cv.notify_all();
    }
    bool DeleteWithLink() override { return true; }
    EchoServer& server;
  };
  std::mutex m_Mu;
  std::condition_variable m_Cv;
  std::vector<End> m_Ends;
  ServerLink m_Server;
  std::string m_Port;
};

// A client link with its recorder.
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

// Two links over one connection: the client by Connect, the server by
// AcceptConnection on a socket accepted meanwhile on another thread.
struct LinkPair {
  std::unique_ptr<Link> clientOwner{new Link};  // reset to destroy the client while open
  Link& client = *clientOwner;
  Link server;
  bool Open(std::shared_ptr<TlsContext> clientTls, std::shared_ptr<TlsContext> serverTls,
            LinkCBClass& atClient, LinkCBClass& atServer) {
    os_tcp_connection_server listener(os_socket_address(os_ip_address("127.0.0.1"), 0), 4);
    std::string port = std::to_string(listener.socket_address().port());
    client.SetCallbackObject(atClient);
    server.SetCallbackObject(atServer);
    client.SetTls(std::move(clientTls));
    server.SetTls(std::move(serverTls));
    auto accepted = std::async(std::launch::async, [&] {
      os_tcp_socket* s = new os_tcp_socket(0);
      timeval t{static_cast<time_t>(std::chrono::seconds(kWait).count()), 0};
      if (!listener.accept(*s, &t)) {
        delete s;
        return -1;
      }
      return server.AcceptConnection(s);
    });
    long err = 0;
    int rc = client.Connect("127.0.0.1", port.c_str(), err);
    return accepted.get() == 0 && rc == 0;
  }
};

// A standard TLS client on a raw socket, blocking, every wait bounded: what
// any TLS implementation puts on the wire.
struct RawTlsClient {
  SSL_CTX* ctx = PlainSslContext(false);
  SSL* ssl = nullptr;
  int fd;
  explicit RawTlsClient(int port) : fd(RawConnect(port)) {
    timeval t{static_cast<time_t>(std::chrono::seconds(kWait).count()), 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
    ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), "127.0.0.1");
  }
  ~RawTlsClient() {
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    if (fd >= 0) ::close(fd);
  }
  bool Handshake() { return SSL_connect(ssl) == 1; }
  bool Write(const std::string& bytes) {
    size_t n = 0;
    return SSL_write_ex(ssl, bytes.data(), bytes.size(), &n) == 1 && n == bytes.size();
  }
  std::string Read(size_t n) {
    std::string out(n, '\0');
    size_t got = 0;
    while (got < n) {
      size_t r = 0;
      if (SSL_read_ex(ssl, &out[got], n - got, &r) != 1) break;
      got += r;
    }
    out.resize(got);
    return out;
  }
  // The SSL error of the next read: SSL_ERROR_ZERO_RETURN after close_notify.
  int NextReadError() {
    char c;
    size_t r = 0;
    int rc = SSL_read_ex(ssl, &c, 1, &r);
    int e = SSL_get_error(ssl, rc);
    ERR_clear_error();
    return e;
  }
};

// A link accepted from a raw TLS client.
struct RawPeer {
  struct Echo : Recorder {
    void Receive(unsigned n, const char* d, Link* l) override {
      Recorder::Receive(n, d, l);
      l->Send(d, n);
    }
  } rec;
  os_tcp_connection_server listener{os_socket_address(os_ip_address("127.0.0.1"), 0), 4};
  Link link;
  std::unique_ptr<RawTlsClient> peer;
  bool Open(std::function<void(Link&)> setUp = nullptr) {
    peer.reset(new RawTlsClient(listener.socket_address().port()));
    os_tcp_socket* s = new os_tcp_socket(0);
    if (!listener.accept(*s)) {
      delete s;
      return false;
    }
    link.SetCallbackObject(rec);
    link.SetTls(ServerTls(Pki().server));
    if (setUp) setUp(link);
    return link.AcceptConnection(s) == 0 && peer->Handshake();
  }
};

}  // namespace

TEST(TlsContextBuild, FilesOrPemAndWhatIsWrongWithThem) {
  const TestPki& k = Pki();
  const struct {
    const char* what;
    bool server;
    std::function<void(TlsSettings&)> set;
    const char* error;  // null: builds
  } cases[] = {
      {"server from PEM", true,
       [&](TlsSettings& s) {
         s.certificatePem = k.server.cert;
         s.privateKeyPem = k.server.key;
       },
       nullptr},
      {"server from files, clients need certificates", true,
       [&](TlsSettings& s) {
         s.certificateFile = k.server.certFile;
         s.privateKeyFile = k.server.keyFile;
         s.caFile = k.caFile;
         s.requirePeerCertificate = true;
       },
       nullptr},
      {"client from files with a certificate", false,
       [&](TlsSettings& s) {
         s.caFile = k.caFile;
         s.certificateFile = k.client.certFile;
         s.privateKeyFile = k.client.keyFile;
       },
       nullptr},
      {"client trusting the system's authorities", false, [](TlsSettings&) {}, nullptr},
      {"server without a certificate", true, [](TlsSettings&) {},
       "a server needs a certificate and its private key"},
      {"a file that is not there", true,
       [&](TlsSettings& s) {
         s.certificateFile = k.dir + "/none.crt";
         s.privateKeyFile = k.server.keyFile;
       },
       "none.crt': No such file or directory"},
      {"the key of another certificate", true,
       [&](TlsSettings& s) {
         s.certificatePem = k.server.cert;
         s.privateKeyPem = k.client.key;
       },
       "the private key does not match the certificate"},
      {"a key file that holds a certificate", true,
       [&](TlsSettings& s) {
         s.certificateFile = k.server.certFile;
         s.privateKeyFile = k.server.certFile;
       },
       "privateKeyFile '"},
      {"bad PEM", true,
       [&](TlsSettings& s) {
         s.certificatePem = "-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n";
         s.privateKeyPem = k.server.key;
       },
       "certificatePem: no certificate in the text"},
      {"authority text without a certificate", false, [](TlsSettings& s) { s.caPem = "hello"; },
       "caPem: no certificate in the text"},
      {"clients' certificates without an authority", true,
       [&](TlsSettings& s) {
         s.certificatePem = k.server.cert;
         s.privateKeyPem = k.server.key;
         s.requirePeerCertificate = true;
       },
       "requirePeerCertificate needs the authority"},
      {"a certificate without its key", false,
       [&](TlsSettings& s) { s.certificatePem = k.client.cert; },
       "the certificate has no private key"},
  };
  for (const auto& c : cases) {
    TlsSettings s;
    c.set(s);
    std::string error = "stale";
    std::shared_ptr<TlsContext> tls =
        c.server ? TlsContext::Server(s, error) : TlsContext::Client(s, error);
    if (!c.error) {
      ASSERT_TRUE(tls) << c.what << ": " << error;
      EXPECT_EQ(error, "") << c.what;
      EXPECT_EQ(tls->IsServer(), c.server) << c.what;
    } else {
      EXPECT_FALSE(tls) << c.what;
      EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
    }
  }
}

// Random sizes up to 200 KiB (log-uniform, so every size class is hit) both
// ways at once over mutual TLS; every byte and the order checked on arrival.
TEST(TlsLink, FramesBothWaysArriveIntactAndInOrder) {
#if defined(__SANITIZE_THREAD__)
  const uint64_t kFrames = 4000;
#else
  const uint64_t kFrames = 10000;
#endif
  const size_t kMax = 200 * 1024;
  auto fill = [](uint64_t seq, size_t n, char* out) {
    uint64_t x = seq * 0x9E3779B97F4A7C15ull + n;
    for (size_t i = 0; i < n; ++i) {
      if (i % 8 == 0) x = x * 6364136223846793005ull + 1442695040888963407ull;
      out[i] = static_cast<char>(x >> (8 * (i % 8)));
    }
  };
  struct Checker : LinkCBClass {
    std::function<void(uint64_t, size_t, char*)> fill;
    std::mutex mu;
    std::condition_variable cv;
    uint64_t next = 0;
    int bad = 0;
    std::string expect;
    void Receive(unsigned n, const char* d, Link*) override {
      uint64_t seq = 0;
      if (n >= 8) std::memcpy(&seq, d, 8);
      expect.resize(n);
      if (n > 8) fill(seq, n - 8, &expect[8]);
      std::lock_guard<std::mutex> g(mu);
      if (n < 8 || seq != next || std::memcmp(d + 8, expect.data() + 8, n - 8) != 0) ++bad;
      ++next;
      cv.notify_all();
    }
    void Exception(int, Link*) override {}
  } atServer, atClient;
  atServer.fill = atClient.fill = fill;
  LinkPair p;
  ASSERT_TRUE(p.Open(ClientTls(&Pki().client), ServerTls(Pki().server, true), atClient, atServer));
  EXPECT_EQ(p.client.PeerCertificateSubject(), kServerSubject);

  auto sender = [&](Link& from, Checker& peer, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::string frame;
    for (uint64_t seq = 0; seq < kFrames; ++seq) {
      size_t n = static_cast<size_t>(std::exp(std::uniform_real_distribution<double>(
                     0, std::log(static_cast<double>(kMax) + 1))(rng))) -
                 1;
      n = std::max<size_t>(n, 8);
      frame.resize(n);
      std::memcpy(&frame[0], &seq, 8);
      fill(seq, n - 8, &frame[8]);
      if (from.Send(frame.data(), static_cast<unsigned>(n)) != 0) return false;
      std::unique_lock<std::mutex> g(peer.mu);  // at most 256 frames in flight
      if (!peer.cv.wait_for(g, kWait, [&] { return seq < peer.next + 256; })) return false;
    }
    return true;
  };
  auto up = std::async(std::launch::async, sender, std::ref(p.client), std::ref(atServer), 1u);
  auto down = std::async(std::launch::async, sender, std::ref(p.server), std::ref(atClient), 2u);
  ASSERT_TRUE(up.get());
  ASSERT_TRUE(down.get());
  for (Checker* c : {&atServer, &atClient}) {
    std::unique_lock<std::mutex> g(c->mu);
    ASSERT_TRUE(c->cv.wait_for(g, kWait, [&] { return c->next == kFrames; }));
    EXPECT_EQ(c->bad, 0);
  }
  // The server's handshake ended before the first frame reached it.
  EXPECT_EQ(p.server.PeerCertificateSubject(), kClientSubject);
  p.client.DisConnect();
  p.server.DisConnect();
}

// The client checks the server's chain and that the certificate is for the
// host it dialled (addresses for an address, DNS names for a name) or for
// expectedPeerName; the server sees the refusal as a failed handshake.
TEST(TlsLink, WhatTheClientVerifies) {
  const TestPki& k = Pki();
  const struct {
    const char* host;
    const TlsPair* serverId;
    std::string name;
    bool verify;
    const char* failure;  // null: connects
  } cases[] = {
      {"127.0.0.1", &k.server, "", true, nullptr},
      {"::1", &k.server, "", true, nullptr},
      {"localhost", &k.server, "", true, nullptr},
      {"127.0.0.1", &k.server, "localhost", true, nullptr},
      {"127.0.0.2", &k.server, "", true, "wrong name: the peer's certificate is not for 127.0.0.2"},
      {"127.0.0.1", &k.server, "other.example", true, "wrong name"},
      {"127.0.0.1", &k.expired, "", true, "verification failed: certificate has expired"},
      {"127.0.0.1", &k.otherServer, "", true, "verification failed: unable to get local issuer"},
      {"127.0.0.1", &k.otherServer, "", false, nullptr},
  };
  for (const auto& c : cases) {
    if (std::strcmp(c.host, "::1") == 0 && !HasIPv6Loopback()) continue;
    SCOPED_TRACE(std::string(c.host) + " " + c.name + " " + (c.failure ? c.failure : "ok"));
    EchoServer server(ServerTls(*c.serverId));
    TraceCapture trace({"Link"});
    TlsSettings s;
    s.caPem = k.ca.cert;
    s.expectedPeerName = c.name;
    s.verifyPeer = c.verify;
    std::string error;
    Client client;
    int rc = client.Connect(TlsContext::Client(s, error), server.Port(), c.host);
    if (!c.failure) {
      ASSERT_EQ(rc, 0);
      EXPECT_TRUE(client.Echoes("ping"));
      EXPECT_EQ(client.link.PeerCertificateSubject(),
                c.serverId == &k.server ? kServerSubject : "CN=hx other server,O=hx_net tests");
      client.link.DisConnect();
      ASSERT_TRUE(server.WaitEnds(1));
      EXPECT_EQ(server.Ends()[0].reason, LinkEndReason::PeerClosed);
      continue;
    }
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(client.error, EPROTO);
    EXPECT_EQ(trace.Count(std::string(" - TLS handshake failed: ") + c.failure, 2), 1);
    EXPECT_EQ(client.rec.Ends(), 0);  // never opened
    ASSERT_TRUE(server.WaitEnds(1));
    EXPECT_EQ(server.Ends()[0].reason, LinkEndReason::HandshakeFailed);
    EXPECT_TRUE(trace.WaitFor("TLS handshake failed: refused by the peer"));
  }
}

// A name goes to the server as SNI, an address does not.
TEST(TlsLink, ServerNameSentForNamesOnly) {
  SSL_CTX* ctx = PlainSslContext(true);
  RawListener listener;
  for (const char* host : {"localhost", "127.0.0.1"}) {
    std::future<std::string> seen = std::async(std::launch::async, [&] {
      int fd = listener.Accept();
      SSL* ssl = SSL_new(ctx);
      SSL_set_fd(ssl, fd);
      std::string name = "(no handshake)";
      if (SSL_accept(ssl) == 1) {
        const char* sni = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
        name = sni ? sni : "";
        SSL_shutdown(ssl);
      }
      SSL_free(ssl);
      ::close(fd);
      return name;
    });
    Client client;
    EXPECT_EQ(client.Connect(ClientTls(), listener.PortText(), host), 0) << host;
    EXPECT_EQ(seen.get(), host == std::string("localhost") ? "localhost" : "") << host;
    client.link.DisConnect();
  }
  SSL_CTX_free(ctx);
}

// Mutual TLS: only a certificate the server's authority signed is served,
// and the session learns who it serves. A TLS 1.3 client learns of the
// refusal after Connect, as its link's first read.
TEST(TlsLink, MutualTlsServesOnlyCertificatesOfItsAuthority) {
  const TestPki& k = Pki();
  const struct {
    const TlsPair* id;
    const char* serverSaw;  // null: served
  } cases[] = {{&k.client, nullptr},
               {nullptr, "verification failed: the peer sent no certificate"},
               {&k.otherClient, "verification failed: unable to get local issuer certificate"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.serverSaw ? c.serverSaw : "served");
    EchoServer server(ServerTls(k.server, true));
    TraceCapture trace({"Link"});
    Client client;
    ASSERT_EQ(client.Connect(ClientTls(c.id), server.Port()), 0);
    if (!c.serverSaw) {
      EXPECT_TRUE(client.Echoes("who am I"));
      client.link.DisConnect();
      ASSERT_TRUE(server.WaitEnds(1));
      EXPECT_EQ(server.Ends()[0].subject, kClientSubject);
      continue;
    }
    ASSERT_TRUE(client.rec.WaitEnd());
    EXPECT_EQ(client.link.EndReason(), LinkEndReason::HandshakeFailed);
    EXPECT_TRUE(trace.WaitFor("TLS handshake failed: refused by the peer"));
    ASSERT_TRUE(server.WaitEnds(1));
    EXPECT_EQ(server.Ends()[0].reason, LinkEndReason::HandshakeFailed);
    EXPECT_EQ(trace.Count(std::string("TLS handshake failed: ") + c.serverSaw), 1);
    client.link.DisConnect();
    EXPECT_EQ(client.rec.Ends(), 1);
  }
}

// A clear client at a TLS server and a TLS client at a clear server both end
// well within the handshake time-out, and a link beside them goes on.
TEST(TlsLink, ClearAndTlsPeersThatMeetEndQuicklyWithoutHarmToOthers) {
  const long kHandshakeMs = 20000;
  TraceCapture trace({"Link"});
  {
    EchoServer server(ServerTls(Pki().server, false, kHandshakeMs));
    Client good, clear;
    ASSERT_EQ(good.Connect(ClientTls(), server.Port()), 0);
    auto t0 = Clock::now();
    ASSERT_EQ(clear.Connect(nullptr, server.Port()), 0);
    ASSERT_EQ(clear.link.Send("hello", 5), 0);
    ASSERT_TRUE(server.WaitEnds(1));
    EXPECT_EQ(server.Ends()[0].reason, LinkEndReason::HandshakeFailed);
    EXPECT_EQ(trace.Count("TLS handshake failed: peer spoke clear text", 2), 1);
    ASSERT_TRUE(clear.rec.WaitEnd());
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(kHandshakeMs / 2));
    EXPECT_TRUE(good.Echoes("still here"));
  }
  {
    EchoServer server(nullptr);
    Client good, tls;
    ASSERT_EQ(good.Connect(nullptr, server.Port()), 0);
    auto t0 = Clock::now();
    EXPECT_EQ(tls.Connect(ClientTls(nullptr, "", kHandshakeMs), server.Port()), -1);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(kHandshakeMs / 2));
    EXPECT_EQ(trace.Count("TLS handshake failed: peer closed the connection", 2), 1);
    EXPECT_NE(tls.error, ETIMEDOUT);
    ASSERT_TRUE(server.WaitEnds(1));
    EXPECT_EQ(server.Ends()[0].reason, LinkEndReason::BadHeader);
    EXPECT_TRUE(good.Echoes("still here"));
  }
}

// A peer that says nothing costs its link the handshake time-out and no
// more; meanwhile the server serves others. A client that hears nothing
// gives up after its own time-out with ETIMEDOUT.
TEST(TlsLink, SilentPeersRunOutOfTime) {
  const long kHandshakeMs = 300;
  TraceCapture trace({"Link"});
  EchoServer server(ServerTls(Pki().server, false, kHandshakeMs));
  auto t0 = Clock::now();
  RawClient silent(std::stoi(server.Port()));
  Client good;
  ASSERT_EQ(good.Connect(ClientTls(), server.Port()), 0);
  EXPECT_TRUE(good.Echoes("served meanwhile"));
  ASSERT_TRUE(server.WaitEnds(1));
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(kHandshakeMs));
  EXPECT_EQ(server.Ends()[0].reason, LinkEndReason::HandshakeFailed);
  EXPECT_EQ(trace.Count("TLS handshake failed: handshake timed out after 300 ms", 2), 1);
  EXPECT_TRUE(WaitPeerClose(silent.fd));

  RawListener mute;  // accepts in the kernel, never answers
  Client client;
  t0 = Clock::now();
  EXPECT_EQ(client.Connect(ClientTls(nullptr, "", kHandshakeMs), mute.PortText()), -1);
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(kHandshakeMs));
  EXPECT_EQ(client.error, ETIMEDOUT);
  EXPECT_EQ(trace.Count("TLS handshake failed: handshake timed out after 300 ms", 2), 2);
}

// Closing a link, or stopping its server, while its handshake waits for a
// silent peer ends it at once: Exception once, as a local close.
TEST(TlsLink, CloseDuringTheHandshake) {
  const long kHandshakeMs = 60000;
  {
    os_tcp_connection_server listener(os_socket_address(os_ip_address("127.0.0.1"), 0), 4);
    RawClient silent(listener.socket_address().port());
    os_tcp_socket* s = new os_tcp_socket(0);
    ASSERT_TRUE(listener.accept(*s));
    Recorder rec;
    Link link;
    link.SetCallbackObject(rec);
    link.SetTls(ServerTls(Pki().server, false, kHandshakeMs));
    ASSERT_EQ(link.AcceptConnection(s), 0);
    ASSERT_EQ(link.Send("queued before the handshake", 27), 0);
    auto t0 = Clock::now();
    link.DisConnect();
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(kHandshakeMs / 4));
    EXPECT_EQ(rec.Ends(), 1);
    EXPECT_EQ(link.EndReason(), LinkEndReason::LocalClose);
    // Nothing was written: the peer sees the end alone.
    pollfd ready{silent.fd, POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, static_cast<int>(std::chrono::milliseconds(kWait).count())), 1);
    char c;
    EXPECT_EQ(::recv(silent.fd, &c, 1, 0), 0);
  }
  {
    auto server = std::make_unique<EchoServer>(ServerTls(Pki().server, false, kHandshakeMs));
    RawClient silent(std::stoi(server->Port()));
    Client good;
    ASSERT_EQ(good.Connect(ClientTls(), server->Port()), 0);  // accepted after the silent one
    auto t0 = Clock::now();
    server->Stop();
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(kHandshakeMs / 4));
    EXPECT_EQ(server->Ends().size(), 2u);
    ASSERT_TRUE(good.rec.WaitEnd());
    EXPECT_EQ(good.link.EndReason(), LinkEndReason::PeerClosed);
  }
}

// Every way a TLS link pair can end: each side reports once, the other side
// sees the end, and nothing hangs.
TEST(TlsLink, EveryShutdownOrder) {
  struct Closer : Recorder {
    void Receive(unsigned n, const char* d, Link* l) override {
      Recorder::Receive(n, d, l);
      if (std::string(d, n) == "bye") l->DisConnect();
    }
  };
  const struct {
    const char* what;
    std::function<void(LinkPair&)> close;
    LinkEndReason client, server;
  } cases[] = {
      {"client DisConnect", [](LinkPair& p) { p.client.DisConnect(); }, LinkEndReason::LocalClose,
       LinkEndReason::PeerClosed},
      {"server DisConnect", [](LinkPair& p) { p.server.DisConnect(); }, LinkEndReason::PeerClosed,
       LinkEndReason::LocalClose},
      {"DisConnect inside Receive", [](LinkPair& p) { p.client.Send("bye", 3); },
       LinkEndReason::PeerClosed, LinkEndReason::LocalClose},
      {"postCloseEvent then DisConnect",
       [](LinkPair& p) {
         p.client.postCloseEvent();
         p.client.DisConnect();
       },
       LinkEndReason::LocalClose, LinkEndReason::PeerClosed},
      {"both at once",
       [](LinkPair& p) {
         std::thread t([&] { p.client.DisConnect(); });
         p.server.DisConnect();
         t.join();
       },
       LinkEndReason::None, LinkEndReason::None},  // either end may note the other's first
      {"server closes while the client writes 16 MiB",
       [](LinkPair& p) {
         std::string big(16 << 20, 'w');
         p.client.Send(big.data(), static_cast<unsigned>(big.size()));
         p.server.DisConnect();
       },
       LinkEndReason::None, LinkEndReason::LocalClose},
      {"an open client destroyed", [](LinkPair& p) { p.clientOwner.reset(); }, LinkEndReason::None,
       LinkEndReason::PeerClosed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Recorder atClient;
    Closer atServer;
    auto p = std::make_unique<LinkPair>();
    ASSERT_TRUE(p->Open(ClientTls(), ServerTls(Pki().server), atClient, atServer));
    c.close(*p);
    ASSERT_TRUE(atClient.WaitEnd());
    ASSERT_TRUE(atServer.WaitEnd());
    if (c.client != LinkEndReason::None) {
      EXPECT_EQ(p->client.EndReason(), c.client);
    }
    if (c.server != LinkEndReason::None) {
      EXPECT_EQ(p->server.EndReason(), c.server);
    }
    if (p->clientOwner) p->client.DisConnect();
    p->server.DisConnect();
    EXPECT_EQ(atClient.Ends(), 1);
    EXPECT_EQ(atServer.Ends(), 1);
    EXPECT_FALSE(atClient.receiveAfterEnd || atServer.receiveAfterEnd);
  }
}

// What a standard TLS peer sees and does: the frames inside TLS are the
// clear frames byte for byte; an end of stream with or without close_notify
// counts as a clear link's, between frames or inside one; a local close
// sends close_notify; a started frame is under the frame time-out.
TEST(TlsLink, AStandardTlsPeer) {
  const struct {
    const char* what;
    std::function<void(RawTlsClient&)> act;
    LinkEndReason reason;
    int unclean;  // trace lines of an end without close_notify
  } cases[] = {
      {"close_notify between frames",
       [](RawTlsClient& t) {
         SSL_shutdown(t.ssl);
         ::shutdown(t.fd, SHUT_WR);
       },
       LinkEndReason::PeerClosed, 0},
      {"end of stream without close_notify between frames",
       [](RawTlsClient& t) { ::shutdown(t.fd, SHUT_WR); }, LinkEndReason::PeerClosed, 1},
      {"end of stream without close_notify inside a frame",
       [](RawTlsClient& t) {
         t.Write(Frame("cut short").substr(0, 14));
         ::shutdown(t.fd, SHUT_WR);
       },
       LinkEndReason::NetworkError, 1},
      {"clear bytes after the handshake", [](RawTlsClient& t) { WriteAll(t.fd, Frame("clear")); },
       LinkEndReason::NetworkError, 0},
      {"a frame that stops coming",
       [](RawTlsClient& t) { t.Write(Frame("never finished").substr(0, 12)); },
       LinkEndReason::FrameTimeout, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TraceCapture trace({"Link"});
    RawPeer p;
    ASSERT_TRUE(p.Open([](Link& l) { l.SetFrameTimeout(200); }));
    ASSERT_TRUE(p.peer->Write(Frame("ping")));
    EXPECT_EQ(p.peer->Read(14), Frame("ping"));
    c.act(*p.peer);
    ASSERT_TRUE(p.rec.WaitEnd());
    EXPECT_EQ(p.link.EndReason(), c.reason);
    EXPECT_EQ(p.rec.Frames(), std::vector<std::string>{"ping"});
    EXPECT_EQ(trace.Count("the TLS peer ended without close_notify.", 4), c.unclean);
  }
  RawPeer p;
  ASSERT_TRUE(p.Open());
  ASSERT_TRUE(p.peer->Write(Frame("ping")));
  EXPECT_EQ(p.peer->Read(14), Frame("ping"));
  p.link.DisConnect();
  EXPECT_EQ(p.peer->NextReadError(), SSL_ERROR_ZERO_RETURN);
}

// Flush over TLS counts frames once TLS has put them on the socket, so a
// Flush then DisConnect delivers everything to a peer that reads slowly.
TEST(TlsLink, FlushThenDisConnectDeliversEverything) {
  struct Slow : Recorder {
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    void Receive(unsigned n, const char* d, Link* l) override {
      gate.wait_for(kWait);
      Recorder::Receive(n, d, l);
    }
  } atServer;
  Recorder atClient;
  LinkPair p;
  ASSERT_TRUE(p.Open(ClientTls(), ServerTls(Pki().server), atClient, atServer));
  const int kFrames = 96;  // 24 MiB: more than the socket buffers hold
  const std::string chunk(256 * 1024, 'f');
  for (int i = 0; i < kFrames; ++i)
    ASSERT_EQ(p.client.Send(chunk.data(), static_cast<unsigned>(chunk.size())), 0);
  EXPECT_FALSE(p.client.Flush(100));  // the peer holds most of it back
  atServer.release.set_value();
  EXPECT_TRUE(p.client.Flush(std::chrono::milliseconds(kWait).count()));
  EXPECT_EQ(p.client.QueueSize(), 0u);
  p.client.DisConnect();
  ASSERT_TRUE(atServer.WaitFrames(kFrames));
  ASSERT_TRUE(atServer.WaitEnd());
  EXPECT_EQ(p.server.EndReason(), LinkEndReason::PeerClosed);
  p.server.DisConnect();
}
