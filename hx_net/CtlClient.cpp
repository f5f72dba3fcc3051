#include "hx_net/CtlClient.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <ostream>
#include <sstream>

#include "hx_net/CtlClientInternal.h"
#include "hx_net/Tls.h"
#include "hx_net/strutil.h"
#include "hx_net/trace_modules.h"
#include "platform/nvutil.h"

namespace {

constexpr unsigned kHeaderLength = 78;
constexpr unsigned kUserIdOffset = 14;
constexpr unsigned kUserIdLength = 64;
constexpr const char* kReplyUserId = "CTL_RESP";
constexpr unsigned kMaxInfo = 200;
constexpr long kConnectBoundSeconds = 21;  // the longest a connect may take in any case
// The native error of this thread's last CTL connect that failed; 0 after a success.
thread_local long t_LastConnectError = 0;
// Threads are reused between links: none inherits another's last error.
const bool g_ResetRegistered = (os_thread_add_reset_hook([] { t_LastConnectError = 0; }), true);

// Streams a buffer as text up to its first NUL, never past `length` bytes.
struct TextUpToNul {
  const char* data;
  size_t length;
};
std::ostream& operator<<(std::ostream& os, const TextUpToNul& t) {
  if (t.data) os.write(t.data, static_cast<std::streamsize>(strnlen(t.data, t.length)));
  return os;
}
TextUpToNul AsText(const char* data, size_t length) {
  return TextUpToNul{data, length};
}

// The lines that follow "Error in thread creation!" or "Error in wait_for_thread!".
void ReportToolkitError(const TDiagFunc& fn, const std::exception& e) {
  if (auto* te = dynamic_cast<const os_thread_toolkit_error*>(&e)) {
    HX_TRACE_IN(fn, 1, "os_thread_toolkit_error exception thrown.");
    HX_TRACE_IN(fn, 1, "The portable return code: " << te->portable_code());
    HX_TRACE_IN(fn, 1,
                "The description: " << os_thread_toolkit_error::description(te->portable_code()));
    HX_TRACE_IN(fn, 1, "The native return code: " << te->native_code());
  } else if (dynamic_cast<const os_toolkit_error*>(&e)) {
    HX_TRACE_IN(fn, 1,
                "os_toolkit_error exception thrown. "
                    << "Error: " << e.what());
  } else {
    HX_TRACE_IN(fn, 1,
                "std::exception thrown. "
                    << "Error: " << e.what());
  }
}

// The user id field as the reply rules compare it: at most 64 bytes from
// offset 14, cut at a NUL, white space trimmed at both ends.
std::string TrimmedUserId(unsigned length, const char* payload) {
  char buf[kUserIdLength + 1];
  size_t avail = length > kUserIdOffset ? length - kUserIdOffset : 0;
  size_t n = strnlen(payload + kUserIdOffset, avail < kUserIdLength ? avail : kUserIdLength);
  std::memcpy(buf, payload + kUserIdOffset, n);
  buf[n] = '\0';
  strtrim(buf);
  return buf;
}

}  // namespace

// ---------------------------------------------------------------------------
// Reply examination

CtlReplyOutcome CtlExamineReply(const TDiagFunc& fn, unsigned int length, const char* payload,
                                bool gateway, std::string& replyText) {
  if (!payload) length = 0;
  if (length < kHeaderLength) {
    if (gateway) {
      HX_TRACE_IN(
          fn, 1,
          "This is not a valid response. The message length of " << length << " is too short");
      HX_TRACE_IN(
          fn, 2,
          "This is not a GTW sync message. The message length of " << length << " is too short");
    } else {
      HX_TRACE_IN(
          fn, 2, "This is not a CTL response. The message length of " << length << " is too short");
    }
    return CtlReplyOutcome::kRejected;
  }
  const char recordType = payload[0];
  const char messageType = payload[1];
  const bool plusPlus = recordType == '+' && messageType == '+';
  if (!gateway && !plusPlus) {
    HX_TRACE_IN(fn, 2,
                "This is not a CTL response. It has record type: "
                    << recordType << " and message type: " << messageType);
    return CtlReplyOutcome::kRejected;
  }
  const std::string userId = TrimmedUserId(length, payload);
  if (userId != kReplyUserId || !plusPlus) {
    if (gateway) {
      HX_TRACE_IN(fn, 4,
                  "This is not a CTL response(OK ignored). It has record type: "
                      << recordType << " and message type: " << messageType
                      << " user id: " << userId);
      return CtlReplyOutcome::kIgnored;
    }
    HX_TRACE_IN(fn, 2, "The CTL response has a wrong user id: " << userId);
    return CtlReplyOutcome::kRejected;
  }
  const char* body = payload + kHeaderLength;
  replyText.assign(body, strnlen(body, length - kHeaderLength));
  return CtlReplyOutcome::kAccepted;
}

// ---------------------------------------------------------------------------
// CtlClientLinkCBObject

CtlClientLinkCBObject::CtlClientLinkCBObject(os_event_semaphore* wakeUp, ComponentTypeEnum type)
    : m_pWakeUp(wakeUp),
      m_ReceiveEntered(false),
      m_ExceptionEntered(false),
      m_ComponentType(type),
      m_CtlRc(0),
      m_Accepted(false) {
  CTL_SCOPE("CtlClientLinkCBObject::CtlClientLinkCBObject");
}

CtlClientLinkCBObject::~CtlClientLinkCBObject() = default;

void CtlClientLinkCBObject::Receive(unsigned int length, const char* payload, Link* link) {
  CTL_SCOPE("CtlClientLinkCBObject::Receive");
  HX_TRACE_CTX(3, kCtlTraceContext,
               "CTL response received from: "
                   << (link ? os_host_port_text(link->GetHostName(), link->GetPortNumber()) : ":0")
                   << " ==> '" << AsText(payload, length) << "'");
  const bool gateway = m_ComponentType == CTL_COMPONENT_GATEWAY;
  std::string text;
  const CtlReplyOutcome outcome = CtlExamineReply(hx_fn, length, payload, gateway, text);
  // Once a reply is accepted the caller may be reading it: keep it stable.
  if (m_Accepted) return;
  switch (outcome) {
    case CtlReplyOutcome::kAccepted:
      m_CtlRc = CTL_RC_OK;
      m_CtlReply.swap(text);
      m_Accepted = true;
      if (gateway)
        HX_TRACE_CTX(3, kCtlTraceContext,
                     "CTL response received from GTW: "
                         << " (m_CtlReply) ==> " << m_CtlReply);
      m_ReceiveEntered.post();
      m_pWakeUp->post();
      break;
    case CtlReplyOutcome::kRejected:
      m_CtlRc = CTL_RC_BAD_REPLY;
      m_ReceiveEntered.post();
      break;
    case CtlReplyOutcome::kIgnored:
      break;
  }
}

void CtlClientLinkCBObject::Exception(int, Link*) {
  CTL_SCOPE("CtlClientLinkCBObject::Exception");
  m_ExceptionEntered.post();
  m_pWakeUp->post();
}

bool CtlClientLinkCBObject::ReceiveWasEntered() {
  CTL_SCOPE("CtlClientLinkCBObject::ReceiveWasEntered");
  return m_ReceiveEntered.posted();
}

bool CtlClientLinkCBObject::ExceptionWasEntered() {
  CTL_SCOPE("CtlClientLinkCBObject::ExceptionWasEntered");
  return m_ExceptionEntered.posted();
}

const std::string& CtlClientLinkCBObject::GetCtlReply() {
  CTL_SCOPE("CtlClientLinkCBObject::GetCtlReply");
  return m_CtlReply;
}

int CtlClientLinkCBObject::GetCtlRc() {
  CTL_SCOPE("CtlClientLinkCBObject::GetCtlRc");
  return m_CtlRc;
}

// ---------------------------------------------------------------------------
// CtlTimer

CtlTimer::CtlTimer()
    : m_pWakeUp(nullptr),
      m_TimeElapsed(false),
      m_Lock(false),
      m_MainEnded(false),
      m_Timeout(0),
      m_pThread(nullptr) {}

CtlTimer::~CtlTimer() {
  CTL_SCOPE("CtlTimer::~CtlTimer");
  if (!m_pThread) return;
  try {
    os_this_thread::wait_for_thread(m_pThread->tid());
  } catch (const std::exception& e) {
    HX_TRACE(1, "Error in wait_for_thread!");
    ReportToolkitError(hx_fn, e);
  }
  delete m_pThread;
  m_pThread = nullptr;
}

int CtlTimer::Activate(os_event_semaphore* wakeUp, int timeoutSeconds) {
  CTL_SCOPE("CtlTimer::Activate");
  m_pWakeUp = wakeUp;
  m_Timeout = timeoutSeconds;
  try {
    m_pThread = new os_thread(&CtlTimer::StartTimerThread, this, 0, false);
  } catch (const std::exception& e) {
    HX_TRACE(1, "Error in thread creation!");
    ReportToolkitError(hx_fn, e);
    return 0;
  }
  return 1;
}

void* CtlTimer::StartTimerThread(void* timer) {
  CTL_SCOPE("CtlTimer::StartTimerThread");
  static_cast<CtlTimer*>(timer)->TimerMain();
  return nullptr;
}

void CtlTimer::TimerMain() {
  CTL_SCOPE("CtlTimer::TimerMain");
  // A timed wait rather than a sleep: SetMainEnded ends the thread at once.
  // Measured on the steady clock: a change of the wall clock neither
  // shortens nor stretches a request.
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(m_Timeout > 0 ? m_Timeout : 0);
  for (;;) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    if (m_MainEnded.wait(static_cast<long>(left))) break;
  }
  m_Lock.lock();
  if (!m_MainEnded.posted()) {
    m_TimeElapsed.post();
    m_pWakeUp->post();
  }
  m_Lock.unlock();
}

bool CtlTimer::TimeHasElapsed() {
  CTL_SCOPE("CtlTimer::TimeHasElapsed");
  return m_TimeElapsed.posted();
}

void CtlTimer::SetMainEnded() {
  CTL_SCOPE("CtlTimer::SetMainEnded");
  m_Lock.lock();
  m_MainEnded.post();
  m_Lock.unlock();
}

// ---------------------------------------------------------------------------
// CtlInterface: the builders

void CtlInterface::BuildHeader(std::string& out) {
  CTL_SCOPE("CtlInterface::BuildHeader");
  out.append("++");
  out.append(9, '0');  // instance
  out.append(3, ' ');  // short data-centre name
  out.append("CTL");   // user id, blank-padded to 64
  out.append(kUserIdLength - 3, ' ');
}

int CtlInterface::BuildGatewayMsg(const std::string& request, std::string& out) {
  CTL_SCOPE("CtlInterface::BuildGatewayMsg");
  static const struct {
    const char* keyword;
    int position;
  } kFlags[] = {{"STOP", 0}, {"LIFE_CHECK", 13}, {"DO_MEASURE", 14}, {"GET_MEASURE", 15}};
  for (const auto& f : kFlags) {
    if (request == f.keyword) {
      out.assign(16, '-');
      out[static_cast<size_t>(f.position)] = 'Y';
      return 1;
    }
  }
  out = request;
  return 1;
}

int CtlInterface::BuildMessage(ComponentTypeEnum type, const std::string& request,
                               std::string& out) {
  CTL_SCOPE("CtlInterface::BuildMessage");
  BuildHeader(out);
  if (type != CTL_COMPONENT_GATEWAY) {
    out.append(request);
    return 1;
  }
  std::string body;
  const int rc = BuildGatewayMsg(request, body);
  if (rc != 1) return rc;
  out.append(body);
  return 1;
}

// ---------------------------------------------------------------------------
// CtlInterface: the requests

long CtlInterface::LastConnectError() {
  return t_LastConnectError;
}

int CtlInterface::CtlRequest(CtlHostParams& params, const std::string& request,
                             std::string& reply) {
  return CtlRequest(static_cast<const CtlHostParams&>(params), request, reply, nullptr);
}

int CtlInterface::CtlRequest(const CtlHostParams& params, const std::string& request,
                             std::string& reply, const std::shared_ptr<TlsContext>& tls) {
  CTL_SCOPE("CtlInterface::CtlRequest");
  std::string message;
  const int built = BuildMessage(params.m_ComponentType, request, message);
  if (built != 1) return built;

  // Bounded copies: the record's text fields need not be terminated.
  std::string host(params.m_Host, strnlen(params.m_Host, sizeof params.m_Host));
  std::string port(params.m_Port, strnlen(params.m_Port, sizeof params.m_Port));

  // Declared before the Link, so on every way out, an exception included,
  // the Link's destructor has ended its reader before anything the reader
  // calls is destroyed.
  os_event_semaphore wakeUp(false);
  CtlClientLinkCBObject callback(&wakeUp, params.m_ComponentType);
  Link link;
  link.SetCallbackObject(callback);
  link.SetTls(tls);

  // The request's time-out bounds its connect too (on this link only).
  if (params.m_Timeout > 0)
    link.SetConnectTimeout(std::min<long>(params.m_Timeout, kConnectBoundSeconds) * 1000L);
  long error = 0;
  const int connected = link.Connect(&host[0], &port[0], error);
  t_LastConnectError = connected == 0 ? 0 : error;
  if (connected != 0) return error == ETIMEDOUT ? CTL_RC_TIMEOUT : CTL_RC_CONNECT_FAILED;

  link.Send(message.data(), static_cast<unsigned int>(message.size()));
  HX_TRACE_CTX(
      3, kCtlTraceContext,
      "CTL request sent to: " << (host.find(':') != std::string::npos ? "[" + host + "]" : host)
                              << ":" << port << " ==> '" << message << "'");

  enum { kReceived, kEnded, kTimedOut, kNone } woken = kNone;
  {
    CtlTimer timer;
    const int activated = timer.Activate(&wakeUp, params.m_Timeout);
    if (activated != 1) {
      HX_TRACE_CTX(1, kCtlTraceContext, "CtlTimer::Activate failed");
      link.DisConnect();
      return activated;
    }
    wakeUp.wait();
    if (callback.ReceiveWasEntered())
      woken = kReceived;
    else if (callback.ExceptionWasEntered())
      woken = kEnded;
    else if (timer.TimeHasElapsed())
      woken = kTimedOut;
    timer.SetMainEnded();
    link.DisConnect();
  }  // the timer thread is joined here

  // The reader has ended with DisConnect, so the reply fields are settled.
  switch (woken) {
    case kReceived: {
      if (callback.GetCtlRc() != CTL_RC_OK) return CTL_RC_BAD_REPLY;
      reply = callback.GetCtlReply();
      return reply == "UNKNOWN_REQUEST" ? CTL_RC_UNKNOWN_REQUEST : CTL_RC_OK;
    }
    case kEnded:
      // A TLS 1.3 server refuses a client's certificate after the client's
      // Connect has returned: still a failed handshake.
      if (link.EndReason() == LinkEndReason::HandshakeFailed) {
        t_LastConnectError = EPROTO;
        return CTL_RC_CONNECT_FAILED;
      }
      return params.m_ComponentType == CTL_COMPONENT_GATEWAY ? CTL_RC_OK : CTL_RC_CONNECTION_LOST;
    case kTimedOut:
      return CTL_RC_TIMEOUT;
    case kNone:
      break;
  }
  return CTL_RC_OK;
}

namespace {

using Tls = std::shared_ptr<TlsContext>;

int LifeCheckOf(const CtlHostParams& params, std::string& info, const Tls& tls) {
  std::string reply;
  const int rc = CtlInterface::CtlRequest(params, "LIFE_CHECK", reply, tls);
  if (rc != CTL_RC_OK) return rc;
  static const std::string kWarning = "WARNING:";
  if (reply.size() > kWarning.size() && reply.compare(0, kWarning.size(), kWarning) == 0) {
    info = reply.substr(kWarning.size(), kMaxInfo);
    return CTL_RC_WARNING;
  }
  if (reply.size() >= 2 && reply.compare(0, 2, "OK") == 0) {
    info = reply.size() > 2 ? reply.substr(2, kMaxInfo) : reply;
    return CTL_RC_OK;
  }
  return CTL_RC_BAD_REPLY;
}

// The replies of DO_MEASURE and CHANGE_LOG: exactly "OK" or exactly "NO".
int OkOrNo(const CtlHostParams& params, const char* keyword, const Tls& tls) {
  std::string reply;
  const int rc = CtlInterface::CtlRequest(params, keyword, reply, tls);
  if (rc != CTL_RC_OK) return rc;
  if (reply == "NO") return CTL_RC_REFUSED;
  if (reply == "OK") return CTL_RC_OK;
  return CTL_RC_BAD_REPLY;
}

int GetMeasurementsOf(const CtlHostParams& params, std::vector<NameValue>& measurements,
                      const Tls& tls) {
  std::string reply;
  const int rc = CtlInterface::CtlRequest(params, "GET_MEASURE", reply, tls);
  if (rc != CTL_RC_OK) return rc;
  if (reply == "NO") return CTL_RC_REFUSED;
  std::istringstream in(reply);
  NameValue pair;
  if (!NVUtil::ReadFromStream(in, pair.name, pair.value)) return CTL_RC_BAD_REPLY;
  do {
    measurements.push_back(pair);
  } while (NVUtil::ReadFromStream(in, pair.name, pair.value));
  return CTL_RC_OK;
}

int ShutdownOf(const CtlHostParams& params, const Tls& tls) {
  std::string reply;
  const char* keyword = params.m_ComponentType == CTL_COMPONENT_SHUTDOWN_KIND ? "SHUTDOWN" : "STOP";
  return CtlInterface::CtlRequest(params, keyword, reply, tls);
}

int StopOf(const CtlHostParams& params, const Tls& tls) {
  std::string reply;
  return CtlInterface::CtlRequest(params, "STOP", reply, tls);
}

}  // namespace

int CtlInterface::LifeCheck(CtlHostParams& params, std::string& info) {
  CTL_SCOPE("CtlInterface::LifeCheck");
  return LifeCheckOf(params, info, nullptr);
}

int CtlInterface::DoMeasurements(CtlHostParams& params) {
  CTL_SCOPE("CtlInterface::DoMeasurements");
  return OkOrNo(params, "DO_MEASURE", nullptr);
}

int CtlInterface::GetMeasurements(CtlHostParams& params, std::vector<NameValue>& measurements) {
  CTL_SCOPE("CtlInterface::GetMeasurements");
  return GetMeasurementsOf(params, measurements, nullptr);
}

int CtlInterface::Shutdown(CtlHostParams& params) {
  CTL_SCOPE("CtlInterface::Shutdown");
  return ShutdownOf(params, nullptr);
}

int CtlInterface::Stop(CtlHostParams& params) {
  CTL_SCOPE("CtlInterface::Stop");
  return StopOf(params, nullptr);
}

int CtlInterface::ChangeLog(CtlHostParams& params) {
  CTL_SCOPE("CtlInterface::ChangeLog");
  return OkOrNo(params, "CHANGE_LOG", nullptr);
}

// ---------------------------------------------------------------------------
// CtlInterface: the forms over TLS

int CtlInterface::LifeCheck(const CtlHostParams& params, std::string& info, const Tls& tls) {
  CTL_SCOPE("CtlInterface::LifeCheck");
  return LifeCheckOf(params, info, tls);
}
int CtlInterface::DoMeasurements(const CtlHostParams& params, const Tls& tls) {
  CTL_SCOPE("CtlInterface::DoMeasurements");
  return OkOrNo(params, "DO_MEASURE", tls);
}
int CtlInterface::GetMeasurements(const CtlHostParams& params, std::vector<NameValue>& measurements,
                                  const Tls& tls) {
  CTL_SCOPE("CtlInterface::GetMeasurements");
  return GetMeasurementsOf(params, measurements, tls);
}
int CtlInterface::Shutdown(const CtlHostParams& params, const Tls& tls) {
  CTL_SCOPE("CtlInterface::Shutdown");
  return ShutdownOf(params, tls);
}
int CtlInterface::Stop(const CtlHostParams& params, const Tls& tls) {
  CTL_SCOPE("CtlInterface::Stop");
  return StopOf(params, tls);
}
int CtlInterface::ChangeLog(const CtlHostParams& params, const Tls& tls) {
  CTL_SCOPE("CtlInterface::ChangeLog");
  return OkOrNo(params, "CHANGE_LOG", tls);
}

// ---------------------------------------------------------------------------
// CtlInterface: the forms for a constant parameter block

int CtlInterface::CtlRequest(const CtlHostParams& params, const std::string& request,
                             std::string& reply) {
  CtlHostParams copy = params;
  return CtlRequest(copy, request, reply);
}
int CtlInterface::LifeCheck(const CtlHostParams& params, std::string& info) {
  CtlHostParams copy = params;
  return LifeCheck(copy, info);
}
int CtlInterface::DoMeasurements(const CtlHostParams& params) {
  CtlHostParams copy = params;
  return DoMeasurements(copy);
}
int CtlInterface::GetMeasurements(const CtlHostParams& params,
                                  std::vector<NameValue>& measurements) {
  CtlHostParams copy = params;
  return GetMeasurements(copy, measurements);
}
int CtlInterface::Shutdown(const CtlHostParams& params) {
  CtlHostParams copy = params;
  return Shutdown(copy);
}
int CtlInterface::Stop(const CtlHostParams& params) {
  CtlHostParams copy = params;
  return Stop(copy);
}
int CtlInterface::ChangeLog(const CtlHostParams& params) {
  CtlHostParams copy = params;
  return ChangeLog(copy);
}
