// A program that uses an installed hx_net: two links talk on loopback, and,
// given the port of a running hxnet-component, CTL requests go to it with a
// constant parameter block. Exit status 0 when everything worked.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "hx_net/CtlClient.h"
#include "hx_net/Link.h"
#include "hx_net/strutil.h"
#include "hx_net/version.h"

struct Catcher : LinkCBClass {
  std::mutex mu;
  std::condition_variable cv;
  std::string got;
  void Receive(unsigned n, const char* d, Link*) override {
    std::lock_guard<std::mutex> g(mu);
    got.assign(d, n);
    cv.notify_all();
  }
  void Exception(int, Link*) override {}
};

CtlHostParams Params(const char* port) {
  CtlHostParams p{};
  std::snprintf(p.m_Host, sizeof p.m_Host, "127.0.0.1");
  std::snprintf(p.m_Port, sizeof p.m_Port, "%s", port);
  p.m_Timeout = 5;
  p.m_ComponentType = static_cast<ComponentTypeEnum>(1);
  return p;
}

int main(int argc, char** argv) {
  if (std::strcmp(hx_net_version(), HX_NET_VERSION) != 0) return 10;

  os_tcp_connection_server listener(os_socket_address(0), 4);
  std::string port = std::to_string(listener.socket_address().port());
  Catcher client, server;
  Link a, b, c;
  a.SetCallbackObject(client);
  b.SetCallbackObject(server);
  long err = 0;
  if (c.Connect("127.0.0.1", "0", err) != -1) return 11;  // two literals: refused at once
  if (a.Connect("127.0.0.1", port.c_str(), err) != 0) return 1;
  os_tcp_socket* s = new os_tcp_socket(0);
  if (!listener.accept(*s) || b.AcceptConnection(s) != 0) return 2;
  char text[] = "  hello  ";
  strtrim(text);
  a.Send(text, 5);
  {
    std::unique_lock<std::mutex> g(server.mu);
    if (!server.cv.wait_for(g, std::chrono::seconds(10), [&] { return !server.got.empty(); }))
      return 3;
  }
  a.DisConnect();
  b.DisConnect();
  if (server.got != "hello") return 4;

  if (argc > 1) {
    const CtlHostParams p = Params(argv[1]);
    std::string info;
    if (CtlInterface::LifeCheck(p, info) != CTL_RC_OK || info != "OK") return 5;
    std::vector<NameValue> m;
    if (CtlInterface::GetMeasurements(p, m) != CTL_RC_OK || m.empty()) return 6;
  }
  std::printf("C++%ld consumer of hx_net %s: link and%s CTL requests work\n",
              static_cast<long>(__cplusplus / 100 % 100), hx_net_version(), argc > 1 ? "" : " no");
  return 0;
}
