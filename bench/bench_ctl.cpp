// LifeCheck round trips against a local component, next to a plain blocking
// client that does the same work on the wire (connect, send the same framed
// request, read the reply frame, close) against the same component.
//
// Usage: bench_ctl [requests per client, default 3000]
// Prints requests per second and latency percentiles for both, and the ratios.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "hx_net/CtlClient.h"
#include "hx_net/Link.h"

namespace {

using namespace hxbench;

const std::string kRequest = "++000000000   CTL" + std::string(61, ' ') + "LIFE_CHECK";

std::string ReplyPayload() {
  std::string id = "CTL_RESP";
  id.resize(64, ' ');
  return "++000000000   " + id + "OK";
}

// The component: a listener whose thread turns each connection into a Link
// that answers every request with the reply "OK".
class Component : public LinkCBClass {
 public:
  Component()
      : m_Server(os_socket_address(0), 256),
        m_Port(std::to_string(m_Server.socket_address().port())),
        m_Reply(ReplyPayload()),
        m_Thread([this] { AcceptLoop(); }) {}
  ~Component() override {
    m_Stop = true;
    m_Thread.join();
    for (Link* l : m_Links) delete l;
  }
  const std::string& Port() const { return m_Port; }
  void Receive(unsigned, const char*, Link* link) override {
    link->Send(m_Reply.data(), static_cast<unsigned>(m_Reply.size()));
  }
  void Exception(int, Link*) override {}

 private:
  void AcceptLoop() {
    while (!m_Stop) {
      auto* s = new os_tcp_socket(0);
      timeval tv{0, 20000};
      if (m_Server.accept(*s, &tv)) {
        auto* l = new Link;
        l->SetCallbackObject(*this);
        l->AcceptConnection(s);
        m_Links.push_back(l);
      } else {
        delete s;
      }
      for (auto it = m_Links.begin(); it != m_Links.end();) {
        if ((*it)->IsTerminated()) {
          delete *it;
          it = m_Links.erase(it);
        } else {
          ++it;
        }
      }
    }
  }

  os_tcp_connection_server m_Server;
  std::string m_Port;
  std::string m_Reply;
  std::vector<Link*> m_Links;
  std::atomic<bool> m_Stop{false};
  std::thread m_Thread;
};

// The baseline: one blocking connection per request, the same bytes.
bool PlainRoundTrip(int port, const std::string& frame) {
  int fd = ConnectLoopback(port);
  bool ok = fd >= 0 && ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) ==
                           static_cast<ssize_t>(frame.size());
  char header[11] = {};
  ok = ok && ReadExact(fd, header, 10);
  if (ok) {
    std::vector<char> payload(std::strtoul(header + 2, nullptr, 16));
    ok = ReadExact(fd, payload.data(), payload.size()) && payload.size() == 80 &&
         std::memcmp(payload.data() + 78, "OK", 2) == 0;
  }
  if (fd >= 0) ::close(fd);
  return ok;
}

struct Stats {
  double perSecond, p50us, p90us, p99us;
};

Stats Summarise(std::vector<double>& us, double totalSeconds) {
  std::sort(us.begin(), us.end());
  auto at = [&](double q) {
    return us[static_cast<size_t>(q * static_cast<double>(us.size() - 1))];
  };
  return {static_cast<double>(us.size()) / totalSeconds, at(0.50), at(0.90), at(0.99)};
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 3000;
  if (n < 10) {
    std::fprintf(stderr, "usage: bench_ctl [requests >= 10]\n");
    return 64;
  }
  Component component;
  const int port = std::atoi(component.Port().c_str());
  const std::string frame = Frame(kRequest);

  CtlHostParams params{};
  std::snprintf(params.m_Host, sizeof params.m_Host, "127.0.0.1");
  std::snprintf(params.m_Port, sizeof params.m_Port, "%s", component.Port().c_str());
  params.m_Timeout = 5;
  params.m_ComponentType = static_cast<ComponentTypeEnum>(3);

  // Warm up both paths, then alternate in rounds so drift hits both alike.
  std::string info;
  for (int i = 0; i < 50; ++i) {
    if (CtlInterface::LifeCheck(params, info) != CTL_RC_OK || !PlainRoundTrip(port, frame)) {
      std::fprintf(stderr, "warm-up request failed\n");
      return 1;
    }
  }
  constexpr int kRounds = 5;
  std::vector<double> ctlUs, plainUs;
  double ctlTotal = 0, plainTotal = 0;
  for (int round = 0; round < kRounds; ++round) {
    const int each = n / kRounds;
    auto t0 = Clock::now();
    for (int i = 0; i < each; ++i) {
      auto s = Clock::now();
      if (!PlainRoundTrip(port, frame)) {
        std::fprintf(stderr, "plain request failed\n");
        return 1;
      }
      plainUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - s).count());
    }
    auto t1 = Clock::now();
    for (int i = 0; i < each; ++i) {
      auto s = Clock::now();
      int rc = CtlInterface::LifeCheck(params, info);
      if (rc != CTL_RC_OK || info != "OK") {
        std::fprintf(stderr, "LifeCheck gave %d\n", rc);
        return 1;
      }
      ctlUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - s).count());
    }
    auto t2 = Clock::now();
    plainTotal += std::chrono::duration<double>(t1 - t0).count();
    ctlTotal += std::chrono::duration<double>(t2 - t1).count();
  }
  Stats plain = Summarise(plainUs, plainTotal);
  Stats ctl = Summarise(ctlUs, ctlTotal);
  std::printf("%-28s %12s %10s %10s %10s\n", "loopback, one request each", "requests/s", "p50 us",
              "p90 us", "p99 us");
  std::printf("%-28s %12.0f %10.1f %10.1f %10.1f\n", "plain blocking client", plain.perSecond,
              plain.p50us, plain.p90us, plain.p99us);
  std::printf("%-28s %12.0f %10.1f %10.1f %10.1f\n", "CtlInterface::LifeCheck", ctl.perSecond,
              ctl.p50us, ctl.p90us, ctl.p99us);
  std::printf("ratio LifeCheck/plain: throughput %.2f, p50 latency %.2f, p99 latency %.2f\n",
              ctl.perSecond / plain.perSecond, ctl.p50us / plain.p50us, ctl.p99us / plain.p99us);
  return 0;
}
