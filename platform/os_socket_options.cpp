// Socket options, timed readiness and input draining for connected sockets.
#include <errno.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <chrono>

#include "platform/os_tls.h"
#include "platform/os_toolkit.h"

namespace {
// The kernel's own limits on the keep-alive figures.
const int kMaxKeepIdle = 32767;
const int kMaxKeepInterval = 32767;
const int kMaxKeepCount = 127;
}  // namespace

bool os_connectable_socket::set_keepalive(int idleSeconds, int intervalSeconds, int count) {
  std::lock_guard<std::mutex> g(m_CloseLock);
  int fd = handle();
  if (fd == -1) return false;
  int on = idleSeconds > 0 && intervalSeconds > 0 && count > 0;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  if (!on) return true;
  int idle = std::min(idleSeconds, kMaxKeepIdle);
  int interval = std::min(intervalSeconds, kMaxKeepInterval);
  int probes = std::min(count, kMaxKeepCount);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
  return true;
}

bool os_connectable_socket::set_write_timeout(long sendMs, long unackedMs) {
  std::lock_guard<std::mutex> g(m_CloseLock);
  int fd = handle();
  if (fd == -1) return false;
  m_SendTimeoutMs.store(sendMs > 0 ? sendMs : 0, std::memory_order_relaxed);
  unsigned user = unackedMs > 0 ? static_cast<unsigned>(std::min(unackedMs, 0x7fffffffL)) : 0;
  ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user, sizeof user);
  return true;
}

int os_connectable_socket::wait_readable(long ms) {
  int fd = handle();
  if (fd == -1) return -1;
  // Over TLS, data means a whole record's worth, which bytes on the socket
  // need not be yet; and a record may already wait inside the session.
  if (os_tls_session* t = tls()) return t->wait_readable(ms);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
  for (;;) {
    int left = -1;
    if (ms >= 0) {
      auto d = std::chrono::duration_cast<std::chrono::milliseconds>(
                   deadline - std::chrono::steady_clock::now())
                   .count();
      left = d < 0 ? 0 : d > 0x7fffffff ? 0x7fffffff : static_cast<int>(d);
    }
    pollfd p{fd, POLLIN, 0};
    int rc = ::poll(&p, 1, left);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return 1;  // let the read report the error
    return rc > 0 ? 1 : 0;
  }
}

void os_connectable_socket::discard_input(size_t maxBytes) {
  std::lock_guard<std::mutex> g(m_CloseLock);
  int fd = handle();
  if (fd == -1) return;
  char sink[16384];
  size_t dropped = 0;
  while (dropped < maxBytes) {
    ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    dropped += static_cast<size_t>(n);
  }
}

long os_connectable_socket::unacknowledged_bytes() {
  std::lock_guard<std::mutex> g(m_CloseLock);
  int fd = handle();
  int queued = 0;
  if (fd == -1 || ::ioctl(fd, SIOCOUTQ, &queued) != 0) return -1;
  return queued;
}

long os_connectable_socket::try_writev(const iovec* iov, int iovcnt) {
  std::lock_guard<std::mutex> g(m_CloseLock);
  int fd = handle();
  if (fd == -1 || tls()) return -1;  // clear bytes must never enter a TLS stream
  msghdr m{};
  m.msg_iov = const_cast<iovec*>(iov);
  m.msg_iovlen = static_cast<size_t>(iovcnt);
  for (;;) {
    ssize_t n = ::sendmsg(fd, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

void os_connectable_socket::discard_input_until_end(size_t maxBytes, long ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  char sink[16384];
  size_t dropped = 0;
  while (dropped < maxBytes) {
    long left = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now())
                                      .count());
    if (left <= 0) break;
    std::lock_guard<std::mutex> g(m_CloseLock);
    int fd = handle();
    if (fd == -1) return;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::min(left, 50L))) < 0 && errno != EINTR) return;
    ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return;
    if (n > 0) dropped += static_cast<size_t>(n);
  }
}
