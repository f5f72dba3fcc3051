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
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hx_net/LinkFrame.h"
#include "hx_net/LinkQueue.h"
#include "platform/hx_export.h"
#include "platform/os_toolkit.h"

class Link;
class TDiagFunc;
class TlsContext;

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

// Why a link's connection ended (Link::EndReason).
enum class LinkEndReason {
  None,             // open, or never opened
  LocalClose,       // DisConnect or postCloseEvent by the owner
  PeerClosed,       // end of stream between frames
  NetworkError,     // reset, read error, a frame cut short, an exception in Receive
  BadHeader,        // a header that is not "T xxxxxxxx"
  PayloadTooLarge,  // above SetMaxPayload, or 0x80000000 and more
  FrameTimeout,     // a started frame not complete within SetFrameTimeout
  PeerTimeout,      // keep-alive or write time-out ran out (ETIMEDOUT)
  WriteFailed,      // any other write error
  HandshakeFailed,  // a TLS handshake that did not complete
};

// Protections a link applies to its connection; 0 everywhere is the plain
// link: no limit, no keep-alive, no time-out.
struct LinkLimits {
  unsigned long maxPayload = 0;                                     // as SetMaxPayload
  unsigned long maxQueuedBytes = 0;                                 // as SetMaxQueuedBytes
  int keepIdleSeconds = 0, keepIntervalSeconds = 0, keepCount = 0;  // as SetKeepAlive
  long writeTimeoutMs = 0;                                          // as SetWriteTimeout
  long frameTimeoutMs = 0;                                          // as SetFrameTimeout
};

class HX_NET_API Link {
 public:
  Link();
  ~Link();  // DisConnect, then frees the socket and what is still queued
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Dials host (a name, dotted IPv4 or IPv6 text) and port (decimal text,
  // 1..65535); a name's addresses are tried in the resolver's order, all
  // within the one connect bound. 0 when connected with both threads running,
  // else -1. `error` is 0, or the native code of the network error that ended
  // the last attempt (ETIMEDOUT when the connect bound ran out) or of a failed
  // thread creation.
  int Connect(char* host, char* port, long& error);
  // The same for constant text (string literals). Non-const char* arguments
  // still choose the form above.
  int Connect(const char* host, const char* port, long& error);
  // Takes ownership of an accepted, connected socket (whatever the result)
  // and starts both threads. 0 or -1.
  int AcceptConnection(os_tcp_socket* socket);
  // Closes the connection; unless called on the reader thread, waits until
  // both threads have ended and releases them. Frames still queued are
  // dropped, not sent: to close after everything sent has left, call
  // Flush first.
  void DisConnect();

  // Queues one frame; 0, or -1 when the link is not open, the length is
  // 0x80000000 or more, or the backlog limit (SetMaxQueuedBytes) refuses it.
  // Never blocks on the network.
  int Send(const char* data, unsigned int length);
  // Payload bytes accepted by Send and not yet written.
  unsigned int QueueSize();

  // The settings below persist across reopening and may be made from any
  // thread, also while the link is open (they then apply to the open
  // connection too). Time-out arguments: 0 tests once without waiting,
  // below 0 waits without limit.

  // Backlog limit in payload bytes (0, the default: none). A Send that
  // would take QueueSize() above it returns -1, queues nothing and leaves
  // the link open; an empty backlog takes a frame of any size.
  void SetMaxQueuedBytes(unsigned long bytes);
  // True once QueueSize() <= bytes while the link is open; false when the
  // link ends first (its frames are then dropped) or after timeoutMs.
  bool WaitQueueBelow(unsigned long bytes, long timeoutMs);
  // True once every frame accepted before the call has been written to the
  // socket (frames sent meanwhile do not lengthen the wait); false when the
  // link ends first or after timeoutMs. Any thread, callbacks included.
  bool Flush(long timeoutMs);
  // TCP keep-alive when all three are above 0 (0, 0, 0: off, the default):
  // a peer that vanished is noticed after idle + interval x count seconds.
  void SetKeepAlive(int idleSeconds, int intervalSeconds, int count);
  // Ends the link when written data stays unacknowledged, or the peer takes
  // no byte, for ms milliseconds (0, the default: no limit).
  void SetWriteTimeout(long ms);
  // Once a frame's first byte has arrived, the whole frame must arrive
  // within ms milliseconds of waiting for it (0, the default: no limit).
  // Idle time between frames does not count.
  void SetFrameTimeout(long ms);
  // A bound of this link's own on Connect, in milliseconds (0, the default:
  // only the process-wide one); the shorter of the two applies.
  void SetConnectTimeout(long ms);
  // All of the above (and SetMaxPayload) at once.
  void SetLimits(const LinkLimits& limits);
  // Why the connection ended; None while open or never opened. Set before
  // Exception is called; reset by reopening.
  LinkEndReason EndReason();

  // TLS for the connections opened from now on (hx_net/Tls.h); null, the
  // default: clear text. Owner's thread, before Connect or AcceptConnection.
  //  - A client context: Connect does the handshake and returns 0 only once
  //    it has completed, within the context's handshake time-out and the
  //    link's own connect bound (SetConnectTimeout, counted from the start of
  //    Connect). A failure returns -1 with a trace line naming it; `error`
  //    is ETIMEDOUT when the time ran out.
  //  - A server context: an accepted link does the handshake on its reader
  //    thread before its first frame, within the handshake time-out; nothing
  //    is written before it completes. A failure ends the link: Exception
  //    once, EndReason HandshakeFailed, a trace line.
  // After the handshake the link behaves as a clear one, except that its
  // socket has Nagle's algorithm off (TCP_NODELAY; the writer gathers small
  // frames into records itself) and writes stay on the writer thread. A local
  // close sends close_notify when it can without waiting; an end of stream
  // without it counts as a clear link's end of stream (and is traced).
  void SetTls(std::shared_ptr<TlsContext> context);
  // The subject of the peer's certificate, one line in RFC 2253 form
  // ("CN=client,O=example"); "" on a clear link, before the handshake has
  // completed (on an accepted link: before its first Receive) or when the
  // peer sent none. Any thread; a session may call it to authorise its peer.
  std::string PeerCertificateSubject();

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
  // The host given to Connect; after AcceptConnection the peer's address:
  // dotted for IPv4 (also IPv4-mapped), "::1" style for IPv6, or "ANY".
  std::string GetHostName();
  int GetPortNumber();
  // Largest payload the reader accepts; 0 (default): no limit of our own.
  void SetMaxPayload(unsigned long bytes);

  // Reads exactly `length` bytes: `length`, a smaller count when the socket
  // was found down first, or -1 on an error, end of stream, or null argument.
  static long ReadFullBuffer(os_tcp_socket* socket, char* buffer, long length);
  static long ReadFullBufferImpl(os_tcp_socket* socket, char* buffer, long length, Link* link);

 private:
  // `how` as for os_socket::shutdown: 2 both directions, 1 sending only.
  void CloseSocket(const char* caller, int how = 2);
  void ThreadsReadLock();
  void ThreadsReadUnlock();
  void ThreadsWriteLock();
  void ThreadsWriteUnlock();
  static void* StartReadThread(void* link);
  void ReadLoop();
  void ReadFrames(const TDiagFunc& hx_fn);
  long ReadFullBuffer(char* buffer, long length);
  static void* StartWriteThread(void* link);
  void WriteLoop();
  void CloseQueue();
  bool StartThreads(const TDiagFunc& hx_fn, const char* op, long& nativeError);
  void NoteEnd(LinkEndReason reason);
  void ApplySocketOptions();
  bool ConnectTls(const TDiagFunc& hx_fn, const std::shared_ptr<TlsContext>& tls, long spentMs,
                  long& error);
  bool AttachTls(const TDiagFunc& hx_fn, os_tcp_socket* socket);
  bool AcceptTls(const TDiagFunc& hx_fn);
  void ApplyWriteTimeout();
  void BeginConnection();
  void ReplaceSocket(os_tcp_socket* socket);
  void RefusedByLimit(const TDiagFunc& hx_fn, uint64_t limit, unsigned length);
  template <class Pred>
  bool WaitWritten(Pred done, long timeoutMs);
  void WakeWriteWaiters();
  bool HasEnded() const { return m_Ended.load(std::memory_order_acquire); }
  bool SendNow(const char* data, unsigned length);
  LockedQueue<>::PushResult Enqueue(LinkBufferToSendClass& rec, unsigned length, uint64_t limit,
                                    bool first);
  bool LinkOpen();
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
  const void* m_pAcceptedOn;  // the server whose thread accepted this link, if any
  os_event_semaphore m_CloseEvent;
  std::string m_HostName;
  int m_Port;
  std::atomic<void*> m_pClientData;
  std::atomic<unsigned long> m_MaxPayload;
  std::atomic<unsigned long> m_MaxQueuedBytes{0};
  std::atomic<bool> m_Refusing{false};  // in a run of refusals by the backlog limit
  std::atomic<long> m_FrameTimeoutMs{0};
  std::atomic<long> m_ConnectTimeoutMs{0};
  std::atomic<long> m_WriteWatchMs{0};  // m_WriteTimeoutMs, for the writer
  // Held by whoever writes to the socket: the writer from taking frames off
  // the queue until they are written, or a Send writing on its own thread.
  std::mutex m_WriteToken;
  // Whether Send may write on the caller's thread (not over TLS); frames
  // received so far, and that count at the last Send: a small frame sent
  // after something arrived is an answer, written at once, while a burst of
  // them is left to the writer, which gathers it into few writes.
  bool m_CallerWrites = true;
  std::atomic<uint64_t> m_Received{0};
  std::atomic<uint64_t> m_ReceivedAtSend{~0ull};
  std::atomic<int> m_EndReason{0};
  std::atomic<bool> m_Ended{false};  // Exception has returned for this connection
  // Socket options: guarded by m_SocketLock, which also guards replacing
  // m_pSocket, so a setter never reaches a socket object being deleted.
  std::mutex m_SocketLock;
  std::shared_ptr<TlsContext> m_Tls;  // for the next connection
  int m_KeepIdle = 0, m_KeepInterval = 0, m_KeepCount = 0;
  long m_WriteTimeoutMs = 0;
  // Waiters of Flush and WaitQueueBelow; the writer notifies only when
  // there are some.
  std::mutex m_WrittenLock;
  std::condition_variable m_WrittenCv;
  std::atomic<int> m_WrittenWaiters{0};

  friend class AcceptManagerCBClass;
  friend struct LinkPrefix;
};
