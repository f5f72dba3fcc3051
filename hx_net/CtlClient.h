// Public header: the control-request (CTL) client.
//
// One call of CtlInterface is one control request to a running component:
// connect a fresh Link, send one CTL message, wait for the component's reply
// under a time-out, disconnect, and return a CTL_RC_* result code. No
// connection outlives a call.
//
// Threads: every operation blocks its caller until the reply has been
// examined, the connection has ended or the time-out has run out; it returns
// as soon as that is decided (the helper threads are joined before it
// returns). The operations share no data and may be called from any number of
// threads at once. Nothing is thrown by the CTL logic; only allocation
// failures reach the caller.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/hx_export.h"

class TlsContext;

// The kind of the addressed component. Only two values mean something to the
// library; every other value is an ordinary component, named by the caller.
enum ComponentTypeEnum : int32_t {
  // The gateway (GTW in the diagnostics): four keywords travel as its flag
  // string, and messages that are not CTL replies are ignored while waiting.
  CTL_COMPONENT_GATEWAY = 0,
  // The kind that Shutdown() asks for "SHUTDOWN" instead of "STOP".
  CTL_COMPONENT_SHUTDOWN_KIND = 6,
};

// Where and how to reach one component. No operation changes it.
struct HX_NET_API CtlHostParams {
  char m_Host[256];  // host name, dotted IPv4 or IPv6 text ("::1"), NUL-terminated
  char m_Port[8];    // decimal port, NUL-terminated
  int m_Timeout;     // seconds to wait for the reply after sending; 0 or less: no wait
  ComponentTypeEnum m_ComponentType;
};

// One measurement of a GET_MEASURE reply.
struct HX_NET_API NameValue {
  std::string name;
  std::string value;
};

// Result codes of every CtlInterface operation.
constexpr int CTL_RC_TIMER_FAILED = 0;     // the time-out thread failed to start
constexpr int CTL_RC_OK = 1;               // success
constexpr int CTL_RC_CONNECT_FAILED = 24;  // the connection to the component failed
constexpr int CTL_RC_TIMEOUT = 27;         // connect timed out, or no acceptable reply in time
constexpr int CTL_RC_WARNING = 33;         // the life check was answered with a warning
constexpr int CTL_RC_CONNECTION_LOST =
    34;  // the connection ended before any reply (not the gateway)
constexpr int CTL_RC_BAD_REPLY =
    35;  // not an acceptable reply, or a body the operation does not understand
constexpr int CTL_RC_REFUSED = 37;          // the component answered "NO"
constexpr int CTL_RC_UNKNOWN_REQUEST = 38;  // the component answered "UNKNOWN_REQUEST"

class HX_NET_API CtlInterface {
 public:
  // Sends `request` (any text) and waits. On CTL_RC_OK and
  // CTL_RC_UNKNOWN_REQUEST assigns the reply text to `reply`; otherwise leaves
  // it as it was. A gateway that closes the connection without a reply counts
  // as CTL_RC_OK, and `reply` is left as it was. With m_Timeout above 0, the
  // connect too is bounded by m_Timeout seconds (CTL_RC_TIMEOUT when it runs
  // out), and the reply is awaited for m_Timeout seconds more at most.
  static int CtlRequest(CtlHostParams& params, const std::string& request, std::string& reply);
  // "LIFE_CHECK". CTL_RC_OK with `info` "OK" or the text after "OK";
  // CTL_RC_WARNING with the text after "WARNING:" (at most 200 characters).
  static int LifeCheck(CtlHostParams& params, std::string& info);
  // "DO_MEASURE": CTL_RC_OK for "OK", CTL_RC_REFUSED for "NO".
  static int DoMeasurements(CtlHostParams& params);
  // "GET_MEASURE": appends the reply's name=value pairs to `measurements`, in
  // reply order; CTL_RC_REFUSED for "NO". The vector is never cleared.
  static int GetMeasurements(CtlHostParams& params, std::vector<NameValue>& measurements);
  // "SHUTDOWN" to CTL_COMPONENT_SHUTDOWN_KIND, "STOP" to every other kind.
  // Both return CTL_RC_OK for any accepted reply, "NO" included: a caller
  // that must know whether the component obeys reads the reply itself
  // (CtlRequest with the keyword).
  static int Shutdown(CtlHostParams& params);
  static int Stop(CtlHostParams& params);
  // "CHANGE_LOG": CTL_RC_OK for "OK", CTL_RC_REFUSED for "NO".
  static int ChangeLog(CtlHostParams& params);
  // The native error (ECONNREFUSED, ETIMEDOUT, ...) of this thread's last
  // CTL connect that failed; 0 after one that succeeded.
  static long LastConnectError();

  // The same operations for a constant parameter block: they forward to the
  // forms above with a copy.
  static int CtlRequest(const CtlHostParams& params, const std::string& request,
                        std::string& reply);
  static int LifeCheck(const CtlHostParams& params, std::string& info);
  static int DoMeasurements(const CtlHostParams& params);
  static int GetMeasurements(const CtlHostParams& params, std::vector<NameValue>& measurements);
  static int Shutdown(const CtlHostParams& params);
  static int Stop(const CtlHostParams& params);
  static int ChangeLog(const CtlHostParams& params);

  // The same operations over TLS (hx_net/Tls.h) with a client context (null:
  // clear text). The results are those of clear requests; the handshake
  // counts inside the connect bound: a failed handshake gives
  // CTL_RC_CONNECT_FAILED, one that runs out of time CTL_RC_TIMEOUT
  // (LastConnectError: EPROTO or the network's error, or ETIMEDOUT).
  static int CtlRequest(const CtlHostParams& params, const std::string& request, std::string& reply,
                        const std::shared_ptr<TlsContext>& tls);
  static int LifeCheck(const CtlHostParams& params, std::string& info,
                       const std::shared_ptr<TlsContext>& tls);
  static int DoMeasurements(const CtlHostParams& params, const std::shared_ptr<TlsContext>& tls);
  static int GetMeasurements(const CtlHostParams& params, std::vector<NameValue>& measurements,
                             const std::shared_ptr<TlsContext>& tls);
  static int Shutdown(const CtlHostParams& params, const std::shared_ptr<TlsContext>& tls);
  static int Stop(const CtlHostParams& params, const std::shared_ptr<TlsContext>& tls);
  static int ChangeLog(const CtlHostParams& params, const std::shared_ptr<TlsContext>& tls);

  CtlInterface& operator=(const CtlInterface&) { return *this; }

 private:
  // Appends the 78-character CTL header to `out`.
  static void BuildHeader(std::string& out);
  // The gateway's flag string for STOP, LIFE_CHECK, DO_MEASURE and
  // GET_MEASURE; any other text unchanged. Returns 1.
  static int BuildGatewayMsg(const std::string& request, std::string& out);
  // Appends header and body to `out`. Returns 1.
  static int BuildMessage(ComponentTypeEnum type, const std::string& request, std::string& out);

  friend class CtlInterfaceTestPeer;
};
