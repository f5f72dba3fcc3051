// hxnet-component: a reference component. It listens with a ServerLink, turns
// every connection into a Link through an accept manager, answers CTL
// requests and echoes every other frame. Copy it to start a component.
//
//   hxnet-component [--port N] [--host ADDR] [--trace LEVEL]
//                   [--tls-cert FILE --tls-key FILE [--tls-client-ca FILE]]
//
// The first line on standard output is the port it listens on.

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>

#include "hx_net/AcceptManager.h"
#include "hx_net/Link.h"
#include "hx_net/ServerLink.h"
#include "hx_net/Tls.h"
#include "hx_net/strutil.h"
#include "hx_net/version.h"
#include "platform/tdiag.h"

namespace {

const size_t kHeaderSize = 78;

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
      link->Send(data, length);  // not a CTL request: echo it
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
    } else if (keyword == "STOP" || keyword == "SHUTDOWN") {
      reply = "OK";
      m_StopRequester = true;
    } else {
      reply = "UNKNOWN_REQUEST";
    }
    std::string frame = CtlReply(reply);
    link->Send(frame.data(), static_cast<unsigned>(frame.size()));
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

int Usage(const char* msg) {
  std::fprintf(
      stderr,
      "hxnet-component: %s\nusage: hxnet-component [--port N] [--host ADDR] [--trace LEVEL]\n"
      "                       [--tls-cert FILE --tls-key FILE [--tls-client-ca FILE]]\n",
      msg);
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  std::string host;
  int trace = -1;
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
    auto value = [&](const char* name) -> const char* {
      (void)name;
      if (hasInline) return inlineValue.c_str();
      if (i + 1 >= argc) return nullptr;
      return argv[++i];
    };
    if (hasInline && (a == "--help" || a == "--version")) {
      return Usage((a + " takes no value").c_str());
    } else if (a == "--version") {
      std::printf("hxnet-component %s (library %s)\n", HX_NET_VERSION, hx_net_version());
      return 0;
    } else if (a == "--help" || a == "-h") {
      std::printf(
          "usage: hxnet-component [--port N] [--host ADDR] [--trace LEVEL]\n"
          "                       [--tls-cert FILE --tls-key FILE [--tls-client-ca FILE]]\n"
          "  --port N       port to listen on (0, the default: chosen by the system)\n"
          "  --host ADDR    local address to bind (default: all interfaces)\n"
          "  --trace LEVEL  library trace lines up to LEVEL (0..6) on standard error\n"
          "  --tls-cert FILE, --tls-key FILE\n"
          "                 TLS: this certificate (PEM, its chain may follow it) and its\n"
          "                 private key; clients must then speak TLS\n"
          "  --tls-client-ca FILE\n"
          "                 with TLS: serve only clients whose certificate this authority\n"
          "                 signed (so only they can stop it, from any address)\n"
          "  --version      the versions of the program and of the library it runs with\n"
          "Options take their value as --opt VALUE or --opt=VALUE.\n"
          "The first line of standard output is the port. STOP or SHUTDOWN, SIGINT\n"
          "or SIGTERM end it with status 0. Status 1: it cannot listen, or a TLS\n"
          "file is unusable (the reason is on standard error); 64: bad arguments.\n");
      return 0;
    } else if (a == "--port") {
      const char* v = value("--port");
      char* end = nullptr;
      long p = v ? std::strtol(v, &end, 10) : -1;
      if (!v || *end || p < 0 || p > 65535) return Usage("--port takes a number from 0 to 65535");
      port = static_cast<int>(p);
    } else if (a == "--host") {
      const char* v = value("--host");
      if (!v || !*v) return Usage("--host takes an address");
      host = v;
    } else if (a == "--trace") {
      const char* v = value("--trace");
      char* end = nullptr;
      long l = v ? std::strtol(v, &end, 10) : -1;
      if (!v || *end || l < 0 || l > 6) return Usage("--trace takes a level from 0 to 6");
      trace = static_cast<int>(l);
    } else if (a == "--tls-cert" || a == "--tls-key" || a == "--tls-client-ca") {
      const char* v = value(a.c_str());
      if (!v || !*v) return Usage((a + " takes a file").c_str());
      (a == "--tls-cert"  ? tls.certificateFile
       : a == "--tls-key" ? tls.privateKeyFile
                          : tls.caFile) = v;
    } else {
      return Usage(("unknown argument '" + a + "'").c_str());
    }
  }
  if (trace >= 0) TDiag::Instance().EnableAllModules(static_cast<unsigned>(trace));

  std::shared_ptr<TlsContext> tlsContext;
  if (!tls.certificateFile.empty() || !tls.privateKeyFile.empty() || !tls.caFile.empty()) {
    if (tls.certificateFile.empty() || tls.privateKeyFile.empty())
      return Usage("TLS needs both --tls-cert and --tls-key");
    tls.requirePeerCertificate = !tls.caFile.empty();
    std::string error;
    tlsContext = TlsContext::Server(tls, error);
    if (!tlsContext) {
      std::fprintf(stderr, "hxnet-component: TLS: %s\n", error.c_str());
      return 1;
    }
  }

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  Component component;
  component.SetTls(tlsContext);
  ServerLink server;
  server.SetCallbackObject(component);
  int listening = server.InitServer(port, host.empty() ? nullptr : &host[0], 1, -1);
  if (listening < 0) {
    std::fprintf(stderr, "hxnet-component: cannot listen on %s\n",
                 os_host_port_text(host.empty() ? "*" : host, port).c_str());
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
