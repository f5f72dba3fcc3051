// A program that uses an installed hx_net: two links talk on loopback.
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "hx_net/Link.h"
#include "hx_net/strutil.h"

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

int main() {
  os_tcp_connection_server listener(os_socket_address(0), 4);
  std::string port = std::to_string(listener.socket_address().port());
  Catcher client, server;
  Link a, b;
  a.SetCallbackObject(client);
  b.SetCallbackObject(server);
  long err = 0;
  if (a.Connect(const_cast<char*>("127.0.0.1"), &port[0], err) != 0) return 1;
  os_tcp_socket* s = new os_tcp_socket(0);
  if (!listener.accept(*s) || b.AcceptConnection(s) != 0) return 2;
  char text[] = "  hello  ";
  strtrim(text);
  a.Send(text, 5);
  std::unique_lock<std::mutex> g(server.mu);
  if (!server.cv.wait_for(g, std::chrono::seconds(10), [&] { return !server.got.empty(); }))
    return 3;
  std::printf("consumer received '%s'\n", server.got.c_str());
  g.unlock();
  a.DisConnect();
  b.DisConnect();
  return server.got == "hello" ? 0 : 4;
}
