#include "hx_net/Link.h"

#include <arpa/inet.h>
#include <sys/uio.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "hx_net/link_frame.h"
#include "hx_net/trace_modules.h"

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
const size_t kSpareFrames = 4;  // large send buffers kept per link for reuse

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
    if (l) return os << l->m_HostName << ":" << l->m_Port;
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
// Header ("%c %.8lx" of 'a' and the length, without a formatted print),
// payload and the NUL that is never sent.
void WriteFrame(char* buf, const char* data, unsigned length) {
  static const char kHex[] = "0123456789abcdef";
  buf[0] = 'a';
  buf[1] = ' ';
  for (int i = 0; i < 8; ++i) buf[2 + i] = kHex[(length >> (28 - 4 * i)) & 0xf];
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
      m_CloseEvent(false),
      m_Port(0),
      m_pClientData(nullptr),
      m_MaxPayload(0) {
  LINK_SCOPE("Link::Link");
  m_CloseEvent.reset();
}

Link::~Link() {
  LINK_SCOPE("Link::~Link");
  DisConnect();
  delete m_pSocket;
  m_pSocket = nullptr;
  DrainQueue();
  for (auto& spare : m_SpareFrames) delete[] spare.first;
  for (char* small : m_SmallFree) delete[] small;
}

void Link::DrainQueue() {
  LinkBufferToSendClass rec;
  while (m_SendQueue.TryPop(rec)) {
    delete[] rec.m_pBuffer;
    rec.m_pBuffer = nullptr;
  }
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
  m_CloseEvent.post();
  m_SendQueue.Wake();  // the writer notices at once instead of at its next poll
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

void Link::SetQueuedBytes(uint64_t v) {
  m_QueuedBytes.store(v, std::memory_order_relaxed);
}

// Starts the writer, then the reader. Called with m_ThreadsLock held for
// writing. On a failure nothing is left running: a writer already started is
// woken by the close and awaited.
bool Link::StartThreads(const char* op, long& nativeError) {
  LINK_SCOPE("Link::StartThreads");
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
  // The reader could not be started: close, let the writer end, release it.
  if (m_pWriteThread) {
    CloseSocket(op);
    try {
      os_this_thread::wait_for_thread(m_pWriteThread->tid());
    } catch (...) {
    }
    delete m_pWriteThread;
    m_pWriteThread = nullptr;
  }
  return false;
}

int Link::Connect(char* host, char* port, long& error) {
  LINK_SCOPE("Link::Connect");
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
  delete m_pSocket;
  m_pSocket = fresh;

  if (m_Port < 1 || m_Port > 65535) {
    // Never narrowed to another port: fail before any attempt.
    HX_TRACE(4, LinkPrefix{this} << " - Failed to connect.");
    return -1;
  }
  try {
    m_CloseEvent.reset();
    os_ip_address ip(m_HostName);
    os_socket_address addr;
    addr.initialize();
    addr.port(m_Port);
    addr.ip_address(ip.as_long());
    m_pSocket->connect_to(addr.sa(), os_socket_address::size());
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
  SetQueuedBytes(0);
  ThreadsWriteLock();
  delete m_pWriteThread;
  delete m_pReadThread;
  m_pWriteThread = m_pReadThread = nullptr;
  bool started = false;
  try {
    started = StartThreads("Connect", error);
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
  delete m_pSocket;
  m_pSocket = socket;
  if (m_CloseEvent.posted() || !IsConnected(socket, this)) {
    HX_TRACE(2, "Can not accept connection. Socket is not connected.");
    return -1;
  }
  HX_TRACE(5, "Get peer ip address and port");
  long ip = 0;
  int peerPort = 0;
  try {
    os_socket_address peer = socket->peer_address();
    ip = peer.ip_address();
    peerPort = peer.port();
  } catch (const os_toolkit_error&) {
    // The peer is already gone (or the descriptor is not a TCP socket): the
    // link still opens, and its reader sees the end at once.
  }
  if (ip != 0) {
    char text[INET_ADDRSTRLEN] = {0};
    in_addr a{};
    a.s_addr = static_cast<uint32_t>(ip);
    inet_ntop(AF_INET, &a, text, sizeof text);
    m_HostName = text;
  } else {
    m_HostName = "ANY";
  }
  m_Port = peerPort;
  HX_TRACE(5, "Peer address " << m_HostName << ":" << m_Port);
  SetQueuedBytes(0);
  ThreadsWriteLock();
  HX_TRACE(5, "Delete write and read thread allocation");
  delete m_pWriteThread;
  delete m_pReadThread;
  m_pWriteThread = m_pReadThread = nullptr;
  bool started = false;
  try {
    long ignored = 0;
    started = StartThreads("AcceptConnection", ignored);
  } catch (...) {
    ThreadsWriteUnlock();
    throw;
  }
  ThreadsWriteUnlock();
  return started ? 0 : -1;
}

// Wakes both threads and marks the link closed. The descriptor stays open
// until no thread of the link can use it any more (the reader releases it at
// the end of its loop): closing it under a blocked reader would let a new
// connection reuse the number and hand the reader someone else's bytes.
void Link::CloseSocket(const char* caller) {
  LINK_SCOPE("Link::CloseSocket");
  m_CloseEvent.post();
  m_SendQueue.Wake();
  try {
    m_pSocket->shutdown(2);
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
  if (m_pSocket && (LinkOpen() || m_pSocket->handle() != -1)) CloseSocket("DisConnect");

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
  m_QueuedBytes.fetch_add(length, std::memory_order_relaxed);
  m_SendQueue.Push(rec);  // the queue's copy now holds the only pointer
  rec.m_pBuffer = nullptr;
  return 0;
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
    link->CloseSocket("WriteLoop");
  } catch (const std::exception& e) {
    HX_TRACE(4, LinkPrefix{link} << ":"
                                 << "std::exception thrown. "
                                 << "Error: " << e.what());
    link->CloseSocket("WriteLoop");
  } catch (...) {
    HX_TRACE(4, LinkPrefix{link} << ":"
                                 << "unknown exception thrown.");
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
  while (LinkOpen()) {
    if (pending.empty()) {
      // A push into the empty queue and every close wake us. After a second
      // with nothing to write the link gives back most of its small buffers,
      // then waits without a time-out: one wake-up per idle spell, none after.
      if (m_SendQueue.PopAll(pending, kIdleTrimMs) == 0) {
        if (!LinkOpen()) break;
        TrimSmallFrames();
        if (m_SendQueue.PopAll(pending, -1) == 0) continue;
      }
      for (auto& r : pending) r.m_OwnsBuffer = true;
      if (!LinkOpen()) break;
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
    // Count down and free the frames that went out whole.
    uint64_t doneBytes = 0;
    size_t offset = 0;
    while (frames > 0 && offset + pending.front().m_Size <= static_cast<size_t>(written)) {
      --frames;
      offset += pending.front().m_Size;
      doneBytes += pending.front().m_DataSize;
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
    if (offset != total) {
      HX_TRACE(4, LinkPrefix{this} << "Write has failed. Sent only "
                                   << (static_cast<size_t>(written) - offset) << " bytes out of "
                                   << pending.front().m_Size << ". Closing the socket.");
      CloseSocket("WriteLoop");
    }
  }
  pending.clear();  // frees what was taken but not written
  DrainQueue();     // frames still queued at the close are never sent
  SetQueuedBytes(0);
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
  HX_TRACE(5, LinkPrefix{this} << " - START read loop");
  try {
    // Keep the platform's automatic sizing unless it gives less than 51200.
    int current = 0, len = sizeof current;
    m_pSocket->getsockopt(SOL_SOCKET, SO_RCVBUF, &current, &len);
    if (current < kReceiveBufferMin) {
      int want = kReceiveBufferMin;
      m_pSocket->setsockopt(SOL_SOCKET, SO_RCVBUF, &want, sizeof want);
    }
    ReadFrames();
  } catch (const os_network_toolkit_error& e) {
    HX_TRACE(4, LinkPrefix{this} << ":"
                                 << "os_network_toolkit_error exception thrown. "
                                 << "Error: " << e.what());
    CodeLines(hx_fn, 4, e);
    CloseSocket("ReadLoop");
  } catch (const os_thread_toolkit_error& e) {
    HX_TRACE(4, "os_thread_toolkit_error exception thrown. "
                    << "Error: " << e.what());
    CodeLines(hx_fn, 4, e);
    CloseSocket("ReadLoop");
  } catch (const os_toolkit_error& e) {
    HX_TRACE(4, LinkPrefix{this} << ":"
                                 << "os_toolkit_error exception thrown. "
                                 << "Error: " << e.what());
    CloseSocket("ReadLoop");
  } catch (const std::exception& e) {
    HX_TRACE(4, LinkPrefix{this} << ":"
                                 << "std::exception thrown. "
                                 << "Error: " << e.what());
    CloseSocket("ReadLoop");
  } catch (...) {
    HX_TRACE(4, LinkPrefix{this} << ":"
                                 << "unknown exception thrown.");
    CloseSocket("ReadLoop");
  }
  // However the loop ended, the writer must end too before we report.
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
  SetQueuedBytes(0);
  // No thread of this link uses the descriptor any more.
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
  HX_TRACE(5, LinkPrefix{this} << " - END read loop");
}

// Reads frames through a per-link buffer: every complete frame it holds is
// delivered in place; a frame larger than the buffer gets its own allocation,
// which above 1 MiB grows as the bytes arrive, so a header alone pins nothing.
void Link::ReadFrames() {
  LINK_SCOPE("Link::ReadFrames");
  std::unique_ptr<char[]> buf(new char[kReadBufferSize + 1]);  // +1: the NUL after a payload
  size_t begin = 0, end = 0;
  std::unique_ptr<char[]> spare;  // the last large-frame buffer, reused
  size_t spareCap = 0;

  // Makes at least `need` bytes (need <= kReadBufferSize) available at begin.
  auto fill = [&](size_t need) -> bool {
    if (begin + need > kReadBufferSize) {
      std::memmove(buf.get(), buf.get() + begin, end - begin);
      end -= begin;
      begin = 0;
    }
    while (end - begin < need) {
      if (!IsConnected(m_pSocket, this)) return false;
      int n = m_pSocket->read(buf.get() + end, static_cast<int>(kReadBufferSize - end));
      if (n <= 0) return false;
      end += static_cast<size_t>(n);
    }
    return true;
  };

  while (LinkOpen()) {
    if (begin == end) begin = end = 0;
    uint64_t length = 0;
    if (!fill(10) || !ParseFrameHeader(buf.get() + begin, length)) {
      HX_TRACE(4, LinkPrefix{this} << " - header read has failed. Closing the socket.");
      CloseSocket("ReadLoop");
      continue;
    }
    begin += 10;
    if (length >= kMaxFrameLength) {
      // A negative length as a signed 32-bit receiver reads it.
      HX_TRACE(4, LinkPrefix{this} << " - buffer read has failed. Closing the socket.");
      CloseSocket("ReadLoop");
      continue;
    }
    unsigned long limit = m_MaxPayload.load(std::memory_order_relaxed);
    if (limit && length > limit) {
      HX_TRACE(4, LinkPrefix{this} << " - frame length " << length << " exceeds the limit of "
                                   << limit << ". Closing the socket.");
      CloseSocket("ReadLoop");
      continue;
    }
    size_t n = static_cast<size_t>(length);
    if (n <= kReadBufferSize) {
      if (!fill(n)) {
        HX_TRACE(4, LinkPrefix{this} << " - buffer read has failed. Closing the socket.");
        CloseSocket("ReadLoop");
        continue;
      }
      char* payload = buf.get() + begin;
      begin += n;
      if (!LinkOpen()) break;  // nothing is delivered after a close
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
      if (!IsConnected(m_pSocket, this)) {
        ok = false;
        break;
      }
      size_t want = std::min(cap, n) - got;
      int r = m_pSocket->read(big.get() + got, static_cast<int>(std::min<size_t>(want, INT_MAX)));
      if (r <= 0) {
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
      HX_TRACE(4, LinkPrefix{this} << " - buffer read has failed. Closing the socket.");
      CloseSocket("ReadLoop");
      continue;
    }
    big[n] = '\0';
    if (!LinkOpen()) break;
    if (m_pCallback) m_pCallback->Receive(static_cast<unsigned>(n), big.get(), this);
    if (cap <= kSingleAllocLimit + 10 && cap > spareCap) {
      spare.swap(big);
      spareCap = cap;
    }
  }
}
