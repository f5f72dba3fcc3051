// Public header: the framed, full-duplex TCP link.
//
// A Link carries whole messages over one TCP connection. Each message travels
// as one frame: "a", a blank, the payload length as eight hexadecimal digits,
// then the payload. Send() queues a frame and returns at once; the link's
// writer thread writes the queue in order. The reader thread reads frames and
// calls the callback object.
//
// Threads and ownership:
//  - Every LinkCBClass call runs on the link's reader thread, one at a time,
//    with no lock of the link held. A callback may call Send, DisConnect
//    (which then only closes and returns) and the queries on its own link; it
//    must never destroy the link.
//  - Exception(-1, link) is called exactly once per opened connection, after
//    the writer has ended; no Receive follows it.
//  - The link owns its socket and thread objects. The callback object and the
//    client data belong to the caller and must outlive the reader thread.
//  - Send, QueueSize, IsConnected, IsTerminated, IsCloseEventPosted,
//    postCloseEvent, SetClientData/GetClientData and SetMaxPayload may be
//    called from any thread. Connect, AcceptConnection, DisConnect and the
//    destructor belong to the owner's thread; reopen or destroy a link only
//    after its reader has ended (IsTerminated, or DisConnect returned).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/hx_export.h"
#include "platform/os_toolkit.h"

class Link;

// Implemented by the user of a Link. Runs on the link's reader thread.
class HX_NET_API LinkCBClass {
 public:
  LinkCBClass() = default;
  LinkCBClass(const LinkCBClass&) = default;
  LinkCBClass& operator=(const LinkCBClass&) = default;
  virtual ~LinkCBClass();
  // One call per complete frame, in arrival order. `data` holds `length`
  // bytes followed by a NUL and is valid only during the call.
  virtual void Receive(unsigned int length, const char* data, Link* link) = 0;
  // Once, as the read loop ends for whatever reason; `code` is always -1.
  virtual void Exception(int code, Link* link) = 0;
};

// One outgoing frame: header, payload and one NUL that is never sent. Copies
// share m_pBuffer; only a record whose m_OwnsBuffer is set frees it.
class HX_NET_API LinkBufferToSendClass {
 public:
  char* m_pBuffer = nullptr;
  unsigned m_Size = 0;      // bytes to write: payload + 10
  unsigned m_DataSize = 0;  // the payload length alone
  bool m_OwnsBuffer = false;
  unsigned m_Capacity = 0;  // bytes allocated at m_pBuffer (at least m_Size + 1)

  ~LinkBufferToSendClass() {
    if (m_OwnsBuffer) delete[] m_pBuffer;
  }
  // Fills the record with a new frame for `length` bytes at `data`. Throws
  // std::bad_alloc (the record then stays empty), and std::length_error for a
  // length of 0x80000000 or more, which no receiver accepts.
  void BuildBuffer(const char* data, unsigned length);
  // The same into `buffer` (new[]-allocated, `capacity` >= length + 11),
  // which the record takes over instead of allocating.
  void BuildBufferInto(char* buffer, unsigned capacity, const char* data, unsigned length);
};

// A FIFO for any number of producers and consumers. The not-empty event is
// posted exactly when the deque holds a record (while the lock is free),
// except right after Wake(), which lets one waiting Pop return false.
template <class T = LinkBufferToSendClass>
class LockedQueue {
 public:
  LockedQueue() : m_Lock(false), m_NotEmpty(false) {}

  // Appends a copy; returns true when the queue was empty before.
  bool Push(const T& item) {
    m_Lock.lock();
    bool wasEmpty = m_Items.empty();
    m_Items.push_back(item);
    m_Lock.unlock();
    // Posted after the unlock so the woken consumer does not block on the
    // lock at once; consumers treat a post that finds the deque empty as
    // spurious. A non-empty deque has been posted already.
    if (wasEmpty) m_NotEmpty.post();
    return wasEmpty;
  }
  bool TryPop(T& out) {
    m_Lock.lock();
    bool got = TakeLocked(out);
    m_Lock.unlock();
    return got;
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
    m_Lock.lock();
    size_t n = m_Items.size();
    if (out.empty()) {
      out.swap(m_Items);
    } else {
      out.insert(out.end(), m_Items.begin(), m_Items.end());
      m_Items.clear();
    }
    m_NotEmpty.reset();
    m_Lock.unlock();
    return n;
  }
  unsigned Size() {
    m_Lock.lock();
    unsigned n = static_cast<unsigned>(m_Items.size());
    m_Lock.unlock();
    return n;
  }
  // Wakes a consumer waiting in Pop or PopAll without a record.
  void Wake() {
    m_Lock.lock();
    m_NotEmpty.post();
    m_Lock.unlock();
  }

 private:
  void Wait(int timeoutMs) {
    if (timeoutMs < 0)
      m_NotEmpty.wait();
    else
      m_NotEmpty.wait(timeoutMs);
  }
  bool TakeLocked(T& out) {
    if (m_Items.empty()) {
      m_NotEmpty.reset();  // undoes a Wake()
      return false;
    }
    out = m_Items.front();
    m_Items.pop_front();
    if (m_Items.empty()) m_NotEmpty.reset();
    return true;
  }

  os_critical_section m_Lock;
  os_event_semaphore m_NotEmpty;
  std::deque<T> m_Items;
};

class HX_NET_API Link {
 public:
  Link();
  ~Link();  // DisConnect, then frees the socket and what is still queued
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Dials host (name or dotted IPv4) and port (decimal text, 1..65535).
  // 0 when connected with both threads running, else -1. `error` is 0, or the
  // native code of the network error that ended the attempt (ETIMEDOUT when
  // the connect bound ran out) or of a failed thread creation.
  int Connect(char* host, char* port, long& error);
  // The same for constant text (string literals). Non-const char* arguments
  // still choose the form above.
  int Connect(const char* host, const char* port, long& error);
  // Takes ownership of an accepted, connected socket (whatever the result)
  // and starts both threads. 0 or -1.
  int AcceptConnection(os_tcp_socket* socket);
  // Closes the connection; unless called on the reader thread, waits until
  // both threads have ended and releases them.
  void DisConnect();

  // Queues one frame; 0, or -1 when the link is not open or the length is
  // 0x80000000 or more. Never blocks on the network; no queue limit.
  int Send(const char* data, unsigned int length);
  // Payload bytes accepted by Send and not yet written.
  unsigned int QueueSize();

  bool IsConnected();
  static bool IsConnected(os_tcp_socket* socket, Link* link);
  bool IsTerminated();
  bool IsCloseEventPosted();
  // Marks the link closed without touching the socket: Send refuses, the
  // writer ends; a reader blocked in a read ends when the read returns.
  void postCloseEvent();

  void SetCallbackObject(LinkCBClass& callback);
  void SetClientData(void* data);
  void* GetClientData();
  std::string GetHostName();
  int GetPortNumber();
  // Largest payload the reader accepts; 0 (default): no limit of our own.
  void SetMaxPayload(unsigned long bytes);

  // Reads exactly `length` bytes: `length`, a smaller count when the socket
  // was found down first, or -1 on an error, end of stream, or null argument.
  static long ReadFullBuffer(os_tcp_socket* socket, char* buffer, long length);
  static long ReadFullBufferImpl(os_tcp_socket* socket, char* buffer, long length, Link* link);

 private:
  void CloseSocket(const char* caller);
  void ThreadsReadLock();
  void ThreadsReadUnlock();
  void ThreadsWriteLock();
  void ThreadsWriteUnlock();
  static void* StartReadThread(void* link);
  void ReadLoop();
  void ReadFrames();
  long ReadFullBuffer(char* buffer, long length);
  static void* StartWriteThread(void* link);
  void WriteLoop();
  void DrainQueue();
  bool StartThreads(const char* op, long& nativeError);
  bool LinkOpen();
  void SetQueuedBytes(uint64_t v);
  char* TakeSpareFrame(unsigned need, unsigned& capacity);
  char* TakeSmallFrame();
  void ReturnSmallFrames(std::vector<char*>& buffers);
  void TrimSmallFrames();
  void OfferSpareFrame(LinkBufferToSendClass& rec);

  LinkCBClass* m_pCallback;
  os_thread* m_pReadThread;
  os_thread* m_pWriteThread;
  LockedQueue<LinkBufferToSendClass> m_SendQueue;
  // Payload bytes accepted and not yet written. An atomic rather than a
  // lock: it is touched twice per frame on the hot path.
  std::atomic<uint64_t> m_QueuedBytes;
  // A few written large frames' buffers, kept for the next large Sends: a
  // fresh megabyte per frame costs more in page faults than the copy itself.
  std::mutex m_SpareLock;
  std::vector<std::pair<char*, unsigned>> m_SpareFrames;  // buffer, capacity
  // Written small frames' buffers (all of one size), handed back by the
  // writer in batches: a small Send then costs no allocation. Both sides
  // only try the lock and fall back on new/delete.
  std::mutex m_SmallLock;
  std::vector<char*> m_SmallFree;
  os_read_write_semaphore m_ThreadsLock;
  os_tcp_socket* m_pSocket;
  os_event_semaphore m_CloseEvent;
  std::string m_HostName;
  int m_Port;
  std::atomic<void*> m_pClientData;
  std::atomic<unsigned long> m_MaxPayload;

  friend struct LinkPrefix;
};
