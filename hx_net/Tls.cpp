#include "hx_net/Tls.h"

#include <new>

#include "platform/os_tls.h"

TlsContext::TlsContext(std::shared_ptr<os_tls_context> context) : m_Context(std::move(context)) {}

TlsContext::~TlsContext() = default;

std::shared_ptr<TlsContext> TlsContext::Make(bool server, const TlsSettings& s,
                                             std::string& error) {
  try {
    os_tls_config c;
    c.certificateFile = s.certificateFile;
    c.privateKeyFile = s.privateKeyFile;
    c.caFile = s.caFile;
    c.certificatePem = s.certificatePem;
    c.privateKeyPem = s.privateKeyPem;
    c.caPem = s.caPem;
    c.verifyPeer = s.verifyPeer;
    c.requirePeerCertificate = s.requirePeerCertificate;
    c.expectedPeerName = s.expectedPeerName;
    c.handshakeTimeoutMs = s.handshakeTimeoutMs;
    std::shared_ptr<os_tls_context> native = os_tls_context::create(
        server ? os_tls_context::server_side : os_tls_context::client_side, c, error);
    if (!native) return nullptr;
    return std::shared_ptr<TlsContext>(new TlsContext(std::move(native)));
  } catch (const std::bad_alloc&) {
    error = "out of memory";
  }
  return nullptr;
}

std::shared_ptr<TlsContext> TlsContext::Client(const TlsSettings& settings, std::string& error) {
  return Make(false, settings, error);
}

std::shared_ptr<TlsContext> TlsContext::Server(const TlsSettings& settings, std::string& error) {
  return Make(true, settings, error);
}

bool TlsContext::IsServer() const {
  return m_Context->side() == os_tls_context::server_side;
}

long TlsContext::HandshakeTimeoutMs() const {
  return m_Context->config().handshakeTimeoutMs;
}
