// The Link's read path: the reader thread and its buffered frame reader.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "hx_net/Link.h"
#include "hx_net/link_frame.h"
#include "hx_net/link_internal.h"
#include "hx_net/server_thread.h"
#include "hx_net/trace_modules.h"
#include "platform/os_tls.h"

using namespace hx_link;

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
  if (m_pWriteThread)
    WaitForLinkThread(hx_fn, "Link::ReadLoop - waiting for write thread.", m_pWriteThread->tid());
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
