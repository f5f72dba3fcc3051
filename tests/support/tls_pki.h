// Certificates made at test time, in process, with OpenSSL: an authority, a
// server certificate for 127.0.0.1, ::1 and localhost, a client certificate,
// an expired server certificate, and a second authority with a server and a
// client certificate of its own. Made once per test program (P-256 keys, so
// it takes milliseconds), as PEM text and as files in a temporary folder;
// library contexts and plain OpenSSL ones made from them.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

#include "hx_net/Tls.h"

namespace hxtest {

struct TlsPair {
  std::string cert, key;          // PEM text
  std::string certFile, keyFile;  // the same in files
};

struct TestPki {
  std::string dir;
  TlsPair ca, server, client, expired, otherCa, otherServer, otherClient;
  std::string caFile, otherCaFile;
};

namespace pki_detail {

inline std::string Pem(X509* x) {
  BIO* b = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(b, x);
  char* p = nullptr;
  long n = BIO_get_mem_data(b, &p);
  std::string s(p, static_cast<size_t>(n));
  BIO_free(b);
  return s;
}

inline std::string Pem(EVP_PKEY* k) {
  BIO* b = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(b, k, nullptr, nullptr, 0, nullptr, nullptr);
  char* p = nullptr;
  long n = BIO_get_mem_data(b, &p);
  std::string s(p, static_cast<size_t>(n));
  BIO_free(b);
  return s;
}

inline void AddExtension(X509* x, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, x, nullptr, nullptr, 0);
  X509_EXTENSION* e = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  X509_add_ext(x, e, -1);
  X509_EXTENSION_free(e);
}

struct Made {
  X509* cert;
  EVP_PKEY* key;
};

// A certificate for a fresh key, signed by `issuer` (self-signed when null),
// valid from `fromDays` to `toDays` days from now.
inline Made Make(const char* cn, const Made* issuer, bool ca, const char* san, long fromDays,
                 long toDays) {
  static long serial = 1;
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), serial++);
  X509_gmtime_adj(X509_getm_notBefore(x), fromDays * 86400);
  X509_gmtime_adj(X509_getm_notAfter(x), toDays * 86400);
  X509_set_pubkey(x, key);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("hx_net tests"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn),
                             -1, -1, 0);
  X509* signer = issuer ? issuer->cert : x;
  X509_set_issuer_name(x, X509_get_subject_name(signer));
  AddExtension(x, signer, NID_basic_constraints, ca ? "critical,CA:TRUE" : "critical,CA:FALSE");
  AddExtension(x, signer, NID_key_usage,
               ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature");
  AddExtension(x, signer, NID_subject_key_identifier, "hash");
  if (!ca) AddExtension(x, signer, NID_ext_key_usage, "serverAuth,clientAuth");
  if (san) AddExtension(x, signer, NID_subject_alt_name, san);
  X509_sign(x, issuer ? issuer->key : key, EVP_sha256());
  return Made{x, key};
}

inline TlsPair Keep(const Made& m, const std::string& dir, const std::string& name) {
  TlsPair p{Pem(m.cert), Pem(m.key), dir + "/" + name + ".crt", dir + "/" + name + ".key"};
  std::ofstream(p.certFile) << p.cert;
  std::ofstream(p.keyFile) << p.key;
  return p;
}

}  // namespace pki_detail

inline const TestPki& Pki() {
  static const TestPki* pki = [] {
    using namespace pki_detail;
    auto* t = new TestPki;
    char dir[] = "/tmp/hx_tls_XXXXXX";
    t->dir = mkdtemp(dir) ? dir : "/tmp";
    const char* names = "IP:127.0.0.1,IP:::1,DNS:localhost";
    Made ca = Make("hx test CA", nullptr, true, nullptr, -1, 3650);
    Made other = Make("hx other CA", nullptr, true, nullptr, -1, 3650);
    Made made[] = {ca,
                   Make("hx test server", &ca, false, names, -1, 3650),
                   Make("hx test client", &ca, false, nullptr, -1, 3650),
                   Make("hx expired server", &ca, false, names, -30, -1),
                   other,
                   Make("hx other server", &other, false, names, -1, 3650),
                   Make("hx other client", &other, false, nullptr, -1, 3650)};
    TlsPair* into[] = {&t->ca,      &t->server,      &t->client,     &t->expired,
                       &t->otherCa, &t->otherServer, &t->otherClient};
    const char* files[] = {"ca",       "server",       "client",      "expired",
                           "other-ca", "other-server", "other-client"};
    for (int i = 0; i < 7; ++i) *into[i] = Keep(made[i], t->dir, files[i]);
    for (Made& m : made) {
      X509_free(m.cert);
      EVP_PKEY_free(m.key);
    }
    t->caFile = t->ca.certFile;
    t->otherCaFile = t->otherCa.certFile;
    // Removed when the test program ends.
    static const std::string kDir = t->dir;
    std::atexit([] {
      std::string cmd = "rm -rf '" + kDir + "'";
      if (std::system(cmd.c_str()) != 0) {
      }
    });
    return t;
  }();
  return *pki;
}

// A plain OpenSSL context with the test certificates: a server with the
// server certificate, or a client that trusts the authority and verifies.
inline SSL_CTX* PlainSslContext(bool server) {
  SSL_CTX* ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
  const std::string& pem = server ? Pki().server.cert : Pki().ca.cert;
  BIO* b = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  X509* cert = PEM_read_bio_X509(b, nullptr, nullptr, nullptr);
  BIO_free(b);
  if (server) {
    b = BIO_new_mem_buf(Pki().server.key.data(), static_cast<int>(Pki().server.key.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(b, nullptr, nullptr, nullptr);
    BIO_free(b);
    SSL_CTX_use_certificate(ctx, cert);
    SSL_CTX_use_PrivateKey(ctx, key);
    EVP_PKEY_free(key);
  } else {
    X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx), cert);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  }
  X509_free(cert);
  return ctx;
}

// Contexts from the test certificates (PEM text); null fails the test at its
// first use, and `error` says why.
inline std::shared_ptr<TlsContext> ServerTls(const TlsPair& id, bool requireClient = false,
                                             long handshakeMs = 10000) {
  TlsSettings s;
  s.certificatePem = id.cert;
  s.privateKeyPem = id.key;
  if (requireClient) {
    s.caPem = Pki().ca.cert;
    s.requirePeerCertificate = true;
  }
  s.handshakeTimeoutMs = handshakeMs;
  std::string error;
  return TlsContext::Server(s, error);
}

inline std::shared_ptr<TlsContext> ClientTls(const TlsPair* id = nullptr,
                                             const std::string& name = "", long handshakeMs = 10000,
                                             const std::string& caPem = Pki().ca.cert) {
  TlsSettings s;
  s.caPem = caPem;
  if (id) {
    s.certificatePem = id->cert;
    s.privateKeyPem = id->key;
  }
  s.expectedPeerName = name;
  s.handshakeTimeoutMs = handshakeMs;
  std::string error;
  return TlsContext::Client(s, error);
}

}  // namespace hxtest
