// Certificates made once per test program (P-256), as PEM text and files,
// and a server of the library's own classes.
#pragma once

#include <openssl/ssl.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hx_net/AcceptManager.h"
#include "hx_net/ServerLink.h"
#include "hx_net/Tls.h"
#include "tests/support/test_support.h"

namespace hxtest {

struct TlsPair {
  std::string cert, key;          // PEM text
  std::string certFile, keyFile;  // the same in files
};

struct TestPki {
  std::string dir;
  TlsPair ca, server, client, expired, otherCa, otherServer, otherClient;
};

// Made by the openssl command, as users make theirs; an authority when
// there is no issuer. The expired one ended a day before it began.
inline const TestPki& Pki() {
  static const TestPki pki = [] {
    TestPki t;
    char dir[] = "/tmp/hx_tls_XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    t.dir = dir;
    const std::string script = "cd " + t.dir + R"( && set -e && exec 2>/dev/null
      make() {  # NAME CN [ISSUER DAYS [SAN]]
        key="req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout $1.key"
        if [ -z "${3:-}" ]; then openssl $key -x509 -days 3650 -subj "/O=hx_net tests/CN=$2" -out $1.crt
        else printf 'basicConstraints=critical,CA:FALSE\n%s\n' "${5:+subjectAltName=$5}" >$1.ext
          openssl $key -subj "/O=hx_net tests/CN=$2" | openssl x509 -req -CA $3.crt -CAkey $3.key \
            -CAcreateserial -days $4 -extfile $1.ext -out $1.crt
        fi
      }
      names=IP:127.0.0.1,IP:::1,DNS:localhost
      make ca "hx test CA"
      make other-ca "hx other CA"
      make server "hx test server" ca 3650 $names
      make client "hx test client" ca 3650
      make expired "hx expired server" ca -1 $names
      make other-server "hx other server" other-ca 3650 $names
      make other-client "hx other client" other-ca 3650)";
    if (std::system(script.c_str()) != 0) std::abort();
    using Named = std::pair<TlsPair&, const char*>;
    for (auto [into, file] :
         {Named(t.ca, "ca"), Named(t.server, "server"), Named(t.client, "client"),
          Named(t.expired, "expired"), Named(t.otherCa, "other-ca"),
          Named(t.otherServer, "other-server"), Named(t.otherClient, "other-client")}) {
      into.certFile = t.dir + "/" + file + ".crt";
      into.keyFile = t.dir + "/" + file + ".key";
      for (auto [text, path] :
           {std::tie(into.cert, into.certFile), std::tie(into.key, into.keyFile)})
        text.assign(std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {});
    }
    return t;
  }();
  static const struct Cleanup {
    ~Cleanup() { std::filesystem::remove_all(pki.dir); }
  } cleanup;
  return pki;
}

// A plain OpenSSL context: a server with the server certificate, or a
// client that trusts the authority and verifies.
inline SSL_CTX* PlainSslContext(bool server) {
  SSL_CTX* ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
  if (server) {
    SSL_CTX_use_certificate_file(ctx, Pki().server.certFile.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(ctx, Pki().server.keyFile.c_str(), SSL_FILETYPE_PEM);
  } else {
    SSL_CTX_load_verify_locations(ctx, Pki().ca.certFile.c_str(), nullptr);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  }
  return ctx;
}

// Library contexts from the test certificates; null fails the test at its first use.
inline std::shared_ptr<TlsContext> ServerTls(const TlsPair& id, bool requireClient = false,
                                             long handshakeMs = 10000) {
  TlsSettings s;
  s.certificatePem = id.cert;
  s.privateKeyPem = id.key;
  if (requireClient) s.caPem = Pki().ca.cert;
  s.requirePeerCertificate = requireClient;
  s.handshakeTimeoutMs = handshakeMs;
  std::string error;
  return TlsContext::Server(s, error);
}

inline std::shared_ptr<TlsContext> ClientTls(const TlsPair* id = nullptr, long handshakeMs = 10000,
                                             const std::string& caPem = Pki().ca.cert,
                                             const std::string& name = "", bool verify = true) {
  TlsSettings s;
  s.caPem = caPem;
  s.expectedPeerName = name;
  s.verifyPeer = verify;
  if (id) s.certificatePem = id->cert, s.privateKeyPem = id->key;
  s.handshakeTimeoutMs = handshakeMs;
  std::string error;
  return TlsContext::Client(s, error);
}

// A server on every interface answering each frame with what `respond` gives
// (an echo without it; an empty payload closes); it counts the frames and
// notes how each link ended and whom it served.
class TestServer : public AcceptManagerCBClass {
 public:
  using Responder = std::function<std::vector<std::string>(const std::string& frame)>;
  struct End {
    LinkEndReason reason = LinkEndReason::None;
    std::string subject;
  };
  explicit TestServer(std::shared_ptr<TlsContext> tls = nullptr, Responder respond = nullptr)
      : m_Respond(std::move(respond)) {
    SetTls(std::move(tls));
    m_Server.SetCallbackObject(*this);
    port = std::to_string(m_Server.InitServer(0, nullptr, 10, -1));
  }
  ~TestServer() override { m_Server.StopServer(); }
  End First() {  // the end of the first link, waited for
    m_W.Wait([&] { return m_Ended; });
    return m_W.Locked([&] { return m_First; });
  }
  AcceptedLinkCBClass* CreateLinkCBObject() override { return new Session(*this); }
  std::string port;
  std::atomic<int> frames{0};

 private:
  struct Session : AcceptedLinkCBClass {
    explicit Session(TestServer& s) : server(s) {}
    void Receive(unsigned n, const char* d, Link* link) override {
      ++server.frames;
      auto out = server.m_Respond ? server.m_Respond(std::string(d, n))
                                  : std::vector<std::string>{std::string(d, n)};
      for (auto& f : out)
        f.empty() ? link->DisConnect() : (void)link->Send(f.data(), unsigned(f.size()));
    }
    void Exception(int, Link* link) override {
      End end{link->EndReason(), link->PeerCertificateSubject()};
      server.m_W.Locked([&] {  // the first alone: a long run ends many links
        if (!server.m_Ended) server.m_First = end, server.m_Ended = true;
      });
    }
    bool DeleteWithLink() override { return true; }
    TestServer& server;
  };
  Responder m_Respond;
  Waitable m_W;
  End m_First;
  bool m_Ended = false;
  ServerLink m_Server;
};

}  // namespace hxtest
