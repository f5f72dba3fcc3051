// Public header: the socket-and-thread toolkit the library is written against.
//
// This is the only layer that includes the operating system's socket and
// thread headers. Every primitive states its guarantees here:
//  - Errors are thrown as os_toolkit_error or one of its two subclasses, which
//    carry a portable code (os_errc below) and the native errno value.
//  - Every blocking call retries on EINTR; a timed wait recomputes what is left.
//  - Sockets are close-on-exec and never raise SIGPIPE (MSG_NOSIGNAL).
//  - shutdown() wakes a thread blocked in read() on the same socket; close()
//    alone does not, so shut down first. close() runs at most once per
//    descriptor whatever the number of threads calling it.
//  - Event semaphores are manual-reset; critical sections are re-entrant.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "platform/hx_export.h"

// ---------------------------------------------------------------------------
// Errors

// Portable codes carried by os_network_toolkit_error and os_thread_toolkit_error.
enum os_errc : long {
  OS_ERR_UNKNOWN = 0,
  OS_ERR_CONNECTION_REFUSED = 1,
  OS_ERR_TIMED_OUT = 2,
  OS_ERR_HOST_NOT_FOUND = 3,
  OS_ERR_ADDRESS_IN_USE = 4,
  OS_ERR_ADDRESS_NOT_AVAILABLE = 5,
  OS_ERR_NETWORK_UNREACHABLE = 6,
  OS_ERR_CONNECTION_RESET = 7,
  OS_ERR_NOT_CONNECTED = 8,
  OS_ERR_BAD_DESCRIPTOR = 9,
  OS_ERR_NO_RESOURCES = 10,
  OS_ERR_INVALID_ARGUMENT = 11,
  OS_ERR_PERMISSION = 12,
  OS_ERR_INTERRUPTED = 13,
  OS_ERR_AGAIN = 14,
  OS_ERR_BROKEN_PIPE = 15,
  OS_ERR_DEADLOCK = 16,
  OS_ERR_NO_SUCH_THREAD = 17,
};

class HX_NET_API os_toolkit_error : public std::exception {
 public:
  explicit os_toolkit_error(std::string message);
  ~os_toolkit_error() override;
  // The message text (the second virtual operation, after the destructor).
  const char* what() const noexcept override;

 private:
  std::string m_Message;
};

// An error of the socket layer; native_code() is the errno value.
class HX_NET_API os_network_toolkit_error : public os_toolkit_error {
 public:
  os_network_toolkit_error(long portableCode, long nativeCode, const std::string& message);
  long portable_code() const noexcept { return m_Portable; }
  long native_code() const noexcept { return m_Native; }
  static const char* description(long portableCode);
  // Builds the error for an errno value; the portable code comes from one table.
  static os_network_toolkit_error from_errno(int err, const std::string& what);

 private:
  long m_Portable;
  long m_Native;
};

// An error of the thread layer; native_code() is the errno value.
class HX_NET_API os_thread_toolkit_error : public os_toolkit_error {
 public:
  os_thread_toolkit_error(long portableCode, long nativeCode, const std::string& message);
  long portable_code() const noexcept { return m_Portable; }
  long native_code() const noexcept { return m_Native; }
  static const char* description(long portableCode);
  static os_thread_toolkit_error from_errno(int err, const std::string& what);

 private:
  long m_Portable;
  long m_Native;
};

// The portable code for an errno value (one table for both error classes).
HX_NET_API long os_portable_code(int err);

// ---------------------------------------------------------------------------
// Addresses

// An IP address of either family (an IPv6 one keeps its scope, "%eth0").
//
// The IPv4-only accessors, for IPv6: as_long() gives 0 (the value an IPv4
// any-address has), so never rebuild a socket address from it; use
// os_socket_address(const os_ip_address&, int) instead.
class HX_NET_API os_ip_address {
 public:
  os_ip_address();  // the IPv4 any-address
  // A numeric address of either family ("10.1.2.3", "::1", "fe80::1%eth0") or
  // a host name. A name gives its first IPv4 address when it has one (so a
  // listener given a name binds the IPv4 address it always did), else its
  // first IPv6 one. Throws os_network_toolkit_error (HOST_NOT_FOUND, native ENXIO)
  // when nothing resolves.
  explicit os_ip_address(const std::string& nameOrNumeric);
  // Every address of a name or numeric text, both families, in the order the
  // resolver gives (getaddrinfo; numeric text without it). Never empty:
  // throws as the constructor does.
  static std::vector<os_ip_address> resolve(const std::string& nameOrNumeric);

  int family() const { return m_Family; }  // AF_INET or AF_INET6
  bool is_any() const;                     // 0.0.0.0 or ::
  // IPv4: the 32-bit value in network byte order, so 0 is the any-address and
  // the value can be handed to inet_ntop unchanged. IPv6: 0 (see above).
  long as_long() const;
  // Dotted text for IPv4, the compressed form for IPv6 ("::1", with its scope
  // when it has one).
  std::string text() const;

 private:
  friend class os_socket_address;
  int m_Family;
  unsigned char m_Bytes[16];  // 4 used for IPv4; network byte order
  uint32_t m_ScopeId;
};

// A socket address of either family (port in host order at the interface).
// initialize(), the default constructor and the port constructor make an IPv4
// address, as before IPv6.
//
// The IPv4-only accessors, for IPv6: ip_address() gives 0; ip_address(long)
// turns the address into IPv4 with that value (the port stays); size() is
// always the IPv4 structure's size (16), use length() for the address at hand.
class HX_NET_API os_socket_address {
 public:
  os_socket_address();                                   // all zero: IPv4 any address, port 0
  explicit os_socket_address(int port);                  // IPv4 any address, the given port
  os_socket_address(const os_ip_address& ip, int port);  // either family
  void initialize();
  void port(int p);
  void ip_address(long networkOrderAddr);
  int port() const;
  long ip_address() const;  // network byte order; 0 for IPv6
  int family() const { return m_Addr.ss_family; }
  os_ip_address ip() const;
  const sockaddr* sa() const { return reinterpret_cast<const sockaddr*>(&m_Addr); }
  sockaddr* sa() { return reinterpret_cast<sockaddr*>(&m_Addr); }
  static constexpr int size() { return sizeof(sockaddr_in); }
  int length() const;  // bytes of the address at hand: 16 for IPv4, 28 for IPv6
  // An IPv4-mapped IPv6 address ("::ffff:127.0.0.1") becomes the plain IPv4
  // one; any other address stays as it is.
  void unmap();

 private:
  sockaddr_storage m_Addr;
};

// "host:port", with an IPv6 address in brackets ("[::1]:4000"); any text with a
// ':' in it counts as IPv6, so IPv4 texts and names come out as they are.
HX_NET_API std::string os_host_port_text(const std::string& host, int port);

// ---------------------------------------------------------------------------
// Sockets

class os_tls_context;  // platform/os_tls.h
class os_tls_session;

// Owns one descriptor. shutdown() and close() may be called from any thread;
// they are serialised so that a descriptor is never shut down after it was
// closed (its number may already belong to another socket by then).
class HX_NET_API os_socket {
 public:
  os_socket();
  virtual ~os_socket();  // closes the descriptor
  os_socket(const os_socket&) = delete;
  os_socket& operator=(const os_socket&) = delete;

  int handle() const { return m_Fd.load(std::memory_order_acquire); }
  // how: 0 read, 1 write, 2 both. Wakes threads blocked in read/write.
  void shutdown(int how = 2);
  void close();
  void setsockopt(int level, int name, const void* value, int length);
  void getsockopt(int level, int name, void* value, int* length) const;
  // The local address (bound port); IPv4-mapped addresses come back as IPv4.
  os_socket_address socket_address() const;

 protected:
  void set_handle(int fd) { m_Fd.store(fd, std::memory_order_release); }
  virtual void on_shutdown() {}

  std::atomic<int> m_Fd;
  std::mutex m_CloseLock;  // serialises shutdown and close
};

// A stream socket that connects or was accepted.
class HX_NET_API os_connectable_socket : public os_socket {
 public:
  os_connectable_socket();
  ~os_connectable_socket() override;  // with its TLS session, if any
  // Connects to an address of either family; bounded by set_connect_timeout.
  // Throws os_network_toolkit_error (native ECONNREFUSED, ETIMEDOUT, ...).
  void connect_to(const sockaddr* address, int length);
  // Tries each address in turn until one connects, all within the one bound
  // of set_connect_timeout (not one bound each). When none connects, throws
  // the last attempt's error; ETIMEDOUT when the bound ran out first.
  void connect_to_any(const std::vector<os_socket_address>& addresses);
  // Resolves `host` (os_ip_address::resolve) and connects to `port` on its
  // addresses in the resolver's order, as connect_to_any.
  void connect_to_host(const std::string& host, int port);
  // Blocking; returns the byte count, 0 at end of stream, -1 on error
  // (error() then tells errno). Retries on EINTR.
  int read(void* buffer, int length);
  // Blocking; writes everything unless the connection fails, continuing after
  // partial writes and EINTR. Returns the count written (less on failure).
  int write(const void* buffer, int length);
  // Gathering write of iovcnt buffers; same rules as write(). Returns bytes written.
  long writev(const struct iovec* iov, int iovcnt);
  bool good() const;       // holds a descriptor and saw no socket error
  bool connected() const;  // connected and not shut down
  // IPv4-mapped peers (from a dual-stack listener) come back as IPv4.
  os_socket_address peer_address() const;
  // The peer's address as text, as a link names its peer: dotted for IPv4 and
  // IPv4-mapped peers, the compressed form for IPv6, "ANY" for an any-address
  // or when there is no readable IP peer address (port 0 then). Raises no
  // toolkit error.
  std::string peer_text(int& port) const;
  int error() const { return m_LastError.load(std::memory_order_relaxed); }

  // Options set under the close lock, so a descriptor already released (its
  // number may belong to another socket by now) is never touched; false when
  // the socket holds no descriptor. Throw nothing.
  // TCP keep-alive: first probe after `idleSeconds` of silence, then every
  // `intervalSeconds`, the connection ends (ETIMEDOUT) after `count`
  // unanswered probes; figures above the system's maxima are clamped. All 0
  // turns keep-alive off.
  bool set_keepalive(int idleSeconds, int intervalSeconds, int count);
  // A write that makes no progress for `sendMs` fails (ETIMEDOUT); written data
  // left unacknowledged for `unackedMs` ends the connection (ETIMEDOUT).
  // 0 turns either off.
  bool set_write_timeout(long sendMs, long unackedMs);
  // 1 once a read would not block (data, end of stream or an error), 0 after
  // `ms` milliseconds (below 0: no limit), -1 when the socket is closed.
  int wait_readable(long ms);
  // Reads and drops input that has arrived and not been read, without
  // waiting, up to `maxBytes`: closing over unread input would reset the
  // connection and lose what the peer had not read yet.
  void discard_input(size_t maxBytes);
  // The same, also waiting up to `ms` for more input or the peer's end of
  // stream: for a close right after telling the peer why (its request may
  // still be on its way, and must not turn our close into a reset).
  void discard_input_until_end(size_t maxBytes, long ms);
  // One non-blocking gathering write, under the close lock (so never onto a
  // released descriptor): the bytes taken (0 when the socket has no room),
  // or -1 when the socket is closed, failed or carries TLS; the socket's failure state is
  // left to the next blocking write to find.
  long try_writev(const struct iovec* iov, int iovcnt);
  // Bytes written and not yet acknowledged by the peer (sent or not); -1
  // when the socket is closed or cannot say.
  long unacknowledged_bytes();
  // This socket's own bound on connect_to in milliseconds (0: none); the
  // process-wide bound still applies when it is shorter.
  void set_connect_bound(long ms) { m_ConnectBoundMs.store(ms, std::memory_order_relaxed); }
  long connect_bound() const;  // what applies to this socket: the shorter bound

  // The bound on connect_to for every socket in the process, in milliseconds
  // (default 21000). Tests shorten it.
  static void set_connect_timeout(long milliseconds);
  static long connect_timeout();

  // TLS on the connected socket: makes a session of `context` (its side
  // decides client or server; a client checks the peer against `peerHost`)
  // that the socket owns until it closes, connects again or is destroyed.
  // From then on read, write, writev and wait_readable carry TLS records,
  // after the session's handshake (tls()->handshake), and shutdown and close
  // send close_notify when they can without waiting; Nagle's algorithm is
  // turned off (TCP_NODELAY). False, with the reason in `error`, when no
  // session could be made.
  bool start_tls(const std::shared_ptr<os_tls_context>& context, const std::string& peerHost,
                 std::string& error);
  os_tls_session* tls() const { return m_pTls.load(std::memory_order_acquire); }

 protected:
  void mark_connected() { m_Connected.store(true, std::memory_order_release); }
  void on_shutdown() override;
  void drop_tls();

  std::atomic<bool> m_Connected;
  std::atomic<bool> m_Failed;
  std::atomic<int> m_LastError;
  std::atomic<long> m_ConnectBoundMs{0};
  std::atomic<long> m_SendTimeoutMs{0};
  std::atomic<os_tls_session*> m_pTls{nullptr};
  friend class os_tcp_connection_server;
};

class HX_NET_API os_tcp_socket : public os_connectable_socket {
 public:
  // bindKind is passed through unchanged (1 for a connecting link, 0 for an
  // accepted socket); the descriptor is made by connect_to or accept.
  explicit os_tcp_socket(int bindKind = 0);
  int bind_kind() const { return m_BindKind; }
  // Wraps an already connected descriptor (a socketpair end, say); the new
  // object owns it. Never returns null.
  static os_tcp_socket* adopt(int descriptor);

 private:
  int m_BindKind;
};

// A bound, listening TCP socket.
class HX_NET_API os_tcp_connection_server : public os_socket {
 public:
  // Listens on `address` alone (an IPv6 one with IPV6_V6ONLY, so "::" takes
  // no IPv4 clients). Throws os_network_toolkit_error when the socket cannot
  // be bound or listen.
  os_tcp_connection_server(const os_socket_address& address, int backlog);
  // Listens on every local interface of both families: one IPv6 socket with
  // IPV6_V6ONLY off, whose IPv4 peers read back as IPv4 (peer_address). The
  // port must be free in both families. Where the machine has no IPv6, an
  // IPv4 socket alone, as the constructor above with os_socket_address(port).
  os_tcp_connection_server(int port, int backlog);
  // Accepts one connection into `socket`. Returns false (no exception) for the
  // failures of one pending connection or of resources (EAGAIN, EINTR,
  // ECONNABORTED, EPROTO, EPERM, EMFILE, ENFILE, ENOBUFS, ENOMEM);
  // last_accept_error() tells which. With a timeout, waits at most that long
  // and returns false with EAGAIN. Any other failure throws.
  bool accept(os_tcp_socket& socket, timeval* timeout = nullptr);
  int last_accept_error() const { return m_LastAcceptError.load(std::memory_order_relaxed); }

 private:
  std::atomic<int> m_LastAcceptError{0};
};

// A readiness wait on a set of descriptors (poll underneath).
class HX_NET_API os_io_multiplexer {
 public:
  os_io_multiplexer();
  ~os_io_multiplexer();
  void read_scan(const std::vector<unsigned>& handles);
  // Returns the number of ready descriptors, 0 on time-out; null waits forever.
  // Returns early (with 0) after wake(). Throws os_network_toolkit_error.
  int select(timeval* timeout);
  // Makes a select in progress, or the next one, return at once. Any thread.
  void wake();
  bool is_ready(unsigned handle) const;

 private:
  std::vector<unsigned> m_Read;
  std::vector<unsigned> m_Ready;
  int m_WakeFd[2];
};

// ---------------------------------------------------------------------------
// Threads

// Identifies a thread; compared by its id part. Ids are never reused.
struct os_thread_t {
  uint64_t id = 0;
  bool operator==(const os_thread_t& o) const { return id == o.id; }
  bool operator!=(const os_thread_t& o) const { return id != o.id; }
};

// Starts a thread at once. Deleting the object does not wait for the thread.
// Nothing escapes the thread function: an exception is caught and dropped at
// the thread's top. Threads are reused: a thread whose function has returned
// is parked (64 at most, 10 s at most, waiting costs nothing) and runs the
// next os_thread's function; each run has its own id and its own end, and
// thread_local variables of other code may outlive the run that set them.
class HX_NET_API os_thread {
 public:
  typedef void* (*entry_t)(void*);
  // flags and detached are passed through unchanged. Throws
  // os_thread_toolkit_error when the thread cannot be created.
  os_thread(entry_t entry, void* arg, int flags = 0, bool detached = false);
  ~os_thread();
  os_thread(const os_thread&) = delete;
  os_thread& operator=(const os_thread&) = delete;

  os_thread_t tid() const { return m_Tid; }
  // False once the thread function has returned.
  static bool exists(os_thread_t tid);
  // The same for this object's thread, without the process-wide lock.
  bool running() const;
  // Threads parked for reuse right now (each an idle thread of the process).
  static size_t parked();

 private:
  struct Impl;
  Impl* m_pImpl;
  os_thread_t m_Tid;
};

// Registers a function that a reused thread runs after each thread
// function returns, to reset thread-local state (up to 8).
HX_NET_API void os_thread_add_reset_hook(void (*fn)());

namespace os_this_thread {
HX_NET_API os_thread_t tid();
// Blocks until the thread has ended; returns at once for an unknown id. Throws
// os_thread_toolkit_error (EDEADLK) when a thread waits for itself.
HX_NET_API void wait_for_thread(os_thread_t tid);
HX_NET_API void sleep(int seconds);
HX_NET_API void milli_sleep(long milliseconds);
}  // namespace os_this_thread

// ---------------------------------------------------------------------------
// Locks and events

// Re-entrant: the owner may lock again and releases after as many unlocks.
class HX_NET_API os_critical_section {
 public:
  explicit os_critical_section(bool flag = false);
  void lock() { m_Mutex.lock(); }
  void unlock() { m_Mutex.unlock(); }

 private:
  std::recursive_mutex m_Mutex;
};

// Manual reset: once posted it stays posted until reset(); wait() returns at
// once while posted. Any number of waiters.
class HX_NET_API os_event_semaphore {
 public:
  explicit os_event_semaphore(bool flag = false);
  void post();
  void reset();
  bool posted() const { return m_Posted.load(std::memory_order_acquire); }
  void wait();
  // Waits at most `milliseconds`; true when posted. Spurious wake-ups are
  // absorbed: it returns false only after the full time.
  bool wait(long milliseconds);

 private:
  std::atomic<bool> m_Posted;
  std::mutex m_Mutex;
  std::condition_variable m_Cond;
};

class HX_NET_API os_read_write_semaphore {
 public:
  os_read_write_semaphore() = default;
  void read_lock() { m_Mutex.lock_shared(); }
  void read_unlock() { m_Mutex.unlock_shared(); }
  void write_lock() { m_Mutex.lock(); }
  void write_unlock() { m_Mutex.unlock(); }

 private:
  std::shared_mutex m_Mutex;
};
