// The frame stream: arbitrary bytes arrive on a Link's socket, then the peer
// closes. An independent reference parser says which payloads the Link must
// deliver before it ends; the Receive sequence must match it byte for byte,
// Exception must come exactly once, and the Link must be destroyed cleanly.
#include <stdint.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "hx_net/Link.h"
#include "tests/support/test_support.h"

namespace {

// What the reader must deliver: whole frames with a blank and eight hex digits
// in the header and a length below 80000000 hexadecimal, until the first
// malformed header, impossible length, or truncated frame.
std::vector<std::string> Reference(const std::string& d) {
  std::vector<std::string> out;
  for (size_t pos = 0; d.size() - pos >= 10; pos += 10 + out.back().size()) {
    const long long len = d[pos + 1] == ' ' ? RefHex8(&d[pos + 2]) : -1;
    if (len < 0 || len >= 0x80000000ll || d.size() - pos - 10 < static_cast<size_t>(len)) break;
    out.push_back(d.substr(pos + 10, static_cast<size_t>(len)));
  }
  return out;
}

// Every payload is followed by a NUL; the end code is -1.
struct Collector : hxtest::Recorder {
  void Receive(unsigned n, const char* d, Link* l) override {
    FUZZ_CHECK(d[n] == '\0');
    Recorder::Receive(n, d, l);
  }
  void Exception(int code, Link* l) override {
    FUZZ_CHECK(code == -1);
    Recorder::Exception(code, l);
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
    hxtest::WriteAll(sv[1], std::string(reinterpret_cast<const char*>(data), size));
    shutdown(sv[1], SHUT_WR);
    FUZZ_CHECK(rec.WaitEnd(std::chrono::seconds(20)));
    link.DisConnect();
    FUZZ_CHECK(link.IsTerminated());
  }
  close(sv[1]);
  FUZZ_CHECK(rec.Ends() == 1 && !rec.receiveAfterEnd);
  FUZZ_CHECK(rec.Frames() == Reference(std::string(reinterpret_cast<const char*>(data), size)));
  return 0;
}
