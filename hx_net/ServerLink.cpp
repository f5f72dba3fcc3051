#include "hx_net/ServerLink.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

#include "hx_net/server_thread.h"
#include "hx_net/trace_modules.h"

thread_local const void* t_hxServingServer = nullptr;
namespace {
// Threads are reused: a run never starts as some server's thread.
const bool g_ResetRegistered =
    (os_thread_add_reset_hook([] { t_hxServingServer = nullptr; }), true);
}  // namespace

namespace {
const long kSelectSeconds = 2;
const int kListenBacklog = 0x7FFFFFFF;  // the platform lowers it to its own maximum
const long kBackoffFirstMs = 100;
const long kBackoffMaxMs = 1000;

// Out of descriptors or memory: the connection stays pending and the listener
// stays readable, so accepting again at once would only spin.
bool IsResourceError(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

long NextBackoff(long ms) {
  if (ms <= 0) return kBackoffFirstMs;
  return ms * 2 > kBackoffMaxMs ? kBackoffMaxMs : ms * 2;
}
}  // namespace

ServerLinkCBClass::~ServerLinkCBClass() = default;

ServerLink::ServerLink()
    : m_pServerThread(nullptr),
      m_pLocalAddress(nullptr),
      m_pServerSocket(nullptr),
      m_Port(0),
      m_pCallback(nullptr),
      m_ReinitSleep(10),
      m_MaxReinitAttempts(-1),
      m_ReinitAttempts(0),
      m_StopRequested(false),
      m_StopEvent(false),
      m_pMultiplexer(nullptr) {}

ServerLink::~ServerLink() {
  StopServer();
}

void ServerLink::SetCallbackObject(ServerLinkCBClass& callback) {
  m_pCallback = &callback;
}

int ServerLink::InitServer(int port, const char* localAddress, int reinitSleep,
                           int maxReinitAttempts) {
  SERVERLINK_SCOPE("ServerLink::InitServer");
  if (m_pServerThread || m_pServerSocket) {
    HX_TRACE(1, "TCP Server: InitServer was called on a server that is already listening.");
    m_LastError.store(EALREADY);
    return -1;
  }
  m_Port = port;
  // Our own copy: re-initialisation reads the text again, long after the call.
  if (localAddress) {
    m_LocalAddress = localAddress;
    m_pLocalAddress = m_LocalAddress.c_str();
  } else {
    m_pLocalAddress = nullptr;
  }
  m_ReinitSleep = reinitSleep;
  m_MaxReinitAttempts = maxReinitAttempts;
  int rc = InitServerSocket();
  if (rc < 0) {
    m_LastError.store(m_SocketError);
    return rc;
  }
  // The wake-up pipe and the thread can fail too (out of descriptors or
  // threads): the server then did not start, and leaves nothing behind, so
  // a later InitServer on this object can work.
  const char* making = "the listener's wake-up";
  long code = 0;
  try {
    m_pMultiplexer = new os_io_multiplexer();
    making = "the server thread";
    m_pServerThread = new os_thread(StartServerThread, this, 0, false);
  } catch (const os_network_toolkit_error& e) {
    code = e.native_code();
  } catch (const os_thread_toolkit_error& e) {
    code = e.native_code();
  } catch (...) {
    ReleaseFailedStart();  // an allocation failure passes to the caller
    throw;
  }
  if (!m_pServerThread) {
    HX_TRACE(1, "TCP Server: " << making << " could not be created. "
                               << "Native Error code is " << code);
    m_LastError.store(static_cast<int>(code));
    ReleaseFailedStart();
    return -1;
  }
  HX_TRACE(
      4, "Ctl Server Thread id is " << static_cast<unsigned long long>(m_pServerThread->tid().id));
  m_LastError.store(0);
  return m_Port;
}

int ServerLink::LastError() {
  return m_LastError.load();
}

void ServerLink::ReleaseFailedStart() {
  delete m_pMultiplexer;
  m_pMultiplexer = nullptr;
  delete m_pServerSocket;
  m_pServerSocket = nullptr;
}

int ServerLink::InitServerSocket() {
  SERVERLINK_SCOPE("ServerLink::InitServerSocket");
  const bool automatic = m_Port <= 0;
  try {
    const int bindPort = automatic ? 0 : m_Port;
    std::unique_ptr<os_tcp_connection_server> socket;
    if (m_pLocalAddress) {
      os_socket_address address(os_ip_address{std::string(m_pLocalAddress)}, bindPort);
      socket.reset(new os_tcp_connection_server(address, kListenBacklog));
    } else {
      // Every interface: clients of both families are welcome.
      socket.reset(new os_tcp_connection_server(bindPort, kListenBacklog));
    }
    if (automatic) m_Port = socket->socket_address().port();
    delete m_pServerSocket;
    m_pServerSocket = socket.release();
  } catch (const os_network_toolkit_error& e) {
    m_SocketError = static_cast<int>(e.native_code());
    if (automatic)
      HX_TRACE(1, "TCP Server: Automatic port allocation failed. "
                      << "Native Error code is " << e.native_code());
    else
      HX_TRACE(1, "TCP Server: Bind to port " << m_Port << " has failed. "
                                              << "Native Error code is " << e.native_code());
    return -1;
  }
  return 1;
}

void* ServerLink::StartServerThread(void* server) {
  SERVERLINK_SCOPE("ServerLink::StartServerThread");
  ServerLink* self = static_cast<ServerLink*>(server);
  t_hxServingServer = self;
  try {
    self->ServerThreadLoop();
  } catch (...) {
    // The loop catches everything itself; only a failure while tracing one
    // of its errors could get here. Nothing leaves the thread.
  }
  t_hxServingServer = nullptr;
  return nullptr;
}

void ServerLink::ServerThreadLoop() {
  SERVERLINK_SCOPE("ServerLink::ServerThreadLoop");
  std::vector<unsigned> readSet;
  auto renewReadSet = [&] {
    if (!readSet.empty()) readSet.pop_back();
    readSet.push_back(static_cast<unsigned>(m_pServerSocket->handle()));
    m_pMultiplexer->read_scan(readSet);
  };
  // Nothing may leave this thread: every failure is traced and the loop goes
  // on, re-initialises or ends, and Exception() is always delivered.
  try {
    renewReadSet();
  } catch (...) {
    m_StopRequested.store(true, std::memory_order_release);
  }
  long backoffMs = 0;  // the current back-off step; 0 after a success
  while (!m_StopRequested.load(std::memory_order_acquire)) {
    bool backOff = false;
    bool listenerFailed = false;
    long code = 0;
    try {
      timeval wait{kSelectSeconds, 0};
      if (m_pMultiplexer->select(&wait) != 1) continue;
      // A stop that came while the listener turned readable wins over the accept.
      if (m_StopRequested.load(std::memory_order_acquire)) break;
      std::unique_ptr<os_tcp_socket> socket(new os_tcp_socket(0));
      // No waiting inside accept: select has just said a connection is there;
      // if it has gone meanwhile, accept says so instead of blocking a stop.
      timeval noWait{0, 0};
      if (m_pServerSocket->accept(*socket, &noWait)) {
        backoffMs = 0;
        // Without a callback nobody would own the connection: it is closed.
        if (m_pCallback) m_pCallback->Accept(socket.release());
      } else {
        HX_TRACE(1, "Failed to accept new connection");
        backOff = IsResourceError(m_pServerSocket->last_accept_error());
      }
    } catch (const os_network_toolkit_error& e) {
      if (m_StopRequested.load(std::memory_order_acquire)) break;
      listenerFailed = true;
      code = e.native_code();
    } catch (const os_toolkit_error& e) {
      HX_TRACE(1, "os_toolkit_error exception thrown in ServerLink::ServerThreadLoop. "
                      << "Error: " << e.what());
      backOff = true;
    } catch (const std::exception& e) {
      HX_TRACE(1, "std::exception thrown in ServerLink::ServerThreadLoop. "
                      << "Error: " << e.what());
      backOff = true;
    } catch (...) {
      HX_TRACE(1, "Unknown exception thrown in ServerLink::ServerThreadLoop.");
      backOff = true;
    }
    // Handled out of the catch clause, so that nothing the re-initialisation
    // raises can leave the thread.
    if (listenerFailed) {
      HX_TRACE(1, "TCP Server thread: accept for connections on port " << m_Port << " has failed. "
                                                                       << "Native Error code is "
                                                                       << code);
      int rc = -1;
      try {
        rc = ServerSocketReinit(code);
        if (rc == 1) renewReadSet();
      } catch (...) {
        rc = -1;  // the listener may be half rebuilt: give up
      }
      if (rc == -1) {
        if (!m_StopRequested.load(std::memory_order_acquire)) {
          std::fprintf(stdout,
                       "TCP Server thread: accept for connections on port %d has failed. "
                       "Native Error code is %ld\n",
                       m_Port, code);
          std::fflush(stdout);
          HX_TRACE(0, "CTL  Server thread is going down "
                          << "because of critical network error");
          std::fputs("CTL  Server thread is going downbecause of critical network error\n", stdout);
          std::fflush(stdout);
        }
        break;
      }
      // A listener that keeps failing while it still looks open would
      // otherwise be retried at full speed.
      backOff = true;
    }
    if (backOff) {
      backoffMs = NextBackoff(backoffMs);
      m_StopEvent.wait(backoffMs);  // a stop ends the wait at once
    }
  }
  CloseSocket("ServerThreadLoop");
  if (m_pCallback) {
    try {
      m_pCallback->Exception();
    } catch (const std::exception& e) {
      HX_TRACE(1, "std::exception thrown in ServerLinkCBClass::Exception. "
                      << "Error: " << e.what());
    } catch (...) {
      HX_TRACE(1, "Unknown exception thrown in ServerLinkCBClass::Exception.");
    }
  }
}

int ServerLink::ServerSocketReinit(long nativeError) {
  SERVERLINK_SCOPE("ServerLink::ServerSocketReinit");
  for (;;) {
    // A stop also ends a re-initialisation, so StopServer never waits for
    // attempts that may go on for ever.
    if (m_StopRequested.load(std::memory_order_acquire)) return -1;
    if (m_MaxReinitAttempts != -1 && m_ReinitAttempts >= m_MaxReinitAttempts) {
      HX_TRACE(1, "TCP Server thread: max number of attempts to reinit server socket reached");
      return -1;
    }
    int rc = ServerSocketAttemptReinit(nativeError);
    ++m_ReinitAttempts;
    if (rc != 0) {
      m_ReinitAttempts = 0;
      return rc;
    }
    if (m_ReinitSleep > 0) m_StopEvent.wait(m_ReinitSleep * 1000L);
  }
}

int ServerLink::ServerSocketAttemptReinit(long nativeError) {
  SERVERLINK_SCOPE("ServerLink::ServerSocketAttemptReinit");
  if (nativeError == kUnrecoverableAcceptError1 || nativeError == kUnrecoverableAcceptError2) {
    HX_TRACE(1,
             "TCP Server thread: unrecoverable server socket errror - server thresd is going down");
    m_ReinitAttempts = 0;
    return -1;
  }
  if (IsOpen()) return 1;
  delete m_pServerSocket;
  m_pServerSocket = nullptr;
  if (InitServerSocket() < 0) {
    HX_TRACE(
        2, "TCP Server thread: failure to reinitialise socket - another attempt can be performed");
    return 0;
  }
  return 1;
}

void ServerLink::StopServer() {
  SERVERLINK_SCOPE("ServerLink::StopServer");
  m_StopRequested.store(true, std::memory_order_release);
  m_StopEvent.post();
  if (m_pMultiplexer) m_pMultiplexer->wake();
  // On the server thread, or on the reader of a link accepted there (the
  // accept manager's clean-up waits for that reader), the flag and the
  // wake-up are all we can do; the owner's StopServer or the destructor
  // waits and releases.
  if (t_hxServingServer == this) return;
  if (m_pServerThread) {
    try {
      os_this_thread::wait_for_thread(m_pServerThread->tid());
    } catch (const os_thread_toolkit_error&) {
      // The thread is gone either way.
    }
    delete m_pServerThread;
    m_pServerThread = nullptr;
  }
  delete m_pServerSocket;
  m_pServerSocket = nullptr;
  delete m_pMultiplexer;
  m_pMultiplexer = nullptr;
}

bool ServerLink::IsOpen() {
  SERVERLINK_SCOPE("ServerLink::IsOpen");
  return m_pServerSocket != nullptr && m_pServerSocket->handle() != -1;
}

void ServerLink::CloseSocket(const char* caller) {
  SERVERLINK_SCOPE("ServerLink::CloseSocket");
  if (!m_pServerSocket) return;
  try {
    m_pServerSocket->close();
  } catch (const os_network_toolkit_error& e) {
    HX_TRACE(2, "Close socket (called from " << caller << ") has caught network error. "
                                             << "Native Error code is " << e.native_code());
  }
}
