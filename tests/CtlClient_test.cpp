#include "hx_net/CtlClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <future>
#include <tuple>

#include "hx_net/CtlClientInternal.h"
#include "hx_net/trace_modules.h"
#include "platform/os_fault.h"
#include "tests/support/alloc_fault.h"
#include "tests/support/test_support.h"
#include "tests/support/tls_pki.h"

using namespace hxtest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kOrdinary = static_cast<ComponentTypeEnum>(3);
constexpr auto kGateway = CTL_COMPONENT_GATEWAY;
const std::string kHeader = "++000000000   CTL" + std::string(61, ' ');  // 78 bytes

// A reply payload: the two types, twelve arbitrary characters, the user id
// field blank-padded to 64, then the body.
std::string Reply(const std::string& body, const std::string& userId = "CTL_RESP",
                  char recordType = '+', char messageType = '+') {
  const std::string pad(64 - userId.size(), ' ');
  return std::string{recordType, messageType} + "x7#q 0000 AB" + userId + pad + body;
}

CtlHostParams Params(const std::string& port, int timeout = 5, ComponentTypeEnum type = kOrdinary) {
  CtlHostParams p{"127.0.0.1", "", timeout, type};
  std::strcpy(p.m_Port, port.c_str());
  return p;
}

}  // namespace

// Every operation against a raw peer: the request bytes it sends (a gateway's
// flags, Shutdown's keyword by component type) and its reading of the replies
// (GetMeasurements keeps what the vector held). An empty frame: the peer
// closes, which the gateway counts as an answer with no text; a reply counts
// also when the close follows it at once. A request that got its reply ends
// at once (its timer too); one without waits out its time-out, in whole seconds.
TEST(CtlRequests, RequestBytesAndRepliesMapToResultsAndInfo) {
  using Op = std::function<int(const CtlHostParams&, std::string&)>;
  auto request = [](std::string text) -> Op {
    return [text](auto& p, auto& out) { return CtlInterface::CtlRequest(p, text, out); };
  };
  const Op life = [](auto& p, auto& out) { return CtlInterface::LifeCheck(p, out); };
  const Op ping = request("PING"), stopText = request("STOP "), lower = request("stop");
  const Op doMeasure = [](auto& p, auto&) { return CtlInterface::DoMeasurements(p); };
  const Op change = [](auto& p, auto&) { return CtlInterface::ChangeLog(p); };
  const Op stop = [](auto& p, auto&) { return CtlInterface::Stop(p); };
  const Op shutdown = [](auto& p, auto&) { return CtlInterface::Shutdown(p); };
  const Op get = [](auto& p, auto& out) {
    std::vector<NameValue> v = {{"old", "0"}};
    int rc = CtlInterface::GetMeasurements(p, v);
    out.clear();
    for (auto& nv : v) out += nv.name + "=" + nv.value + ";";
    return rc;
  };
  const std::string x250(250, 'x'), x195(195, 'x'), u = "untouched";
  const std::string bad = Reply("BAD", "WRONG"), noise = Reply("noise", "CTL_RESP", '#');
  struct {
    const Op& op;
    const char* sent;  // null: not checked (a time-out of 0 may end before the write)
    std::vector<std::string> frames;
    int rc;
    std::string out;
    ComponentTypeEnum type = kOrdinary;
    int waits = -1;  // the time-out, waited out; -1: a time-out of 5 s, not reached
  } rows[] = {
      {life, "LIFE_CHECK", {Reply("OK fine" + x250)}, CTL_RC_OK, " fine" + x195},  // 200 at most
      {life, "LIFE_CHECK", {Reply("WARNING: disk" + x250)}, CTL_RC_WARNING, " disk" + x195},
      {life, "LIFE_CHECK", {Reply("WARNING:")}, CTL_RC_BAD_REPLY, u},
      {life, "LIFE_CHECK", {Reply("UNKNOWN_REQUEST")}, CTL_RC_UNKNOWN_REQUEST, u},
      {doMeasure, "DO_MEASURE", {Reply("NO")}, CTL_RC_REFUSED, u},
      {doMeasure, "DO_MEASURE", {Reply("OK ")}, CTL_RC_BAD_REPLY, u},
      {doMeasure, "DO_MEASURE", {Reply("ok")}, CTL_RC_BAD_REPLY, u},
      {doMeasure, "DO_MEASURE", {Reply("UNKNOWN_REQUEST")}, CTL_RC_UNKNOWN_REQUEST, u},
      {change, "CHANGE_LOG", {Reply("NO")}, CTL_RC_REFUSED, u},
      {stop, "STOP", {Reply("anything at all")}, CTL_RC_OK, u},
      {ping, "PING", {Reply("")}, CTL_RC_OK, ""},
      {get, "GET_MEASURE", {Reply("cpu=12\nio=7\n")}, CTL_RC_OK, "old=0;cpu=12;io=7;"},
      {get, "GET_MEASURE", {Reply("NO")}, CTL_RC_REFUSED, "old=0;"},
      {get, "GET_MEASURE", {Reply("no pairs here")}, CTL_RC_BAD_REPLY, "old=0;"},
      {get, "GET_MEASURE", {Reply("UNKNOWN_REQUEST")}, CTL_RC_UNKNOWN_REQUEST, "old=0;"},
      {ping, "PING", {""}, CTL_RC_CONNECTION_LOST, u},
      {ping, "PING", {""}, CTL_RC_OK, u, kGateway},  // a gateway that stops closes without a reply
      {life, "-------------Y--", {""}, CTL_RC_BAD_REPLY, u, kGateway},
      {doMeasure, "--------------Y-", {""}, CTL_RC_BAD_REPLY, u, kGateway},
      {get, "---------------Y", {""}, CTL_RC_BAD_REPLY, "old=0;", kGateway},
      {stopText, "STOP ", {Reply("OK"), ""}, CTL_RC_OK, "OK", kGateway},  // no keyword: as it is
      {lower, "stop", {Reply("OK"), ""}, CTL_RC_OK, "OK", kGateway},
      {shutdown, "SHUTDOWN", {Reply("OK"), ""}, CTL_RC_OK, u, CTL_COMPONENT_SHUTDOWN_KIND},
      {shutdown, "STOP", {Reply("OK"), ""}, CTL_RC_OK, u},
      {shutdown, "Y---------------", {Reply("OK"), ""}, CTL_RC_OK, u, kGateway},
      {ping, "PING", {bad, Reply("good")}, CTL_RC_OK, "good"},  // rejected, then valid
      {ping, "PING", {Reply("first"), Reply("second")}, CTL_RC_OK, "first"},
      {ping, "PING", {noise, Reply("OK")}, CTL_RC_OK, "OK", kGateway},  // ignored, then valid
      {ping, "PING", {}, CTL_RC_TIMEOUT, u, kOrdinary, 1},
      {ping, nullptr, {}, CTL_RC_TIMEOUT, u, kOrdinary, 0},  // at once
      {ping, "PING", {bad}, CTL_RC_BAD_REPLY, u, kOrdinary, 1},
      {ping, "PING", {noise}, CTL_RC_TIMEOUT, u, kGateway, 1},
  };
  for (auto& r : rows) {
    SCOPED_TRACE(&r - rows);
    RawListener peer;
    std::string out = u;
    auto t0 = Clock::now();
    auto result = std::async(std::launch::async, [&] {
      return r.op(Params(peer.PortText(), r.waits < 0 ? 5 : r.waits, r.type), out);
    });
    int fd = peer.Accept();
    ASSERT_GE(fd, 0);
    const std::string want = Frame(kHeader + (r.sent ? r.sent : ""));
    EXPECT_EQ(r.sent ? ReadExact(fd, want.size()) : want, want);
    for (auto& f : r.frames)
      f.empty() ? (void)::shutdown(fd, SHUT_RDWR) : (void)WriteAll(fd, Frame(f));
    ASSERT_EQ(result.wait_for(kWait), std::future_status::ready);
    ::close(fd);
    EXPECT_EQ(result.get(), r.rc);
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_EQ(out, r.out);
    EXPECT_GE(s, r.waits - 0.05);
    EXPECT_LT(s, r.waits > 0 ? r.waits + 2.0 : 1.0);
  }
}

// Failures after the connect pass to the caller, and the link has ended
// before the objects its reader calls are gone (sanitizers see the
// difference): a frame that cannot be allocated, a timer that cannot start.
TEST(CtlRequests, FailuresAfterTheConnectUnwindCleanly) {
  TraceCapture trace({"CtlClient"});
  RawListener peer;  // never accepts: no thread on the other side
  int small = 4096;  // inherited by the accepted socket: a large request cannot go out at once
  ::setsockopt(peer.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const CtlHostParams p = Params(peer.PortText());
  std::string reply = "untouched";
  FailAllocation(2, 1 << 20);  // after the message itself: what is left of its frame
  EXPECT_THROW(CtlInterface::CtlRequest(p, std::string(4 << 20, 'r'), reply), std::bad_alloc);
  FailAllocation(0);
  os_fault::FailThreadCreation(3);  // the Link's writer and reader, then the timer
  EXPECT_EQ(CtlInterface::CtlRequest(p, "LIFE_CHECK", reply), CTL_RC_TIMER_FAILED);
  os_fault::Reset();
  EXPECT_EQ(reply, "untouched");
  EXPECT_EQ(trace.Count("The native return code: " + std::to_string(EAGAIN), 1), 1);
  EXPECT_EQ(trace.Count("CtlTimer::Activate failed", 1), 1);
}

// A connect that runs out of time is a time-out (27, ETIMEDOUT) after the
// process-wide bound or the request's own time-out when shorter, clear or in
// the TLS handshake; it sends nothing and starts no timer. Other connect
// failures and the clear connect's own time-out: the tools' process tests.
TEST(CtlRequests, ConnectsThatRunOutOfTime) {
  FullListener full;
  ASSERT_TRUE(full.Filled());
  RawListener mute;  // accepts in the kernel, never answers
  const struct {
    std::string port;
    std::shared_ptr<TlsContext> tls;
    int timeout;
    long processBoundMs;
  } rows[] = {
      {std::to_string(full.Port()), nullptr, 5, 300},  // a full backlog, a bound of 300 ms
      {mute.PortText(), ClientTls(), 1, 21000},        // a silent TLS server
  };
  for (const auto& r : rows) {
    const double seconds = std::min(r.timeout * 1.0, r.processBoundMs / 1000.0);
    SCOPED_TRACE(seconds);
    TraceCapture trace({"CtlClient"});
    os_connectable_socket::set_connect_timeout(r.processBoundMs);
    std::string info = "untouched";
    auto t0 = Clock::now();
    EXPECT_EQ(CtlInterface::LifeCheck(Params(r.port, r.timeout), info, r.tls), CTL_RC_TIMEOUT);
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_EQ(CtlInterface::LastConnectError(), ETIMEDOUT);
    EXPECT_EQ(info, "untouched");
    EXPECT_GE(s, seconds - 0.05);
    EXPECT_LT(s, seconds + 1.0);
    EXPECT_FALSE(trace.Count("CTL request sent to: ") ||
                 trace.WaitScope("CtlTimer::Activate", 0ms));
  }
  os_connectable_socket::set_connect_timeout(21000);
}

// The diagnostic lines of rejected and ignored replies at their levels (which
// replies are accepted, rejected or ignored: the ctl_reply fuzz target over its
// corpus), and the traffic lines in context 8192: the request, every message
// received, and the gateway's accepted reply a line of its own; from a gateway
// asked over 127.0.0.1 and from a component over ::1 (in brackets).
TEST(CtlTrace, DiagnosticAndTrafficLines) {
  const std::string tooShort = Reply("").substr(0, 77), type = Reply("OK", " CTL_RESP", '-');
  const std::string bad = Reply("BAD", " WRONG"), good = Reply(std::string("OK\0hidden", 9));
  constexpr int ctx = kCtlTraceContext;
  for (auto [host, gw] : {std::make_pair("127.0.0.1", true), {"::1", false}}) {
    if (!gw && !HasIPv6Loopback()) GTEST_SKIP() << kNoIPv6;
    TraceCapture trace({"CtlClient"}, 4);
    TDiag::Instance().SetContextLevel(ctx, 3);
    TestServer component(nullptr, [&](auto&) { return std::vector{tooShort, type, bad, good}; });
    CtlHostParams p = Params(component.port, 5, gw ? kGateway : kOrdinary);
    std::strcpy(p.m_Host, host);
    std::string info;
    ASSERT_EQ(CtlInterface::CtlRequest(p, "LIFE_CHECK", info), CTL_RC_OK);
    EXPECT_EQ(info, "OK");
    const std::string to = std::string(gw ? "127.0.0.1:" : "[::1]:") + component.port + " ==> '";
    std::vector<std::tuple<unsigned, int, std::string>> got, want;
    want.emplace_back(
        3, ctx,
        "CTL request sent to: " + to + kHeader + (gw ? "-------------Y--'" : "LIFE_CHECK'"));
    for (auto& f : {tooShort, type, bad, good})
      want.emplace_back(3, ctx,
                        "CTL response received from: " + to + f.substr(0, f.find('\0')) + "'");
    const std::string ignored = "This is not a CTL response(OK ignored). It has record type: ";
    if (gw)
      want.insert(want.end(),
                  {{1, -1, "This is not a valid response. The message length of 77 is too short"},
                   {2, -1, "This is not a GTW sync message. The message length of 77 is too short"},
                   {4, -1, ignored + "- and message type: + user id: CTL_RESP"},
                   {4, -1, ignored + "+ and message type: + user id: WRONG"},
                   {3, ctx, "CTL response received from GTW:  (m_CtlReply) ==> OK"}});
    else
      want.insert(want.end(),
                  {{2, -1, "This is not a CTL response. The message length of 77 is too short"},
                   {2, -1, "This is not a CTL response. It has record type: - and message type: +"},
                   {2, -1, "The CTL response has a wrong user id: WRONG"}});
    for (auto& l : trace.Lines()) got.emplace_back(l.level, l.context, l.text);
    // The request line may follow the first receive line: the writer is quick.
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
  }
}

// Requests from many threads at once each get their own reply; over TLS,
// where the tools' process tests use neither these nor the TLS forms of
// DoMeasurements, ChangeLog, Stop and Shutdown.
TEST(CtlConcurrency, ManyThreadsEachGetTheirOwnReplyAndEveryOperationOverTls) {
  TestServer component(ServerTls(Pki().server), [](const std::string& req) {
    const std::string body = req.size() > 78 ? req.substr(78) : "";
    return std::vector<std::string>{Reply(body.rfind("ECHO", 0) == 0 ? body : "OK")};
  });
  const auto tls = ClientTls();
  const CtlHostParams p = Params(component.port);
  EXPECT_EQ(CtlInterface::DoMeasurements(p, tls), CTL_RC_OK);
  EXPECT_EQ(CtlInterface::ChangeLog(p, tls), CTL_RC_OK);
  EXPECT_EQ(CtlInterface::Stop(p, tls), CTL_RC_OK);
  EXPECT_EQ(CtlInterface::Shutdown(p, tls), CTL_RC_OK);
  constexpr int kThreads = 8, kEach = 25;
  std::vector<std::future<int>> wrong;  // each thread's count of wrong replies
  for (int t = 0; t < kThreads; ++t)
    wrong.push_back(std::async(std::launch::async, [&, t] {
      int n = 0;
      for (int i = 0; i < kEach; ++i) {
        std::string text = "ECHO " + std::to_string(t) + "-" + std::to_string(i), reply;
        n += CtlInterface::CtlRequest(p, text, reply, tls) != CTL_RC_OK || reply != text;
      }
      return n;
    }));
  for (auto& w : wrong) EXPECT_EQ(w.get(), 0);
  EXPECT_EQ(component.frames, 4 + kThreads * kEach);
}
