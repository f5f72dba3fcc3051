// The Link's write path: Send, the write on the caller's thread, the spare buffers and
// the writer thread.
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "hx_net/Link.h"
#include "hx_net/link_internal.h"
#include "hx_net/trace_modules.h"
#include "platform/os_tls.h"

using namespace hx_link;

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
