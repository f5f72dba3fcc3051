// TLS for connected sockets, with OpenSSL 3.
//
// Protocols and ciphers. TLS 1.2 at least; TLS 1.3 is preferred, and two
// peers of this library always agree on it. TLS 1.3 suites in this order:
// AES-128-GCM (the fastest where the processor has AES instructions, and
// strong enough for any data these links carry), AES-256-GCM, then
// ChaCha20-Poly1305 (fast without AES instructions). TLS 1.2 only with
// ephemeral elliptic-curve key exchange (forward secrecy) and authenticated
// encryption: ECDHE with ECDSA or RSA certificates, and AES-128-GCM,
// AES-256-GCM or ChaCha20-Poly1305. Key exchange groups X25519, P-256, P-384.
// The server's order wins. No renegotiation, no compression, and no session
// tickets or cache: a link never resumes a session, so a server would only
// spend time making tickets nobody uses.
#include "platform/os_tls.h"

#include <arpa/inet.h>
#include <errno.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "platform/os_toolkit.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kTls13Suites[] =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
const char kTls12Ciphers[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
const char kGroups[] = "X25519:P-256:P-384";
// The largest TLS record's payload.
const size_t kRecord = 16 * 1024;
// Read-ahead buffer: one receive takes several records at once.
const size_t kReadBuffer = 64 * 1024;

// Rounded up: a wait never ends before its deadline.
int MillisLeft(Clock::time_point deadline) {
  if (deadline == Clock::time_point::max()) return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : left > 0x7fffffff ? 0x7fffffff : static_cast<int>(left);
}

std::string ReasonOf(unsigned long code) {
  if (code == 0) return "unknown reason";
  if (const char* r = ERR_reason_error_string(code)) return r;
  return "error " + std::to_string(ERR_GET_REASON(code));
}

// The reason of the last OpenSSL error of this thread, which is then cleared.
std::string Reason() {
  std::string text = ReasonOf(ERR_peek_last_error());
  ERR_clear_error();
  return text;
}

// Keys protected by a pass phrase are not supported: never prompt for one.
int NoPassword(char*, int, int, void*) {
  return 0;
}

// An error text for a file that cannot be opened, or "".
std::string Unreadable(const char* role, const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (f) {
    std::fclose(f);
    return "";
  }
  return std::string(role) + " '" + path + "': " + std::strerror(errno);
}

// A memory BIO over PEM text (the text must outlive it).
struct PemText {
  BIO* bio;
  explicit PemText(const std::string& pem)
      : bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()))) {}
  ~PemText() { BIO_free(bio); }
  PemText(const PemText&) = delete;
  PemText& operator=(const PemText&) = delete;
};

bool LoadCertificate(SSL_CTX* ctx, const os_tls_config& c, std::string& error) {
  if (!c.certificatePem.empty()) {
    PemText in(c.certificatePem);
    X509* leaf = in.bio ? PEM_read_bio_X509(in.bio, nullptr, NoPassword, nullptr) : nullptr;
    if (!leaf) {
      error = "certificatePem: no certificate in the text (" + Reason() + ")";
      return false;
    }
    bool ok = SSL_CTX_use_certificate(ctx, leaf) == 1;
    X509_free(leaf);
    if (!ok) {
      error = "certificatePem: " + Reason();
      return false;
    }
    // The rest of the text, if any, is the chain up to the authority.
    while (X509* more = PEM_read_bio_X509(in.bio, nullptr, NoPassword, nullptr)) {
      if (SSL_CTX_add0_chain_cert(ctx, more) != 1) {
        X509_free(more);
        error = "certificatePem: " + Reason();
        return false;
      }
    }
    ERR_clear_error();  // the end of the text
    return true;
  }
  error = Unreadable("certificateFile", c.certificateFile);
  if (!error.empty()) return false;
  if (SSL_CTX_use_certificate_chain_file(ctx, c.certificateFile.c_str()) != 1) {
    error = "certificateFile '" + c.certificateFile + "': " + Reason();
    return false;
  }
  return true;
}

// The last error says the key is not the certificate's (it is cleared then).
bool Mismatch() {
  unsigned long code = ERR_peek_last_error();
  bool mismatch =
      ERR_GET_LIB(code) == ERR_LIB_X509 && (ERR_GET_REASON(code) == X509_R_KEY_VALUES_MISMATCH ||
                                            ERR_GET_REASON(code) == X509_R_KEY_TYPE_MISMATCH);
  if (mismatch) ERR_clear_error();
  return mismatch;
}

bool LoadKey(SSL_CTX* ctx, const os_tls_config& c, std::string& error) {
  if (!c.privateKeyPem.empty()) {
    PemText in(c.privateKeyPem);
    EVP_PKEY* key =
        in.bio ? PEM_read_bio_PrivateKey(in.bio, nullptr, NoPassword, nullptr) : nullptr;
    if (!key) {
      error = "privateKeyPem: no usable private key in the text (" + Reason() + ")";
      return false;
    }
    bool ok = SSL_CTX_use_PrivateKey(ctx, key) == 1;
    EVP_PKEY_free(key);
    if (!ok) {
      error = Mismatch() ? "the private key does not match the certificate"
                         : "privateKeyPem: " + Reason();
      return false;
    }
  } else {
    error = Unreadable("privateKeyFile", c.privateKeyFile);
    if (!error.empty()) return false;
    if (SSL_CTX_use_PrivateKey_file(ctx, c.privateKeyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
      error = Mismatch() ? "the private key does not match the certificate"
                         : "privateKeyFile '" + c.privateKeyFile + "': " + Reason();
      return false;
    }
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    ERR_clear_error();
    error = "the private key does not match the certificate";
    return false;
  }
  return true;
}

// The trusted authorities; a server that asks for client certificates also
// names them to its clients.
bool LoadAuthorities(SSL_CTX* ctx, const os_tls_config& c, bool askClients, std::string& error) {
  if (!c.caPem.empty()) {
    PemText in(c.caPem);
    X509_STORE* store = SSL_CTX_get_cert_store(ctx);
    int n = 0;
    while (X509* ca = in.bio ? PEM_read_bio_X509(in.bio, nullptr, NoPassword, nullptr) : nullptr) {
      bool ok = X509_STORE_add_cert(store, ca) == 1 &&
                (!askClients || SSL_CTX_add_client_CA(ctx, ca) == 1);
      X509_free(ca);
      if (!ok) {
        error = "caPem: " + Reason();
        return false;
      }
      ++n;
    }
    if (n == 0) {
      error = "caPem: no certificate in the text (" + Reason() + ")";
      return false;
    }
    ERR_clear_error();
    return true;
  }
  error = Unreadable("caFile", c.caFile);
  if (!error.empty()) return false;
  if (SSL_CTX_load_verify_locations(ctx, c.caFile.c_str(), nullptr) != 1) {
    error = "caFile '" + c.caFile + "': " + Reason();
    return false;
  }
  if (askClients) {
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(c.caFile.c_str());
    if (!names) {
      error = "caFile '" + c.caFile + "': " + Reason();
      return false;
    }
    SSL_CTX_set_client_CA_list(ctx, names);
  }
  return true;
}

bool Configure(SSL_CTX* ctx, bool server, const os_tls_config& c, std::string& error) {
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION |
                               SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_TICKET);
  if (SSL_CTX_set_ciphersuites(ctx, kTls13Suites) != 1 ||
      SSL_CTX_set_cipher_list(ctx, kTls12Ciphers) != 1 ||
      SSL_CTX_set1_groups_list(ctx, kGroups) != 1) {
    error = "cipher setup: " + Reason();
    return false;
  }
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  if (server) SSL_CTX_set_num_tickets(ctx, 0);
  SSL_CTX_set_read_ahead(ctx, 1);
  SSL_CTX_set_default_read_buffer_len(ctx, kReadBuffer);
  SSL_CTX_set_default_passwd_cb(ctx, NoPassword);

  const bool hasCert = !c.certificatePem.empty() || !c.certificateFile.empty();
  const bool hasKey = !c.privateKeyPem.empty() || !c.privateKeyFile.empty();
  const bool hasCa = !c.caPem.empty() || !c.caFile.empty();
  if (server && !(hasCert && hasKey)) {
    error = "a server needs a certificate and its private key";
    return false;
  }
  if (hasCert != hasKey) {
    error = hasCert ? "the certificate has no private key" : "the private key has no certificate";
    return false;
  }
  if (hasCert && !(LoadCertificate(ctx, c, error) && LoadKey(ctx, c, error))) return false;
  if (server && c.requirePeerCertificate && !hasCa) {
    error =
        "requirePeerCertificate needs the authority that signs the clients' certificates "
        "(caFile or caPem)";
    return false;
  }
  if (hasCa && !LoadAuthorities(ctx, c, server && c.requirePeerCertificate, error)) return false;
  if (server) {
    SSL_CTX_set_verify(ctx,
                       c.requirePeerCertificate ? SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT
                                                : SSL_VERIFY_NONE,
                       nullptr);
  } else if (c.verifyPeer) {
    // Without an authority of its own, a client trusts the system's.
    if (!hasCa && SSL_CTX_set_default_verify_paths(ctx) != 1) {
      error = "the system's trusted authorities: " + Reason();
      return false;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Context

struct os_tls_context::impl {
  SSL_CTX* ctx = nullptr;
};

os_tls_context::os_tls_context(side_t side, const os_tls_config& config)
    : m_Side(side), m_Config(), m_pImpl(new impl) {
  m_Config.verifyPeer = config.verifyPeer;
  m_Config.requirePeerCertificate = config.requirePeerCertificate;
  m_Config.expectedPeerName = config.expectedPeerName;
  m_Config.handshakeTimeoutMs = config.handshakeTimeoutMs;
}

os_tls_context::~os_tls_context() {
  SSL_CTX_free(m_pImpl->ctx);
  delete m_pImpl;
}

std::shared_ptr<os_tls_context> os_tls_context::create(side_t side, const os_tls_config& config,
                                                       std::string& error) noexcept {
  try {
    error.clear();
    std::shared_ptr<os_tls_context> out(new os_tls_context(side, config));
    ERR_clear_error();
    out->m_pImpl->ctx =
        SSL_CTX_new(side == server_side ? TLS_server_method() : TLS_client_method());
    if (!out->m_pImpl->ctx) {
      error = "cannot make a TLS context: " + Reason();
      return nullptr;
    }
    if (!Configure(out->m_pImpl->ctx, side == server_side, config, error)) return nullptr;
    return out;
  } catch (const std::bad_alloc&) {
    error = "out of memory";
  } catch (...) {
    error = "unexpected failure";
  }
  ERR_clear_error();
  return nullptr;
}

// ---------------------------------------------------------------------------
// Session state

struct os_tls_session::impl {
  explicit impl(os_connectable_socket& s) : socket(s) {}
  ~impl() { SSL_free(ssl); }

  os_connectable_socket& socket;
  SSL* ssl = nullptr;
  bool server = false;
  std::string checkedName;  // client: the name or address the certificate must carry

  // Every SSL_* call on `ssl`, and the fields below up to the next comment.
  std::mutex sslLock;
  bool fatal = false;   // no SSL_* call but SSL_free any more
  bool rawEof = false;  // the socket gave end of stream
  int ioError = 0;      // the errno of a failed receive
  bool readAny = false;
  bool closeNotifySent = false;
  bool holdOutput = false;  // a handshake flight leaves in one send
  enum ReadEnd { kOpen, kEndClean, kEndRaw, kError } readEnd = kOpen;
  int readError = 0;

  // The handshake's outcome; writes wait on it.
  std::mutex stateLock;
  std::condition_variable stateCv;
  enum State { kHandshaking, kEstablished, kFailed } state = kHandshaking;
  bool closing = false;
  std::string failure, subject, description;
  std::atomic<int> nativeError{0};
  std::atomic<bool> refused{false};
  std::atomic<bool> cleanEnd{false};

  // Encrypted bytes the socket has not taken yet, in order; sent from the
  // head only, always under outLock.
  std::mutex outLock;
  std::string out;
  size_t outHead = 0;
  int sendError = 0;

  // Called by OpenSSL (under sslLock) with records to send: sent at once
  // when nothing waits before them, else queued. Never fails: an error is
  // kept and reported by the next flush.
  void Output(const char* data, size_t len) {
    std::lock_guard<std::mutex> g(outLock);
    if (sendError) return;
    size_t off = 0;
    if (outHead == out.size() && !holdOutput) {
      while (off < len) {
        ssize_t n = ::send(socket.handle(), data + off, len - off, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
          off += static_cast<size_t>(n);
          continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        sendError = n < 0 ? errno : EPIPE;
        return;
      }
    }
    if (off < len) out.append(data + off, len - off);
  }

  // Sends from the head of the output without waiting; true when nothing
  // is left (or an error ended it). Under outLock.
  bool SendQueued() {
    while (outHead < out.size() && !sendError) {
      ssize_t n = ::send(socket.handle(), out.data() + outHead, out.size() - outHead,
                         MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        outHead += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
      sendError = n < 0 ? errno : EPIPE;
    }
    if (out.capacity() > 4 * os_tls_session::kChunk)
      std::string().swap(out);
    else
      out.clear();
    outHead = 0;
    return true;
  }

  void FlushNow() {
    std::lock_guard<std::mutex> g(outLock);
    SendQueued();
  }

  // Waits until the output has left. False with `err` on an error, when no
  // byte left for sendMs (above 0; ETIMEDOUT), or at `deadline` (ETIMEDOUT).
  bool FlushWait(long sendMs, Clock::time_point deadline, int& err) {
    std::unique_lock<std::mutex> g(outLock);
    Clock::time_point lastProgress = Clock::now();
    for (;;) {
      size_t before = outHead;
      bool empty = SendQueued();
      if (sendError) {
        err = sendError;
        return false;
      }
      if (empty) return true;
      if (outHead != before) lastProgress = Clock::now();
      int wait = MillisLeft(deadline);
      if (sendMs > 0) {
        int bySend = MillisLeft(lastProgress + std::chrono::milliseconds(sendMs));
        wait = wait < 0 ? bySend : std::min(wait, bySend);
      }
      int fd = socket.handle();
      g.unlock();
      pollfd p{fd, POLLOUT, 0};
      int rc = fd == -1 ? -1 : ::poll(&p, 1, wait);
      int pollErr = fd == -1 ? EBADF : errno;
      g.lock();
      if (rc < 0 && pollErr == EINTR) continue;
      if (rc < 0) {
        err = pollErr;
        return false;
      }
      if (rc == 0) {
        err = ETIMEDOUT;
        return false;
      }
    }
  }

  // What ended a failed read-side call (SSL_read, SSL_peek) that did not
  // merely want more input. Under sslLock.
  void NoteReadEnd(int sslError) {
    unsigned long code = ERR_peek_last_error();
    int reason = ERR_GET_LIB(code) == ERR_LIB_SSL ? ERR_GET_REASON(code) : 0;
    if (sslError == SSL_ERROR_ZERO_RETURN) {
      readEnd = kEndClean;
      cleanEnd.store(true, std::memory_order_release);
    } else if (rawEof && ioError == 0 &&
               (sslError == SSL_ERROR_SYSCALL || reason == SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
      readEnd = kEndRaw;  // an end of stream without close_notify
      fatal = true;
    } else {
      readEnd = kError;
      fatal = true;
      readError = ioError ? ioError : EPROTO;
      if (!readAny && reason >= SSL_AD_REASON_OFFSET) {
        std::lock_guard<std::mutex> g(stateLock);
        failure = "refused by the peer (" + ReasonOf(code) + ")";
        refused.store(true, std::memory_order_release);
      }
    }
    ERR_clear_error();
  }

  // Names a failed handshake step. Under sslLock, right after the call.
  std::string Diagnose() {
    unsigned long code = ERR_peek_last_error();
    int reason = ERR_GET_LIB(code) == ERR_LIB_SSL ? ERR_GET_REASON(code) : 0;
    long verify = SSL_get_verify_result(ssl);
    std::string text;
    if (reason == SSL_R_CERTIFICATE_VERIFY_FAILED && verify != X509_V_OK) {
      if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH)
        text = "wrong name: the peer's certificate is not for " + checkedName;
      else
        text = std::string("verification failed: ") + X509_verify_cert_error_string(verify);
    } else if (reason == SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE) {
      text = "verification failed: the peer sent no certificate";
    } else if (reason == SSL_R_WRONG_VERSION_NUMBER || reason == SSL_R_UNKNOWN_PROTOCOL ||
               reason == SSL_R_HTTP_REQUEST || reason == SSL_R_HTTPS_PROXY_REQUEST ||
               reason == SSL_R_PACKET_LENGTH_TOO_LONG || reason == SSL_R_RECORD_LENGTH_MISMATCH) {
      text = "peer spoke clear text";
    } else if (reason >= SSL_AD_REASON_OFFSET) {
      text = "refused by the peer (" + ReasonOf(code) + ")";
    } else if (ioError) {
      text = std::string("network error: ") + std::strerror(ioError);
    } else if (rawEof) {
      text = "peer closed the connection";
    } else if (code) {
      text = "protocol error (" + Reason() + ")";
    } else {
      text = "protocol error";
    }
    ERR_clear_error();
    return text;
  }

  void Finish(State s, const std::string& why, int err) {
    {
      std::lock_guard<std::mutex> g(stateLock);
      state = s;
      if (s == kFailed) failure = why;
    }
    if (s == kFailed) nativeError.store(err, std::memory_order_relaxed);
    stateCv.notify_all();
  }

  bool Closing() {
    std::lock_guard<std::mutex> g(stateLock);
    return closing;
  }
};

namespace {

// The socket BIO of a session: receives without waiting, and hands what
// OpenSSL sends to the session's output.
int BioWrite(BIO* b, const char* data, size_t len, size_t* written) {
  static_cast<os_tls_session::impl*>(BIO_get_data(b))->Output(data, len);
  *written = len;
  return 1;
}

int BioRead(BIO* b, char* buf, size_t len, size_t* got) {
  auto* s = static_cast<os_tls_session::impl*>(BIO_get_data(b));
  BIO_clear_retry_flags(b);
  *got = 0;
  for (;;) {
    ssize_t n = ::recv(s->socket.handle(), buf, len, MSG_DONTWAIT);
    if (n > 0) {
      *got = static_cast<size_t>(n);
      return 1;
    }
    if (n == 0) {
      s->rawEof = true;
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      BIO_set_retry_read(b);
      return 0;
    }
    s->ioError = errno;
    return 0;
  }
}

long BioCtrl(BIO*, int cmd, long, void*) {
  return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioCreate(BIO* b) {
  BIO_set_init(b, 1);
  return 1;
}

BIO_METHOD* SocketMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "hx_net socket");
    if (m) {
      BIO_meth_set_write_ex(m, BioWrite);
      BIO_meth_set_read_ex(m, BioRead);
      BIO_meth_set_ctrl(m, BioCtrl);
      BIO_meth_set_create(m, BioCreate);
    }
    return m;
  }();
  return method;
}

// The name a client checks: no brackets, no IPv6 scope.
std::string Bare(std::string name) {
  if (name.size() > 2 && name.front() == '[' && name.back() == ']')
    name = name.substr(1, name.size() - 2);
  size_t pct = name.find('%');
  if (pct != std::string::npos && name.find(':') != std::string::npos) name.resize(pct);
  return name;
}

bool IsAddress(const std::string& name) {
  unsigned char buf[16];
  return inet_pton(AF_INET, name.c_str(), buf) == 1 || inet_pton(AF_INET6, name.c_str(), buf) == 1;
}

std::string SubjectOf(SSL* ssl) {
  X509* peer = SSL_get0_peer_certificate(ssl);
  if (!peer) return "";
  BIO* b = BIO_new(BIO_s_mem());
  if (!b) return "";
  std::string text;
  if (X509_NAME_print_ex(b, X509_get_subject_name(peer), 0, XN_FLAG_RFC2253) >= 0) {
    char* data = nullptr;
    long n = BIO_get_mem_data(b, &data);
    if (n > 0) text.assign(data, static_cast<size_t>(n));
  }
  BIO_free(b);
  return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// Session

os_tls_session::os_tls_session(const std::shared_ptr<os_tls_context>& context, impl* state)
    : m_Context(context), m_pImpl(state) {}

os_tls_session::~os_tls_session() {
  delete m_pImpl;
}

os_tls_session* os_tls_session::create(const std::shared_ptr<os_tls_context>& context,
                                       os_connectable_socket& socket, const std::string& peerHost,
                                       std::string& error) noexcept {
  try {
    std::unique_ptr<impl> s(new impl(socket));
    BIO_METHOD* method = SocketMethod();
    ERR_clear_error();
    s->ssl = method ? SSL_new(context->native()->ctx) : nullptr;
    BIO* bio = s->ssl ? BIO_new(method) : nullptr;
    if (!bio) {
      error = "cannot make a TLS session: " + Reason();
      return nullptr;
    }
    BIO_set_data(bio, s.get());
    SSL_set_bio(s->ssl, bio, bio);
    s->server = context->side() == os_tls_context::server_side;
    if (s->server) {
      SSL_set_accept_state(s->ssl);
    } else {
      SSL_set_connect_state(s->ssl);
      const os_tls_config& c = context->config();
      // An address is checked against the certificate's addresses and sent
      // no name; a name is checked against its DNS names and sent as SNI.
      std::string name = Bare(c.expectedPeerName.empty() ? peerHost : c.expectedPeerName);
      bool address = IsAddress(name);
      s->checkedName = name;
      bool ok = true;
      if (c.verifyPeer && !name.empty()) {
        if (address) {
          ok = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s->ssl), name.c_str()) == 1;
        } else {
          SSL_set_hostflags(s->ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
          ok = SSL_set1_host(s->ssl, name.c_str()) == 1;
        }
      }
      if (ok && !address && !name.empty()) ok = SSL_set_tlsext_host_name(s->ssl, name.c_str()) == 1;
      if (!ok) {
        error = "cannot check the peer name '" + name + "': " + Reason();
        return nullptr;
      }
    }
    return new os_tls_session(context, s.release());
  } catch (const std::bad_alloc&) {
    error = "out of memory";
  } catch (...) {
    error = "unexpected failure";
  }
  ERR_clear_error();
  return nullptr;
}

os_tls_session::handshake_t os_tls_session::handshake(long timeoutMs) {
  impl& s = *m_pImpl;
  const Clock::time_point deadline = timeoutMs > 0
                                         ? Clock::now() + std::chrono::milliseconds(timeoutMs)
                                         : Clock::time_point::max();
  auto timedOut = [&] {
    s.Finish(impl::kFailed, "handshake timed out after " + std::to_string(timeoutMs) + " ms",
             ETIMEDOUT);
    return handshake_timed_out;
  };
  for (;;) {
    int rc = 0, sslError = SSL_ERROR_NONE;
    std::string why;
    {
      std::lock_guard<std::mutex> g(s.sslLock);
      if (s.Closing()) {
        s.fatal = true;
        s.Finish(impl::kFailed, "the link was closed during the handshake", ECONNABORTED);
        return handshake_failed;
      }
      ERR_clear_error();
      s.holdOutput = true;
      rc = SSL_do_handshake(s.ssl);
      s.holdOutput = false;
      if (rc != 1) sslError = SSL_get_error(s.ssl, rc);
      if (rc == 1) {
        std::string subject = SubjectOf(s.ssl);
        std::string description = std::string(SSL_get_version(s.ssl)) + " " +
                                  SSL_CIPHER_get_name(SSL_get_current_cipher(s.ssl));
        std::lock_guard<std::mutex> st(s.stateLock);
        s.subject.swap(subject);
        s.description.swap(description);
      } else if (sslError != SSL_ERROR_WANT_READ) {
        s.fatal = true;
        why = s.Diagnose();
      }
    }
    // What this step made (our flight, or the alert of a failure) leaves
    // before anything else happens.
    int err = 0;
    bool sent = s.FlushWait(0, deadline, err);
    if (rc != 1 && sslError != SSL_ERROR_WANT_READ) {
      s.Finish(impl::kFailed, why, s.ioError ? s.ioError : EPROTO);
      return handshake_failed;
    }
    if (!sent) {
      if (err == ETIMEDOUT) return timedOut();
      s.Finish(impl::kFailed, std::string("network error: ") + std::strerror(err), err);
      return handshake_failed;
    }
    if (rc == 1) {
      s.Finish(impl::kEstablished, "", 0);
      return handshake_done;
    }
    int wait = MillisLeft(deadline);
    if (wait == 0) return timedOut();
    pollfd p{s.socket.handle(), POLLIN, 0};
    int ready = ::poll(&p, 1, wait);
    if (ready == 0) return timedOut();
    if (ready < 0 && errno != EINTR) {
      int e = errno;
      s.Finish(impl::kFailed, std::string("network error: ") + std::strerror(e), e);
      return handshake_failed;
    }
  }
}

bool os_tls_session::established() const {
  std::lock_guard<std::mutex> g(m_pImpl->stateLock);
  return m_pImpl->state == impl::kEstablished;
}

bool os_tls_session::is_server() const {
  return m_pImpl->server;
}

std::string os_tls_session::failure() const {
  std::lock_guard<std::mutex> g(m_pImpl->stateLock);
  return m_pImpl->failure;
}

int os_tls_session::native_error() const {
  return m_pImpl->nativeError.load(std::memory_order_relaxed);
}

bool os_tls_session::refused() const {
  return m_pImpl->refused.load(std::memory_order_acquire);
}

bool os_tls_session::ended_cleanly() const {
  return m_pImpl->cleanEnd.load(std::memory_order_acquire);
}

std::string os_tls_session::peer_subject() const {
  std::lock_guard<std::mutex> g(m_pImpl->stateLock);
  return m_pImpl->subject;
}

std::string os_tls_session::description() const {
  std::lock_guard<std::mutex> g(m_pImpl->stateLock);
  return m_pImpl->description;
}

int os_tls_session::read(void* buffer, int length, int& err) {
  impl& s = *m_pImpl;
  if (length <= 0) return 0;
  char* at = static_cast<char*>(buffer);
  for (;;) {
    size_t total = 0;
    {
      std::lock_guard<std::mutex> g(s.sslLock);
      if (s.readEnd == impl::kOpen && !s.fatal) {
        // Every record already received, as far as the buffer takes them.
        for (;;) {
          ERR_clear_error();
          size_t got = 0;
          int rc = SSL_read_ex(s.ssl, at + total, static_cast<size_t>(length) - total, &got);
          if (rc == 1) {
            total += got;
            s.readAny = true;
            if (total < static_cast<size_t>(length) && SSL_has_pending(s.ssl)) continue;
            break;
          }
          int e = SSL_get_error(s.ssl, rc);
          if (e != SSL_ERROR_WANT_READ) s.NoteReadEnd(e);
          ERR_clear_error();
          break;
        }
      }
      if (total == 0 && s.readEnd != impl::kOpen) {
        if (s.readEnd == impl::kError) {
          err = s.readError;
          return -1;
        }
        return 0;
      }
      if (total == 0 && s.fatal) {
        err = EPROTO;
        return -1;
      }
    }
    s.FlushNow();  // what reading made OpenSSL send (an answer to a key update)
    if (total > 0) return static_cast<int>(total);
    int fd = s.socket.handle();
    if (fd == -1) {
      err = EBADF;
      return -1;
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, -1) < 0 && errno != EINTR) {
      err = errno;
      return -1;
    }
  }
}

long os_tls_session::write(const char* data, size_t length, long sendTimeoutMs, int& err) {
  impl& s = *m_pImpl;
  {
    std::unique_lock<std::mutex> g(s.stateLock);
    s.stateCv.wait(g, [&] { return s.state != impl::kHandshaking || s.closing; });
    if (s.state != impl::kEstablished) {
      err = s.closing ? EPIPE : ECONNABORTED;
      return 0;
    }
  }
  size_t done = 0;
  while (done < length) {
    // A short rest joins the step before it rather than making a record and
    // a send of its own (a 64 KiB frame is 64 KiB and its 10-byte header).
    size_t chunk = std::min(length - done, kChunk);
    if (length - done - chunk < kRecord) chunk = length - done;
    {
      std::lock_guard<std::mutex> g(s.sslLock);
      if (s.fatal) {
        err = EPIPE;
        return static_cast<long>(done);
      }
      ERR_clear_error();
      size_t written = 0;
      if (SSL_write_ex(s.ssl, data + done, chunk, &written) != 1 || written != chunk) {
        s.fatal = true;
        ERR_clear_error();
        err = EPROTO;
        return static_cast<long>(done);
      }
    }
    if (!s.FlushWait(sendTimeoutMs, Clock::time_point::max(), err)) return static_cast<long>(done);
    done += chunk;
  }
  return static_cast<long>(done);
}

int os_tls_session::wait_readable(long ms) {
  impl& s = *m_pImpl;
  const Clock::time_point deadline =
      ms < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (established()) {
      std::lock_guard<std::mutex> g(s.sslLock);
      if (s.readEnd != impl::kOpen || s.fatal || SSL_pending(s.ssl) > 0) return 1;
      // Takes in what has arrived, without consuming it, to see whether a
      // whole record of data is there.
      ERR_clear_error();
      char c;
      size_t got = 0;
      int rc = SSL_peek_ex(s.ssl, &c, 1, &got);
      if (rc == 1) return 1;
      int e = SSL_get_error(s.ssl, rc);
      if (e != SSL_ERROR_WANT_READ) {
        s.NoteReadEnd(e);
        return 1;
      }
      ERR_clear_error();
    }
    s.FlushNow();
    int fd = s.socket.handle();
    if (fd == -1) return -1;
    pollfd p{fd, POLLIN, 0};
    int rc = ::poll(&p, 1, MillisLeft(deadline));
    if (rc == 0) return 0;
    if (rc < 0 && errno != EINTR) return 1;  // let the read report the error
    if (rc > 0 && !established()) return 1;
  }
}

void os_tls_session::on_close() {
  impl& s = *m_pImpl;
  bool established;
  {
    std::lock_guard<std::mutex> g(s.stateLock);
    s.closing = true;
    established = s.state == impl::kEstablished;
  }
  s.stateCv.notify_all();
  if (!established) return;
  {
    std::lock_guard<std::mutex> g(s.sslLock);
    if (s.fatal || s.closeNotifySent) return;
    s.closeNotifySent = true;
    ERR_clear_error();
    SSL_shutdown(s.ssl);  // close_notify into the output, which never waits
    ERR_clear_error();
  }
  s.FlushNow();
}
