// Certificates made once per test program, in process (P-256, milliseconds),
// as PEM text and files, and a server of the library's own classes.
#pragma once

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
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

namespace pki_detail {

struct Made {
  X509* cert;
  EVP_PKEY* key;
};

// A certificate for a fresh key, signed by `issuer`, or an authority when
// there is none; valid from `fromDays` to `toDays` days from now.
inline Made Make(const char* cn, const Made* issuer, const char* san = nullptr, long fromDays = -1,
                 long toDays = 3650) {
  static long serial = 1;
  Made m{X509_new(), EVP_EC_gen("P-256")};
  X509_set_version(m.cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(m.cert), serial++);
  X509_gmtime_adj(X509_getm_notBefore(m.cert), fromDays * 86400);
  X509_gmtime_adj(X509_getm_notAfter(m.cert), toDays * 86400);
  X509_set_pubkey(m.cert, m.key);
  for (auto [field, value] : {std::make_pair("O", "hx_net tests"), std::make_pair("CN", cn)})
    X509_NAME_add_entry_by_txt(X509_get_subject_name(m.cert), field, MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(value), -1, -1, 0);
  const Made& signer = issuer ? *issuer : m;
  X509_set_issuer_name(m.cert, X509_get_subject_name(signer.cert));
  std::vector<std::pair<int, const char*>> ext = {
      {NID_basic_constraints, issuer ? "critical,CA:FALSE" : "critical,CA:TRUE"}};
  if (san) ext.emplace_back(NID_subject_alt_name, san);
  for (auto [nid, value] : ext) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, signer.cert, m.cert, nullptr, nullptr, 0);
    X509_EXTENSION* e = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    X509_add_ext(m.cert, e, -1);
    X509_EXTENSION_free(e);
  }
  X509_sign(m.cert, signer.key, EVP_sha256());
  return m;
}

template <class Write>
std::string Pem(Write write) {
  BIO* b = BIO_new(BIO_s_mem());
  write(b);
  char* p = nullptr;
  long n = BIO_get_mem_data(b, &p);
  std::string s(p, static_cast<size_t>(n));
  BIO_free(b);
  return s;
}

}  // namespace pki_detail

inline const TestPki& Pki() {
  static const TestPki pki = [] {
    using namespace pki_detail;
    TestPki t;
    char dir[] = "/tmp/hx_tls_XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    t.dir = dir;
    const char* names = "IP:127.0.0.1,IP:::1,DNS:localhost";
    Made ca = Make("hx test CA", nullptr), other = Make("hx other CA", nullptr);
    const struct {
      TlsPair& into;
      const char* file;
      Made m;
    } made[] = {{t.ca, "ca", ca},
                {t.server, "server", Make("hx test server", &ca, names)},
                {t.client, "client", Make("hx test client", &ca)},
                {t.expired, "expired", Make("hx expired server", &ca, names, -30, -1)},
                {t.otherCa, "other-ca", other},
                {t.otherServer, "other-server", Make("hx other server", &other, names)},
                {t.otherClient, "other-client", Make("hx other client", &other)}};
    for (const auto& [into, file, m] : made) {
      into.cert = Pem([&](BIO* b) { PEM_write_bio_X509(b, m.cert); });
      into.key = Pem([&](BIO* b) { PEM_write_bio_PrivateKey(b, m.key, 0, 0, 0, 0, 0); });
      into.certFile = t.dir + "/" + file + ".crt";
      into.keyFile = t.dir + "/" + file + ".key";
      std::ofstream(into.certFile) << into.cert;
      std::ofstream(into.keyFile) << into.key;
      X509_free(m.cert);
      EVP_PKEY_free(m.key);
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
    m_W.Wait([&] { return !m_Ends.empty(); });
    return m_W.Locked([&] { return m_Ends.empty() ? End{} : m_Ends[0]; });
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
      server.m_W.Locked([&] { server.m_Ends.push_back(end); });
    }
    bool DeleteWithLink() override { return true; }
    TestServer& server;
  };
  Responder m_Respond;
  Waitable m_W;
  std::vector<End> m_Ends;
  ServerLink m_Server;
};

}  // namespace hxtest
