#include "hx_net/CtlClient.h"

#include <gtest/gtest.h>
#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <future>
#include <thread>

#include "hx_net/CtlClientInternal.h"
#include "hx_net/trace_modules.h"
#include "platform/os_fault.h"
#include "tests/support/test_support.h"

using namespace hxtest;
using Clock = std::chrono::steady_clock;

// Reaches the private builders.
class CtlInterfaceTestPeer {
 public:
  static void BuildHeader(std::string& out) { CtlInterface::BuildHeader(out); }
  static int BuildMessage(ComponentTypeEnum t, const std::string& r, std::string& out) {
    return CtlInterface::BuildMessage(t, r, out);
  }
};

namespace {

constexpr auto kOrdinary = static_cast<ComponentTypeEnum>(3);
constexpr auto kGateway = CTL_COMPONENT_GATEWAY;
const std::string kHeader = "++000000000   CTL" + std::string(61, ' ');

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

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// What the test component sends back for one request: any number of
// payloads, or nothing at all.
using Responder = std::function<std::vector<std::string>(const std::string& request)>;

// A component on a loopback port: a listener whose thread accepts each
// connection into a Link and answers every request as the responder says.
class TestComponent : public LinkCBClass {
 public:
  explicit TestComponent(Responder r)
      : m_Respond(std::move(r)), m_Server(os_socket_address(0), 128),
        m_Port(std::to_string(m_Server.socket_address().port())),
        m_Thread([this] { AcceptLoop(); }) {}
  ~TestComponent() override {
    m_Stop = true;
    m_Thread.join();
    for (Link* l : m_Links) delete l;  // the destructor disconnects
  }
  const std::string& Port() const { return m_Port; }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> g(m_Mu);
    return m_Requests;
  }
  void Receive(unsigned n, const char* d, Link* link) override {
    std::string request(d, n);
    {
      std::lock_guard<std::mutex> g(m_Mu);
      m_Requests.push_back(request);
    }
    for (auto& f : m_Respond(request)) link->Send(f.data(), static_cast<unsigned>(f.size()));
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
      for (auto it = m_Links.begin(); it != m_Links.end();) {  // reap ended links
        if ((*it)->IsTerminated()) {
          delete *it;
          it = m_Links.erase(it);
        } else {
          ++it;
        }
      }
    }
  }

  Responder m_Respond;
  os_tcp_connection_server m_Server;
  std::string m_Port;
  std::mutex m_Mu;
  std::vector<std::string> m_Requests;
  std::vector<Link*> m_Links;  // accept thread only
  std::atomic<bool> m_Stop{false};
  std::thread m_Thread;
};

Responder Answer(std::vector<std::string> frames) {
  return [frames](const std::string&) { return frames; };
}

// A raw peer that serves connections one after another: reads the request
// frame, then closes without a word.
class ClosingPeer {
 public:
  ClosingPeer() : m_Thread([this] { Serve(); }) {}
  ~ClosingPeer() {
    m_Stop = true;
    m_Thread.join();
  }
  std::string Port() const { return m_Listener.PortText(); }

 private:
  void Serve() {
    while (!m_Stop) {
      int fd = m_Listener.Accept(std::chrono::milliseconds(20));
      if (fd < 0) continue;
      std::string header = ReadExact(fd, 10);
      if (header.size() == 10) ReadExact(fd, std::stoul(header.substr(2), nullptr, 16));
      ::close(fd);
    }
  }
  RawListener m_Listener;
  std::atomic<bool> m_Stop{false};
  std::thread m_Thread;
};

// A loopback port that refuses: bound, never listening.
struct RefusingPort {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int port = 0;
  RefusingPort() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~RefusingPort() { ::close(fd); }
};

bool TimerWasStarted(TraceCapture& t) {
  for (auto& l : t.Lines())
    if (l.scope == "CtlTimer::Activate") return true;
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// The request bytes

TEST(CtlBuild, BuildersAppendToWhatIsThere) {
  std::string out = "keep";
  CtlInterfaceTestPeer::BuildHeader(out);
  EXPECT_EQ(out, "keep" + kHeader);
  ASSERT_EQ(kHeader.size(), 78u);
  std::string msg = "prefix";
  EXPECT_EQ(CtlInterfaceTestPeer::BuildMessage(kGateway, "STOP", msg), 1);
  EXPECT_EQ(msg, "prefix" + kHeader + Flags(0));
}

TEST(CtlBuild, BytesOnTheWireReadByARawPeer) {
  struct {
    ComponentTypeEnum type;
    const char* request;
    std::string body;
  } rows[] = {{kOrdinary, "LIFE_CHECK", "LIFE_CHECK"}, {kOrdinary, "STOP", "STOP"},
              {kGateway, "STOP", Flags(0)},           {kGateway, "LIFE_CHECK", Flags(13)},
              {kGateway, "DO_MEASURE", Flags(14)},    {kGateway, "GET_MEASURE", Flags(15)},
              {kGateway, "SHUTDOWN", "SHUTDOWN"},     {kGateway, "STOP ", "STOP "},
              {kGateway, "stop", "stop"},             {kGateway, "CHANGE_LOG", "CHANGE_LOG"}};
  for (auto& r : rows) {
    RawListener peer;
    CtlHostParams p = Params(peer.PortText(), 5, r.type);
    std::string reply;
    auto result = std::async(std::launch::async, [&] { return CtlInterface::CtlRequest(p, r.request, reply); });
    int fd = peer.Accept();
    ASSERT_GE(fd, 0);
    const std::string want = Frame(kHeader + r.body);
    EXPECT_EQ(ReadExact(fd, want.size()), want) << r.request;
    ASSERT_TRUE(WriteAll(fd, Frame(Reply("OK"))));
    ASSERT_EQ(result.wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(result.get(), CTL_RC_OK);
    EXPECT_EQ(reply, "OK");
    ::close(fd);
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
      O got = CtlExamineReply(fn, static_cast<unsigned>(r.payload.size()), r.payload.data(), gw, text);
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
      {4, "This is not a CTL response(OK ignored). It has record type: - and message type: + "
          "user id: CTL_RESP"}};
  std::vector<std::pair<unsigned, std::string>> got;
  for (auto& l : trace.Lines()) got.emplace_back(l.level, l.text);
  EXPECT_EQ(got, want);  // and nothing for the accepted reply
}

// ---------------------------------------------------------------------------
// The callback object and the timer on their own

TEST(CtlWaitObjects, CallbackKeepsTheFirstAcceptedReply) {
  os_event_semaphore wake(false);
  CtlClientLinkCBObject cb(&wake, kOrdinary);
  const std::string bad = Reply("x", "NOPE"), first = Reply("first"), second = Reply("second");
  cb.Receive(static_cast<unsigned>(bad.size()), bad.c_str(), nullptr);
  EXPECT_TRUE(cb.ReceiveWasEntered());
  EXPECT_EQ(cb.GetCtlRc(), CTL_RC_BAD_REPLY);
  EXPECT_FALSE(wake.posted());  // a rejected message does not wake the caller
  cb.Receive(static_cast<unsigned>(first.size()), first.c_str(), nullptr);
  EXPECT_TRUE(wake.posted());
  cb.Receive(static_cast<unsigned>(second.size()), second.c_str(), nullptr);
  cb.Receive(static_cast<unsigned>(bad.size()), bad.c_str(), nullptr);
  EXPECT_EQ(cb.GetCtlRc(), CTL_RC_OK);
  EXPECT_EQ(cb.GetCtlReply(), "first");
  EXPECT_FALSE(cb.ExceptionWasEntered());
  cb.Exception(-1, nullptr);
  EXPECT_TRUE(cb.ExceptionWasEntered());
  EXPECT_EQ(cb.GetCtlReply(), "first");

  os_event_semaphore gwWake(false);
  CtlClientLinkCBObject gw(&gwWake, kGateway);
  gw.Receive(static_cast<unsigned>(bad.size()), bad.c_str(), nullptr);  // ignored
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
      case kLife: rc = CtlInterface::LifeCheck(p, out); break;
      case kDo: rc = CtlInterface::DoMeasurements(p); out = ""; break;
      case kChange: rc = CtlInterface::ChangeLog(p); out = ""; break;
      case kStop: rc = CtlInterface::Stop(p); out = ""; break;
      case kRequest: rc = CtlInterface::CtlRequest(p, "PING", out); break;
    }
    EXPECT_EQ(rc, r.rc) << r.op << " '" << r.body << "'";
    EXPECT_EQ(out, r.out) << r.op << " '" << r.body << "'";
  }
}

TEST(CtlRequests, GetMeasurementsAppendsPairsOrLeavesTheVectorAlone) {
  struct {
    std::string body;
    int rc;
    std::vector<std::string> names;  // after the element that was there before
  } rows[] = {{"cpu=12\nmem=300\nio=7\n", CTL_RC_OK, {"cpu", "mem", "io"}},
              {"NO", CTL_RC_REFUSED, {}},
              {"no pairs here", CTL_RC_BAD_REPLY, {}},
              {"UNKNOWN_REQUEST", CTL_RC_UNKNOWN_REQUEST, {}}};
  for (auto& r : rows) {
    TestComponent component(Answer({Reply(r.body)}));
    CtlHostParams p = Params(component.Port());
    std::vector<NameValue> v = {{"old", "0"}};
    EXPECT_EQ(CtlInterface::GetMeasurements(p, v), r.rc) << r.body;
    ASSERT_EQ(v.size(), 1 + r.names.size()) << r.body;
    EXPECT_EQ(v[0].name, "old");
    for (size_t i = 0; i < r.names.size(); ++i) EXPECT_EQ(v[i + 1].name, r.names[i]);
  }
  TestComponent component(Answer({Reply("a=1\nb= 2")}));
  CtlHostParams p = Params(component.Port());
  std::vector<NameValue> v;
  ASSERT_EQ(CtlInterface::GetMeasurements(p, v), CTL_RC_OK);
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v[1].value, " 2");
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
    std::string reply;  // "untouched" where the request must wait out its second
  } rows[] = {
      {"rejected, then valid", kOrdinary, {bad, Reply("good")}, CTL_RC_OK, "good"},
      {"two valid replies: the first counts", kOrdinary, {Reply("first"), Reply("second")}, CTL_RC_OK,
       "first"},
      {"gateway: ignored, then valid", kGateway, {noise, Reply("OK")}, CTL_RC_OK, "OK"},
      {"gateway: short (rejected), then valid", kGateway, {"short", Reply("OK")}, CTL_RC_OK, "OK"},
      {"silence", kOrdinary, {}, CTL_RC_TIMEOUT, "untouched"},
      {"rejected, then silence", kOrdinary, {bad}, CTL_RC_BAD_REPLY, "untouched"},
      {"gateway: ignored, then silence", kGateway, {noise}, CTL_RC_TIMEOUT, "untouched"},
      {"gateway: rejected, then silence", kGateway, {"short"}, CTL_RC_BAD_REPLY, "untouched"},
  };
  for (auto& r : rows) {
    TestComponent component(Answer(r.frames));
    CtlHostParams p = Params(component.Port(), 1, r.type);
    std::string reply = "untouched";
    auto t0 = Clock::now();
    EXPECT_EQ(CtlInterface::CtlRequest(p, "LIFE_CHECK", reply), r.rc) << r.what;
    double s = Seconds(Clock::now() - t0);
    EXPECT_EQ(reply, r.reply) << r.what;
    if (r.reply == "untouched") {  // waited the full time-out
      EXPECT_GE(s, 1.0 - 0.05) << r.what;
      EXPECT_LT(s, 1.0 + 2.0) << r.what;
    }
  }
  // A time-out of 0 ends the wait at once.
  TestComponent component(Answer({}));
  CtlHostParams p = Params(component.Port(), 0);
  std::string reply;
  auto t0 = Clock::now();
  EXPECT_EQ(CtlInterface::CtlRequest(p, "LIFE_CHECK", reply), CTL_RC_TIMEOUT);
  EXPECT_LT(Seconds(Clock::now() - t0), 1.0);
}

TEST(CtlRequests, PeerClosingWithoutReply) {
  ClosingPeer peer;
  CtlHostParams direct = Params(peer.Port());
  CtlHostParams gw = Params(peer.Port(), 5, kGateway);
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

TEST(CtlRequests, ReplyThenImmediateCloseIsStillTheReply) {
  RawListener peer;
  CtlHostParams p = Params(peer.PortText());
  std::string reply;
  auto result = std::async(std::launch::async, [&] { return CtlInterface::CtlRequest(p, "X", reply); });
  int fd = peer.Accept();
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ReadExact(fd, 10 + 79).size(), 89u);
  ASSERT_TRUE(WriteAll(fd, Frame(Reply("done"))));
  ::close(fd);
  ASSERT_EQ(result.wait_for(kWait), std::future_status::ready);
  EXPECT_EQ(result.get(), CTL_RC_OK);
  EXPECT_EQ(reply, "done");
}

TEST(CtlRequests, RefusedConnectionSendsNothingAndStartsNoTimer) {
  TraceCapture trace({"CtlClient"});
  RefusingPort refusing;
  CtlHostParams p = Params(std::to_string(refusing.port));
  std::string reply = "untouched";
  EXPECT_EQ(CtlInterface::CtlRequest(p, "LIFE_CHECK", reply), CTL_RC_CONNECT_FAILED);
  EXPECT_EQ(reply, "untouched");
  EXPECT_EQ(trace.Count("CTL request sent to: "), 0);
  EXPECT_FALSE(TimerWasStarted(trace));
}

// A listener with backlog 0 holds one connection that nobody accepts; further
// SYNs are dropped, so a connect to it can only time out.
TEST(CtlRequests, ConnectBoundGivesTimeout) {
  RawListener full;
  ASSERT_EQ(::listen(full.Fd(), 0), 0);
  int queued = RawConnect(full.Port());
  ASSERT_GE(queued, 0);
  int pending = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(full.Port()));
  ASSERT_EQ(::connect(pending, reinterpret_cast<sockaddr*>(&a), sizeof a), -1);
  ASSERT_EQ(errno, EINPROGRESS);
  pollfd pf{pending, POLLOUT, 0};
  ASSERT_EQ(::poll(&pf, 1, 200), 0) << "the backlog did not fill: the SYN was answered";

  TraceCapture trace({"CtlClient"});
  os_connectable_socket::set_connect_timeout(300);
  CtlHostParams p = Params(full.PortText());
  std::string reply;
  auto t0 = Clock::now();
  int rc = CtlInterface::CtlRequest(p, "LIFE_CHECK", reply);
  double s = Seconds(Clock::now() - t0);
  os_connectable_socket::set_connect_timeout(21000);
  EXPECT_EQ(rc, CTL_RC_TIMEOUT);
  EXPECT_GE(s, 0.3 - 0.05);
  EXPECT_LT(s, 0.3 + 2.0);
  EXPECT_EQ(trace.Count("CTL request sent to: "), 0);
  EXPECT_FALSE(TimerWasStarted(trace));
  ::close(pending);
  ::close(queued);
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
  std::vector<std::string> want = {"CTL request sent to: " + to + " ==> '" + kHeader + "LIFE_CHECK'",
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

TEST(CtlTrace, GatewayAcceptedReplyLine) {
  TraceCapture trace({"CtlClient"}, 3);
  TestComponent component(Answer({Reply("OK")}));
  CtlHostParams p = Params(component.Port(), 5, kGateway);
  std::string reply;
  ASSERT_EQ(CtlInterface::CtlRequest(p, "LIFE_CHECK", reply), CTL_RC_OK);
  EXPECT_EQ(trace.Count("CTL response received from GTW:  (m_CtlReply) ==> OK", 3), 1);
  EXPECT_EQ(trace.Count("==> '" + kHeader + Flags(13) + "'", 3), 1);
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
