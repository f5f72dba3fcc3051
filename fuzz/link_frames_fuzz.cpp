// The frame stream: arbitrary bytes arrive on a Link's socket, then the peer
// closes. An independent reference parser says which payloads the Link must
// deliver before it ends; the Receive sequence must match it byte for byte,
// Exception must come exactly once, and the Link must be destroyed cleanly.
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "hx_net/Link.h"

namespace {

const char kHex[] = "0123456789abcdef0123456789ABCDEF";

// What the reader must deliver: whole frames with a blank and eight hex digits
// in the header and a length below 80000000 hexadecimal, until the first
// malformed header, impossible length, or truncated frame.
std::vector<std::string> Reference(const uint8_t* d, size_t n) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (n - pos >= 10) {
    if (d[pos + 1] != ' ') break;
    unsigned long long len = 0;
    bool ok = true;
    for (size_t i = pos + 2; i < pos + 10 && ok; ++i) {
      const char* p = d[i] ? strchr(kHex, d[i]) : nullptr;
      ok = p != nullptr;
      if (ok) len = len * 16 + static_cast<unsigned>(p - kHex) % 16;
    }
    if (!ok || len >= 0x80000000ull || n - pos - 10 < len) break;
    out.emplace_back(reinterpret_cast<const char*>(d + pos + 10), static_cast<size_t>(len));
    pos += 10 + static_cast<size_t>(len);
  }
  return out;
}

struct Collector : LinkCBClass {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::string> frames;
  int ends = 0;
  bool afterEnd = false;
  void Receive(unsigned n, const char* d, Link*) override {
    FUZZ_CHECK(d[n] == '\0');
    std::lock_guard<std::mutex> g(mu);
    if (ends) afterEnd = true;
    frames.emplace_back(d, n);
  }
  void Exception(int code, Link*) override {
    FUZZ_CHECK(code == -1);
    std::lock_guard<std::mutex> g(mu);
    ++ends;
    cv.notify_all();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return 0;
  Collector rec;
  {
    Link link;
    link.SetCallbackObject(rec);
    FUZZ_CHECK(link.AcceptConnection(os_tcp_socket::adopt(sv[0])) == 0);
    // The reader drains the other end meanwhile; a write fails only once the
    // link has closed on a bad frame, and then nothing more is needed.
    size_t off = 0;
    while (off < size) {
      ssize_t w = send(sv[1], data + off, size - off, MSG_NOSIGNAL);
      if (w <= 0) break;
      off += static_cast<size_t>(w);
    }
    shutdown(sv[1], SHUT_WR);
    {
      std::unique_lock<std::mutex> g(rec.mu);
      FUZZ_CHECK(rec.cv.wait_for(g, std::chrono::seconds(20), [&] { return rec.ends > 0; }));
    }
    link.DisConnect();
    FUZZ_CHECK(link.IsTerminated());
  }
  close(sv[1]);
  FUZZ_CHECK(rec.ends == 1);
  FUZZ_CHECK(!rec.afterEnd);
  FUZZ_CHECK(rec.frames == Reference(data, size));
  return 0;
}
