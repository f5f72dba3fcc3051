#include "hx_net/ServerLink.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <functional>
#include <future>

#include "platform/os_fault.h"
#include "tests/support/test_support.h"

using namespace hxtest;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

static long Ms(Clock::duration d) {
  return static_cast<long>(std::chrono::duration_cast<milliseconds>(d).count());
}

namespace {

// Keeps every accepted socket. A hook, if set, runs once, on the next
// accepted connection after the socket is kept (it may throw, as a failing
// callback would).
struct ServerRecorder : ServerLinkCBClass {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::unique_ptr<os_tcp_socket>> sockets;
  int exceptions = 0;
  std::function<void()> hook;
  void SetHook(std::function<void()> h) {
    std::lock_guard<std::mutex> g(mu);
    hook = std::move(h);
  }
  void Accept(os_tcp_socket* s) override {
    std::function<void()> h;
    {
      std::lock_guard<std::mutex> g(mu);
      sockets.emplace_back(s);
      h.swap(hook);
      cv.notify_all();
    }
    if (h) h();
  }
  void Exception() override {
    std::lock_guard<std::mutex> g(mu);
    ++exceptions;
    cv.notify_all();
  }
  template <class P>
  bool Wait(P p) {
    std::unique_lock<std::mutex> g(mu);
    return cv.wait_for(g, kWait, p);
  }
  bool WaitAccepted(size_t n) {
    return Wait([&] { return sockets.size() >= n; });
  }
  bool WaitEnd() {
    return Wait([&] { return exceptions > 0; });
  }
  int Ends() {
    std::lock_guard<std::mutex> g(mu);
    return exceptions;
  }
};

// Connects to `ip`; -1 when nothing listens there.
int ConnectTo(const char* ip, int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = LoopbackAddr(port), local{};
  ::inet_pton(AF_INET, ip, &a.sin_addr);
  socklen_t len = sizeof local;
  // While nothing listens, a connect from an ephemeral port equal to the
  // target port connects the socket to itself: that is no connection either.
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0 &&
       local.sin_port == a.sin_port)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string GiveUpOutput(int port, long code) {
  return "TCP Server thread: accept for connections on port " + std::to_string(port) +
         " has failed. Native Error code is " + std::to_string(code) +
         "\nCTL  Server thread is going downbecause of critical network error\n";
}

class ServerLinkTest : public ::testing::Test {
 protected:
  void TearDown() override {
    server.StopServer();
    os_fault::Reset();
  }
  // Listens on a chosen port with the recorder as callback object.
  int Start(int sleepSeconds = 10, int maxAttempts = -1) {
    server.SetCallbackObject(rec);
    return server.InitServer(0, nullptr, sleepSeconds, maxAttempts);
  }
  // A server whose callback closes the listening socket and raises a network
  // error on the next accepted connection: the listener must be rebuilt.
  void BreakListenerOnAccept(long code) {
    rec.SetHook([this, code] {
      server.CloseSocket("test");
      throw os_network_toolkit_error(OS_ERR_UNKNOWN, code, "test: listener broken");
    });
  }
  TraceCapture trace{{"ServerLink"}};
  ServerRecorder rec;
  ServerLink server;
};

}  // namespace

TEST_F(ServerLinkTest, ZeroOrNegativePortListensOnAChosenPort) {
  for (int requested : {0, -5}) {
    ServerRecorder r;
    ServerLink s;
    s.SetCallbackObject(r);
    int port = s.InitServer(requested, nullptr, 10, -1);
    ASSERT_GT(port, 0) << requested;
    RawClient c(port);
    ASSERT_GE(c.fd, 0);
    EXPECT_TRUE(r.WaitAccepted(1));
    s.StopServer();
    EXPECT_EQ(r.Ends(), 1);
  }
  EXPECT_EQ(trace.Count("Ctl Server Thread id is ", 4), 2);
}

TEST_F(ServerLinkTest, PortInUseFailsWithoutAThread) {
  int port = Start();
  ASSERT_GT(port, 0);
  ServerLink second;
  ServerRecorder secondRec;
  second.SetCallbackObject(secondRec);
  EXPECT_EQ(server.LastError(), 0);
  EXPECT_EQ(second.InitServer(port, nullptr, 10, -1), -1);
  EXPECT_EQ(second.LastError(), EADDRINUSE);
  EXPECT_EQ(trace.Count("TCP Server: Bind to port " + std::to_string(port) +
                            " has failed. Native Error code is " + std::to_string(EADDRINUSE),
                        1),
            1);
  EXPECT_EQ(trace.Count("Ctl Server Thread id is "), 1);
  second.StopServer();
  EXPECT_EQ(secondRec.Ends(), 0);
}

TEST_F(ServerLinkTest, LocalAddressIsCopiedAndBoundAloneAlsoAfterReinitialisation) {
  server.SetCallbackObject(rec);
  std::string address = "127.0.0.1";
  int port = server.InitServer(0, address.c_str(), 0, 3);
  address.assign("garbage!!");  // the caller's text goes away
  ASSERT_GT(port, 0);
  EXPECT_EQ(ConnectTo("127.0.0.2", port), -1);
  BreakListenerOnAccept(ECONNRESET);
  RawClient first(port);
  ASSERT_TRUE(trace.WaitFor("accept for connections on port"));  // the old listener is gone
  // The rebuilt listener has the same address and port number.
  int again = -1;
  for (auto deadline = Clock::now() + kWait; again < 0 && Clock::now() < deadline;)
    again = ConnectTo("127.0.0.1", port);
  ASSERT_GE(again, 0);
  EXPECT_TRUE(rec.WaitAccepted(2));
  ::close(again);
  EXPECT_EQ(ConnectTo("127.0.0.2", port), -1);
  EXPECT_EQ(rec.Ends(), 0);
}

// No local address: clients of both families, each link naming its peer.
TEST_F(ServerLinkTest, WithoutLocalAddressClientsOfBothFamiliesAreAccepted) {
  IPV6_OR_SKIP();
  int port = Start();
  ASSERT_GT(port, 0);
  const char* from[] = {"127.0.0.1", "::1"};
  int fds[2], localPorts[2];
  for (int i = 0; i < 2; ++i) {
    fds[i] = RawConnectTo(from[i], port, &localPorts[i]);
    ASSERT_GE(fds[i], 0) << from[i];
    ASSERT_TRUE(rec.WaitAccepted(static_cast<size_t>(i) + 1)) << from[i];
  }
  for (int i = 0; i < 2; ++i) {
    Recorder linkRec;
    Link link;
    link.SetCallbackObject(linkRec);
    {
      std::lock_guard<std::mutex> g(rec.mu);
      ASSERT_EQ(link.AcceptConnection(rec.sockets[i].release()), 0);
    }
    EXPECT_EQ(link.GetHostName(), from[i]);
    EXPECT_EQ(link.GetPortNumber(), localPorts[i]) << from[i];
    ::close(fds[i]);
    EXPECT_TRUE(linkRec.WaitEnd());
  }
}

// The port is taken when either family holds it.
TEST_F(ServerLinkTest, WithoutLocalAddressAPortTakenInEitherFamilyFails) {
  IPV6_OR_SKIP();
  for (int family : {AF_INET, AF_INET6}) {
    RefusingPort holder(family);
    ASSERT_EQ(::listen(holder.fd, 1), 0);
    ServerLink s;
    ServerRecorder r;
    s.SetCallbackObject(r);
    EXPECT_EQ(s.InitServer(holder.port, nullptr, 10, -1), -1) << family;
    EXPECT_EQ(trace.Count("TCP Server: Bind to port " + std::to_string(holder.port) +
                              " has failed. Native Error code is " + std::to_string(EADDRINUSE),
                          1),
              1)
        << family;
  }
}

TEST_F(ServerLinkTest, IPv6LocalAddressIsBoundAlone) {
  IPV6_OR_SKIP();
  server.SetCallbackObject(rec);
  int port = server.InitServer(0, "::1", 10, -1);
  ASSERT_GT(port, 0);
  int fd = RawConnectTo("::1", port);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(rec.WaitAccepted(1));
  EXPECT_EQ(RawConnectTo("127.0.0.1", port), -1);
  ::close(fd);
  std::lock_guard<std::mutex> g(rec.mu);
  EXPECT_EQ(rec.sockets.size(), 1u);
}

TEST_F(ServerLinkTest, StopWakesTheSelectAndEndsOnce) {
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(trace.WaitScope("ServerLink::ServerThreadLoop"));
  auto t0 = Clock::now();
  server.StopServer();
  // Within the select slice of 2 s; waking the select makes it much sooner.
  EXPECT_LT(Ms(Clock::now() - t0), 1500);
  EXPECT_EQ(rec.Ends(), 1);
  server.StopServer();
  EXPECT_EQ(rec.Ends(), 1);
}

TEST_F(ServerLinkTest, StopBeforeInitServerOnlySetsTheFlag) {
  server.SetCallbackObject(rec);
  server.StopServer();
  EXPECT_EQ(rec.Ends(), 0);
  EXPECT_EQ(trace.Count("Ctl Server Thread id is "), 0);
}

TEST_F(ServerLinkTest, StopFromInsideAcceptReturnsAndTheOwnerCompletesIt) {
  int port = Start();
  rec.SetHook([this] { server.StopServer(); });
  RawClient c(port), pending(port);
  ASSERT_TRUE(rec.WaitEnd()) << "the server thread waited for itself";
  server.StopServer();
  EXPECT_EQ(rec.Ends(), 1);
  std::lock_guard<std::mutex> g(rec.mu);
  EXPECT_EQ(rec.sockets.size(), 1u);  // nothing is accepted after a stop
}

TEST_F(ServerLinkTest, WithoutCallbackTheConnectionIsClosed) {
  int port = server.InitServer(0, nullptr, 10, -1);
  RawClient c(port);
  EXPECT_TRUE(WaitPeerClose(c.fd));
}

TEST_F(ServerLinkTest, OtherExceptionsFromAcceptAreTracedAndAcceptingGoesOn) {
  int port = Start();
  rec.SetHook([] { throw std::bad_alloc(); });
  RawClient first(port), second(port);
  ASSERT_TRUE(rec.WaitAccepted(2));
  EXPECT_EQ(trace.Count("std::exception thrown in ServerLink::ServerThreadLoop. Error: ", 1), 1);
  EXPECT_EQ(rec.Ends(), 0);
}

TEST_F(ServerLinkTest, FailuresOfOnePendingConnectionAreTracedAndSkipped) {
  int port = Start();
  os_fault::FailAccept(3, 0);
  RawClient c(port);
  ASSERT_TRUE(rec.WaitAccepted(1));
  EXPECT_EQ(trace.Count("Failed to accept new connection", 1), 3);
}

// How a network error during accept ends, by attempt limit and native code.
TEST_F(ServerLinkTest, GiveUpWithoutAttemptForLimitZeroOrUnrecoverableCodes) {
  struct Case {
    int maxAttempts;
    long code;
    const char* line;
  } cases[] = {
      {0, ECONNRESET, "TCP Server thread: max number of attempts to reinit server socket reached"},
      {0, kUnrecoverableAcceptError1, "max number of attempts to reinit server socket reached"},
      {-1, kUnrecoverableAcceptError1,
       "TCP Server thread: unrecoverable server socket errror - server thresd is going down"},
      {5, kUnrecoverableAcceptError2, "unrecoverable server socket errror"},
  };
  for (const Case& c : cases) {
    ServerRecorder r;
    ServerLink s;
    s.SetCallbackObject(r);
    trace.Clear();
    testing::internal::CaptureStdout();
    int port = s.InitServer(0, nullptr, 0, c.maxAttempts);
    os_fault::FailAccept(1, c.code);
    RawClient client(port);
    bool ended = r.WaitEnd();
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(ended) << c.maxAttempts << " " << c.code;
    EXPECT_EQ(trace.Count(c.line, 1), 1) << c.code;
    EXPECT_EQ(trace.Count("failure to reinitialise"), 0);
    EXPECT_EQ(trace.Count("CTL  Server thread is going down because of critical network error", 0),
              1);
    EXPECT_EQ(out, GiveUpOutput(port, c.code));
    s.StopServer();
    EXPECT_EQ(r.Ends(), 1);  // a later stop does not call Exception again
  }
}

TEST_F(ServerLinkTest, ErrorOnAnOpenListenerKeepsTheSameSocket) {
  int port = Start(0, 3);
  os_fault::FailBind(5, EADDRINUSE);  // any attempt to rebuild would show
  os_fault::FailAccept(1, ECONNRESET);
  RawClient first(port), second(port);
  ASSERT_TRUE(rec.WaitAccepted(2));
  EXPECT_EQ(trace.Count("accept for connections on port " + std::to_string(port) +
                        " has failed. Native Error code is " + std::to_string(ECONNRESET)),
            1);
  EXPECT_EQ(trace.Count("Bind to port"), 0);
  EXPECT_EQ(rec.Ends(), 0);
}

TEST_F(ServerLinkTest, ListenerThatCannotBeRebuiltCostsEveryAttemptAndItsSleep) {
  int port = Start(1, 3);
  int occupant = -1;  // takes the port while the listener is down
  rec.SetHook([&] {
    server.CloseSocket("test");
    occupant = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(occupant, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = LoopbackAddr(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ::bind(occupant, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(occupant, 1);
    throw os_network_toolkit_error(OS_ERR_UNKNOWN, ECONNRESET, "test: listener broken");
  });
  testing::internal::CaptureStdout();
  RawClient c(port);
  ASSERT_TRUE(trace.WaitFor("accept for connections on port"));
  auto t0 = Clock::now();
  bool ended = rec.WaitEnd();
  auto elapsed = Clock::now() - t0;
  std::string out = testing::internal::GetCapturedStdout();
  ::close(occupant);
  ASSERT_TRUE(ended);
  EXPECT_EQ(
      trace.Count("TCP Server thread: failure to reinitialise socket - another attempt can be "
                  "performed",
                  2),
      3);
  EXPECT_EQ(trace.Count("TCP Server: Bind to port " + std::to_string(port) + " has failed.", 1), 3);
  EXPECT_EQ(trace.Count("max number of attempts to reinit server socket reached", 1), 1);
  EXPECT_EQ(out, GiveUpOutput(port, ECONNRESET));
  // Three sleeps of one second, the last one before the give-up.
  EXPECT_GE(Ms(elapsed), 2900);
  EXPECT_LT(Ms(elapsed), 6000);
}

TEST_F(ServerLinkTest, StopEndsAnEndlessReinitialisationAtOnce) {
  int port = Start();
  os_fault::FailBind(1 << 30, EADDRINUSE);
  BreakListenerOnAccept(ECONNRESET);
  testing::internal::CaptureStdout();
  RawClient c(port);
  ASSERT_TRUE(trace.WaitFor("failure to reinitialise socket"));
  auto stopped = std::async(std::launch::async, [this] { server.StopServer(); });
  bool prompt = stopped.wait_for(2s) == std::future_status::ready;
  os_fault::Reset();  // lets a stuck re-initialisation succeed, so the test ends
  stopped.wait();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(prompt) << "StopServer waited for the 10 s re-initialisation sleep";
  EXPECT_EQ(rec.Ends(), 1);
  EXPECT_EQ(out, "");  // a stop is not a give-up
}

// Failures after the listening socket was made (no thread; one descriptor
// left, which the listener takes from the wake-up pipe) return -1, leave
// nothing open, and the same object listens once the resources are back.
TEST_F(ServerLinkTest, InitServerFailingAfterTheListenerLeavesNothingAndCanRetry) {
  server.SetCallbackObject(rec);
  os_fault::FailThreadCreation(1);
  EXPECT_EQ(server.InitServer(0, nullptr, 10, -1), -1);
  os_fault::Reset();
  EXPECT_FALSE(server.IsOpen());

  // The undefined-behaviour checker needs a descriptor the first time it
  // checks a type: it meets the error type here, while there are plenty.
  EXPECT_EQ(os_network_toolkit_error::from_errno(EMFILE, "warm-up").native_code(), EMFILE);
  int probe = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = static_cast<rlim_t>(probe + 32);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> fillers;
  for (int fd; (fd = ::fcntl(probe, F_DUPFD_CLOEXEC, 0)) >= 0;) fillers.push_back(fd);
  ::close(fillers.back());  // exactly one left
  fillers.pop_back();
  int rc = server.InitServer(0, nullptr, 10, -1);
  bool open = server.IsOpen();
  for (int fd : fillers) ::close(fd);
  ::close(probe);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(rc, -1);
  EXPECT_FALSE(open);

  int port = server.InitServer(0, nullptr, 10, -1);
  ASSERT_GT(port, 0);
  RawClient client(port);
  EXPECT_TRUE(rec.WaitAccepted(1));
}

// Out of descriptors, the pending connection keeps the listener readable: the
// server must back off instead of retrying and tracing at full speed.
TEST_F(ServerLinkTest, OutOfDescriptorsBacksOffAndAcceptsOnceFreed) {
  int port = Start();
  // Runs the failure path once while descriptors are plentiful: the
  // undefined-behaviour checker needs a pipe the first time it checks a type.
  os_fault::FailAccept(1, 0);
  RawClient warm(port);
  ASSERT_TRUE(rec.WaitAccepted(1));
  const std::string failed = "Failed to accept new connection";
  ASSERT_EQ(trace.Count(failed), 1);

  int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = static_cast<rlim_t>(client + 32);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> fillers;
  for (int fd; (fd = ::fcntl(client, F_DUPFD_CLOEXEC, 0)) >= 0;) fillers.push_back(fd);
  sockaddr_in a = LoopbackAddr(port);
  int rc = ::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a);

  bool first = trace.WaitCount(failed, 2);
  auto t0 = Clock::now();
  bool fourth = trace.WaitCount(failed, 5);
  auto elapsed = Clock::now() - t0;
  int lines = trace.Count(failed) - 1;

  for (int fd : fillers) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_EQ(rc, 0);
  ASSERT_TRUE(first && fourth);
  // Steps of 100, 200 and 400 ms lie between the first and the fourth line.
  EXPECT_GE(Ms(elapsed), 500);
  EXPECT_LE(lines, 5);
  EXPECT_TRUE(rec.WaitAccepted(2)) << "no accept after descriptors were freed";
  ::close(client);
}
