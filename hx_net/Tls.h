// Public header: TLS for links, servers and CTL requests.
//
// TLS is opt-in: a Link, an accept manager or a CTL request given a
// TlsContext carries its frames inside TLS, byte for byte the frames it would
// send in clear; without one nothing changes.
//
// What is verified by default:
//  - a client verifies the server's certificate chain against caFile/caPem
//    (the system's trusted authorities when neither is given), and that the
//    certificate is for the host it connected to: its IP addresses when the
//    host is an IP literal (no server name, SNI, is sent then), its DNS names
//    otherwise (the name is sent as SNI). expectedPeerName names another
//    peer; verifyPeer = false turns all of it off;
//  - a server asks for no client certificate unless requirePeerCertificate
//    is set; then only clients whose certificate the authority of
//    caFile/caPem signed complete the handshake.
// TLS 1.2 at least, TLS 1.3 preferred; TLS 1.3 with AES-128-GCM,
// AES-256-GCM or ChaCha20-Poly1305, TLS 1.2 with ECDHE key exchange and the
// same ciphers only. No renegotiation, compression or session resumption.
//
// Threads: a TlsContext is immutable once built and may serve any number of
// links on any threads at once; the links hold it while they use it.
#pragma once

#include <memory>
#include <string>

#include "platform/hx_export.h"

class os_tls_context;

struct HX_NET_API TlsSettings {
  std::string certificateFile, privateKeyFile, caFile;  // PEM files, or
  std::string certificatePem, privateKeyPem, caPem;     // PEM text (used when not empty)
  bool verifyPeer = true;                               // clients verify servers by default
  bool requirePeerCertificate = false;                  // servers: mutual TLS
  std::string expectedPeerName;                         // clients: default the host connected to
  long handshakeTimeoutMs = 10000;                      // 0 or less: no limit
};

class HX_NET_API TlsContext {
 public:
  // A client context: the certificate and key are optional (for servers
  // that require one). A server context: certificate and key required.
  // Never throw: null, with the reason in `error` (a file that cannot be
  // read, bad PEM, a key that does not match the certificate, a missing
  // part), else `error` is empty. A certificate's PEM may carry its chain
  // after it; keys protected by a pass phrase are not supported.
  static std::shared_ptr<TlsContext> Client(const TlsSettings& settings, std::string& error);
  static std::shared_ptr<TlsContext> Server(const TlsSettings& settings, std::string& error);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  bool IsServer() const;
  long HandshakeTimeoutMs() const;

 private:
  explicit TlsContext(std::shared_ptr<os_tls_context> context);
  static std::shared_ptr<TlsContext> Make(bool server, const TlsSettings& settings,
                                          std::string& error);

  std::shared_ptr<os_tls_context> m_Context;
  friend class Link;
};
