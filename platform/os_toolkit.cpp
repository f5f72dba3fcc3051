#include "platform/os_toolkit.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>

#include "platform/os_fault.h"
#include "platform/os_thread_internal.h"
#include "platform/os_tls.h"

// ---------------------------------------------------------------------------
// Fault seams

namespace {
std::atomic<int> g_FailAcceptTimes{0};
std::atomic<long> g_FailAcceptCode{0};
std::atomic<int> g_FailBindTimes{0};
std::atomic<long> g_FailBindCode{0};

// Consumes one armed failure; false (one relaxed load) when none is armed.
bool TakeFault(std::atomic<int>& times) {
  int n = times.load(std::memory_order_relaxed);
  while (n > 0) {
    if (times.compare_exchange_weak(n, n - 1, std::memory_order_acq_rel)) return true;
  }
  return false;
}
}  // namespace

namespace os_fault {
void FailAccept(int times, long nativeCode) {
  g_FailAcceptCode.store(nativeCode);
  g_FailAcceptTimes.store(times > 0 ? times : 0);
}
void FailBind(int times, long nativeCode) {
  g_FailBindCode.store(nativeCode);
  g_FailBindTimes.store(times > 0 ? times : 0);
}
void Reset() {
  os_fault_reset_threads();
  g_FailAcceptTimes.store(0);
  g_FailBindTimes.store(0);
}
}  // namespace os_fault

// ---------------------------------------------------------------------------
// Errors: one table from errno to the portable code and its description.

namespace {
struct ErrnoRow {
  int err;
  long portable;
};
const ErrnoRow kErrnoTable[] = {
    {ECONNREFUSED, OS_ERR_CONNECTION_REFUSED},
    {ETIMEDOUT, OS_ERR_TIMED_OUT},
    {EADDRINUSE, OS_ERR_ADDRESS_IN_USE},
    {EADDRNOTAVAIL, OS_ERR_ADDRESS_NOT_AVAILABLE},
    {ENETUNREACH, OS_ERR_NETWORK_UNREACHABLE},
    {EHOSTUNREACH, OS_ERR_NETWORK_UNREACHABLE},
    {ECONNRESET, OS_ERR_CONNECTION_RESET},
    {ECONNABORTED, OS_ERR_CONNECTION_RESET},
    {ENOTCONN, OS_ERR_NOT_CONNECTED},
    {EBADF, OS_ERR_BAD_DESCRIPTOR},
    {ENOTSOCK, OS_ERR_BAD_DESCRIPTOR},
    {EMFILE, OS_ERR_NO_RESOURCES},
    {ENFILE, OS_ERR_NO_RESOURCES},
    {ENOBUFS, OS_ERR_NO_RESOURCES},
    {ENOMEM, OS_ERR_NO_RESOURCES},
    {EINVAL, OS_ERR_INVALID_ARGUMENT},
    {EACCES, OS_ERR_PERMISSION},
    {EPERM, OS_ERR_PERMISSION},
    {EINTR, OS_ERR_INTERRUPTED},
    {EAGAIN, OS_ERR_AGAIN},
    {EPIPE, OS_ERR_BROKEN_PIPE},
    {EDEADLK, OS_ERR_DEADLOCK},
    {ESRCH, OS_ERR_NO_SUCH_THREAD},
    {ENXIO, OS_ERR_HOST_NOT_FOUND},
};

const char* PortableDescription(long code) {
  switch (code) {
    case OS_ERR_CONNECTION_REFUSED:
      return "connection refused";
    case OS_ERR_TIMED_OUT:
      return "operation timed out";
    case OS_ERR_HOST_NOT_FOUND:
      return "host name not found";
    case OS_ERR_ADDRESS_IN_USE:
      return "address already in use";
    case OS_ERR_ADDRESS_NOT_AVAILABLE:
      return "address not available";
    case OS_ERR_NETWORK_UNREACHABLE:
      return "network or host unreachable";
    case OS_ERR_CONNECTION_RESET:
      return "connection reset or aborted";
    case OS_ERR_NOT_CONNECTED:
      return "socket not connected";
    case OS_ERR_BAD_DESCRIPTOR:
      return "bad or closed socket";
    case OS_ERR_NO_RESOURCES:
      return "out of descriptors, buffers or memory";
    case OS_ERR_INVALID_ARGUMENT:
      return "invalid argument";
    case OS_ERR_PERMISSION:
      return "permission denied";
    case OS_ERR_INTERRUPTED:
      return "interrupted by a signal";
    case OS_ERR_AGAIN:
      return "resource temporarily unavailable";
    case OS_ERR_BROKEN_PIPE:
      return "connection closed by the peer";
    case OS_ERR_DEADLOCK:
      return "a thread cannot wait for itself";
    case OS_ERR_NO_SUCH_THREAD:
      return "no such thread";
    default:
      return "unknown error";
  }
}

std::string ErrText(const std::string& what, int err) {
  return what + ": " + std::strerror(err);
}
}  // namespace

long os_portable_code(int err) {
  for (const ErrnoRow& row : kErrnoTable)
    if (row.err == err) return row.portable;
  return OS_ERR_UNKNOWN;
}

os_toolkit_error::os_toolkit_error(std::string message) : m_Message(std::move(message)) {}
os_toolkit_error::~os_toolkit_error() = default;
const char* os_toolkit_error::what() const noexcept {
  return m_Message.c_str();
}

os_network_toolkit_error::os_network_toolkit_error(long portableCode, long nativeCode,
                                                   const std::string& message)
    : os_toolkit_error(message), m_Portable(portableCode), m_Native(nativeCode) {}
const char* os_network_toolkit_error::description(long portableCode) {
  return PortableDescription(portableCode);
}
os_network_toolkit_error os_network_toolkit_error::from_errno(int err, const std::string& what) {
  return os_network_toolkit_error(os_portable_code(err), err, ErrText(what, err));
}

os_thread_toolkit_error::os_thread_toolkit_error(long portableCode, long nativeCode,
                                                 const std::string& message)
    : os_toolkit_error(message), m_Portable(portableCode), m_Native(nativeCode) {}
const char* os_thread_toolkit_error::description(long portableCode) {
  return PortableDescription(portableCode);
}
os_thread_toolkit_error os_thread_toolkit_error::from_errno(int err, const std::string& what) {
  return os_thread_toolkit_error(os_portable_code(err), err, ErrText(what, err));
}

// ---------------------------------------------------------------------------
// Addresses

namespace {
os_network_toolkit_error NotResolved(const std::string& name, int rc, int err) {
  std::string msg = "cannot resolve host name '" + name +
                    "': " + (rc == EAI_SYSTEM ? std::strerror(err) : gai_strerror(rc));
  return os_network_toolkit_error(OS_ERR_HOST_NOT_FOUND, ENXIO, msg);
}

bool IsV4Mapped(const sockaddr_in6& a) {
  return IN6_IS_ADDR_V4MAPPED(&a.sin6_addr);
}
}  // namespace

os_ip_address::os_ip_address() : m_Family(AF_INET), m_Bytes{}, m_ScopeId(0) {}

os_ip_address::os_ip_address(const std::string& name) : os_ip_address() {
  std::vector<os_ip_address> all = resolve(name);
  auto v4 = std::find_if(all.begin(), all.end(),
                         [](const os_ip_address& ip) { return ip.m_Family == AF_INET; });
  *this = v4 != all.end() ? *v4 : all.front();
}

std::vector<os_ip_address> os_ip_address::resolve(const std::string& name) {
  os_ip_address numeric;
  if (inet_pton(AF_INET, name.c_str(), numeric.m_Bytes) == 1) return {numeric};
  if (inet_pton(AF_INET6, name.c_str(), numeric.m_Bytes) == 1) {  // without a scope
    numeric.m_Family = AF_INET6;
    return {numeric};
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = name.empty() ? EAI_NONAME : getaddrinfo(name.c_str(), nullptr, &hints, &res);
  int err = errno;
  std::vector<os_ip_address> out;
  for (addrinfo* r = rc == 0 ? res : nullptr; r; r = r->ai_next) {
    os_ip_address ip;
    if (r->ai_family == AF_INET) {
      std::memcpy(ip.m_Bytes, &reinterpret_cast<sockaddr_in*>(r->ai_addr)->sin_addr, 4);
    } else if (r->ai_family == AF_INET6) {
      const sockaddr_in6* a6 = reinterpret_cast<sockaddr_in6*>(r->ai_addr);
      ip.m_Family = AF_INET6;
      std::memcpy(ip.m_Bytes, &a6->sin6_addr, 16);
      ip.m_ScopeId = a6->sin6_scope_id;
    } else {
      continue;
    }
    out.push_back(ip);
  }
  if (res) freeaddrinfo(res);
  if (out.empty()) throw NotResolved(name, rc != 0 ? rc : EAI_NONAME, err);
  return out;
}

bool os_ip_address::is_any() const {
  static const unsigned char kZero[16] = {0};
  return std::memcmp(m_Bytes, kZero, m_Family == AF_INET6 ? 16 : 4) == 0;
}

long os_ip_address::as_long() const {
  if (m_Family != AF_INET) return 0;
  uint32_t v;
  std::memcpy(&v, m_Bytes, 4);
  return static_cast<long>(v);
}

std::string os_ip_address::text() const {
  char buf[INET6_ADDRSTRLEN + IF_NAMESIZE + 2] = {0};
  if (m_Family == AF_INET) {
    inet_ntop(AF_INET, m_Bytes, buf, sizeof buf);
    return buf;
  }
  // getnameinfo adds the scope ("%eth0") that inet_ntop leaves out.
  os_socket_address a(*this, 0);
  if (getnameinfo(a.sa(), static_cast<socklen_t>(a.length()), buf, sizeof buf, nullptr, 0,
                  NI_NUMERICHOST) != 0)
    inet_ntop(AF_INET6, m_Bytes, buf, sizeof buf);
  return buf;
}

std::string os_host_port_text(const std::string& host, int port) {
  if (host.find(':') != std::string::npos) return "[" + host + "]:" + std::to_string(port);
  return host + ":" + std::to_string(port);
}

os_socket_address::os_socket_address() {
  initialize();
}
os_socket_address::os_socket_address(int p) {
  initialize();
  port(p);
}
os_socket_address::os_socket_address(const os_ip_address& ip, int p) {
  std::memset(&m_Addr, 0, sizeof m_Addr);
  if (ip.m_Family == AF_INET6) {
    sockaddr_in6* a6 = reinterpret_cast<sockaddr_in6*>(&m_Addr);
    a6->sin6_family = AF_INET6;
    std::memcpy(&a6->sin6_addr, ip.m_Bytes, 16);
    a6->sin6_scope_id = ip.m_ScopeId;
  } else {
    sockaddr_in* a4 = reinterpret_cast<sockaddr_in*>(&m_Addr);
    a4->sin_family = AF_INET;
    std::memcpy(&a4->sin_addr, ip.m_Bytes, 4);
  }
  port(p);
}
void os_socket_address::initialize() {
  std::memset(&m_Addr, 0, sizeof m_Addr);
  m_Addr.ss_family = AF_INET;
}
void os_socket_address::port(int p) {
  uint16_t n = htons(static_cast<uint16_t>(p));
  if (m_Addr.ss_family == AF_INET6)
    reinterpret_cast<sockaddr_in6*>(&m_Addr)->sin6_port = n;
  else
    reinterpret_cast<sockaddr_in*>(&m_Addr)->sin_port = n;
}
void os_socket_address::ip_address(long a) {
  int p = port();
  initialize();
  reinterpret_cast<sockaddr_in*>(&m_Addr)->sin_addr.s_addr = static_cast<uint32_t>(a);
  port(p);
}
int os_socket_address::port() const {
  if (m_Addr.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&m_Addr)->sin6_port);
  return ntohs(reinterpret_cast<const sockaddr_in*>(&m_Addr)->sin_port);
}
long os_socket_address::ip_address() const {
  if (m_Addr.ss_family != AF_INET) return 0;
  return static_cast<long>(reinterpret_cast<const sockaddr_in*>(&m_Addr)->sin_addr.s_addr);
}
os_ip_address os_socket_address::ip() const {
  os_ip_address ip;
  if (m_Addr.ss_family == AF_INET6) {
    const sockaddr_in6* a6 = reinterpret_cast<const sockaddr_in6*>(&m_Addr);
    ip.m_Family = AF_INET6;
    std::memcpy(ip.m_Bytes, &a6->sin6_addr, 16);
    ip.m_ScopeId = a6->sin6_scope_id;
  } else if (m_Addr.ss_family == AF_INET) {
    std::memcpy(ip.m_Bytes, &reinterpret_cast<const sockaddr_in*>(&m_Addr)->sin_addr, 4);
  }
  return ip;
}
int os_socket_address::length() const {
  return m_Addr.ss_family == AF_INET6 ? static_cast<int>(sizeof(sockaddr_in6))
                                      : static_cast<int>(sizeof(sockaddr_in));
}
void os_socket_address::unmap() {
  if (m_Addr.ss_family != AF_INET6) return;
  const sockaddr_in6 a6 = *reinterpret_cast<const sockaddr_in6*>(&m_Addr);
  if (!IsV4Mapped(a6)) return;
  uint32_t v4;
  std::memcpy(&v4, a6.sin6_addr.s6_addr + 12, 4);
  initialize();
  sockaddr_in* a4 = reinterpret_cast<sockaddr_in*>(&m_Addr);
  a4->sin_addr.s_addr = v4;
  a4->sin_port = a6.sin6_port;
}

// ---------------------------------------------------------------------------
// Sockets

os_socket::os_socket() : m_Fd(-1) {}
os_socket::~os_socket() {
  int fd = m_Fd.exchange(-1);
  if (fd != -1) ::close(fd);
}

void os_socket::shutdown(int how) {
  std::lock_guard<std::mutex> g(m_CloseLock);
  int fd = m_Fd.load();
  on_shutdown();
  if (fd == -1) return;
  int h = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR;
  // ENOTCONN: the peer is gone already; the aim (nobody blocked here) holds.
  if (::shutdown(fd, h) != 0 && errno != ENOTCONN)
    throw os_network_toolkit_error::from_errno(errno, "shutdown");
}

void os_socket::close() {
  std::lock_guard<std::mutex> g(m_CloseLock);
  on_shutdown();
  int fd = m_Fd.exchange(-1);
  if (fd != -1) ::close(fd);  // the descriptor is released even on EINTR
}

void os_socket::setsockopt(int level, int name, const void* value, int length) {
  int fd = handle();
  if (::setsockopt(fd, level, name, value, static_cast<socklen_t>(length)) != 0)
    throw os_network_toolkit_error::from_errno(errno, "setsockopt");
}

void os_socket::getsockopt(int level, int name, void* value, int* length) const {
  socklen_t len = static_cast<socklen_t>(*length);
  if (::getsockopt(handle(), level, name, value, &len) != 0)
    throw os_network_toolkit_error::from_errno(errno, "getsockopt");
  *length = static_cast<int>(len);
}

os_socket_address os_socket::socket_address() const {
  os_socket_address a;
  socklen_t len = sizeof(sockaddr_storage);
  if (::getsockname(handle(), a.sa(), &len) != 0)
    throw os_network_toolkit_error::from_errno(errno, "getsockname");
  a.unmap();
  return a;
}

namespace {
std::atomic<long> g_ConnectTimeoutMs{21000};

int MillisLeft(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                  deadline - std::chrono::steady_clock::now())
                  .count();
  return left < 0 ? 0 : left > 0x7fffffff ? 0x7fffffff : static_cast<int>(left);
}
}  // namespace

os_connectable_socket::os_connectable_socket()
    : m_Connected(false), m_Failed(false), m_LastError(0) {}

os_connectable_socket::~os_connectable_socket() {
  drop_tls();
}

void os_connectable_socket::on_shutdown() {
  m_Connected.store(false, std::memory_order_release);
  if (os_tls_session* t = tls()) t->on_close();
}

void os_connectable_socket::drop_tls() {
  delete m_pTls.exchange(nullptr, std::memory_order_acq_rel);
}

bool os_connectable_socket::start_tls(const std::shared_ptr<os_tls_context>& context,
                                      const std::string& peerHost, std::string& error) {
  if (!context) {
    error = "no TLS context";
    return false;
  }
  if (handle() == -1) {
    error = "the socket is not connected";
    return false;
  }
  os_tls_session* session = os_tls_session::create(context, *this, peerHost, error);
  if (!session) return false;
  delete m_pTls.exchange(session, std::memory_order_acq_rel);
  // Without Nagle's algorithm: the first frame after the handshake would
  // otherwise wait for the acknowledgement of the handshake's last message,
  // which the peer delays (40 ms a connection). The writer already gathers
  // small frames into records.
  int one = 1;
  ::setsockopt(handle(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return true;
}

void os_connectable_socket::set_connect_timeout(long ms) {
  g_ConnectTimeoutMs.store(ms);
}
long os_connectable_socket::connect_timeout() {
  return g_ConnectTimeoutMs.load();
}

long os_connectable_socket::connect_bound() const {
  long bound = g_ConnectTimeoutMs.load();
  long own = m_ConnectBoundMs.load(std::memory_order_relaxed);
  return own > 0 && own < bound ? own : bound;
}

namespace {
// One connection attempt that ends by `deadline`: the connected (blocking)
// descriptor, or -1 with the errno in `err` and the failed call in `what`.
int ConnectOne(const sockaddr* address, socklen_t length,
               std::chrono::steady_clock::time_point deadline, int& err, const char*& what) {
  what = "socket";
  int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    err = errno;
    return -1;
  }
  what = "connect";
  err = 0;
  if (::connect(fd, address, length) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      err = errno;
    } else {
      for (;;) {
        pollfd p{fd, POLLOUT, 0};
        int rc = ::poll(&p, 1, MillisLeft(deadline));
        if (rc < 0 && errno == EINTR) continue;
        err = rc < 0 ? errno : rc == 0 ? ETIMEDOUT : 0;
        break;
      }
      socklen_t len = sizeof err;
      if (err == 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    }
  }
  if (err != 0) {
    ::close(fd);
    return -1;
  }
  int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}
}  // namespace

void os_connectable_socket::connect_to(const sockaddr* address, int length) {
  if (handle() != -1) close();
  drop_tls();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(connect_bound());
  int err = 0;
  const char* what = "";
  int fd = ConnectOne(address, static_cast<socklen_t>(length), deadline, err, what);
  if (fd < 0) throw os_network_toolkit_error::from_errno(err, what);
  set_handle(fd);
  m_Failed.store(false);
  m_LastError.store(0);
  mark_connected();
}

void os_connectable_socket::connect_to_any(const std::vector<os_socket_address>& addresses) {
  if (handle() != -1) close();
  drop_tls();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(connect_bound());
  int err = EADDRNOTAVAIL;  // for an empty list
  const char* what = "connect";
  int fd = -1;
  for (size_t i = 0; i < addresses.size() && fd < 0; ++i) {
    // The bound is shared: once it has run out, no address is tried any more.
    if (i > 0 && std::chrono::steady_clock::now() >= deadline) {
      err = ETIMEDOUT;
      what = "connect";
      break;
    }
    const os_socket_address& a = addresses[i];
    fd = ConnectOne(a.sa(), static_cast<socklen_t>(a.length()), deadline, err, what);
  }
  if (fd < 0) throw os_network_toolkit_error::from_errno(err, what);
  set_handle(fd);
  m_Failed.store(false);
  m_LastError.store(0);
  mark_connected();
}

void os_connectable_socket::connect_to_host(const std::string& host, int port) {
  std::vector<os_socket_address> addresses;
  for (const os_ip_address& ip : os_ip_address::resolve(host)) addresses.emplace_back(ip, port);
  connect_to_any(addresses);
}

int os_connectable_socket::read(void* buffer, int length) {
  if (os_tls_session* t = tls()) {
    int err = 0;
    int n = t->read(buffer, length, err);
    if (n < 0) {
      m_LastError.store(err, std::memory_order_relaxed);
      m_Failed.store(true, std::memory_order_release);
    }
    return n;
  }
  for (;;) {
    ssize_t n = ::recv(handle(), buffer, static_cast<size_t>(length), 0);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    m_LastError.store(errno, std::memory_order_relaxed);
    m_Failed.store(true, std::memory_order_release);
    return -1;
  }
}

int os_connectable_socket::write(const void* buffer, int length) {
  iovec v{const_cast<void*>(buffer), static_cast<size_t>(length)};
  return static_cast<int>(writev(&v, 1));
}

long os_connectable_socket::writev(const iovec* iov, int iovcnt) {
  if (os_tls_session* t = tls()) {
    // TLS has no gathering write: each buffer in turn (the link's writer
    // already gathers small frames into one).
    const long sendMs = m_SendTimeoutMs.load(std::memory_order_relaxed);
    long total = 0;
    for (int i = 0; i < iovcnt; ++i) {
      int err = 0;
      long n = t->write(static_cast<const char*>(iov[i].iov_base), iov[i].iov_len, sendMs, err);
      total += n;
      if (static_cast<size_t>(n) != iov[i].iov_len) {
        m_LastError.store(err, std::memory_order_relaxed);
        m_Failed.store(true, std::memory_order_release);
        break;
      }
    }
    return total;
  }
  // Work on a copy: partial writes advance it.
  iovec local[64];
  std::vector<iovec> big;
  iovec* v = local;
  if (iovcnt > 64) {
    big.assign(iov, iov + iovcnt);
    v = big.data();
  } else {
    std::memcpy(local, iov, sizeof(iovec) * static_cast<size_t>(iovcnt));
  }
  long total = 0;
  std::chrono::steady_clock::time_point lastProgress{};
  int first = 0;
  while (first < iovcnt && v[first].iov_len == 0) ++first;
  while (first < iovcnt) {
    msghdr m{};
    m.msg_iov = v + first;
    // One call takes at most IOV_MAX buffers (EMSGSIZE beyond); the loop
    // goes on with the rest like after a partial write.
    m.msg_iovlen = static_cast<size_t>(std::min(iovcnt - first, IOV_MAX));
    // With a send time-out, the wait for room is a poll bounded from the
    // last progress, so a peer that takes nothing for that long ends it.
    const long sendMs = m_SendTimeoutMs.load(std::memory_order_relaxed);
    ssize_t n = ::sendmsg(handle(), &m, MSG_NOSIGNAL | (sendMs > 0 ? MSG_DONTWAIT : 0));
    if (n < 0 && sendMs > 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (lastProgress == std::chrono::steady_clock::time_point{})
        lastProgress = std::chrono::steady_clock::now();
      pollfd p{handle(), POLLOUT, 0};
      int rc = ::poll(&p, 1, MillisLeft(lastProgress + std::chrono::milliseconds(sendMs)));
      if (rc != 0) continue;  // room, an error or EINTR: the next send tells
      errno = ETIMEDOUT;
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      m_LastError.store(errno, std::memory_order_relaxed);
      m_Failed.store(true, std::memory_order_release);
      return total;
    }
    total += n;
    lastProgress = std::chrono::steady_clock::now();
    size_t left = static_cast<size_t>(n);
    while (first < iovcnt && left >= v[first].iov_len) {
      left -= v[first].iov_len;
      ++first;
    }
    if (first < iovcnt) {
      v[first].iov_base = static_cast<char*>(v[first].iov_base) + left;
      v[first].iov_len -= left;
    }
  }
  return total;
}

bool os_connectable_socket::good() const {
  return handle() != -1 && !m_Failed.load(std::memory_order_acquire);
}
bool os_connectable_socket::connected() const {
  return m_Connected.load(std::memory_order_acquire) && handle() != -1;
}

os_socket_address os_connectable_socket::peer_address() const {
  os_socket_address a;
  socklen_t len = sizeof(sockaddr_storage);
  if (::getpeername(handle(), a.sa(), &len) != 0)
    throw os_network_toolkit_error::from_errno(errno, "getpeername");
  a.unmap();
  return a;
}

std::string os_connectable_socket::peer_text(int& port) const {
  port = 0;
  os_socket_address a;
  try {
    a = peer_address();
  } catch (const os_toolkit_error&) {
    // The peer is already gone (or the descriptor is not a TCP socket).
    return "ANY";
  }
  if (a.family() != AF_INET && a.family() != AF_INET6) return "ANY";
  port = a.port();
  os_ip_address ip = a.ip();
  return ip.is_any() ? "ANY" : ip.text();
}

os_tcp_socket::os_tcp_socket(int bindKind) : m_BindKind(bindKind) {}

os_tcp_socket* os_tcp_socket::adopt(int descriptor) {
  os_tcp_socket* s = new os_tcp_socket(0);
  s->set_handle(descriptor);
  if (descriptor != -1) s->mark_connected();
  return s;
}

namespace {
// A bound, listening, non-blocking descriptor, or -1 with the errno in `err`
// and `what` naming the call that failed. v6only: -1 leaves the option alone.
int Listen(const sockaddr* address, socklen_t length, int backlog, int v6only, int& err,
           const char*& what) {
  what = "socket";
  int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    err = errno;
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  bool ok = true;
  if (v6only >= 0) {
    what = "setsockopt";
    ok = ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) == 0;
  }
  if (ok) {
    what = "bind";
    ok = ::bind(fd, address, length) == 0;
  }
  if (ok) {
    what = "listen";
    ok = ::listen(fd, backlog) == 0;
  }
  if (!ok) {
    err = errno;
    ::close(fd);
    return -1;
  }
  return fd;
}
}  // namespace

os_tcp_connection_server::os_tcp_connection_server(const os_socket_address& address, int backlog) {
  if (TakeFault(g_FailBindTimes)) {
    int code = static_cast<int>(g_FailBindCode.load());
    throw os_network_toolkit_error(os_portable_code(code), code, "bind: injected failure");
  }
  int err = 0;
  const char* what = "";
  int fd = Listen(address.sa(), static_cast<socklen_t>(address.length()), backlog,
                  address.family() == AF_INET6 ? 1 : -1, err, what);
  if (fd < 0) throw os_network_toolkit_error::from_errno(err, what);
  set_handle(fd);
}

os_tcp_connection_server::os_tcp_connection_server(int port, int backlog) {
  if (TakeFault(g_FailBindTimes)) {
    int code = static_cast<int>(g_FailBindCode.load());
    throw os_network_toolkit_error(os_portable_code(code), code, "bind: injected failure");
  }
  sockaddr_in6 any6{};
  any6.sin6_family = AF_INET6;
  any6.sin6_addr = in6addr_any;
  any6.sin6_port = htons(static_cast<uint16_t>(port));
  int err = 0;
  const char* what = "";
  int fd = Listen(reinterpret_cast<sockaddr*>(&any6), sizeof any6, backlog, 0, err, what);
  // No IPv6 on this machine (no such family, no address, or no dual stack):
  // IPv4 alone. A port in use is no reason to fall back; that fails here.
  bool noIPv6 = err == EAFNOSUPPORT || err == EPROTONOSUPPORT || err == EADDRNOTAVAIL ||
                (fd < 0 && std::strcmp(what, "setsockopt") == 0);
  if (fd < 0 && noIPv6) {
    os_socket_address any4(port);
    fd = Listen(any4.sa(), static_cast<socklen_t>(any4.length()), backlog, -1, err, what);
  }
  if (fd < 0) throw os_network_toolkit_error::from_errno(err, what);
  set_handle(fd);
}

bool os_tcp_connection_server::accept(os_tcp_socket& socket, timeval* timeout) {
  if (TakeFault(g_FailAcceptTimes)) {
    long code = g_FailAcceptCode.load();
    if (code == 0) {
      m_LastAcceptError.store(EAGAIN);
      return false;
    }
    throw os_network_toolkit_error(os_portable_code(static_cast<int>(code)), code,
                                   "accept: injected failure");
  }
  int fd = handle();
  if (fd == -1) throw os_network_toolkit_error::from_errno(EBADF, "accept");
  // The listener is non-blocking, so a connection that vanished between the
  // readiness report and accept gives EAGAIN instead of a hang.
  int waitMs = timeout ? static_cast<int>(timeout->tv_sec * 1000 + timeout->tv_usec / 1000) : -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int rc = ::poll(&p, 1, waitMs < 0 ? -1 : MillisLeft(deadline));
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) throw os_network_toolkit_error::from_errno(errno, "accept");
    if (rc == 0) {
      m_LastAcceptError.store(EAGAIN);
      return false;
    }
    if (p.revents & POLLNVAL) throw os_network_toolkit_error::from_errno(EBADF, "accept");
    break;
  }
  int nfd = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (nfd < 0) {
    int err = errno;
    switch (err) {
      case EAGAIN:
      case EINTR:
      case ECONNABORTED:
      case EPROTO:
      case EPERM:
      case EMFILE:
      case ENFILE:
      case ENOBUFS:
      case ENOMEM:
        m_LastAcceptError.store(err);
        return false;
      default:
        throw os_network_toolkit_error::from_errno(err, "accept");
    }
  }
  if (socket.handle() != -1) socket.close();
  socket.drop_tls();
  socket.set_handle(nfd);
  socket.m_Failed.store(false);
  socket.m_LastError.store(0);
  socket.mark_connected();
  m_LastAcceptError.store(0);
  return true;
}

// ---------------------------------------------------------------------------
// Multiplexer

os_io_multiplexer::os_io_multiplexer() {
  if (::pipe2(m_WakeFd, O_CLOEXEC | O_NONBLOCK) != 0)
    throw os_network_toolkit_error::from_errno(errno, "pipe");
}
os_io_multiplexer::~os_io_multiplexer() {
  ::close(m_WakeFd[0]);
  ::close(m_WakeFd[1]);
}
void os_io_multiplexer::read_scan(const std::vector<unsigned>& handles) {
  m_Read = handles;
}

void os_io_multiplexer::wake() {
  char b = 1;
  ssize_t rc = ::write(m_WakeFd[1], &b, 1);
  (void)rc;  // a full pipe already holds a wake-up
}

bool os_io_multiplexer::is_ready(unsigned h) const {
  for (unsigned r : m_Ready)
    if (r == h) return true;
  return false;
}

int os_io_multiplexer::select(timeval* timeout) {
  std::vector<pollfd> fds;
  fds.reserve(m_Read.size() + 1);
  for (unsigned h : m_Read) fds.push_back(pollfd{static_cast<int>(h), POLLIN, 0});
  fds.push_back(pollfd{m_WakeFd[0], POLLIN, 0});
  long waitMs = timeout ? timeout->tv_sec * 1000 + timeout->tv_usec / 1000 : -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  m_Ready.clear();
  for (;;) {
    int rc = ::poll(fds.data(), fds.size(), waitMs < 0 ? -1 : MillisLeft(deadline));
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) throw os_network_toolkit_error::from_errno(errno, "select");
    break;
  }
  if (fds.back().revents & POLLIN) {
    char buf[64];
    while (::read(m_WakeFd[0], buf, sizeof buf) > 0) {
    }
  }
  for (size_t i = 0; i + 1 < fds.size(); ++i) {
    if (fds[i].revents & POLLNVAL) throw os_network_toolkit_error::from_errno(EBADF, "select");
    if (fds[i].revents) m_Ready.push_back(m_Read[i]);
  }
  return static_cast<int>(m_Ready.size());
}
