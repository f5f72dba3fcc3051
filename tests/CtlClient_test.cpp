#include "hx_net/CtlClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <thread>

#include "hx_net/AcceptManager.h"
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

std::string Flags(int y) {
  std::string s(16, '-');
  s[static_cast<size_t>(y)] = 'Y';
  return s;
}

// A reply payload: the two types, twelve arbitrary characters, the user id
// field blank-padded to 64, then the body.
std::string Reply(const std::string& body, const std::string& userId = "CTL_RESP",
                  char recordType = '+', char messageType = '+') {
  std::string id = userId;
  id.resize(64, ' ');
  return std::string{recordType, messageType} + "x7#q 0000 AB" + id + body;
}

CtlHostParams Params(const std::string& port, int timeout = 5, ComponentTypeEnum type = kOrdinary) {
  CtlHostParams p{};
  std::strcpy(p.m_Host, "127.0.0.1");
  std::strcpy(p.m_Port, port.c_str());
  p.m_Timeout = timeout;
  p.m_ComponentType = type;
  return p;
}

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// What the test component sends back for one request: any number of
// payloads, or nothing at all.
using Responder = std::function<std::vector<std::string>(const std::string& request)>;

// A component on a loopback port, made of the library's own server classes:
// each accepted link answers every request as the responder says, then
// closes when `closeAfter` is set.
class TestComponent : public AcceptManagerCBClass {
 public:
  explicit TestComponent(Responder r, bool closeAfter = false)
      : m_Respond(std::move(r)), m_CloseAfter(closeAfter) {
    m_Server.SetCallbackObject(*this);
    m_Port = std::to_string(m_Server.InitServer(0, nullptr, 10, -1));
  }
  ~TestComponent() override { m_Server.StopServer(); }
  const std::string& Port() const { return m_Port; }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> g(m_Mu);
    return m_Requests;
  }
  AcceptedLinkCBClass* CreateLinkCBObject() override { return new Answerer(*this); }

 private:
  struct Answerer : AcceptedLinkCBClass {
    explicit Answerer(TestComponent& c) : component(c) {}
    void Receive(unsigned n, const char* d, Link* link) override {
      component.Answer(std::string(d, n), link);
    }
    void Exception(int, Link*) override {}
    bool DeleteWithLink() override { return true; }
    TestComponent& component;
  };
  void Answer(const std::string& request, Link* link) {
    {
      std::lock_guard<std::mutex> g(m_Mu);
      m_Requests.push_back(request);
    }
    for (auto& f : m_Respond(request)) link->Send(f.data(), static_cast<unsigned>(f.size()));
    if (m_CloseAfter) link->DisConnect();
  }
  Responder m_Respond;
  const bool m_CloseAfter;
  std::mutex m_Mu;
  std::vector<std::string> m_Requests;
  ServerLink m_Server;
  std::string m_Port;
};

Responder Answer(std::vector<std::string> frames) {
  return [frames](const std::string&) { return frames; };
}

}  // namespace

// ---------------------------------------------------------------------------
// The request bytes

// The peer closes right after its reply: the reply still counts.
TEST(CtlBuild, BytesOnTheWireReadByARawPeer) {
  struct {
    ComponentTypeEnum type;
    const char* request;
    std::string body;
  } rows[] = {{kOrdinary, "LIFE_CHECK", "LIFE_CHECK"},
              {kOrdinary, "STOP", "STOP"},
              {kGateway, "STOP", Flags(0)},
              {kGateway, "LIFE_CHECK", Flags(13)},
              {kGateway, "DO_MEASURE", Flags(14)},
              {kGateway, "GET_MEASURE", Flags(15)},
              {kGateway, "SHUTDOWN", "SHUTDOWN"},
              {kGateway, "STOP ", "STOP "},
              {kGateway, "stop", "stop"},
              {kGateway, "CHANGE_LOG", "CHANGE_LOG"}};
  for (auto& r : rows) {
    RawListener peer;
    CtlHostParams p = Params(peer.PortText(), 5, r.type);
    std::string reply;
    auto result = std::async(std::launch::async,
                             [&] { return CtlInterface::CtlRequest(p, r.request, reply); });
    int fd = peer.Accept();
    ASSERT_GE(fd, 0);
    const std::string want = Frame(kHeader + r.body);
    EXPECT_EQ(ReadExact(fd, want.size()), want) << r.request;
    ASSERT_TRUE(WriteAll(fd, Frame(Reply("OK"))));
    ::close(fd);
    ASSERT_EQ(result.wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(result.get(), CTL_RC_OK);
    EXPECT_EQ(reply, "OK");
  }
}

// ---------------------------------------------------------------------------
// Reply examination, both modes

TEST(CtlExamine, RulesInDirectAndGatewayMode) {
  using O = CtlReplyOutcome;
  const std::string nuls = "CTL_RESP" + std::string(56, '\0');
  struct {
    const char* what;
    std::string payload;
    O direct, gateway;
    std::string text;
  } rows[] = {
      {"exactly 78 bytes", Reply(""), O::kAccepted, O::kAccepted, ""},
      {"77 bytes", Reply("").substr(0, 77), O::kRejected, O::kRejected, ""},
      {"empty", "", O::kRejected, O::kRejected, ""},
      {"arbitrary bytes 2..13, body OK", Reply("OK"), O::kAccepted, O::kAccepted, "OK"},
      {"blanks around the user id", Reply("OK", "   CTL_RESP\t"), O::kAccepted, O::kAccepted, "OK"},
      {"NULs after the user id", Reply("OK", nuls), O::kAccepted, O::kAccepted, "OK"},
      {"body cut at a NUL", Reply(std::string("OK\0tail", 7)), O::kAccepted, O::kAccepted, "OK"},
      {"user id with a letter more", Reply("OK", "CTL_RESPX"), O::kRejected, O::kIgnored, ""},
      {"user id in lower case", Reply("OK", "ctl_resp"), O::kRejected, O::kIgnored, ""},
      {"user id of a request", Reply("OK", "CTL"), O::kRejected, O::kIgnored, ""},
      {"wrong record type", Reply("OK", "CTL_RESP", '-'), O::kRejected, O::kIgnored, ""},
      {"wrong message type", Reply("OK", "CTL_RESP", '+', 'x'), O::kRejected, O::kIgnored, ""},
  };
  TDiagFunc fn("CtlClient", g_CtlClientDbg, "test");
  for (auto& r : rows) {
    for (bool gw : {false, true}) {
      std::string text = "unset";
      O got =
          CtlExamineReply(fn, static_cast<unsigned>(r.payload.size()), r.payload.data(), gw, text);
      EXPECT_EQ(got, gw ? r.gateway : r.direct) << r.what << (gw ? " (gateway)" : " (direct)");
      EXPECT_EQ(text, got == O::kAccepted ? r.text : "unset") << r.what;
    }
  }
}

TEST(CtlExamine, DiagnosticLinesAndLevels) {
  TDiagFunc fn("CtlClient", g_CtlClientDbg, "CtlClientLinkCBObject::Receive");
  TraceCapture trace({"CtlClient"});
  std::string text;
  auto examine = [&](const std::string& p, bool gw) {
    CtlExamineReply(fn, static_cast<unsigned>(p.size()), p.data(), gw, text);
  };
  examine(Reply("").substr(0, 77), false);
  examine(Reply("").substr(0, 77), true);
  examine(Reply("OK", "CTL_RESP", '-'), false);
  examine(Reply("OK", " ctl_resp "), false);
  examine(Reply("OK", " CTL_RESP ", '-'), true);
  examine(Reply("OK"), false);
  std::vector<std::pair<unsigned, std::string>> want = {
      {2, "This is not a CTL response. The message length of 77 is too short"},
      {1, "This is not a valid response. The message length of 77 is too short"},
      {2, "This is not a GTW sync message. The message length of 77 is too short"},
      {2, "This is not a CTL response. It has record type: - and message type: +"},
      {2, "The CTL response has a wrong user id: ctl_resp"},
      {4,
       "This is not a CTL response(OK ignored). It has record type: - and message type: + "
       "user id: CTL_RESP"}};
  std::vector<std::pair<unsigned, std::string>> got;
  for (auto& l : trace.Lines()) got.emplace_back(l.level, l.text);
  EXPECT_EQ(got, want);  // and nothing for the accepted reply
}

// ---------------------------------------------------------------------------
// The callback object and the timer on their own

TEST(CtlWaitObjects, CallbackKeepsTheFirstAcceptedReply) {
  os_event_semaphore wake(false), gwWake(false);
  CtlClientLinkCBObject cb(&wake, kOrdinary), gw(&gwWake, kGateway);
  auto feed = [](CtlClientLinkCBObject& o, const std::string& m) {
    o.Receive(static_cast<unsigned>(m.size()), m.c_str(), nullptr);
  };
  const std::string bad = Reply("x", "NOPE");
  feed(cb, bad);
  EXPECT_TRUE(cb.ReceiveWasEntered());
  EXPECT_EQ(cb.GetCtlRc(), CTL_RC_BAD_REPLY);
  EXPECT_FALSE(wake.posted());  // a rejected message does not wake the caller
  feed(cb, Reply("first"));
  EXPECT_TRUE(wake.posted());
  feed(cb, Reply("second"));
  feed(cb, bad);
  EXPECT_EQ(cb.GetCtlRc(), CTL_RC_OK);
  EXPECT_EQ(cb.GetCtlReply(), "first");
  EXPECT_FALSE(cb.ExceptionWasEntered());
  cb.Exception(-1, nullptr);
  EXPECT_TRUE(cb.ExceptionWasEntered());
  EXPECT_EQ(cb.GetCtlReply(), "first");
  feed(gw, bad);  // ignored
  EXPECT_FALSE(gw.ReceiveWasEntered());
  EXPECT_FALSE(gwWake.posted());
}

TEST(CtlWaitObjects, SetMainEndedEndsTheTimerAtOnceAndSilently) {
  os_event_semaphore wake(false);
  auto timer = std::make_unique<CtlTimer>();
  ASSERT_EQ(timer->Activate(&wake, 3600), 1);
  timer->SetMainEnded();
  // The destructor joins the thread: far sooner than the hour.
  auto joined = std::async(std::launch::async, [&] { timer.reset(); });
  ASSERT_EQ(joined.wait_for(kWait), std::future_status::ready);
  EXPECT_FALSE(wake.posted());
}

// ---------------------------------------------------------------------------
// Requests through a real Link

TEST(CtlRequests, RepliesMapToResultsAndInfo) {
  enum Op { kLife, kDo, kChange, kStop, kRequest };
  const std::string x250(250, 'x'), x200(200, 'x');
  struct {
    Op op;
    std::string body;
    int rc;
    std::string out;  // info of LifeCheck, reply of CtlRequest
  } rows[] = {
      {kLife, "OK", CTL_RC_OK, "OK"},
      {kLife, "OK fine", CTL_RC_OK, " fine"},
      {kLife, "WARNING: disk", CTL_RC_WARNING, " disk"},
      {kLife, "OK" + x250, CTL_RC_OK, x200},
      {kLife, "WARNING:" + x250, CTL_RC_WARNING, x200},
      {kLife, "WARNING:", CTL_RC_BAD_REPLY, "untouched"},
      {kLife, "KO", CTL_RC_BAD_REPLY, "untouched"},
      {kLife, "UNKNOWN_REQUEST", CTL_RC_UNKNOWN_REQUEST, "untouched"},
      {kDo, "OK", CTL_RC_OK, ""},
      {kDo, "NO", CTL_RC_REFUSED, ""},
      {kDo, "OK ", CTL_RC_BAD_REPLY, ""},
      {kDo, "ok", CTL_RC_BAD_REPLY, ""},
      {kDo, "UNKNOWN_REQUEST", CTL_RC_UNKNOWN_REQUEST, ""},
      {kChange, "OK", CTL_RC_OK, ""},
      {kChange, "NO", CTL_RC_REFUSED, ""},
      {kChange, "NOPE", CTL_RC_BAD_REPLY, ""},
      {kStop, "anything at all", CTL_RC_OK, ""},
      {kRequest, "UNKNOWN_REQUEST", CTL_RC_UNKNOWN_REQUEST, "UNKNOWN_REQUEST"},
      {kRequest, "", CTL_RC_OK, ""},
  };
  for (auto& r : rows) {
    TestComponent component(Answer({Reply(r.body)}));
    CtlHostParams p = Params(component.Port());
    std::string out = "untouched";
    int rc = -1;
    switch (r.op) {
      case kLife:
        rc = CtlInterface::LifeCheck(p, out);
        break;
      case kDo:
        rc = CtlInterface::DoMeasurements(p);
        out = "";
        break;
      case kChange:
        rc = CtlInterface::ChangeLog(p);
        out = "";
        break;
      case kStop:
        rc = CtlInterface::Stop(p);
        out = "";
        break;
      case kRequest:
        rc = CtlInterface::CtlRequest(p, "PING", out);
        break;
    }
    EXPECT_EQ(rc, r.rc) << r.op << " '" << r.body << "'";
    EXPECT_EQ(out, r.out) << r.op << " '" << r.body << "'";
  }
}

TEST(CtlRequests, GetMeasurementsAppendsPairsOrLeavesTheVectorAlone) {
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  struct {
    std::string body;
    int rc;
    Pairs added;  // after the element that was there before
  } rows[] = {{"cpu=12\nmem=300\nio=7\n", CTL_RC_OK, {{"cpu", "12"}, {"mem", "300"}, {"io", "7"}}},
              {"a=1\nb= 2", CTL_RC_OK, {{"a", "1"}, {"b", " 2"}}},
              {"NO", CTL_RC_REFUSED, {}},
              {"no pairs here", CTL_RC_BAD_REPLY, {}},
              {"UNKNOWN_REQUEST", CTL_RC_UNKNOWN_REQUEST, {}}};
  for (auto& r : rows) {
    TestComponent component(Answer({Reply(r.body)}));
    const CtlHostParams p = Params(component.Port());
    std::vector<NameValue> v = {{"old", "0"}};
    EXPECT_EQ(CtlInterface::GetMeasurements(p, v), r.rc) << r.body;
    Pairs got;
    for (auto& nv : v) got.emplace_back(nv.name, nv.value);
    r.added.insert(r.added.begin(), {"old", "0"});
    EXPECT_EQ(got, r.added) << r.body;
  }
}

TEST(CtlRequests, ShutdownSendsShutdownToKindSixOnly) {
  struct {
    ComponentTypeEnum type;
    std::string body;
  } rows[] = {{CTL_COMPONENT_SHUTDOWN_KIND, "SHUTDOWN"}, {kOrdinary, "STOP"}, {kGateway, Flags(0)}};
  for (auto& r : rows) {
    TestComponent component(Answer({Reply("")}));
    CtlHostParams p = Params(component.Port(), 5, r.type);
    EXPECT_EQ(CtlInterface::Shutdown(p), CTL_RC_OK);
    auto requests = component.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], kHeader + r.body);
  }
}

TEST(CtlRequests, MessageSequencesAndTimeouts) {
  const std::string bad = Reply("BAD", "WRONG"), noise = Reply("noise", "CTL_RESP", '#');
  struct {
    const char* what;
    ComponentTypeEnum type;
    std::vector<std::string> frames;
    int rc;
    std::string reply;  // "untouched" where the request must wait out its time-out
    int timeout = 1;
  } rows[] = {
      {"rejected, then valid", kOrdinary, {bad, Reply("good")}, CTL_RC_OK, "good"},
      {"two valid replies: the first counts",
       kOrdinary,
       {Reply("first"), Reply("second")},
       CTL_RC_OK,
       "first"},
      {"gateway: ignored, then valid", kGateway, {noise, Reply("OK")}, CTL_RC_OK, "OK"},
      {"gateway: short (rejected), then valid", kGateway, {"short", Reply("OK")}, CTL_RC_OK, "OK"},
      {"silence", kOrdinary, {}, CTL_RC_TIMEOUT, "untouched"},
      {"time-out 0: at once", kOrdinary, {}, CTL_RC_TIMEOUT, "untouched", 0},
      {"rejected, then silence", kOrdinary, {bad}, CTL_RC_BAD_REPLY, "untouched"},
      {"gateway: ignored, then silence", kGateway, {noise}, CTL_RC_TIMEOUT, "untouched"},
      {"gateway: rejected, then silence", kGateway, {"short"}, CTL_RC_BAD_REPLY, "untouched"},
  };
  for (auto& r : rows) {
    TestComponent component(Answer(r.frames));
    CtlHostParams p = Params(component.Port(), r.timeout, r.type);
    std::string reply = "untouched";
    auto t0 = Clock::now();
    EXPECT_EQ(CtlInterface::CtlRequest(p, "LIFE_CHECK", reply), r.rc) << r.what;
    double s = Seconds(Clock::now() - t0);
    EXPECT_EQ(reply, r.reply) << r.what;
    if (r.reply == "untouched") {  // waited the full time-out, in whole seconds
      EXPECT_GE(s, r.timeout - 0.05) << r.what;
      EXPECT_LT(s, r.timeout ? r.timeout + 2.0 : 1.0) << r.what;
    }
  }
}

TEST(CtlRequests, PeerClosingWithoutReply) {
  TestComponent peer(Answer({}), /*closeAfter=*/true);  // reads the request, says nothing
  CtlHostParams direct = Params(peer.Port());
  const CtlHostParams gw = Params(peer.Port(), 5, kGateway);  // the const forms
  std::string reply = "untouched", info = "untouched";
  EXPECT_EQ(CtlInterface::CtlRequest(direct, "LIFE_CHECK", reply), CTL_RC_CONNECTION_LOST);
  EXPECT_EQ(CtlInterface::LifeCheck(direct, info), CTL_RC_CONNECTION_LOST);
  // The gateway's close counts as an answer with no text.
  EXPECT_EQ(CtlInterface::CtlRequest(gw, "LIFE_CHECK", reply), CTL_RC_OK);
  EXPECT_EQ(reply, "untouched");
  EXPECT_EQ(CtlInterface::Stop(gw), CTL_RC_OK);
  EXPECT_EQ(CtlInterface::Shutdown(gw), CTL_RC_OK);
  EXPECT_EQ(CtlInterface::LifeCheck(gw, info), CTL_RC_BAD_REPLY);
  EXPECT_EQ(CtlInterface::DoMeasurements(gw), CTL_RC_BAD_REPLY);
  EXPECT_EQ(CtlInterface::ChangeLog(gw), CTL_RC_BAD_REPLY);
  EXPECT_EQ(info, "untouched");
}

// A connection that cannot be made: refused (24), or not answered within the
// connect bound (27). Nothing is sent and no timer started.
TEST(CtlRequests, FailedConnectSendsNothingAndStartsNoTimer) {
  RefusingPort refusing;
  FullListener full;
  ASSERT_TRUE(full.DropsConnects());
  // The process-wide bound, or the request's own time-out when shorter.
  const struct {
    int port, rc;
    double atLeast;
    long processBoundMs;
    int timeout;
    long connectError;
  } rows[] = {{refusing.port, CTL_RC_CONNECT_FAILED, 0, 300, 5, ECONNREFUSED},
              {full.Port(), CTL_RC_TIMEOUT, 0.3, 300, 5, ETIMEDOUT},
              {full.Port(), CTL_RC_TIMEOUT, 1.0, 21000, 1, ETIMEDOUT}};
  for (auto& r : rows) {
    TraceCapture trace({"CtlClient"});
    os_connectable_socket::set_connect_timeout(r.processBoundMs);
    CtlHostParams p = Params(std::to_string(r.port), r.timeout);
    std::string reply = "untouched";
    auto t0 = Clock::now();
    EXPECT_EQ(CtlInterface::CtlRequest(p, "LIFE_CHECK", reply), r.rc);
    double s = Seconds(Clock::now() - t0);
    EXPECT_EQ(CtlInterface::LastConnectError(), r.connectError);
    EXPECT_GE(s, r.atLeast - 0.05) << r.rc;
    EXPECT_LT(s, r.atLeast + 1.0) << r.rc;
    EXPECT_EQ(reply, "untouched");
    EXPECT_EQ(trace.Count("CTL request sent to: "), 0);
    EXPECT_FALSE(trace.WaitScope("CtlTimer::Activate", 0ms)) << "a timer was started";
  }
  os_connectable_socket::set_connect_timeout(21000);
}

// A request whose frame cannot be allocated after the connect: the failure
// passes to the caller, and the link has ended before the objects its reader
// calls are gone (sanitizers see the difference).
TEST(CtlRequests, AllocationFailureAfterConnectUnwindsCleanly) {
  RawListener peer;
  int small = 4096;  // inherited by the accepted socket: the request cannot go out at once
  ::setsockopt(peer.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  CtlHostParams p = Params(peer.PortText());
  const std::string big(4 << 20, 'r');
  std::string reply = "untouched";
  FailAllocation(2, 1 << 20);  // after the message itself: what is left of its frame
  EXPECT_THROW(CtlInterface::CtlRequest(p, big, reply), std::bad_alloc);
  FailAllocation(0);
  EXPECT_EQ(reply, "untouched");
}

TEST(CtlRequests, TimerThatCannotStartGivesTimerFailed) {
  TraceCapture trace({"CtlClient"});
  RawListener peer;  // never accepts: no thread on the other side
  CtlHostParams p = Params(peer.PortText());
  std::string reply = "untouched";
  os_fault::FailThreadCreation(3);  // the Link's writer and reader, then the timer
  int rc = CtlInterface::CtlRequest(p, "LIFE_CHECK", reply);
  os_fault::Reset();
  EXPECT_EQ(rc, CTL_RC_TIMER_FAILED);
  EXPECT_EQ(reply, "untouched");
  EXPECT_EQ(trace.Count("Error in thread creation!", 1), 1);
  EXPECT_EQ(trace.Count("os_thread_toolkit_error exception thrown.", 1), 1);
  EXPECT_EQ(trace.Count("The native return code: " + std::to_string(EAGAIN), 1), 1);
  auto lines = trace.Lines();
  auto it = std::find_if(lines.begin(), lines.end(),
                         [](const TraceLine& l) { return l.text == "CtlTimer::Activate failed"; });
  ASSERT_NE(it, lines.end());
  EXPECT_EQ(it->level, 1u);
  EXPECT_EQ(it->context, kCtlTraceContext);
}

// ---------------------------------------------------------------------------
// Traffic trace lines

TEST(CtlTrace, TrafficLinesPassThroughTheirContext) {
  // The module itself traces nothing; context 8192 lets the traffic through.
  TraceCapture trace({"CtlClient"}, 0);
  TDiag::Instance().SetContextLevel(kCtlTraceContext, 3);
  const std::string bad = Reply("BAD", "WRONG"), good = Reply(std::string("OK\0hidden", 9));
  TestComponent component(Answer({bad, good}));
  CtlHostParams p = Params(component.Port());
  std::string reply;
  ASSERT_EQ(CtlInterface::CtlRequest(p, "LIFE_CHECK", reply), CTL_RC_OK);
  EXPECT_EQ(reply, "OK");
  const std::string to = "127.0.0.1:" + component.Port();
  std::vector<std::string> want = {
      "CTL request sent to: " + to + " ==> '" + kHeader + "LIFE_CHECK'",
      "CTL response received from: " + to + " ==> '" + bad + "'",
      "CTL response received from: " + to + " ==> '" + Reply("OK") + "'"};
  std::vector<std::string> got;
  for (auto& l : trace.Lines()) {
    EXPECT_EQ(l.level, 3u) << l.text;
    EXPECT_EQ(l.context, kCtlTraceContext) << l.text;
    got.push_back(l.text);
  }
  // The request line may follow the first receive line: the writer is quick.
  std::sort(got.begin(), got.end());
  std::sort(want.begin(), want.end());
  EXPECT_EQ(got, want);  // no rejection line at level 2: it belongs to no context
}

// A component listening on every interface, asked over ::1; the traffic
// lines write the IPv6 address in brackets.
TEST(CtlTrace, LifeCheckOverIPv6Loopback) {
  IPV6_OR_SKIP();
  TraceCapture trace({"CtlClient"}, 0);
  TDiag::Instance().SetContextLevel(kCtlTraceContext, 3);
  TestComponent component(Answer({Reply("OK")}));
  CtlHostParams p = Params(component.Port());
  std::strcpy(p.m_Host, "::1");
  std::string info;
  EXPECT_EQ(CtlInterface::LifeCheck(p, info), CTL_RC_OK);
  EXPECT_EQ(info, "OK");
  EXPECT_EQ(component.Requests().size(), 1u);
  const std::string to = "[::1]:" + component.Port() + " ==> '";
  EXPECT_EQ(trace.Count("CTL request sent to: " + to), 1);
  EXPECT_EQ(trace.Count("CTL response received from: " + to), 1);
}

TEST(CtlTrace, GatewayAcceptedReplyLine) {
  TraceCapture trace({"CtlClient"}, 3);
  TestComponent component(Answer({Reply("OK")}));
  CtlHostParams p = Params(component.Port(), 5, kGateway);
  std::string reply;
  ASSERT_EQ(CtlInterface::CtlRequest(p, "LIFE_CHECK", reply), CTL_RC_OK);
  EXPECT_EQ(trace.Count("CTL response received from GTW:  (m_CtlReply) ==> OK", 3), 1);
  EXPECT_EQ(trace.Count("==> '" + kHeader + Flags(13) + "'", 3), 1);
}

// Requests over TLS give the results of clear ones; a handshake that fails
// is a failed connect (24), one that the request's time-out ends is a
// time-out (27), both before anything is sent.
TEST(CtlRequests, OverTls) {
  TestComponent tls(Answer({Reply("OK")})), clear(Answer({Reply("OK")})),
      mutual(Answer({Reply("OK")}));
  tls.SetTls(ServerTls(Pki().server));
  mutual.SetTls(ServerTls(Pki().server, /*requireClient=*/true));
  RawListener mute;  // accepts in the kernel, never answers
  const auto client = ClientTls();
  const auto stranger = ClientTls(nullptr, "", 10000, Pki().otherCa.cert);
  const struct {
    const char* what;
    std::string port;
    std::shared_ptr<TlsContext> tls;
    int rc;
    long connectError;
    double atLeast;
  } rows[] = {
      {"TLS to TLS", tls.Port(), client, CTL_RC_OK, 0, 0},
      {"a server its authority did not sign", tls.Port(), stranger, CTL_RC_CONNECT_FAILED, EPROTO,
       0},
      {"TLS to clear", clear.Port(), client, CTL_RC_CONNECT_FAILED, EPROTO, 0},
      {"a client certificate of its authority", mutual.Port(), ClientTls(&Pki().client), CTL_RC_OK,
       0, 0},
      {"no client certificate", mutual.Port(), client, CTL_RC_CONNECT_FAILED, EPROTO, 0},
      {"clear to TLS", tls.Port(), nullptr, CTL_RC_CONNECTION_LOST, 0, 0},
      {"a silent server", mute.PortText(), client, CTL_RC_TIMEOUT, ETIMEDOUT, 1.0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    const CtlHostParams p = Params(r.port, 1);
    std::string info = "untouched";
    auto t0 = Clock::now();
    EXPECT_EQ(CtlInterface::LifeCheck(p, info, r.tls), r.rc);
    double s = Seconds(Clock::now() - t0);
    EXPECT_EQ(CtlInterface::LastConnectError(), r.connectError);
    EXPECT_EQ(info, r.rc == CTL_RC_OK ? "OK" : "untouched");
    EXPECT_GE(s, r.atLeast - 0.05);
    EXPECT_LT(s, r.atLeast + 1.0);
  }
  EXPECT_EQ(tls.Requests().size(), 1u);  // the clear request never reached the session
  EXPECT_EQ(clear.Requests().size(), 0u);
  EXPECT_EQ(mutual.Requests().size(), 1u);
  // Every operation has its TLS form; the component answers "OK" to all.
  const CtlHostParams p = Params(tls.Port());
  std::vector<NameValue> pairs;
  EXPECT_EQ(CtlInterface::DoMeasurements(p, client), CTL_RC_OK);
  EXPECT_EQ(CtlInterface::ChangeLog(p, client), CTL_RC_OK);
  EXPECT_EQ(CtlInterface::GetMeasurements(p, pairs, client), CTL_RC_BAD_REPLY);  // no pairs
  EXPECT_EQ(CtlInterface::Stop(p, client), CTL_RC_OK);
  EXPECT_EQ(CtlInterface::Shutdown(p, client), CTL_RC_OK);
  std::string reply;
  EXPECT_EQ(CtlInterface::CtlRequest(p, "ANYTHING", reply, client), CTL_RC_OK);
  EXPECT_EQ(tls.Requests().size(), 7u);
}

// ---------------------------------------------------------------------------
// Concurrency

TEST(CtlConcurrency, ManyThreadsEachGetTheirOwnReply) {
  // The component echoes the request body as the reply text.
  TestComponent component([](const std::string& req) {
    return std::vector<std::string>{Reply(req.size() > 78 ? req.substr(78) : "")};
  });
  constexpr int kThreads = 8, kEach = 25;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      CtlHostParams p = Params(component.Port());
      for (int i = 0; i < kEach; ++i) {
        std::string text = "ECHO " + std::to_string(t) + "-" + std::to_string(i), reply;
        if (CtlInterface::CtlRequest(p, text, reply) != CTL_RC_OK || reply != text) ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(component.Requests().size(), size_t{kThreads * kEach});
}
