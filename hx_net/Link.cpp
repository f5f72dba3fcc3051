#include "hx_net/Link.h"

#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "hx_net/Tls.h"
#include "hx_net/link_frame.h"
#include "hx_net/server_thread.h"
#include "hx_net/trace_modules.h"
#include "platform/os_tls.h"

namespace {
const uint64_t kMaxFrameLength = 0x80000000ull;  // a receiver reads the length as signed 32-bit
const size_t kReadBufferSize = 64 * 1024;        // per link, for the buffered reader
const size_t kSingleAllocLimit = 1024 * 1024;    // above this, memory follows the bytes
const size_t kBatchFrames = 64;                  // per gathering write
const size_t kBatchBytes = 256 * 1024;
const size_t kSmallFrame = 512;                    // frames up to this size are staged together
const unsigned kSmallCapacity = kSmallFrame + 16;  // one buffer size for every small frame
const size_t kSmallCached = 1024;                  // small buffers kept per link while it is busy
const size_t kSmallIdle = 128;                     // and once it has been idle for kIdleTrimMs
const int kIdleTrimMs = 1000;
const int kReceiveBufferMin = 51200;
const size_t kSpareFrames = 4;                   // large send buffers kept per link for reuse
const size_t kDiscardOnClose = 4 * 1024 * 1024;  // unread input dropped before a close, at most
const long kLingerAfterRefusalMs = 250;          // for the peer's end after a failed handshake
const unsigned kAlwaysNow = 16 * 1024;  // frames this large are written at once when possible

// The three code lines that follow a toolkit network or thread error report.
template <class E>
void CodeLines(const TDiagFunc& fn, unsigned level, const E& e) {
  HX_TRACE_IN(fn, level, "The portable return code: " << e.portable_code());
  HX_TRACE_IN(fn, level, "The description: " << E::description(e.portable_code()));
  HX_TRACE_IN(fn, level, "The native return code: " << e.native_code());
}

}  // namespace

bool ParseFrameHeader(const char* h, uint64_t& length) {
  if (h[1] != ' ') return false;
  uint64_t v = 0;
  for (int i = 2; i < 10; ++i) {
    unsigned char c = static_cast<unsigned char>(h[i]);
    unsigned d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    v = (v << 4) | d;
  }
  length = v;
  return true;
}

// Writes the link prefix "host:port" into a trace line.
struct LinkPrefix {
  const Link* l;
  std::ostream& Write(std::ostream& os) const {
    if (l) return os << os_host_port_text(l->m_HostName, l->m_Port);
    return os << ":0";
  }
};
static std::ostream& operator<<(std::ostream& os, const LinkPrefix& p) {
  return p.Write(os);
}

// Trace-only diagnostic routine kept for the thread-failure paths.
static void prnthrdsToDiag(int) {
  LINK_SCOPE("prnthrdsToDiag");
}

LinkCBClass::~LinkCBClass() = default;

// ---------------------------------------------------------------------------
// Frame

namespace {
// The header: "%c %.8lx" of 'a' and the length, without a formatted print.
void WriteHeader(char* buf, unsigned length) {
  static const char kHex[] = "0123456789abcdef";
  buf[0] = 'a';
  buf[1] = ' ';
  for (int i = 0; i < 8; ++i) buf[2 + i] = kHex[(length >> (28 - 4 * i)) & 0xf];
}

// Header, payload and the NUL that is never sent.
void WriteFrame(char* buf, const char* data, unsigned length) {
  WriteHeader(buf, length);
  if (length) std::memcpy(buf + 10, data, length);
  buf[static_cast<size_t>(length) + 10] = '\0';
}
}  // namespace

void LinkBufferToSendClass::BuildBuffer(const char* data, unsigned length) {
  LINK_SCOPE("LinkBufferToSendClass::BuildBuffer");
  if (m_pBuffer) {
    delete[] m_pBuffer;
    m_pBuffer = nullptr;
    m_Size = 0;
    m_DataSize = 0;
    m_Capacity = 0;
  }
  if (length >= kMaxFrameLength) throw std::length_error("frame length exceeds 7fffffff");
  char* buf = new char[static_cast<size_t>(length) + 11];
  WriteFrame(buf, data, length);
  m_pBuffer = buf;
  m_Size = length + 10;
  m_DataSize = length;
  m_Capacity = length + 11;
}

void LinkBufferToSendClass::BuildBufferInto(char* buffer, unsigned capacity, const char* data,
                                            unsigned length) {
  LINK_SCOPE("LinkBufferToSendClass::BuildBuffer");
  if (m_pBuffer) delete[] m_pBuffer;
  WriteFrame(buffer, data, length);
  m_pBuffer = buffer;
  m_Size = length + 10;
  m_DataSize = length;
  m_Capacity = capacity;
}

long Link::ReadFullBufferImpl(os_tcp_socket* socket, char* buffer, long length, Link* link) {
  HX_SCOPE(g_LinkDbg, "Link", "ReadFullBufferImpl");
  if (!socket || !buffer) {
    HX_TRACE(1, "invalid option.");
    return -1;
  }
  if (length <= 0) return 0;
  long got = 0;
  while (got < length) {
    if (!IsConnected(socket, link)) return got;
    long chunk = length - got > INT_MAX ? INT_MAX : length - got;
    int n = socket->read(buffer + got, static_cast<int>(chunk));
    if (n <= 0) return -1;
    got += n;
  }
  return got;
}

long Link::ReadFullBuffer(os_tcp_socket* socket, char* buffer, long length) {
  return ReadFullBufferImpl(socket, buffer, length, nullptr);
}

long Link::ReadFullBuffer(char* buffer, long length) {
  return ReadFullBufferImpl(m_pSocket, buffer, length, this);
}

// ---------------------------------------------------------------------------
// Object and lifecycle

Link::Link()
    : m_pCallback(nullptr),
      m_pReadThread(nullptr),
      m_pWriteThread(nullptr),
      m_QueuedBytes(0),
      m_pSocket(nullptr),
      m_pAcceptedOn(nullptr),
      m_CloseEvent(false),
      m_Port(0),
      m_pClientData(nullptr),
      m_MaxPayload(0) {
  LINK_SCOPE("Link::Link");
  m_CloseEvent.reset();
  CloseQueue();  // nothing is accepted before the first open
}

Link::~Link() {
  LINK_SCOPE("Link::~Link");
  DisConnect();
  delete m_pSocket;
  m_pSocket = nullptr;
  CloseQueue();
  for (auto& spare : m_SpareFrames) delete[] spare.first;
  for (char* small : m_SmallFree) delete[] small;
}

// Ends the connection's queue: later Sends are refused until a reopen, and
// what is still queued is dropped with the count.
void Link::CloseQueue() {
  std::deque<LinkBufferToSendClass> left;
  m_SendQueue.Close(left, m_QueuedBytes);
  for (auto& r : left) {
    delete[] r.m_pBuffer;
    r.m_pBuffer = nullptr;
  }
  WakeWriteWaiters();
}

void Link::NoteEnd(LinkEndReason reason) {
  int none = static_cast<int>(LinkEndReason::None);
  m_EndReason.compare_exchange_strong(none, static_cast<int>(reason), std::memory_order_acq_rel);
}

LinkEndReason Link::EndReason() {
  LINK_SCOPE("Link::EndReason");
  return static_cast<LinkEndReason>(m_EndReason.load(std::memory_order_acquire));
}

void Link::WakeWriteWaiters() {
  { std::lock_guard<std::mutex> g(m_WrittenLock); }
  m_WrittenCv.notify_all();
}

// `state()` is 1 when the wait is over with success, -1 when it is over
// with failure, 0 while it goes on. The writer and every close notify.
template <class State>
bool Link::WaitWritten(State state, long timeoutMs) {
  m_WrittenWaiters.fetch_add(1);  // before the first look: no wake-up is missed
  int r = 0;
  {
    std::unique_lock<std::mutex> g(m_WrittenLock);
    auto over = [&] { return (r = state()) != 0; };
    if (timeoutMs < 0)
      m_WrittenCv.wait(g, over);
    else
      m_WrittenCv.wait_for(g, std::chrono::milliseconds(timeoutMs), over);
  }
  m_WrittenWaiters.fetch_sub(1);
  return r == 1;
}

bool Link::WaitQueueBelow(unsigned long bytes, long timeoutMs) {
  LINK_SCOPE("Link::WaitQueueBelow");
  return WaitWritten(
      [&] {
        if (m_SendQueue.IsClosed() || m_CloseEvent.posted()) return -1;
        return m_QueuedBytes.load() <= bytes ? 1 : 0;
      },
      timeoutMs);
}

bool Link::Flush(long timeoutMs) {
  LINK_SCOPE("Link::Flush");
  const uint64_t target = m_SendQueue.Pushed();
  return WaitWritten(
      [&] {
        if (m_SendQueue.Written() >= target) return 1;
        return m_SendQueue.IsClosed() || m_CloseEvent.posted() ? -1 : 0;
      },
      timeoutMs);
}

void Link::SetMaxQueuedBytes(unsigned long bytes) {
  LINK_SCOPE("Link::SetMaxQueuedBytes");
  m_MaxQueuedBytes.store(bytes, std::memory_order_relaxed);
}

void Link::SetKeepAlive(int idleSeconds, int intervalSeconds, int count) {
  LINK_SCOPE("Link::SetKeepAlive");
  bool on = idleSeconds > 0 && intervalSeconds > 0 && count > 0;
  bool off = idleSeconds == 0 && intervalSeconds == 0 && count == 0;
  if (!on && !off) {
    HX_TRACE(1, "Keep-alive figures " << idleSeconds << "," << intervalSeconds << "," << count
                                      << " ignored: all three above 0, or all 0 to turn it off.");
    return;
  }
  std::lock_guard<std::mutex> g(m_SocketLock);
  m_KeepIdle = idleSeconds;
  m_KeepInterval = intervalSeconds;
  m_KeepCount = count;
  if (m_pSocket) m_pSocket->set_keepalive(m_KeepIdle, m_KeepInterval, m_KeepCount);
  ApplyWriteTimeout();
}

void Link::SetWriteTimeout(long ms) {
  LINK_SCOPE("Link::SetWriteTimeout");
  std::lock_guard<std::mutex> g(m_SocketLock);
  m_WriteTimeoutMs = ms > 0 ? ms : 0;
  m_WriteWatchMs.store(m_WriteTimeoutMs, std::memory_order_relaxed);
  ApplyWriteTimeout();
}

// With keep-alive on, the kernel ends an idle connection by the
// unacknowledged-data bound instead of the probe count once that bound is
// set, so it is kept within keep-alive's own bound. Under m_SocketLock.
void Link::ApplyWriteTimeout() {
  if (!m_pSocket) return;
  long unacked = m_WriteTimeoutMs;
  if (unacked > 0 && m_KeepIdle > 0) {
    long keepMs =
        (static_cast<long>(m_KeepIdle) + static_cast<long>(m_KeepInterval) * m_KeepCount) * 1000L;
    unacked = std::min(unacked, keepMs);
  }
  m_pSocket->set_write_timeout(m_WriteTimeoutMs, unacked);
}

void Link::SetConnectTimeout(long ms) {
  LINK_SCOPE("Link::SetConnectTimeout");
  m_ConnectTimeoutMs.store(ms > 0 ? ms : 0, std::memory_order_relaxed);
}

void Link::SetFrameTimeout(long ms) {
  LINK_SCOPE("Link::SetFrameTimeout");
  m_FrameTimeoutMs.store(ms > 0 ? ms : 0, std::memory_order_relaxed);
}

void Link::SetLimits(const LinkLimits& limits) {
  LINK_SCOPE("Link::SetLimits");
  SetMaxPayload(limits.maxPayload);
  SetMaxQueuedBytes(limits.maxQueuedBytes);
  SetKeepAlive(limits.keepIdleSeconds, limits.keepIntervalSeconds, limits.keepCount);
  SetWriteTimeout(limits.writeTimeoutMs);
  SetFrameTimeout(limits.frameTimeoutMs);
}

// The stored options onto a new connection's socket, before its threads run.
void Link::ApplySocketOptions() {
  std::lock_guard<std::mutex> g(m_SocketLock);
  if (m_KeepIdle > 0) m_pSocket->set_keepalive(m_KeepIdle, m_KeepInterval, m_KeepCount);
  if (m_WriteTimeoutMs > 0) ApplyWriteTimeout();
}

// A connection opens: a fresh end reason and an empty queue.
void Link::BeginConnection() {
  m_EndReason.store(static_cast<int>(LinkEndReason::None), std::memory_order_release);
  m_Ended.store(false, std::memory_order_release);
  m_Refusing.store(false, std::memory_order_relaxed);
  m_ReceivedAtSend.store(~0ull, std::memory_order_relaxed);  // a first frame goes out at once
  ApplySocketOptions();
  m_SendQueue.Reopen(m_QueuedBytes);
}

void Link::ReplaceSocket(os_tcp_socket* socket) {
  std::lock_guard<std::mutex> g(m_SocketLock);
  delete m_pSocket;
  m_pSocket = socket;
}

bool Link::LinkOpen() {
  return m_pSocket && !m_CloseEvent.posted() && IsConnected(m_pSocket, this);
}

bool Link::IsConnected() {
  return LinkOpen();
}

bool Link::IsConnected(os_tcp_socket* socket, Link* link) {
  if (!socket) return false;
  try {
    return socket->good() && socket->connected();
  } catch (const os_network_toolkit_error& e) {
    LINK_SCOPE("Link::IsConnected");
    HX_TRACE(4, LinkPrefix{link} << " - os_network_toolkit_error exception thrown in "
                                    "Link::IsConnected. "
                                 << "Native Error code is " << e.native_code());
  } catch (const os_toolkit_error& e) {
    LINK_SCOPE("Link::IsConnected");
    HX_TRACE(4, LinkPrefix{link} << " - os_toolkit_error exception thrown in Link::IsConnected. "
                                 << "Error: " << e.what());
  } catch (const std::exception& e) {
    LINK_SCOPE("Link::IsConnected");
    HX_TRACE(4, LinkPrefix{link} << " - std::exception thrown in Link::IsConnected. "
                                 << "Error: " << e.what());
  }
  return false;
}

bool Link::IsTerminated() {
  LINK_SCOPE("Link::IsTerminated");
  ThreadsReadLock();
  bool ended = !m_pReadThread || !m_pReadThread->running();
  ThreadsReadUnlock();
  return ended;
}

bool Link::IsCloseEventPosted() {
  return m_CloseEvent.posted();
}

void Link::postCloseEvent() {
  if (m_pSocket && !m_CloseEvent.posted()) NoteEnd(LinkEndReason::LocalClose);
  m_CloseEvent.post();
  m_SendQueue.Wake();  // the writer notices at once instead of at its next poll
  WakeWriteWaiters();
}

void Link::SetCallbackObject(LinkCBClass& callback) {
  LINK_SCOPE("Link::SetCallbackObject");
  m_pCallback = &callback;
}
void Link::SetClientData(void* data) {
  LINK_SCOPE("Link::SetClientData");
  m_pClientData.store(data, std::memory_order_release);
}
void* Link::GetClientData() {
  LINK_SCOPE("Link::GetClientData");
  return m_pClientData.load(std::memory_order_acquire);
}
std::string Link::GetHostName() {
  return m_HostName;
}
int Link::GetPortNumber() {
  return m_Port;
}
void Link::SetMaxPayload(unsigned long bytes) {
  LINK_SCOPE("Link::SetMaxPayload");
  m_MaxPayload.store(bytes, std::memory_order_relaxed);
}

void Link::ThreadsReadLock() {
  LINK_SCOPE("Link::ThreadsReadLock");
  m_ThreadsLock.read_lock();
}
void Link::ThreadsReadUnlock() {
  LINK_SCOPE("Link::ThreadsReadUnlock");
  m_ThreadsLock.read_unlock();
}
void Link::ThreadsWriteLock() {
  LINK_SCOPE("Link::ThreadsWriteLock");
  m_ThreadsLock.write_lock();
}
void Link::ThreadsWriteUnlock() {
  LINK_SCOPE("Link::ThreadsWriteUnlock");
  m_ThreadsLock.write_unlock();
}

// Starts the writer, then the reader. Called with m_ThreadsLock held for
// writing; traces under the calling operation's scope. On a failure nothing
// is left running and the link is closed: a writer already started is woken
// by the close and awaited, and nothing can be queued for a writer that is
// not there.
bool Link::StartThreads(const TDiagFunc& hx_fn, const char* op, long& nativeError) {
  bool inConnect = std::strcmp(op, "Connect") == 0;
  try {
    m_pWriteThread = new os_thread(&Link::StartWriteThread, this, 0, false);
    m_pReadThread = new os_thread(&Link::StartReadThread, this, 0, false);
    return true;
  } catch (const os_thread_toolkit_error& e) {
    HX_TRACE(1, "Error in thread creation!");
    if (inConnect)
      HX_TRACE(1, "os_thread_toolkit_error exception thrown in Link::Connect.");
    else
      HX_TRACE(1, "os_thread_toolkit_error exception thrown.");
    CodeLines(hx_fn, 1, e);
    prnthrdsToDiag(1);
    nativeError = e.native_code();
  } catch (const os_toolkit_error& e) {
    HX_TRACE(0, "Error in thread creation!");
    if (inConnect)
      HX_TRACE(0, "os_toolkit_error exception thrown in Link::Connect. "
                      << "Error: " << e.what());
    else
      HX_TRACE(0, "os_toolkit_error exception thrown."
                      << "Error: " << e.what());
  } catch (const std::exception& e) {
    HX_TRACE(0, "Error in thread creation!");
    HX_TRACE(0, "std::exception thrown. "
                    << "Error: " << e.what());
  }
  CloseSocket(op);
  if (m_pWriteThread) {
    try {
      os_this_thread::wait_for_thread(m_pWriteThread->tid());
    } catch (...) {
    }
    delete m_pWriteThread;
    m_pWriteThread = nullptr;
  }
  CloseQueue();
  return false;
}

int Link::Connect(char* host, char* port, long& error) {
  LINK_SCOPE("Link::Connect");
  const auto begun = std::chrono::steady_clock::now();
  error = 0;
  if (LinkOpen()) {
    HX_TRACE(3, LinkPrefix{this} << " - Connect was called to an already connected link.");
    return -1;
  }
  m_HostName = host ? host : "";
  // Leading digits as atoi reads them, without atoi's overflow.
  errno = 0;
  long portValue = port ? std::strtol(port, nullptr, 10) : 0;
  if (errno == ERANGE || portValue > INT_MAX || portValue < INT_MIN) portValue = 0;
  m_Port = static_cast<int>(portValue);

  os_tcp_socket* fresh = new os_tcp_socket(1);
  ReplaceSocket(fresh);

  if (m_Port < 1 || m_Port > 65535) {
    // Never narrowed to another port: fail before any attempt.
    HX_TRACE(4, LinkPrefix{this} << " - Failed to connect.");
    return -1;
  }
  m_pSocket->set_connect_bound(m_ConnectTimeoutMs.load(std::memory_order_relaxed));
  try {
    m_CloseEvent.reset();
    m_pSocket->connect_to_host(m_HostName, m_Port);
  } catch (const os_network_toolkit_error& e) {
    HX_TRACE(4,
             LinkPrefix{this} << " - Connect has Caught network error. "
                              << " - os_network_toolkit_error exception thrown in Link::Connect. "
                              << "Error: " << e.what());
    CodeLines(hx_fn, 4, e);
    error = e.native_code();
    return -1;
  } catch (const os_toolkit_error& e) {
    HX_TRACE(4, LinkPrefix{this} << " - os_toolkit_error exception thrown in Link::Connect. "
                                 << "Error: " << e.what());
    return -1;
  } catch (const std::exception& e) {
    HX_TRACE(4, LinkPrefix{this} << " - std::exception thrown in Link::Connect. "
                                 << "Error: " << e.what());
    return -1;
  }
  if (!LinkOpen()) {
    HX_TRACE(4, LinkPrefix{this} << " - Failed to connect.");
    return -1;
  }
  std::shared_ptr<TlsContext> tls;
  {
    std::lock_guard<std::mutex> g(m_SocketLock);
    tls = m_Tls;
  }
  if (tls) {
    long spentMs = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - begun)
                                         .count());
    if (!ConnectTls(hx_fn, tls, spentMs, error)) return -1;
  }
  m_pAcceptedOn = nullptr;
  BeginConnection();
  ThreadsWriteLock();
  delete m_pWriteThread;
  delete m_pReadThread;
  m_pWriteThread = m_pReadThread = nullptr;
  bool started = false;
  try {
    started = StartThreads(hx_fn, "Connect", error);
  } catch (...) {
    ThreadsWriteUnlock();
    throw;
  }
  ThreadsWriteUnlock();
  return started ? 0 : -1;
}

int Link::Connect(const char* host, const char* port, long& error) {
  // Copies, so the other form may keep its signature and never write through.
  std::string h = host ? host : "", p = port ? port : "";
  return Connect(host ? &h[0] : nullptr, port ? &p[0] : nullptr, error);
}

int Link::AcceptConnection(os_tcp_socket* socket) {
  LINK_SCOPE("Link::AcceptConnection");
  if (!socket) {
    HX_TRACE(0, "Error, try to accept connection with NULL Socket ptr!");
    return -1;
  }
  HX_TRACE(5, "Delete old socket allocation");
  ReplaceSocket(socket);
  if (m_CloseEvent.posted() || !IsConnected(socket, this)) {
    HX_TRACE(2, "Can not accept connection. Socket is not connected.");
    return -1;
  }
  HX_TRACE(5, "Get peer ip address and port");
  // A peer already gone gives "ANY": the link still opens, and its reader
  // sees the end at once.
  m_HostName = socket->peer_text(m_Port);
  m_pAcceptedOn = t_hxServingServer;
  HX_TRACE(5, "Peer address " << os_host_port_text(m_HostName, m_Port));
  if (!AttachTls(hx_fn, socket)) return -1;
  BeginConnection();
  ThreadsWriteLock();
  HX_TRACE(5, "Delete write and read thread allocation");
  delete m_pWriteThread;
  delete m_pReadThread;
  m_pWriteThread = m_pReadThread = nullptr;
  bool started = false;
  try {
    long ignored = 0;
    started = StartThreads(hx_fn, "AcceptConnection", ignored);
  } catch (...) {
    ThreadsWriteUnlock();
    throw;
  }
  ThreadsWriteUnlock();
  return started ? 0 : -1;
}

// ---------------------------------------------------------------------------
// TLS

void Link::SetTls(std::shared_ptr<TlsContext> context) {
  LINK_SCOPE("Link::SetTls");
  std::lock_guard<std::mutex> g(m_SocketLock);
  m_Tls = std::move(context);
}

std::string Link::PeerCertificateSubject() {
  LINK_SCOPE("Link::PeerCertificateSubject");
  std::lock_guard<std::mutex> g(m_SocketLock);
  os_tls_session* session = m_pSocket ? m_pSocket->tls() : nullptr;
  return session ? session->peer_subject() : std::string();
}

// The client handshake, on the connected socket before the threads start:
// within the handshake time-out and what is left of the link's own bound.
bool Link::ConnectTls(const TDiagFunc& hx_fn, const std::shared_ptr<TlsContext>& tls, long spentMs,
                      long& error) {
  const std::shared_ptr<os_tls_context>& context = tls->m_Context;
  std::string why;
  if (context->side() != os_tls_context::client_side) {
    why = "a server context cannot connect";
  } else if (!m_pSocket->start_tls(context, m_HostName, why)) {
    why = "no session: " + why;
  } else {
    long bound = context->config().handshakeTimeoutMs;
    const long own = m_ConnectTimeoutMs.load(std::memory_order_relaxed);
    if (own > 0) {
      const long left = std::max(own - spentMs, 1L);
      bound = bound > 0 ? std::min(bound, left) : left;
    }
    os_tls_session* session = m_pSocket->tls();
    const os_tls_session::handshake_t done = session->handshake(bound);
    if (done == os_tls_session::handshake_done) {
      HX_TRACE(5, LinkPrefix{this} << " - TLS established: " << session->description());
      return true;
    }
    why = session->failure();
    error = done == os_tls_session::handshake_timed_out ? ETIMEDOUT : session->native_error();
  }
  if (error == 0) error = EPROTO;
  HX_TRACE(2, LinkPrefix{this} << " - TLS handshake failed: " << why << ". Closing the socket.");
  m_pSocket->close();  // no thread runs yet
  return false;
}

// A server context's session on an accepted socket, before the threads start.
bool Link::AttachTls(const TDiagFunc& hx_fn, os_tcp_socket* socket) {
  std::shared_ptr<TlsContext> tls;
  {
    std::lock_guard<std::mutex> g(m_SocketLock);
    tls = m_Tls;
  }
  if (!tls) return true;
  std::string why;
  if (tls->m_Context->side() != os_tls_context::server_side)
    why = "a client context cannot accept";
  else if (socket->start_tls(tls->m_Context, m_HostName, why))
    return true;
  HX_TRACE(2, LinkPrefix{this} << " - TLS handshake failed: " << why << ". Closing the socket.");
  socket->close();
  return false;
}

// The server handshake, on the reader thread before the first frame; the
// writer waits for it inside the session. False when it failed (the link is
// then closed).
bool Link::AcceptTls(const TDiagFunc& hx_fn) {
  os_tls_session* session = m_pSocket->tls();
  if (!session || session->established()) return true;
  if (session->handshake(session->handshake_timeout_ms()) == os_tls_session::handshake_done) {
    HX_TRACE(5, LinkPrefix{this} << " - TLS established: " << session->description());
    return true;
  }
  NoteEnd(LinkEndReason::HandshakeFailed);
  HX_TRACE(2, LinkPrefix{this} << " - TLS handshake failed: " << session->failure()
                               << ". Closing the socket.");
  // Our sending side only: input arriving after a shutdown of the receiving
  // side is answered with a reset, which can overtake the alert just sent.
  CloseSocket("ReadLoop", 1);
  return false;
}

// Wakes both threads and marks the link closed. The descriptor stays open
// until no thread of the link can use it any more (the reader releases it at
// the end of its loop): closing it under a blocked reader would let a new
// connection reuse the number and hand the reader someone else's bytes.
void Link::CloseSocket(const char* caller, int how) {
  LINK_SCOPE("Link::CloseSocket");
  m_CloseEvent.post();
  m_SendQueue.Wake();
  WakeWriteWaiters();
  try {
    m_pSocket->shutdown(how);
  } catch (const os_network_toolkit_error& e) {
    HX_TRACE(4, LinkPrefix{this} << ":"
                                 << " called from " << caller << ". "
                                 << "os_network_toolkit_error exception thrown. "
                                 << "Error: " << e.what());
    CodeLines(hx_fn, 4, e);
  } catch (const os_toolkit_error& e) {
    HX_TRACE(4, LinkPrefix{this} << ":"
                                 << " called from " << caller << ". "
                                 << "os_toolkit_error exception thrown. "
                                 << "Error: " << e.what());
  } catch (const std::exception& e) {
    HX_TRACE(4, LinkPrefix{this} << ":"
                                 << " called from " << caller << ". "
                                 << "std::exception thrown. "
                                 << "Error: " << e.what());
  }
}

void Link::DisConnect() {
  LINK_SCOPE("Link::DisConnect");
  // Also shut down a socket whose close event was posted by postCloseEvent
  // alone: otherwise a reader blocked in a read would keep the wait below
  // from ever returning.
  if (m_pSocket && (LinkOpen() || m_pSocket->handle() != -1)) {
    if (LinkOpen()) NoteEnd(LinkEndReason::LocalClose);  // before the reader sees the shutdown
    CloseSocket("DisConnect");
  }

  // Under the lock: on an accepted link the reader may get here (from
  // Receive) while the accepting thread is still storing the thread objects.
  m_ThreadsLock.read_lock();
  os_thread* reader = m_pReadThread;
  bool onReader = reader && reader->tid() == os_this_thread::tid();
  m_ThreadsLock.read_unlock();
  if (!reader || onReader) return;
  {
    TDiagFunc waitFn("Link", g_LinkDbg, "Link::DisConnect - waiting for read thread.");
    try {
      os_this_thread::wait_for_thread(reader->tid());
    } catch (const os_thread_toolkit_error& e) {
      HX_TRACE(4, "os_thread_toolkit_error exception thrown. "
                      << "Error: " << e.what());
      CodeLines(hx_fn, 4, e);
      return;
    } catch (const os_toolkit_error& e) {
      HX_TRACE(4, "os_toolkit_error exception thrown. "
                      << "Error: " << e.what());
      return;
    } catch (const std::exception& e) {
      HX_TRACE(4, "std::exception thrown. "
                      << "Error: " << e.what());
      return;
    }
  }
  ThreadsWriteLock();
  delete m_pWriteThread;
  delete m_pReadThread;
  m_pWriteThread = m_pReadThread = nullptr;
  ThreadsWriteUnlock();
}

// ---------------------------------------------------------------------------
// Write path

int Link::Send(const char* data, unsigned int length) {
  LINK_SCOPE("Link::Send");
  if (!LinkOpen()) return -1;
  if (length >= kMaxFrameLength) return -1;  // no receiver could take it
  // The backlog limit, tested again under the queue's lock; this first test
  // spares building a frame that would be refused.
  const uint64_t limit = m_MaxQueuedBytes.load(std::memory_order_relaxed);
  if (limit) {
    uint64_t now = m_QueuedBytes.load(std::memory_order_relaxed);
    if (now != 0 && now + length > limit) {
      RefusedByLimit(hx_fn, limit, length);
      return -1;
    }
  }
  if (!m_CallerWrites || !SendNow(data, length)) {
    LinkBufferToSendClass rec;
    unsigned capacity = 0;
    if (length + 11 <= kSmallCapacity) {
      char* small = TakeSmallFrame();
      rec.BuildBufferInto(small ? small : new char[kSmallCapacity], kSmallCapacity, data, length);
    } else {
      char* spare = length >= kReadBufferSize ? TakeSpareFrame(length + 11, capacity) : nullptr;
      if (spare)
        rec.BuildBufferInto(spare, capacity, data, length);
      else
        rec.BuildBuffer(data, length);
    }
    // A link that closed since the test above refuses here, so nothing is
    // left queued or counted after the writer's last drain.
    LockedQueue<>::PushResult pushed = Enqueue(rec, length, limit, false);
    if (pushed == LockedQueue<>::kOverLimit) RefusedByLimit(hx_fn, limit, length);
    if (pushed == LockedQueue<>::kClosed || pushed == LockedQueue<>::kOverLimit) return -1;
  }
  if (limit && m_Refusing.load(std::memory_order_relaxed))
    m_Refusing.store(false, std::memory_order_relaxed);
  return 0;
}

// Hands a built frame to the queue, counted in the same hold of the queue's
// lock; `first` puts it ahead of everything queued (the rest of a frame
// partly written already; never refused by the limit). The frame is freed
// when the queue does not take it, and when the queue throws, which leaves
// the queue and the count as they were.
LockedQueue<>::PushResult Link::Enqueue(LinkBufferToSendClass& rec, unsigned length, uint64_t limit,
                                        bool first) {
  LockedQueue<>::PushResult pushed;
  try {
    if (first)
      pushed = m_SendQueue.PushFrontCounted(rec, m_QueuedBytes, length) ? LockedQueue<>::kPushed
                                                                        : LockedQueue<>::kClosed;
    else
      pushed = m_SendQueue.PushCounted(rec, m_QueuedBytes, length, limit);
  } catch (...) {
    delete[] rec.m_pBuffer;
    rec.m_pBuffer = nullptr;
    throw;
  }
  if (pushed == LockedQueue<>::kClosed || pushed == LockedQueue<>::kOverLimit)
    delete[] rec.m_pBuffer;
  rec.m_pBuffer = nullptr;  // the queue's copy holds the only pointer, if any
  return pushed;
}

// Writes a frame on the caller's thread when nothing is queued or being
// written and the socket takes it without waiting: no copy, no hand-off to
// the writer. What the socket does not take at once (or a failure, which
// the writer then meets and reports) goes to the writer ahead of every queued
// frame. A small frame goes out here only as an answer (a frame has arrived
// since the last Send) or as a link's first: a burst of them is left to the
// writer, which gathers it into few writes. True when the frame was handled.
bool Link::SendNow(const char* data, unsigned length) {
  if (length < kAlwaysNow) {
    uint64_t received = m_Received.load(std::memory_order_relaxed);
    if (m_ReceivedAtSend.exchange(received, std::memory_order_relaxed) == received) return false;
  }
  if (m_pSocket->tls()) return false;  // one TLS session, written by the writer alone
  std::unique_lock<std::mutex> token(m_WriteToken, std::try_to_lock);
  if (!token.owns_lock() || !m_SendQueue.AllWritten() || m_SendQueue.IsClosed()) return false;
  char header[10];
  WriteHeader(header, length);
  iovec iov[2] = {{header, 10}, {const_cast<char*>(data), length}};
  const size_t total = static_cast<size_t>(length) + 10;
  long n = m_pSocket->try_writev(iov, length ? 2 : 1);
  if (n == static_cast<long>(total)) {
    m_SendQueue.CountWrittenDirectly();
    // With a write time-out the writer watches what is now unacknowledged.
    if (m_WriteWatchMs.load(std::memory_order_relaxed) > 0) m_SendQueue.Wake();
    return true;
  }
  const size_t done = n > 0 ? static_cast<size_t>(n) : 0;
  const size_t rest = total - done;
  LinkBufferToSendClass rec;
  unsigned capacity = 0;
  char* spare = rest + 1 >= kReadBufferSize
                    ? TakeSpareFrame(static_cast<unsigned>(rest + 1), capacity)
                    : nullptr;
  rec.m_pBuffer = spare ? spare : new char[rest + 1];
  rec.m_Capacity = spare ? capacity : static_cast<unsigned>(rest + 1);
  rec.m_Size = static_cast<unsigned>(rest);
  rec.m_DataSize = length;
  if (done < 10) {
    std::memcpy(rec.m_pBuffer, header + done, 10 - done);
    if (length) std::memcpy(rec.m_pBuffer + 10 - done, data, length);
  } else {
    std::memcpy(rec.m_pBuffer, data + (done - 10), rest);
  }
  Enqueue(rec, length, 0, true);  // closing: dropped like the rest of the queue
  return true;
}

// One trace line per run of refusals: a sender that retries in a loop must
// not flood the trace.
void Link::RefusedByLimit(const TDiagFunc& hx_fn, uint64_t limit, unsigned length) {
  if (m_Refusing.exchange(true, std::memory_order_relaxed)) return;
  HX_TRACE(2, LinkPrefix{this} << " - the send backlog limit of " << limit
                               << " bytes refused a frame of " << length << " bytes.");
}

char* Link::TakeSpareFrame(unsigned need, unsigned& capacity) {
  std::lock_guard<std::mutex> g(m_SpareLock);
  for (size_t i = 0; i < m_SpareFrames.size(); ++i) {
    if (m_SpareFrames[i].second >= need) {
      char* p = m_SpareFrames[i].first;
      capacity = m_SpareFrames[i].second;
      m_SpareFrames[i] = m_SpareFrames.back();
      m_SpareFrames.pop_back();
      return p;
    }
  }
  return nullptr;
}

// Keeps a written large frame's buffer (up to 1 MiB and a frame header, at
// most kSpareFrames of them) for the next large Send; `rec` no longer owns it then.
void Link::OfferSpareFrame(LinkBufferToSendClass& rec) {
  if (rec.m_Capacity < kReadBufferSize || rec.m_Capacity > kSingleAllocLimit + 11) return;
  std::lock_guard<std::mutex> g(m_SpareLock);
  if (m_SpareFrames.size() >= kSpareFrames) return;
  m_SpareFrames.emplace_back(rec.m_pBuffer, rec.m_Capacity);
  rec.m_pBuffer = nullptr;
}

char* Link::TakeSmallFrame() {
  if (!m_SmallLock.try_lock()) return nullptr;
  char* p = nullptr;
  if (!m_SmallFree.empty()) {
    p = m_SmallFree.back();
    m_SmallFree.pop_back();
  }
  m_SmallLock.unlock();
  return p;
}

void Link::ReturnSmallFrames(std::vector<char*>& buffers) {
  if (m_SmallLock.try_lock()) {
    while (!buffers.empty() && m_SmallFree.size() < kSmallCached) {
      m_SmallFree.push_back(buffers.back());
      buffers.pop_back();
    }
    m_SmallLock.unlock();
  }
  for (char* b : buffers) delete[] b;
  buffers.clear();
}

void Link::TrimSmallFrames() {
  std::vector<char*> extra;
  {
    std::lock_guard<std::mutex> g(m_SmallLock);
    if (m_SmallFree.size() <= kSmallIdle) return;
    extra.assign(m_SmallFree.begin() + kSmallIdle, m_SmallFree.end());
    m_SmallFree.resize(kSmallIdle);
  }
  for (char* b : extra) delete[] b;
}

unsigned int Link::QueueSize() {
  LINK_SCOPE("Link::QueueSize");
  uint64_t n = m_QueuedBytes.load(std::memory_order_relaxed);
  return n > UINT_MAX ? UINT_MAX : static_cast<unsigned int>(n);
}

void* Link::StartWriteThread(void* arg) {
  Link* link = static_cast<Link*>(arg);
  LINK_SCOPE("Link::StartWriteThread");
  try {
    link->WriteLoop();
  } catch (const os_thread_toolkit_error& e) {
    HX_TRACE(1, "Writer thread is exiting due to os_thread_toolkit_error.");
    CodeLines(hx_fn, 1, e);
    prnthrdsToDiag(1);
    link->NoteEnd(LinkEndReason::WriteFailed);
    link->CloseSocket("WriteLoop");
  } catch (const std::exception& e) {
    HX_TRACE(4, LinkPrefix{link} << ":"
                                 << "std::exception thrown. "
                                 << "Error: " << e.what());
    link->NoteEnd(LinkEndReason::WriteFailed);
    link->CloseSocket("WriteLoop");
  } catch (...) {
    HX_TRACE(4, LinkPrefix{link} << ":"
                                 << "unknown exception thrown.");
    link->NoteEnd(LinkEndReason::WriteFailed);
    link->CloseSocket("WriteLoop");
  }
  return nullptr;
}

void Link::WriteLoop() {
  LINK_SCOPE("Link::WriteLoop");
  HX_TRACE(5, LinkPrefix{this} << " - START write loop");
  // Frames taken off the queue, owned here; the whole queue is taken in one
  // lock hold and written in gathering batches.
  std::deque<LinkBufferToSendClass> pending;
  std::vector<iovec> iov;
  iov.reserve(kBatchFrames);
  std::unique_ptr<char[]> stage(new char[kBatchBytes]);
  std::vector<char*> returned;
  // With a write time-out, data the peer leaves unacknowledged is watched
  // while the writer has nothing else to do (a blocked write is bounded by
  // the socket's own send time-out).
  using Clock = std::chrono::steady_clock;
  long lastUnacked = 0, writtenSince = 0;  // at the last look, and written since
  Clock::time_point stalledSince{};
  auto peerStalled = [&](long timeoutMs) {
    long q = m_pSocket->unacknowledged_bytes();
    Clock::time_point now = Clock::now();
    bool progress = lastUnacked == 0 || q < lastUnacked + writtenSince;
    writtenSince = 0;
    lastUnacked = q > 0 ? q : 0;
    if (q <= 0 || progress) stalledSince = now;
    return q > 0 && now - stalledSince >= std::chrono::milliseconds(timeoutMs);
  };
  bool trimmed = false;
  std::unique_lock<std::mutex> token(m_WriteToken, std::defer_lock);
  while (LinkOpen()) {
    if (pending.empty()) {
      const long watchMs = m_WriteWatchMs.load(std::memory_order_relaxed);
      const bool watching = watchMs > 0 && m_pSocket->unacknowledged_bytes() > 0;
      int waitMs;
      if (watching) {
        if (peerStalled(watchMs)) {
          NoteEnd(LinkEndReason::PeerTimeout);
          HX_TRACE(4, LinkPrefix{this} << " - written data not acknowledged within " << watchMs
                                       << " ms. Closing the socket.");
          CloseSocket("WriteLoop");
          break;
        }
        waitMs = static_cast<int>(std::max(10L, std::min(watchMs / 4, 250L)));
      } else {
        // A push into the empty queue and every close wake us. After a
        // second with nothing to write the link gives back most of its
        // small buffers, then waits without a time-out: one wake-up per
        // idle spell, none after.
        lastUnacked = 0;
        waitMs = trimmed ? -1 : kIdleTrimMs;
      }
      if (!m_SendQueue.WaitNotEmpty(waitMs)) {
        if (!watching) {
          TrimSmallFrames();
          trimmed = true;
        }
        continue;
      }
      if (!LinkOpen()) break;
      // Taken under the write token: a Send that wrote part of a frame on
      // its own thread has put the rest at the queue's front by then.
      token.lock();
      if (m_SendQueue.PopAll(pending, 0) == 0) {
        token.unlock();
        continue;
      }
      trimmed = false;
      for (auto& r : pending) r.m_OwnsBuffer = true;
    } else {
      token.lock();
    }
    // Small frames are copied together into one staging area: a run of
    // them then costs the kernel one segment instead of one per frame.
    iov.clear();
    size_t total = 0, staged = 0, frames = 0;
    for (auto& r : pending) {
      if (frames == kBatchFrames * 16 || iov.size() == kBatchFrames || total >= kBatchBytes) break;
      if (r.m_Size <= kSmallFrame && staged + r.m_Size <= kBatchBytes) {
        char* at = stage.get() + staged;
        std::memcpy(at, r.m_pBuffer, r.m_Size);
        if (!iov.empty() && static_cast<char*>(iov.back().iov_base) + iov.back().iov_len == at)
          iov.back().iov_len += r.m_Size;
        else
          iov.push_back(iovec{at, r.m_Size});
        staged += r.m_Size;
      } else {
        iov.push_back(iovec{r.m_pBuffer, r.m_Size});
      }
      total += r.m_Size;
      ++frames;
    }
    long written = m_pSocket->writev(iov.data(), static_cast<int>(iov.size()));
    writtenSince += written;
    // Count down and free the frames that went out whole.
    uint64_t doneBytes = 0, doneFrames = 0;
    size_t offset = 0;
    while (frames > 0 && offset + pending.front().m_Size <= static_cast<size_t>(written)) {
      --frames;
      offset += pending.front().m_Size;
      doneBytes += pending.front().m_DataSize;
      ++doneFrames;
      LinkBufferToSendClass& done = pending.front();
      if (done.m_Capacity == kSmallCapacity) {
        returned.push_back(done.m_pBuffer);
        done.m_pBuffer = nullptr;
      } else {
        OfferSpareFrame(done);
      }
      pending.pop_front();
    }
    if (!returned.empty()) ReturnSmallFrames(returned);
    if (doneBytes) m_QueuedBytes.fetch_sub(doneBytes, std::memory_order_relaxed);
    if (doneFrames) m_SendQueue.MarkWritten(doneFrames);
    token.unlock();
    // A read-modify-write ordered after the updates above: a waiter that
    // registers after it (its own increment) sees them, one before it is
    // notified.
    if (m_WrittenWaiters.fetch_add(0, std::memory_order_seq_cst) > 0) WakeWriteWaiters();
    if (offset != total) {
      int err = m_pSocket->error();
      os_tls_session* tls = m_pSocket->tls();
      if (err == ETIMEDOUT || err == EAGAIN || err == EWOULDBLOCK)
        NoteEnd(LinkEndReason::PeerTimeout);
      else if (tls && tls->refused())  // a TLS 1.3 server's refusal, read as we wrote
        NoteEnd(LinkEndReason::HandshakeFailed);
      else
        NoteEnd(LinkEndReason::WriteFailed);
      HX_TRACE(4, LinkPrefix{this} << "Write has failed. Sent only "
                                   << (static_cast<size_t>(written) - offset) << " bytes out of "
                                   << pending.front().m_Size << ". Closing the socket.");
      CloseSocket("WriteLoop");
    }
  }
  pending.clear();  // frees what was taken but not written
  CloseQueue();     // frames still queued at the close are never sent
  HX_TRACE(5, LinkPrefix{this} << " - END write loop");
}

// ---------------------------------------------------------------------------
// Read path

void* Link::StartReadThread(void* arg) {
  Link* link = static_cast<Link*>(arg);
  LINK_SCOPE("Link::StartReadThread");
  link->ReadLoop();
  return nullptr;
}

void Link::ReadLoop() {
  LINK_SCOPE("Link::ReadLoop");
  t_hxServingServer = m_pAcceptedOn;
  HX_TRACE(5, LinkPrefix{this} << " - START read loop");
  try {
    // Keep the platform's automatic sizing unless it gives less than 51200.
    int current = 0, len = sizeof current;
    m_pSocket->getsockopt(SOL_SOCKET, SO_RCVBUF, &current, &len);
    if (current < kReceiveBufferMin) {
      int want = kReceiveBufferMin;
      m_pSocket->setsockopt(SOL_SOCKET, SO_RCVBUF, &want, sizeof want);
    }
    if (AcceptTls(hx_fn)) ReadFrames(hx_fn);
  } catch (const os_network_toolkit_error& e) {
    HX_TRACE(4, LinkPrefix{this} << ":"
                                 << "os_network_toolkit_error exception thrown. "
                                 << "Error: " << e.what());
    CodeLines(hx_fn, 4, e);
    NoteEnd(LinkEndReason::NetworkError);
    CloseSocket("ReadLoop");
  } catch (const os_thread_toolkit_error& e) {
    HX_TRACE(4, "os_thread_toolkit_error exception thrown. "
                    << "Error: " << e.what());
    CodeLines(hx_fn, 4, e);
    NoteEnd(LinkEndReason::NetworkError);
    CloseSocket("ReadLoop");
  } catch (const os_toolkit_error& e) {
    HX_TRACE(4, LinkPrefix{this} << ":"
                                 << "os_toolkit_error exception thrown. "
                                 << "Error: " << e.what());
    NoteEnd(LinkEndReason::NetworkError);
    CloseSocket("ReadLoop");
  } catch (const std::exception& e) {
    HX_TRACE(4, LinkPrefix{this} << ":"
                                 << "std::exception thrown. "
                                 << "Error: " << e.what());
    NoteEnd(LinkEndReason::NetworkError);
    CloseSocket("ReadLoop");
  } catch (...) {
    HX_TRACE(4, LinkPrefix{this} << ":"
                                 << "unknown exception thrown.");
    NoteEnd(LinkEndReason::NetworkError);
    CloseSocket("ReadLoop");
  }
  // However the loop ended, the writer must end too before we report.
  NoteEnd(LinkEndReason::NetworkError);  // the socket went down between reads
  m_CloseEvent.post();
  m_SendQueue.Wake();
  if (m_pWriteThread) {
    TDiagFunc waitFn("Link", g_LinkDbg, "Link::ReadLoop - waiting for write thread.");
    try {
      os_this_thread::wait_for_thread(m_pWriteThread->tid());
    } catch (const os_thread_toolkit_error& e) {
      HX_TRACE(4, "os_thread_toolkit_error exception thrown. "
                      << "Error: " << e.what());
      CodeLines(hx_fn, 4, e);
    } catch (const os_toolkit_error& e) {
      HX_TRACE(4, "os_toolkit_error exception thrown. "
                      << "Error: " << e.what());
    } catch (const std::exception& e) {
      HX_TRACE(4, "std::exception thrown. "
                      << "Error: " << e.what());
    }
  }
  // Also when the writer left through an exception without its drain.
  CloseQueue();
  // No thread of this link uses the descriptor any more. Input nobody will
  // read is dropped first: closing over it would reset the connection, and
  // the peer could lose what it had not read yet of what we sent.
  if (m_EndReason.load(std::memory_order_acquire) ==
      static_cast<int>(LinkEndReason::HandshakeFailed))
    m_pSocket->discard_input_until_end(kDiscardOnClose, kLingerAfterRefusalMs);
  else
    m_pSocket->discard_input(kDiscardOnClose);
  m_pSocket->close();
  HX_TRACE(5, LinkPrefix{this} << " - Calling the Exception  Callback.");
  if (m_pCallback) {
    try {
      m_pCallback->Exception(-1, this);
    } catch (const std::exception& e) {
      HX_TRACE(4, LinkPrefix{this} << ":"
                                   << "std::exception thrown. "
                                   << "Error: " << e.what());
    } catch (...) {
      HX_TRACE(4, LinkPrefix{this} << ":"
                                   << "unknown exception thrown.");
    }
  }
  m_Ended.store(true, std::memory_order_release);
  HX_TRACE(5, LinkPrefix{this} << " - END read loop");
  t_hxServingServer = nullptr;
}

// Reads frames through a per-link buffer: every complete frame it holds is
// delivered in place; a frame larger than the buffer gets its own allocation,
// which above 1 MiB grows as the bytes arrive, so a header alone pins nothing.
// With a frame time-out, the time spent waiting for the bytes of a frame
// whose first byte has arrived is counted against it.
void Link::ReadFrames(const TDiagFunc& hx_fn) {
  std::unique_ptr<char[]> buf(new char[kReadBufferSize + 1]);  // +1: the NUL after a payload
  size_t begin = 0, end = 0;
  std::unique_ptr<char[]> spare;  // the last large-frame buffer, reused
  size_t spareCap = 0;
  using Clock = std::chrono::steady_clock;
  long frameMs = 0;          // this frame's time-out, read as the frame starts
  Clock::duration waited{};  // spent so far waiting for this frame's bytes
  enum Got { kOk, kEnd, kError, kDown, kLate };
  Got why = kOk;

  // One read for a frame of which `started` says whether bytes have arrived.
  auto readInto = [&](char* at, size_t max, bool started) -> long {
    if (!IsConnected(m_pSocket, this)) {
      why = kDown;
      return -1;
    }
    if (started && frameMs > 0) {
      auto left = std::chrono::milliseconds(frameMs) - waited;
      auto t0 = Clock::now();
      int ready = m_pSocket->wait_readable(
          left.count() > 0
              ? static_cast<long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(left).count())
              : 0);
      waited += Clock::now() - t0;
      if (ready == 0) {
        why = kLate;
        return -1;
      }
    }
    int n = m_pSocket->read(at, static_cast<int>(std::min<size_t>(max, INT_MAX)));
    if (n > 0) return n;
    why = n == 0 ? kEnd : kError;
    return -1;
  };
  // Makes at least `need` bytes (need <= kReadBufferSize) available at begin.
  auto fill = [&](size_t need) -> bool {
    if (begin + need > kReadBufferSize) {
      std::memmove(buf.get(), buf.get() + begin, end - begin);
      end -= begin;
      begin = 0;
    }
    while (end - begin < need) {
      long n = readInto(buf.get() + end, kReadBufferSize - end, end > begin);
      if (n < 0) return false;
      end += static_cast<size_t>(n);
    }
    return true;
  };
  // Ends the link after a failed read of a frame; `inFrame`: some of the
  // frame had arrived (the peer cut it short).
  auto failed = [&](const char* line, bool inFrame) {
    if (why == kLate) {
      NoteEnd(LinkEndReason::FrameTimeout);
      HX_TRACE(2, LinkPrefix{this} << " - frame not complete within " << frameMs
                                   << " ms. Closing the socket.");
    } else {
      os_tls_session* tls = m_pSocket->tls();
      if (why == kEnd && tls && !tls->ended_cleanly())
        HX_TRACE(4, LinkPrefix{this} << " - the TLS peer ended without close_notify.");
      if (why == kEnd && !inFrame) {
        NoteEnd(LinkEndReason::PeerClosed);
      } else if (why == kError && m_pSocket->error() == ETIMEDOUT) {
        NoteEnd(LinkEndReason::PeerTimeout);
      } else if (why == kError && tls && tls->refused()) {
        // A TLS 1.3 client learns only now that the server refused it.
        NoteEnd(LinkEndReason::HandshakeFailed);
        HX_TRACE(2, LinkPrefix{this} << " - TLS handshake failed: " << tls->failure()
                                     << ". Closing the socket.");
      } else {
        NoteEnd(LinkEndReason::NetworkError);
      }
      HX_TRACE(4, LinkPrefix{this} << line);
    }
    CloseSocket("ReadLoop");
  };
  const char* const kHeaderFailed = " - header read has failed. Closing the socket.";
  const char* const kBufferFailed = " - buffer read has failed. Closing the socket.";

  while (LinkOpen()) {
    if (begin == end) begin = end = 0;
    frameMs = m_FrameTimeoutMs.load(std::memory_order_relaxed);
    waited = Clock::duration::zero();
    uint64_t length = 0;
    if (!fill(10)) {
      failed(kHeaderFailed, end > begin);
      continue;
    }
    if (!ParseFrameHeader(buf.get() + begin, length)) {
      NoteEnd(LinkEndReason::BadHeader);
      HX_TRACE(4, LinkPrefix{this} << kHeaderFailed);
      CloseSocket("ReadLoop");
      continue;
    }
    begin += 10;
    if (length >= kMaxFrameLength) {
      // A negative length as a signed 32-bit receiver reads it.
      NoteEnd(LinkEndReason::PayloadTooLarge);
      HX_TRACE(4, LinkPrefix{this} << kBufferFailed);
      CloseSocket("ReadLoop");
      continue;
    }
    unsigned long limit = m_MaxPayload.load(std::memory_order_relaxed);
    if (limit && length > limit) {
      NoteEnd(LinkEndReason::PayloadTooLarge);
      HX_TRACE(4, LinkPrefix{this} << " - frame length " << length << " exceeds the limit of "
                                   << limit << ". Closing the socket.");
      CloseSocket("ReadLoop");
      continue;
    }
    size_t n = static_cast<size_t>(length);
    if (n <= kReadBufferSize) {
      // The header is in: the frame has started even with no payload byte yet.
      if (end - begin < n && !fill(n)) {
        failed(kBufferFailed, true);
        continue;
      }
      char* payload = buf.get() + begin;
      begin += n;
      if (!LinkOpen()) break;  // nothing is delivered after a close
      m_Received.fetch_add(1, std::memory_order_relaxed);
      if (m_pCallback) {
        char saved = payload[n];
        payload[n] = '\0';
        m_pCallback->Receive(static_cast<unsigned>(n), payload, this);
        payload[n] = saved;
      }
      continue;
    }
    // Larger than the read buffer: its own allocation, kept for the next
    // large frame when it is of the single-allocation class.
    size_t cap = n <= kSingleAllocLimit ? n + 10 : kSingleAllocLimit;
    std::unique_ptr<char[]> big;
    if (spareCap >= cap) {
      big.swap(spare);
      cap = spareCap;
      spareCap = 0;
    } else {
      big.reset(new char[cap]);
    }
    size_t got = end - begin;
    std::memcpy(big.get(), buf.get() + begin, got);
    begin = end = 0;
    bool ok = true;
    while (got < n) {
      if (got == cap) {
        size_t ncap = cap * 2 >= n ? n + 1 : cap * 2;
        std::unique_ptr<char[]> grown(new char[ncap]);
        std::memcpy(grown.get(), big.get(), got);
        big.swap(grown);
        cap = ncap;
      }
      long r = readInto(big.get() + got, std::min(cap, n) - got, true);
      if (r < 0) {
        ok = false;
        break;
      }
      got += static_cast<size_t>(r);
    }
    if (ok && cap < n + 1) {
      std::unique_ptr<char[]> grown(new char[n + 1]);
      std::memcpy(grown.get(), big.get(), n);
      big.swap(grown);
      cap = n + 1;
    }
    if (!ok) {
      failed(kBufferFailed, true);
      continue;
    }
    big[n] = '\0';
    if (!LinkOpen()) break;
    m_Received.fetch_add(1, std::memory_order_relaxed);
    if (m_pCallback) m_pCallback->Receive(static_cast<unsigned>(n), big.get(), this);
    if (cap <= kSingleAllocLimit + 10 && cap > spareCap) {
      spare.swap(big);
      spareCap = cap;
    }
  }
}
