// Internal header: TLS over a connected stream socket. Not installed; no
// OpenSSL header or type appears here (os_tls.cpp holds them).
//
// os_tls_context: one side's configuration (certificate, key, trusted
// authorities, verification), built once, immutable, shared by any number of
// sessions on any number of threads.
//
// os_tls_session: the TLS state of one connection, made by
// os_connectable_socket::start_tls and owned by that socket. Once it exists
// the socket's read, write, writev and wait_readable carry TLS records.
// One reader thread and one writer thread may use it at the same time:
//  - every OpenSSL call on the session runs under the session's mutex, and
//    no call ever blocks inside it: the socket is used without blocking
//    (MSG_DONTWAIT) and every wait for it (poll) happens outside the mutex,
//    so a reader waiting for data never keeps the writer from writing;
//  - records leave in the order OpenSSL made them: what the socket does not
//    take at once waits in the session's output, which only ever drains from
//    its head, under its own small lock;
//  - the writer encrypts about kChunk bytes at a time and waits until they
//    have left before encrypting more, so the output stays small.
// The handshake runs on one thread (the connecting caller, or the reader of
// an accepted link); a write before it has completed waits for it, and a
// close (shutdown or close of the socket) ends that wait.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

class os_connectable_socket;

// What a context is built from. PEM text is used when not empty, else the
// file of the same role.
struct os_tls_config {
  std::string certificateFile, privateKeyFile, caFile;
  std::string certificatePem, privateKeyPem, caPem;
  bool verifyPeer = true;               // clients: verify the server
  bool requirePeerCertificate = false;  // servers: only clients with a certificate the CA signed
  std::string expectedPeerName;         // clients: the name to verify instead of the host
  long handshakeTimeoutMs = 10000;      // 0 or less: no limit
};

class os_tls_context {
 public:
  enum side_t { client_side, server_side };
  // Never throws: null with the reason in `error` (a file that cannot be
  // read, bad PEM, a key that does not match its certificate, a missing
  // part, no memory).
  static std::shared_ptr<os_tls_context> create(side_t side, const os_tls_config& config,
                                                std::string& error) noexcept;
  ~os_tls_context();
  os_tls_context(const os_tls_context&) = delete;
  os_tls_context& operator=(const os_tls_context&) = delete;

  side_t side() const { return m_Side; }
  const os_tls_config& config() const { return m_Config; }
  struct impl;
  impl* native() const { return m_pImpl; }

 private:
  os_tls_context(side_t side, const os_tls_config& config);
  side_t m_Side;
  os_tls_config m_Config;  // without the PEM texts and file names: kept for the names and limits
  impl* m_pImpl;
};

class os_tls_session {
 public:
  enum handshake_t { handshake_done, handshake_failed, handshake_timed_out };
  // Bytes encrypted per step of a write (a rest shorter than a record joins
  // the last step).
  static constexpr size_t kChunk = 64 * 1024;

  ~os_tls_session();
  os_tls_session(const os_tls_session&) = delete;
  os_tls_session& operator=(const os_tls_session&) = delete;

  // Runs the handshake, waiting at most timeoutMs in all (0 or less: no
  // limit). On failure, failure() names it and native_error() gives an errno
  // value: ETIMEDOUT when the time ran out, the socket's error when the
  // network failed, else EPROTO.
  handshake_t handshake(long timeoutMs);
  bool established() const;
  bool is_server() const;
  // The context's handshake time-out.
  long handshake_timeout_ms() const { return m_Context->config().handshakeTimeoutMs; }
  // Why the handshake failed or the peer refused it ("" otherwise). Stable
  // once the failure is reported.
  std::string failure() const;
  int native_error() const;
  // The peer refused the connection with an alert before sending any data
  // (a client learns only then that a server refused its certificate).
  bool refused() const;
  // The peer's certificate subject, one line in RFC 2253 form ("CN=a,O=b"),
  // or "" when the peer sent none.
  std::string peer_subject() const;
  // The negotiated protocol and cipher ("TLSv1.3 TLS_AES_128_GCM_SHA256").
  std::string description() const;
  // The peer's close_notify arrived: its end of stream was a TLS end, not a
  // connection that merely stopped.
  bool ended_cleanly() const;

  // For os_connectable_socket; the same contracts as its own operations.
  // `err` gets the errno value of a failure.
  int read(void* buffer, int length, int& err);
  long write(const char* data, size_t length, long sendTimeoutMs, int& err);
  int wait_readable(long ms);
  // The socket is being shut down or closed: a write waiting for the
  // handshake returns, and close_notify goes out if it can without waiting.
  void on_close();

  struct impl;

 private:
  friend class os_connectable_socket;
  // A session for `socket` (connected), or null with the reason in `error`.
  // A client checks the peer's certificate against `peerHost` unless the
  // context names another peer.
  static os_tls_session* create(const std::shared_ptr<os_tls_context>& context,
                                os_connectable_socket& socket, const std::string& peerHost,
                                std::string& error) noexcept;
  os_tls_session(const std::shared_ptr<os_tls_context>& context, impl* state);

  std::shared_ptr<os_tls_context> m_Context;
  impl* m_pImpl;
};
