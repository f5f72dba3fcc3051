// Public header: the locked frame queue of a Link (included by hx_net/Link.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>

#include "hx_net/LinkFrame.h"
#include "platform/os_toolkit.h"

// A FIFO for any number of producers and consumers. The not-empty event is
// posted exactly when the deque holds a record (while the lock is free),
// except right after Wake() or Close(), which let a waiting Pop return false.
//
// A link's queue is also where the link's open/closed state for senders
// lives: PushCounted refuses once Close has run, and Close takes every record
// and zeroes the byte count in the same lock hold, so no frame can slip in
// between the writer's last drain and the end of the connection.
template <class T = LinkBufferToSendClass>
class LockedQueue {
 public:
  enum PushResult { kPushed, kPushedIntoEmpty, kClosed, kOverLimit };

  LockedQueue() : m_Lock(false), m_NotEmpty(false) {}

  // Appends a copy; returns true when the queue was empty before.
  bool Push(const T& item) {
    bool wasEmpty;
    {
      std::lock_guard<os_critical_section> g(m_Lock);
      wasEmpty = m_Items.empty();
      m_Items.push_back(item);
    }
    // Posted after the unlock so the woken consumer does not block on the
    // lock at once; consumers treat a post that finds the deque empty as
    // spurious. A non-empty deque has been posted already.
    if (wasEmpty) m_NotEmpty.post();
    return wasEmpty;
  }
  // Appends a copy and adds `bytes` to `count` in one lock hold, unless the
  // queue is closed, or `limit` is set, `count` is not 0 and would pass it.
  // If the append throws, nothing has changed.
  PushResult PushCounted(const T& item, std::atomic<uint64_t>& count, uint64_t bytes,
                         uint64_t limit) {
    bool wasEmpty;
    {
      std::lock_guard<os_critical_section> g(m_Lock);
      if (m_Closed.load(std::memory_order_relaxed)) return kClosed;
      uint64_t now = count.load(std::memory_order_relaxed);
      if (limit && now != 0 && now + bytes > limit) return kOverLimit;
      wasEmpty = m_Items.empty();
      m_Items.push_back(item);
      count.fetch_add(bytes, std::memory_order_relaxed);
      m_Pushed.store(m_Pushed.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
    if (wasEmpty) m_NotEmpty.post();
    return wasEmpty ? kPushedIntoEmpty : kPushed;
  }
  // A record that must go out before everything queued (the rest of a frame
  // partly written already); counted like PushCounted, never refused by a
  // limit. False when the queue is closed.
  bool PushFrontCounted(const T& item, std::atomic<uint64_t>& count, uint64_t bytes) {
    bool wasEmpty;
    {
      std::lock_guard<os_critical_section> g(m_Lock);
      if (m_Closed.load(std::memory_order_relaxed)) return false;
      wasEmpty = m_Items.empty();
      m_Items.push_front(item);
      count.fetch_add(bytes, std::memory_order_relaxed);
      m_Pushed.store(m_Pushed.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
    if (wasEmpty) m_NotEmpty.post();
    return true;
  }
  // A frame that went out whole without being queued: pushed and written.
  void CountWrittenDirectly() {
    {
      std::lock_guard<os_critical_section> g(m_Lock);
      m_Pushed.store(m_Pushed.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
    m_Written.fetch_add(1, std::memory_order_acq_rel);
  }
  // Every frame pushed has been written (none queued, none being written).
  bool AllWritten() const {
    return m_Pushed.load(std::memory_order_acquire) == m_Written.load(std::memory_order_acquire);
  }
  // Waits up to timeoutMs (-1: no limit) for a record or a wake-up, without
  // taking anything; false after the time-out.
  bool WaitNotEmpty(int timeoutMs) {
    if (timeoutMs < 0) {
      m_NotEmpty.wait();
      return true;
    }
    return m_NotEmpty.wait(timeoutMs);
  }
  bool TryPop(T& out) {
    std::lock_guard<os_critical_section> g(m_Lock);
    return TakeLocked(out);
  }
  // Waits up to timeoutMs (-1: no limit; 0: not at all) for a record.
  bool Pop(T& out, int timeoutMs) {
    if (timeoutMs == 0) return TryPop(out);
    Wait(timeoutMs);
    return TryPop(out);
  }
  // Takes every queued record in one lock hold (appended to `out`), waiting
  // as Pop does when the queue is empty. Returns the number taken.
  size_t PopAll(std::deque<T>& out, int timeoutMs) {
    if (timeoutMs != 0) Wait(timeoutMs);
    std::lock_guard<os_critical_section> g(m_Lock);
    size_t n = m_Items.size();
    if (out.empty()) {
      out.swap(m_Items);
    } else {
      out.insert(out.end(), m_Items.begin(), m_Items.end());
      m_Items.clear();
    }
    if (!IsClosed()) m_NotEmpty.reset();
    return n;
  }
  unsigned Size() {
    std::lock_guard<os_critical_section> g(m_Lock);
    return static_cast<unsigned>(m_Items.size());
  }
  // Wakes a consumer waiting in Pop or PopAll without a record.
  void Wake() {
    std::lock_guard<os_critical_section> g(m_Lock);
    m_NotEmpty.post();
  }
  // Refuses every later PushCounted, moves every record to `out` and sets
  // `count` to 0; waiters wake and stay awake.
  void Close(std::deque<T>& out, std::atomic<uint64_t>& count) {
    std::lock_guard<os_critical_section> g(m_Lock);
    m_Closed.store(true, std::memory_order_release);
    out.insert(out.end(), m_Items.begin(), m_Items.end());
    m_Items.clear();
    count.store(0, std::memory_order_relaxed);
    m_NotEmpty.post();
  }
  // Accepts pushes again, starting empty at a count of 0.
  void Reopen(std::atomic<uint64_t>& count) {
    std::lock_guard<os_critical_section> g(m_Lock);
    m_Closed.store(false, std::memory_order_release);
    count.store(0, std::memory_order_relaxed);
    m_Written.store(m_Pushed.load(std::memory_order_relaxed), std::memory_order_relaxed);
    if (m_Items.empty()) m_NotEmpty.reset();
  }
  bool IsClosed() const { return m_Closed.load(std::memory_order_acquire); }
  // Frames accepted by PushCounted since construction, and how many of them
  // the consumer reported written (MarkWritten); a reopen counts the frames
  // dropped at the close as written.
  uint64_t Pushed() {
    std::lock_guard<os_critical_section> g(m_Lock);
    return m_Pushed.load(std::memory_order_relaxed);
  }
  uint64_t Written() const { return m_Written.load(std::memory_order_acquire); }
  void MarkWritten(uint64_t frames) { m_Written.fetch_add(frames, std::memory_order_acq_rel); }

 private:
  void Wait(int timeoutMs) {
    if (timeoutMs < 0)
      m_NotEmpty.wait();
    else
      m_NotEmpty.wait(timeoutMs);
  }
  bool TakeLocked(T& out) {
    if (m_Items.empty()) {
      if (!IsClosed()) m_NotEmpty.reset();  // undoes a Wake()
      return false;
    }
    out = m_Items.front();
    m_Items.pop_front();
    if (m_Items.empty() && !IsClosed()) m_NotEmpty.reset();
    return true;
  }

  os_critical_section m_Lock;
  os_event_semaphore m_NotEmpty;
  std::deque<T> m_Items;
  std::atomic<bool> m_Closed{false};
  std::atomic<uint64_t> m_Pushed{0};  // written under m_Lock
  std::atomic<uint64_t> m_Written{0};
};
