// hxctl: sends one CTL request to a running component and prints the result.
//
//   hxctl [--timeout S] [--type N] [--trace LEVEL] [--count N [--interval S]]
//         [--tls-ca FILE [--tls-cert FILE --tls-key FILE] [--tls-name NAME]]
//         HOST PORT COMMAND
//
// Exit status: 0 for success; the result code itself for 24, 27, 33, 34, 35,
// 37 and 38; 70 when the time-out thread could not start; 64 for bad usage.
// With --count, 0 when every request succeeded, else the first failure's.

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hx_net/CtlClient.h"
#include "hx_net/Tls.h"
#include "hx_net/version.h"
#include "platform/os_toolkit.h"
#include "platform/tdiag.h"

namespace {

const int kDefaultTimeout = 5;
const int kExitUsage = 64;
const int kExitTimerFailed = 70;
const int kConnectBound = 21;  // seconds: the library's bound on any connect

const char kUsage[] =
    "usage: hxctl [--timeout S] [--type N] [--trace LEVEL] [--count N [--interval S]]\n"
    "             [--tls-ca FILE [--tls-cert FILE --tls-key FILE] [--tls-name NAME]]\n"
    "             HOST PORT COMMAND\n"
    "\n"
    "Sends one control request to the component listening at HOST:PORT and\n"
    "prints the reply's content on standard output.\n"
    "\n"
    "commands:\n"
    "  life-check      is the component alive? prints OK or its warning text\n"
    "  do-measure      asks the component to take its measurements\n"
    "  get-measure     prints the component's measurements as name=value lines\n"
    "  stop            asks the component to stop\n"
    "  shutdown        asks the component to shut down (SHUTDOWN to type 6, else STOP)\n"
    "  change-log      asks the component to change its log\n"
    "  request TEXT    sends TEXT as the request and prints the reply\n"
    "\n"
    "options:\n"
    "  --timeout S     seconds to wait for the connection (21 at most), then\n"
    "                  as long again for the reply (default 5)\n"
    "  --type N        component type: 0 the gateway, 6 shut down with SHUTDOWN,\n"
    "                  others ordinary components (default 1)\n"
    "  --trace LEVEL   library trace lines up to LEVEL (0..6) on standard error\n"
    "  --count N       send the request N times, print each one's result and\n"
    "                  latency, then a summary: sent, OK, and min/avg/max latency\n"
    "                  of the OK ones (Ctrl-C ends the run after the request in flight)\n"
    "  --interval S    seconds between the requests of --count (default 1;\n"
    "                  fractions such as 0.2 allowed)\n"
    "  --tls-ca FILE   speak TLS, trusting the authority in FILE (PEM); the\n"
    "                  component's certificate must be for HOST\n"
    "  --tls-cert FILE, --tls-key FILE\n"
    "                  with --tls-ca: this client certificate and its key, for\n"
    "                  components that require one\n"
    "  --tls-name NAME with --tls-ca: the name (or address) the component's\n"
    "                  certificate must carry instead of HOST\n"
    "  --version       the versions of hxctl and of the library it runs with\n"
    "  --help          this text\n"
    "Options take their value as --opt VALUE or --opt=VALUE.\n"
    "\n"
    "exit status:\n"
    "  0   success             24  connection failed       27  time-out\n"
    "  33  warning             34  connection lost         35  bad reply\n"
    "  37  refused (NO)        38  unknown request         70  timer failed\n"
    "  64  bad usage\n"
    "27 is a connect or a reply that did not come in time. stop and shutdown\n"
    "give 37 when the component answers NO (it does not obey this peer).\n"
    "With --count: 0 when every request succeeded, else the first failure's status.\n";

int Usage(const std::string& msg) {
  std::fprintf(stderr, "hxctl: %s\n(run 'hxctl --help' for usage)\n", msg.c_str());
  return kExitUsage;
}

// Reads a whole decimal number within [lo, hi].
bool ParseInt(const char* s, long lo, long hi, long& out) {
  if (!s || !*s) return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s, &end, 10);
  if (errno || *end || v < lo || v > hi) return false;
  out = v;
  return true;
}

// Reads a decimal number of seconds within [0, hi].
bool ParseSeconds(const char* s, double hi, double& out) {
  if (!s || !*s) return false;
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(s, &end);
  if (errno || *end || !std::isfinite(v) || v < 0 || v > hi) return false;
  out = v;
  return true;
}

const char* RcName(int rc) {
  switch (rc) {
    case CTL_RC_TIMER_FAILED:
      return "CTL_RC_TIMER_FAILED";
    case CTL_RC_OK:
      return "CTL_RC_OK";
    case CTL_RC_CONNECT_FAILED:
      return "CTL_RC_CONNECT_FAILED";
    case CTL_RC_TIMEOUT:
      return "CTL_RC_TIMEOUT";
    case CTL_RC_WARNING:
      return "CTL_RC_WARNING";
    case CTL_RC_CONNECTION_LOST:
      return "CTL_RC_CONNECTION_LOST";
    case CTL_RC_BAD_REPLY:
      return "CTL_RC_BAD_REPLY";
    case CTL_RC_REFUSED:
      return "CTL_RC_REFUSED";
    case CTL_RC_UNKNOWN_REQUEST:
      return "CTL_RC_UNKNOWN_REQUEST";
    default:
      return "CTL_RC_?";
  }
}

// What a failed connect reported, from CtlInterface::LastConnectError().
std::string ConnectSentence(const std::string& where) {
  const long error = CtlInterface::LastConnectError();
  switch (error) {
    case ECONNREFUSED:
      return "connection refused by " + where;
    case ENETUNREACH:
      return "network unreachable: cannot reach " + where;
    case EHOSTUNREACH:
      return "no route to " + where;
    case EMFILE:
    case ENFILE:
      return "out of descriptors: cannot open a connection to " + where;
    case 0:
      return "cannot connect to " + where;
    default:
      return "cannot connect to " + where + ": " + std::strerror(static_cast<int>(error));
  }
}

// `timeout` is --timeout; the connect is bounded by it, but never beyond the
// library's connect bound.
std::string Sentence(int rc, const std::string& where, int timeout) {
  switch (rc) {
    case CTL_RC_TIMER_FAILED:
      return "the time-out thread could not be started";
    case CTL_RC_CONNECT_FAILED:
      return ConnectSentence(where);
    case CTL_RC_TIMEOUT:
      if (CtlInterface::LastConnectError() == ETIMEDOUT) {
        const int bound = timeout > 0 ? std::min(timeout, kConnectBound) : kConnectBound;
        return "no connection within " + std::to_string(bound) + " s to " + where;
      }
      return "no reply within " + std::to_string(timeout) + " s from " + where;
    case CTL_RC_WARNING:
      return "the component at " + where + " reports a warning";
    case CTL_RC_CONNECTION_LOST:
      return "the connection to " + where + " closed before a reply";
    case CTL_RC_BAD_REPLY:
      return "the reply from " + where + " is not one this request understands";
    case CTL_RC_REFUSED:
      return "the component at " + where + " refused the request (NO)";
    case CTL_RC_UNKNOWN_REQUEST:
      return "the component at " + where + " does not know this request";
    default:
      return "unexpected result";
  }
}

int ExitStatus(int rc) {
  if (rc == CTL_RC_OK) return 0;
  return rc == CTL_RC_TIMER_FAILED ? kExitTimerFailed : rc;
}

// One request; `out` gets what is printed on standard output.
// `tls` null: clear text.
int RunOnce(const std::string& command, CtlHostParams& params, const std::string& request,
            std::string& out, const std::shared_ptr<TlsContext>& tls) {
  int rc;
  out.clear();
  if (command == "life-check") {
    std::string info;
    rc = CtlInterface::LifeCheck(params, info, tls);
    if (rc == CTL_RC_OK || rc == CTL_RC_WARNING) out = info;
  } else if (command == "do-measure") {
    rc = CtlInterface::DoMeasurements(params, tls);
    if (rc == CTL_RC_OK) out = "OK";
  } else if (command == "get-measure") {
    std::vector<NameValue> m;
    rc = CtlInterface::GetMeasurements(params, m, tls);
    for (auto& nv : m) out += nv.name + "=" + nv.value + "\n";
  } else if (command == "stop" || command == "shutdown") {
    // Stop and Shutdown take "NO" as success; read the reply here so that a
    // refusal shows. The keyword is the one Shutdown would choose.
    const bool shutdownKind =
        command == "shutdown" && params.m_ComponentType == CTL_COMPONENT_SHUTDOWN_KIND;
    std::string reply;
    rc = CtlInterface::CtlRequest(params, shutdownKind ? "SHUTDOWN" : "STOP", reply, tls);
    if (rc == CTL_RC_OK && reply == "NO") rc = CTL_RC_REFUSED;
    if (rc == CTL_RC_OK) out = "OK";
  } else if (command == "change-log") {
    rc = CtlInterface::ChangeLog(params, tls);
    if (rc == CTL_RC_OK) out = "OK";
  } else {
    std::string reply;
    rc = CtlInterface::CtlRequest(params, request, reply, tls);
    if (rc == CTL_RC_OK) out = reply;
  }
  // One line end after the content, whether or not the reply brought one.
  if (!out.empty() && out.back() != '\n') out += '\n';
  return rc;
}

// Why a TLS handshake failed, caught from the library's trace, so that a
// failed request can say it ("TLS handshake failed: wrong name: ...").
std::mutex g_TlsMu;
std::string g_TlsFailure;

void CatchHandshakeFailures() {
  TDiag& d = TDiag::Instance();
  d.SetSink([](const TraceLine& l) {
    const size_t at = l.text.find("TLS handshake failed: ");
    if (at == std::string::npos) return;
    static const std::string kTail = ". Closing the socket.";
    std::lock_guard<std::mutex> g(g_TlsMu);
    g_TlsFailure = l.text.substr(at);
    if (g_TlsFailure.size() > kTail.size() &&
        g_TlsFailure.compare(g_TlsFailure.size() - kTail.size(), kTail.size(), kTail) == 0)
      g_TlsFailure.resize(g_TlsFailure.size() - kTail.size());
  });
  d.SetModuleLevel("Link", 2);
  d.EnableDebugOutput(true);
}

void PrintHandshakeFailure() {
  std::lock_guard<std::mutex> g(g_TlsMu);
  if (!g_TlsFailure.empty()) std::fprintf(stderr, "hxctl: %s\n", g_TlsFailure.c_str());
  g_TlsFailure.clear();
}

}  // namespace

int main(int argc, char** argv) {
  long timeout = kDefaultTimeout, type = 1, trace = -1, count = 0;
  double interval = 1.0;
  bool intervalGiven = false;
  std::vector<std::string> args;
  TlsSettings tls;
  bool tlsGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--version") {
      std::printf("hxctl %s (library %s)\n", HX_NET_VERSION, hx_net_version());
      return 0;
    }
    // --opt=VALUE or --opt VALUE
    std::string v;
    const size_t eq = a.find('=');
    const std::string name = a.compare(0, 2, "--") == 0 ? a.substr(0, eq) : a;
    if (name == "--tls-ca" || name == "--tls-cert" || name == "--tls-key" || name == "--tls-name") {
      if (eq != std::string::npos) {
        v = a.substr(eq + 1);
      } else {
        if (i + 1 >= argc) return Usage(name + " needs a value");
        v = argv[++i];
      }
      if (v.empty()) return Usage(name + " needs a value");
      (name == "--tls-ca"     ? tls.caFile
       : name == "--tls-cert" ? tls.certificateFile
       : name == "--tls-key"  ? tls.privateKeyFile
                              : tls.expectedPeerName) = v;
      tlsGiven = true;
      continue;
    }
    if (name == "--timeout" || name == "--type" || name == "--trace" || name == "--count" ||
        name == "--interval") {
      if (eq != std::string::npos) {
        v = a.substr(eq + 1);
      } else {
        if (i + 1 >= argc) return Usage(name + " needs a value");
        v = argv[++i];
      }
      if (name == "--timeout" && !ParseInt(v.c_str(), 0, 86400, timeout))
        return Usage("--timeout takes whole seconds from 0 to 86400, not '" + v + "'");
      if (name == "--type" && !ParseInt(v.c_str(), INT32_MIN, INT32_MAX, type))
        return Usage("--type takes a whole number, not '" + v + "'");
      if (name == "--trace" && !ParseInt(v.c_str(), 0, 6, trace))
        return Usage("--trace takes a level from 0 to 6, not '" + v + "'");
      if (name == "--count" && !ParseInt(v.c_str(), 1, 1000000, count))
        return Usage("--count takes a number from 1 to 1000000, not '" + v + "'");
      if (name == "--interval" && !(intervalGiven = ParseSeconds(v.c_str(), 3600, interval)))
        return Usage("--interval takes seconds from 0 to 3600, not '" + v + "'");
      continue;
    }
    if (a.size() > 2 && a.compare(0, 2, "--") == 0) return Usage("unknown option '" + a + "'");
    args.push_back(a);
  }
  if (intervalGiven && count == 0) return Usage("--interval goes with --count");
  if (args.size() < 3) return Usage("HOST, PORT and COMMAND are needed");
  std::string host = args[0];
  // "[::1]", as IPv6 addresses are also written, is "::1".
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  const std::string& portText = args[1];
  const std::string& command = args[2];

  CtlHostParams params{};
  if (host.empty() || host.size() >= sizeof params.m_Host)
    return Usage("the host name must have 1 to " + std::to_string(sizeof params.m_Host - 1) +
                 " characters");
  long port = 0;
  if (!ParseInt(portText.c_str(), 1, 65535, port))
    return Usage("the port must be a number from 1 to 65535, not '" + portText + "'");

  std::string request;
  if (command == "request") {
    if (args.size() != 4) return Usage("request needs exactly one TEXT argument");
    request = args[3];
  } else if (args.size() != 3) {
    return Usage("too many arguments");
  } else if (command != "life-check" && command != "do-measure" && command != "get-measure" &&
             command != "stop" && command != "shutdown" && command != "change-log") {
    return Usage("unknown command '" + command + "'");
  }

  std::snprintf(params.m_Host, sizeof params.m_Host, "%s", host.c_str());
  std::snprintf(params.m_Port, sizeof params.m_Port, "%ld", port);
  params.m_Timeout = static_cast<int>(timeout);
  params.m_ComponentType = static_cast<ComponentTypeEnum>(type);
  const std::string where = os_host_port_text(host, static_cast<int>(port));

  if (trace >= 0) TDiag::Instance().EnableAllModules(static_cast<unsigned>(trace));

  std::shared_ptr<TlsContext> tlsContext;
  if (tlsGiven) {
    if (tls.caFile.empty()) return Usage("the TLS options need --tls-ca");
    if (tls.certificateFile.empty() != tls.privateKeyFile.empty())
      return Usage("--tls-cert and --tls-key go together");
    std::string error;
    tlsContext = TlsContext::Client(tls, error);
    if (!tlsContext) return Usage("TLS: " + error);
    if (trace < 0) CatchHandshakeFailures();
  }

  // A name that does not resolve deserves its own sentence.
  try {
    os_ip_address check(host);
  } catch (const os_toolkit_error& e) {
    std::fprintf(stderr, "%s: cannot resolve host name '%s'\n", RcName(CTL_RC_CONNECT_FAILED),
                 host.c_str());
    return CTL_RC_CONNECT_FAILED;
  }

  std::string out;
  if (count == 0) {
    const int rc = RunOnce(command, params, request, out, tlsContext);
    std::fputs(out.c_str(), stdout);
    if (rc != CTL_RC_OK)
      std::fprintf(stderr, "%s: %s\n", RcName(rc), Sentence(rc, where, params.m_Timeout).c_str());
    PrintHandshakeFailure();
    return ExitStatus(rc);
  }

  // Repeated: SIGINT and SIGTERM are held while a request runs (the library's
  // threads inherit the mask) and taken between requests, where they end the
  // run with its summary.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  auto stopRequested = [&](double waitSeconds) {
    timespec t{};
    t.tv_sec = static_cast<time_t>(waitSeconds);
    t.tv_nsec = static_cast<long>((waitSeconds - static_cast<double>(t.tv_sec)) * 1e9);
    for (;;) {
      if (sigtimedwait(&stopSignals, nullptr, &t) >= 0) return true;
      if (errno != EINTR) return false;  // EAGAIN: the wait ran out
    }
  };

  long sent = 0, ok = 0;
  int firstFailure = 0;
  double minMs = 0, maxMs = 0, sumMs = 0;
  for (long n = 1; n <= count; ++n) {
    if (stopRequested(n == 1 ? 0.0 : interval)) break;
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = RunOnce(command, params, request, out, tlsContext);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    ++sent;
    std::fputs(out.c_str(), stdout);
    if (rc == CTL_RC_OK) {
      minMs = ok == 0 ? ms : std::min(minMs, ms);
      maxMs = ok == 0 ? ms : std::max(maxMs, ms);
      sumMs += ms;
      ++ok;
    } else {
      std::fprintf(stderr, "%s: %s\n", RcName(rc), Sentence(rc, where, params.m_Timeout).c_str());
      PrintHandshakeFailure();
      if (firstFailure == 0) firstFailure = ExitStatus(rc);
    }
    std::printf("seq=%ld rc=%s time=%.3f ms\n", n, RcName(rc), ms);
    std::fflush(stdout);
  }
  std::printf("--- %s %s ---\n%ld sent, %ld OK", where.c_str(), command.c_str(), sent, ok);
  if (ok > 0)
    std::printf(", latency min/avg/max %.3f/%.3f/%.3f ms", minMs, sumMs / static_cast<double>(ok),
                maxMs);
  std::printf("\n");
  return firstFailure;
}
