// Public header: the TCP listening server.
//
// A ServerLink listens on one port and runs one server thread, which accepts
// connections and hands each accepted socket to a ServerLinkCBClass. When the
// listening socket breaks, the server thread re-creates it under the policy
// given to InitServer; when that is impossible it goes down.
//
// Threads and ownership:
//  - Construction, SetCallbackObject, InitServer, StopServer and destruction
//    belong to the owner's thread. SetCallbackObject comes before InitServer.
//  - Both callback operations run on the server thread, one at a time:
//    Accept once per accepted connection (the socket then belongs to the
//    callback object), Exception exactly once as the server thread ends, after
//    the listening socket was closed, whatever the reason.
//  - The ServerLink owns its listening socket and its thread object. The
//    callback object belongs to the owner and must outlive the server thread
//    (that is, until StopServer has returned).
//  - InitServer keeps its own copy of the local address text.
//
// Stop rules:
//  - StopServer sets a sticky stop flag, wakes the server thread at once (out
//    of its select, a back-off or a re-initialisation sleep), waits for it and
//    releases the thread and socket objects. It runs again harmlessly, and the
//    destructor runs it.
//  - From a callback on the server thread, or from a callback of a link
//    accepted on that thread (on its reader thread), StopServer only sets the
//    flag, wakes the server thread and returns: the server thread cannot wait
//    for itself, and its clean-up waits for those readers. The owner's later
//    StopServer or the destructor completes the stop. Never destroy a
//    ServerLink from such a callback.
//  - A ServerLink serves one run: the stop flag is never cleared.
//
// InitServerSocket, IsOpen and CloseSocket are public, as the operations above
// use them; while the server thread runs, only the server thread (a callback)
// may call them, since re-initialisation replaces the listening socket.
#pragma once

#include <atomic>
#include <string>

#include "platform/hx_export.h"
#include "platform/os_toolkit.h"

// Implemented by the user of a ServerLink. Runs on the server thread.
class HX_NET_API ServerLinkCBClass {
 public:
  virtual ~ServerLinkCBClass();
  // One call per accepted connection; `socket` is a connected heap object
  // that now belongs to the callback object. An os_network_toolkit_error
  // raised here counts as a failure of the listener (re-initialisation);
  // any other exception is traced and the server goes on accepting.
  virtual void Accept(os_tcp_socket* socket) = 0;
  // Once, as the server thread ends.
  virtual void Exception() = 0;
};

// Native codes of an accept failure after which the listener is not rebuilt,
// compared as the platform layer reports them.
constexpr long kUnrecoverableAcceptError1 = 19;
constexpr long kUnrecoverableAcceptError2 = 130;

class HX_NET_API ServerLink {
 public:
  ServerLink();
  ~ServerLink();  // StopServer
  ServerLink(const ServerLink&) = delete;
  ServerLink& operator=(const ServerLink&) = delete;

  void SetCallbackObject(ServerLinkCBClass& callback);
  // Listens on `port` (0 or negative: a port chosen by the system) on
  // `localAddress` (IPv4 or IPv6 text, or a name; null: every local interface
  // of both families, IPv4 alone where the machine has no IPv6) and starts
  // the server thread.
  // After a failed accept the thread sleeps `reinitSleep` seconds between
  // attempts to re-create the socket, at most `maxReinitAttempts` attempts
  // per failure (-1: no limit). Returns the listening port, or -1 for every
  // failure (the server thread's creation included) except an allocation
  // failure, which is raised; either way nothing is left open, and a later
  // InitServer on the same object may succeed.
  int InitServer(int port, const char* localAddress, int reinitSleep, int maxReinitAttempts);
  // Creates the listening socket from the stored address and port; 1 or -1.
  int InitServerSocket();
  static void* StartServerThread(void* server);
  void ServerThreadLoop();
  void StopServer();
  // The native error code (EADDRINUSE, EACCES, EMFILE, ...) of the last
  // InitServer that failed; 0 after one that succeeded.
  int LastError();
  bool IsOpen();
  void CloseSocket(const char* caller);

 private:
  int ServerSocketReinit(long nativeError);
  int ServerSocketAttemptReinit(long nativeError);
  void ReleaseFailedStart();

  os_thread* m_pServerThread;
  const char* m_pLocalAddress;  // null, or m_LocalAddress's text
  os_tcp_connection_server* m_pServerSocket;
  int m_Port;
  ServerLinkCBClass* m_pCallback;
  int m_ReinitSleep;        // seconds
  int m_MaxReinitAttempts;  // -1: no limit
  int m_ReinitAttempts;     // server thread only
  std::atomic<bool> m_StopRequested;
  std::string m_LocalAddress;
  // Posted with the stop flag: cuts back-offs and re-initialisation sleeps short.
  os_event_semaphore m_StopEvent;
  // Made by InitServer before the thread starts and freed after it has ended,
  // so StopServer can wake a select in progress.
  os_io_multiplexer* m_pMultiplexer;
  std::atomic<int> m_LastError{0};
  int m_SocketError = 0;  // of the last failed InitServerSocket
};
