// hxnet-component: a reference component. It listens with a ServerLink, turns
// every connection into a Link through an accept manager, answers CTL
// requests and echoes every other frame. Copy it to start a component.
//
//   hxnet-component [--port N] [--host ADDR] [--allow-control-from ADDR,...]
//                   [--max-payload B] [--max-queued B] [--frame-timeout S]
//                   [--keepalive I,N,C] [--write-timeout S] [--max-links N]
//                   [--trace LEVEL]
//                   [--tls-cert FILE --tls-key FILE [--tls-client-ca FILE]]
//
// Safe by default: it listens on 127.0.0.1, obeys STOP and SHUTDOWN from
// loopback peers only, and puts every accepted link under limits (payload
// size, send backlog, frame time-out, keep-alive, write time-out) and a cap
// on the number of links.
//
// The first line on standard output is the port it listens on.

#include <arpa/inet.h>
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "hx_net/AcceptManager.h"
#include "hx_net/Link.h"
#include "hx_net/ServerLink.h"
#include "hx_net/Tls.h"
#include "hx_net/strutil.h"
#include "hx_net/version.h"
#include "platform/tdiag.h"

namespace {

const size_t kHeaderSize = 78;

DbgLevels g_ComponentDbg;
TDiagRegister g_ComponentReg("Component", g_ComponentDbg);

// Peers other than loopback ones whose STOP and SHUTDOWN are obeyed, each as
// 4 (IPv4) or 16 (IPv6) address bytes. Written before the server starts.
std::vector<std::string> g_AllowedControl;

// The address bytes of `text`: 4 for IPv4 and IPv4-mapped IPv6, 16 for other
// IPv6; "" when it is not an address.
std::string AddressBytes(const std::string& text) {
  unsigned char a[16];
  if (inet_pton(AF_INET, text.c_str(), a) == 1) return std::string(reinterpret_cast<char*>(a), 4);
  if (inet_pton(AF_INET6, text.c_str(), a) != 1) return "";
  static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (std::memcmp(a, kMapped, 12) == 0) return std::string(reinterpret_cast<char*>(a) + 12, 4);
  return std::string(reinterpret_cast<char*>(a), 16);
}

// Clients must show a certificate the --tls-client-ca authority signed; such
// a client may stop the component from any address.
bool g_VerifiedClients = false;

// Loopback (127.0.0.0/8, ::1, IPv4-mapped 127.x) or named by --allow-control-from.
bool MayControl(const std::string& peer) {
  const std::string a = AddressBytes(peer);
  if (a.size() == 4 && static_cast<unsigned char>(a[0]) == 127) return true;
  if (a.size() == 16 && a == std::string(15, '\0') + '\1') return true;
  return !a.empty() &&
         std::find(g_AllowedControl.begin(), g_AllowedControl.end(), a) != g_AllowedControl.end();
}

// Sends on `link`; a frame the backlog limit refuses closes the link: a peer
// that does not read what it asked for loses its connection, not our memory.
void SendOrClose(Link* link, const char* data, unsigned length) {
  if (link->Send(data, length) != 0 && link->IsConnected()) link->DisConnect();
}

// What the main thread waits for: a stop request, or a signal.
struct StopState {
  std::mutex mu;
  std::condition_variable cv;
  bool stopRequested = false;
  bool requesterGone = false;  // the client that asked for the stop has read the reply and left
};
StopState g_Stop;
volatile sig_atomic_t g_Signal = 0;

std::atomic<long> g_Requests{0};
std::atomic<long> g_OpenLinks{0};
const auto g_Started = std::chrono::steady_clock::now();

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The reply frame: the message header with the "CTL_RESP" user id, then the text.
std::string CtlReply(const std::string& text) {
  std::string m = "++000000000   CTL_RESP";
  m.append(kHeaderSize - m.size(), ' ');
  return m + text;
}

// The keyword of a CTL request, or "" when the frame is not one.
std::string CtlKeyword(const char* data, unsigned length) {
  if (length < kHeaderSize || data[0] != '+' || data[1] != '+') return "";
  char user[65];
  std::memcpy(user, data + 14, 64);
  user[64] = '\0';
  strtrim(user);
  if (std::strcmp(user, "CTL") != 0) return "";
  std::string body(data + kHeaderSize, length - kHeaderSize);
  // The gateway's flag strings: 16 characters of '-' with one 'Y'.
  if (body.size() == 16 && std::count(body.begin(), body.end(), 'Y') == 1 &&
      std::count(body.begin(), body.end(), '-') == 15) {
    switch (body.find('Y')) {
      case 0:
        return "STOP";
      case 13:
        return "LIFE_CHECK";
      case 14:
        return "DO_MEASURE";
      case 15:
        return "GET_MEASURE";
      default:
        return "?";
    }
  }
  return body.empty() ? "?" : body;
}

// One per connection, on that link's reader thread.
class Session : public AcceptedLinkCBClass {
 public:
  Session() { ++g_OpenLinks; }
  ~Session() override { --g_OpenLinks; }
  bool DeleteWithLink() override { return true; }

  void Receive(unsigned int length, const char* data, Link* link) override {
    std::string keyword = CtlKeyword(data, length);
    if (keyword.empty()) {
      SendOrClose(link, data, length);  // not a CTL request: echo it
      return;
    }
    ++g_Requests;
    std::string reply;
    if (keyword == "LIFE_CHECK" || keyword == "DO_MEASURE" || keyword == "CHANGE_LOG") {
      reply = "OK";
    } else if (keyword == "GET_MEASURE") {
      auto up = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                                 g_Started);
      reply = "uptime_s=" + std::to_string(up.count()) +
              "\nrequests=" + std::to_string(g_Requests.load()) +
              "\nopen_links=" + std::to_string(g_OpenLinks.load()) +
              "\nrss_kib=" + std::to_string(ResidentKiB()) + "\n";
    } else if ((keyword == "STOP" || keyword == "SHUTDOWN") && !MayControl(link->GetHostName()) &&
               !(g_VerifiedClients && !link->PeerCertificateSubject().empty())) {
      TDiagFunc hx_fn("Component", g_ComponentDbg, "Session::Receive");
      HX_TRACE(2, keyword << " from "
                          << os_host_port_text(link->GetHostName(), link->GetPortNumber())
                          << " refused: this peer may not stop the component.");
      reply = "NO";
    } else if (keyword == "STOP" || keyword == "SHUTDOWN") {
      reply = "OK";
      m_StopRequester = true;
    } else {
      reply = "UNKNOWN_REQUEST";
    }
    std::string frame = CtlReply(reply);
    SendOrClose(link, frame.data(), static_cast<unsigned>(frame.size()));
    if (m_StopRequester) {
      // The main thread stops the server; never from here (this is a reader thread).
      std::lock_guard<std::mutex> g(g_Stop.mu);
      g_Stop.stopRequested = true;
      g_Stop.cv.notify_all();
    }
  }

  void Exception(int, Link*) override {
    if (!m_StopRequester) return;
    // The client closed after reading the reply: the "OK" has left.
    std::lock_guard<std::mutex> g(g_Stop.mu);
    g_Stop.requesterGone = true;
    g_Stop.cv.notify_all();
  }

 private:
  bool m_StopRequester = false;
};

class Component : public AcceptManagerCBClass {
 public:
  AcceptedLinkCBClass* CreateLinkCBObject() override { return new Session; }
};

void OnSignal(int sig) {
  g_Signal = sig;
}

const char kUsageLine[] =
    "usage: hxnet-component [--port N] [--host ADDR] [--allow-control-from ADDR,...]\n"
    "                       [--max-payload B] [--max-queued B] [--frame-timeout S]\n"
    "                       [--keepalive I,N,C] [--write-timeout S] [--max-links N]\n"
    "                       [--trace LEVEL]\n"
    "                       [--tls-cert FILE --tls-key FILE [--tls-client-ca FILE]]\n";

const char kHelp[] =
    "  --port N          port to listen on (0, the default: chosen by the system)\n"
    "  --host ADDR       local address to bind (default 127.0.0.1: this machine only);\n"
    "                    0.0.0.0 for every interface (IPv4), :: for every IPv6\n"
    "                    interface, ::1 for IPv6 loopback\n"
    "  --allow-control-from ADDR[,ADDR...]\n"
    "                    peers besides loopback ones whose STOP and SHUTDOWN are\n"
    "                    obeyed (default: none); others get the reply NO\n"
    "  --trace LEVEL     library trace lines up to LEVEL (0..6) on standard error\n"
    "  --version         the versions of the program and of the library it runs with\n"
    "  --tls-cert FILE, --tls-key FILE\n"
    "                    TLS: this certificate (PEM, its chain may follow it) and its\n"
    "                    private key; clients must then speak TLS\n"
    "  --tls-client-ca FILE\n"
    "                    with TLS: serve only clients whose certificate this authority\n"
    "                    signed (so only they can stop it, from any address)\n"
    "Limits of every accepted link (0 turns one off):\n"
    "  --max-payload B   largest frame payload accepted (default 64M)\n"
    "  --max-queued B    send backlog of a link (default 4M); a reply or an echo\n"
    "                    that it refuses closes that link\n"
    "  --frame-timeout S seconds for a started frame to arrive whole (default 30)\n"
    "  --keepalive I,N,C TCP keep-alive (default 60,10,6): idle seconds, interval\n"
    "                    seconds and probes before a silent peer counts as gone\n"
    "  --write-timeout S seconds written data may stay unacknowledged (default 60)\n"
    "  --max-links N     links open at once (default 10000), lowered to what the\n"
    "                    descriptor limit allows after raising it to its hard\n"
    "                    limit; the cap in use is printed on standard error\n"
    "Sizes in bytes, or with K, M or G (binary: 4M = 4194304); seconds may have\n"
    "fractions (0.5).\n"
    "Options take their value as --opt VALUE or --opt=VALUE.\n"
    "The first line of standard output is the port. STOP or SHUTDOWN (from an\n"
    "allowed peer), SIGINT, SIGTERM or SIGHUP end it with status 0. Status 1: it\n"
    "cannot listen, or a TLS file is unusable (the reason is on standard error);\n"
    "64: bad arguments.\n";

int Usage(const std::string& msg) {
  std::fprintf(stderr, "hxnet-component: %s\n%s", msg.c_str(), kUsageLine);
  return 64;
}

// A whole number within [0, hi], with an optional K, M or G (powers of 1024).
bool ParseSize(const char* s, unsigned long hi, unsigned long& out) {
  if (!s || *s < '0' || *s > '9') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(s, &end, 10);
  unsigned shift = 0;
  if (*end == 'K' || *end == 'k') shift = 10;
  if (*end == 'M' || *end == 'm') shift = 20;
  if (*end == 'G' || *end == 'g') shift = 30;
  if (shift) ++end;
  if (errno || *end || v > (hi >> shift)) return false;
  out = static_cast<unsigned long>(v << shift);
  return true;
}

// Seconds within [0, 86400], fractions allowed, as milliseconds.
bool ParseMs(const char* s, long& out) {
  if (!s || *s < '0' || *s > '9') return false;
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(s, &end);
  if (errno || *end || !(v >= 0 && v <= 86400)) return false;
  out = static_cast<long>(v * 1000 + 0.5);
  return true;
}

// Descriptors this process has open now.
long OpenDescriptors() {
  long n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
    --n;  // the directory's own
  }
  return n;
}

// Raises the descriptor limit to its hard limit and returns the cap that fits
// in it (0 for none wanted): each link holds one descriptor; the listener, the process's own and
// a margin for short-lived ones (a CTL reply, a log file) come first.
unsigned long LinkCap(unsigned long wanted, unsigned long long& limit) {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  getrlimit(RLIMIT_NOFILE, &rl);
  limit = static_cast<unsigned long long>(rl.rlim_cur);
  if (wanted == 0) return 0;
  const long long kMargin = 32;
  const long long room = static_cast<long long>(std::min<unsigned long long>(limit, 1ULL << 40)) -
                         OpenDescriptors() - kMargin;
  return std::min<unsigned long>(wanted, static_cast<unsigned long>(std::max(1LL, room)));
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  std::string host = "127.0.0.1";
  int trace = -1;
  LinkLimits limits;
  limits.maxPayload = 64UL << 20;
  limits.maxQueuedBytes = 4UL << 20;
  limits.frameTimeoutMs = 30000;
  limits.keepIdleSeconds = 60;
  limits.keepIntervalSeconds = 10;
  limits.keepCount = 6;
  limits.writeTimeoutMs = 60000;
  unsigned long maxLinks = 10000;
  TlsSettings tls;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    // --opt=VALUE or --opt VALUE
    std::string inlineValue;
    bool hasInline = false;
    const size_t eq = a.find('=');
    if (a.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      inlineValue = a.substr(eq + 1);
      hasInline = true;
      a.resize(eq);
    }
    auto value = [&]() -> const char* {
      if (hasInline) return inlineValue.c_str();
      if (i + 1 >= argc) return nullptr;
      return argv[++i];
    };
    if (hasInline && (a == "--help" || a == "--version")) {
      return Usage(a + " takes no value");
    } else if (a == "--version") {
      std::printf("hxnet-component %s (library %s)\n", HX_NET_VERSION, hx_net_version());
      return 0;
    } else if (a == "--help" || a == "-h") {
      std::printf("%s%s", kUsageLine, kHelp);
      return 0;
    } else if (a == "--port") {
      const char* v = value();
      char* end = nullptr;
      long p = v ? std::strtol(v, &end, 10) : -1;
      if (!v || *end || p < 0 || p > 65535) return Usage("--port takes a number from 0 to 65535");
      port = static_cast<int>(p);
    } else if (a == "--host") {
      const char* v = value();
      if (!v || !*v) return Usage("--host takes an address");
      host = v;
    } else if (a == "--allow-control-from") {
      const char* v = value();
      if (!v || !*v) return Usage("--allow-control-from takes addresses separated by commas");
      std::string list = v;
      for (size_t at = 0; at <= list.size();) {
        size_t comma = std::min(list.find(',', at), list.size());
        std::string item = list.substr(at, comma - at);
        std::string bytes = AddressBytes(item);
        if (bytes.empty()) return Usage("--allow-control-from: '" + item + "' is not an address");
        g_AllowedControl.push_back(bytes);
        at = comma + 1;
      }
    } else if (a == "--max-payload" || a == "--max-queued") {
      const char* v = value();
      unsigned long n = 0;
      if (!ParseSize(v, 0x7fffffffUL, n))
        return Usage(a + " takes a size in bytes (K, M, G allowed) below 2G");
      (a == "--max-payload" ? limits.maxPayload : limits.maxQueuedBytes) = n;
    } else if (a == "--frame-timeout" || a == "--write-timeout") {
      const char* v = value();
      long ms = 0;
      if (!ParseMs(v, ms)) return Usage(a + " takes seconds from 0 to 86400");
      (a == "--frame-timeout" ? limits.frameTimeoutMs : limits.writeTimeoutMs) = ms;
    } else if (a == "--keepalive") {
      const char* v = value();
      int f[3] = {0, 0, 0};
      char tail = 0;
      if (!v || std::sscanf(v, "%d,%d,%d%c", &f[0], &f[1], &f[2], &tail) != 3 ||
          *std::min_element(f, f + 3) < 0 || *std::max_element(f, f + 3) > 86400 ||
          ((f[0] == 0 || f[1] == 0 || f[2] == 0) && f[0] + f[1] + f[2] != 0))
        return Usage("--keepalive takes IDLE,INTERVAL,COUNT, all above 0, or 0,0,0");
      limits.keepIdleSeconds = f[0];
      limits.keepIntervalSeconds = f[1];
      limits.keepCount = f[2];
    } else if (a == "--max-links") {
      const char* v = value();
      char* end = nullptr;
      long l = v && *v >= '0' && *v <= '9' ? std::strtol(v, &end, 10) : -1;
      if (!v || l < 0 || *end || l > 10000000) return Usage("--max-links takes 0 to 10000000");
      maxLinks = static_cast<unsigned long>(l);
    } else if (a == "--trace") {
      const char* v = value();
      char* end = nullptr;
      long l = v ? std::strtol(v, &end, 10) : -1;
      if (!v || *end || l < 0 || l > 6) return Usage("--trace takes a level from 0 to 6");
      trace = static_cast<int>(l);
    } else if (a == "--tls-cert" || a == "--tls-key" || a == "--tls-client-ca") {
      const char* v = value();
      if (!v || !*v) return Usage(a + " takes a file");
      (a == "--tls-cert"  ? tls.certificateFile
       : a == "--tls-key" ? tls.privateKeyFile
                          : tls.caFile) = v;
    } else {
      return Usage("unknown argument '" + a + "'");
    }
  }
  std::shared_ptr<TlsContext> tlsContext;
  if (!tls.certificateFile.empty() || !tls.privateKeyFile.empty() || !tls.caFile.empty()) {
    if (tls.certificateFile.empty() || tls.privateKeyFile.empty())
      return Usage("TLS needs both --tls-cert and --tls-key");
    tls.requirePeerCertificate = g_VerifiedClients = !tls.caFile.empty();
    std::string error;
    tlsContext = TlsContext::Server(tls, error);
    if (!tlsContext) {
      std::fprintf(stderr, "hxnet-component: TLS: %s\n", error.c_str());
      return 1;
    }
  }
  if (trace >= 0) TDiag::Instance().EnableAllModules(static_cast<unsigned>(trace));

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);

  unsigned long long descriptorLimit = 0;
  const unsigned long cap = LinkCap(maxLinks, descriptorLimit);
  if (cap)
    std::fprintf(stderr, "hxnet-component: at most %lu links at once (descriptor limit %llu)\n",
                 cap, descriptorLimit);
  else
    std::fprintf(stderr, "hxnet-component: no cap on links\n");

  Component component;
  component.SetLinkLimits(limits);
  component.SetMaxLinks(static_cast<unsigned>(cap));
  component.SetTls(tlsContext);
  ServerLink server;
  server.SetCallbackObject(component);
  int listening = server.InitServer(port, &host[0], 1, -1);
  if (listening < 0) {
    const int error = server.LastError();
    std::fprintf(stderr, "hxnet-component: cannot listen on %s: %s\n",
                 os_host_port_text(host, port).c_str(),
                 error ? std::strerror(error) : "unknown error");
    return 1;
  }
  std::printf("%d\n", listening);
  std::fflush(stdout);

  {
    std::unique_lock<std::mutex> g(g_Stop.mu);
    // Signals only set a flag; look at it a few times a second.
    while (!g_Stop.stopRequested && !g_Signal)
      g_Stop.cv.wait_for(g, std::chrono::milliseconds(200));
    if (g_Stop.stopRequested) {
      // Give the requester the time to read the reply and close (bounded).
      g_Stop.cv.wait_for(g, std::chrono::seconds(2), [] { return g_Stop.requesterGone; });
    }
  }
  server.StopServer();  // closes and deletes every link, then the server thread ends
  return 0;
}
