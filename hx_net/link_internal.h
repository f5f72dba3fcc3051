// Internal header: what the parts of the Link implementation share.
#pragma once

#include <cstdint>
#include <cstring>
#include <ostream>

#include "hx_net/Link.h"
#include "hx_net/trace_modules.h"

namespace hx_link {
const uint64_t kMaxFrameLength = 0x80000000ull;  // a receiver reads the length as signed 32-bit
const size_t kReadBufferSize = 64 * 1024;        // per link, for the buffered reader
const size_t kSingleAllocLimit = 1024 * 1024;    // above this, memory follows the bytes
const size_t kBatchFrames = 64;                  // per gathering write
const size_t kBatchBytes = 256 * 1024;
const size_t kSmallFrame = 512;                    // frames up to this size are staged together
const unsigned kSmallCapacity = kSmallFrame + 16;  // one buffer size for every small frame
const size_t kSmallCached = 1024;                  // small buffers kept per link while it is busy
const size_t kSmallIdle = 128;                     // and once it has been idle for kIdleTrimMs
const int kIdleTrimMs = 1000;
const int kReceiveBufferMin = 51200;
const size_t kSpareFrames = 4;                   // large send buffers kept per link for reuse
const size_t kDiscardOnClose = 4 * 1024 * 1024;  // unread input dropped before a close, at most
const long kLingerAfterRefusalMs = 250;          // for the peer's end after a failed handshake
const unsigned kAlwaysNow = 16 * 1024;  // frames this large are written at once when possible

// The three code lines that follow a toolkit network or thread error report.
template <class E>
void CodeLines(const TDiagFunc& fn, unsigned level, const E& e) {
  HX_TRACE_IN(fn, level, "The portable return code: " << e.portable_code());
  HX_TRACE_IN(fn, level, "The description: " << E::description(e.portable_code()));
  HX_TRACE_IN(fn, level, "The native return code: " << e.native_code());
}

// Waits for one of the link's threads under a scope named `waiting`; a
// failed wait is traced at level 4 under the caller's scope. False then.
bool WaitForLinkThread(const TDiagFunc& hx_fn, const char* waiting, os_thread_t tid);

// The header: "%c %.8lx" of 'a' and the length, without a formatted print.
inline void WriteHeader(char* buf, unsigned length) {
  static const char kHex[] = "0123456789abcdef";
  buf[0] = 'a';
  buf[1] = ' ';
  for (int i = 0; i < 8; ++i) buf[2 + i] = kHex[(length >> (28 - 4 * i)) & 0xf];
}

// Header, payload and the NUL that is never sent.
inline void WriteFrame(char* buf, const char* data, unsigned length) {
  WriteHeader(buf, length);
  if (length) std::memcpy(buf + 10, data, length);
  buf[static_cast<size_t>(length) + 10] = '\0';
}
}  // namespace hx_link

// Writes the link prefix "host:port" into a trace line.
struct LinkPrefix {
  const Link* l;
  std::ostream& Write(std::ostream& os) const {
    if (l) return os << os_host_port_text(l->m_HostName, l->m_Port);
    return os << ":0";
  }
};
inline std::ostream& operator<<(std::ostream& os, const LinkPrefix& p) {
  return p.Write(os);
}

// Trace-only diagnostic routine kept for the thread-failure paths.
inline void prnthrdsToDiag(int) {
  LINK_SCOPE("prnthrdsToDiag");
}
