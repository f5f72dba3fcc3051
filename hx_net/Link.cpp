#include "hx_net/Link.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <memory>
#include <stdexcept>

#include "hx_net/Tls.h"
#include "hx_net/link_internal.h"
#include "hx_net/server_thread.h"
#include "hx_net/trace_modules.h"
#include "platform/os_tls.h"

using namespace hx_link;

LinkCBClass::~LinkCBClass() = default;

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
  if (!WaitForLinkThread(hx_fn, "Link::DisConnect - waiting for read thread.", reader->tid()))
    return;
  ThreadsWriteLock();
  delete m_pWriteThread;
  delete m_pReadThread;
  m_pWriteThread = m_pReadThread = nullptr;
  ThreadsWriteUnlock();
}

bool hx_link::WaitForLinkThread(const TDiagFunc& hx_fn, const char* waiting, os_thread_t tid) {
  TDiagFunc waitFn("Link", g_LinkDbg, waiting);
  try {
    os_this_thread::wait_for_thread(tid);
    return true;
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
  return false;
}
