#include "hx_net/ServerLink.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <functional>
#include <future>

#include "platform/os_fault.h"
#include "tests/support/test_support.h"

using namespace hxtest;
using Clock = std::chrono::steady_clock;

static long Ms(Clock::duration d) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

namespace {

// Keeps every accepted socket. A hook, if set, runs once on the next accept,
// after the socket is kept (it may throw, as a failing callback would).
struct ServerRecorder : ServerLinkCBClass, Waitable {
  std::vector<std::unique_ptr<os_tcp_socket>> sockets;
  int exceptions = 0;
  std::function<void()> hook;
  void Accept(os_tcp_socket* s) override {
    std::function<void()> h;
    Locked([&] {
      sockets.emplace_back(s);
      h.swap(hook);
    });
    if (h) h();
  }
  void Exception() override {
    Locked([&] { ++exceptions; });
  }
  bool WaitAccepted(size_t n) {
    return Wait([&] { return sockets.size() >= n; });
  }
  bool WaitEnd() {
    return Wait([&] { return exceptions > 0; });
  }
  int Ends() {
    return Locked([&] { return exceptions; });
  }
};

// Lowers the descriptor limit to 32 above `fd` and takes every descriptor
// left but `spare`; gives them back as it goes.
struct FewDescriptors {
  rlimit saved{};
  std::vector<int> taken;
  FewDescriptors(int fd, int spare) {
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(fd + 32);
    EXPECT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    for (int d; low.rlim_cur < saved.rlim_cur && (d = ::fcntl(fd, F_DUPFD_CLOEXEC, 0)) >= 0;)
      taken.push_back(d);
    for (; spare > 0 && !taken.empty(); --spare, taken.pop_back()) ::close(taken.back());
  }
  ~FewDescriptors() {
    for (int d : taken) ::close(d);
    ::setrlimit(RLIMIT_NOFILE, &saved);
  }
};

class ServerLinkTest : public ::testing::Test {
 protected:
  void TearDown() override {
    server.StopServer();
    os_fault::Reset();
  }
  int Start(int sleepSeconds = 10, int maxAttempts = -1) {
    server.SetCallbackObject(rec);
    return server.InitServer(0, nullptr, sleepSeconds, maxAttempts);
  }
  // The next accepted connection closes the listening socket and raises a
  // network error: the listener must be rebuilt.
  static void BreakListenerOnAccept(ServerLink& s, ServerRecorder& r, long code) {
    r.Locked([&] {
      r.hook = [&s, code] {
        s.CloseSocket("test");
        throw os_network_toolkit_error(OS_ERR_UNKNOWN, code, "test: listener broken");
      };
    });
  }
  TraceCapture trace{{"ServerLink"}};
  ServerRecorder rec;
  ServerLink server;
};

}  // namespace

// A port taken in either family fails without a thread; LastError says why
// until an InitServer succeeds. A port below 0 is chosen by the system (0:
// every other test). Without a local address, clients of both families are
// accepted, each with its own address text. StopServer wakes the select at once, ends the thread
// with one Exception and may run again (also before InitServer: the tools' process tests, whose
// component stops a server that never listened). Without a callback object a connection is closed.
TEST_F(ServerLinkTest, PortsClientsOfBothFamiliesStopsAndNoCallback) {
  server.SetCallbackObject(rec);
  for (int family : {AF_INET, AF_INET6}) {
    if (family == AF_INET6 && !HasIPv6Loopback()) continue;
    RefusingPort holder(family);
    ASSERT_EQ(::listen(holder.fd, 1), 0);
    EXPECT_EQ(server.InitServer(holder.port, nullptr, 10, -1), -1);
    EXPECT_EQ(server.LastError(), EADDRINUSE);
  }
  EXPECT_EQ(trace.Count("Ctl Server Thread id is "), 0);
  int port = server.InitServer(-5, nullptr, 10, -1);
  ASSERT_GT(port, 0);
  EXPECT_EQ(server.LastError(), 0);
  size_t accepted = 0;
  for (const char* from : {"127.0.0.1", "::1"}) {
    if (from[0] == ':' && !HasIPv6Loopback()) continue;
    int localPort = 0, peerPort = 0, fd = RawConnectTo(from, port, &localPort);
    ASSERT_GE(fd, 0) << from;
    ASSERT_TRUE(rec.WaitAccepted(++accepted)) << from;
    EXPECT_EQ(rec.Locked([&] { return rec.sockets.back()->peer_text(peerPort); }), from);
    EXPECT_EQ(peerPort, localPort) << from;
    ::close(fd);
  }
  auto t0 = Clock::now();
  server.StopServer();
  EXPECT_LT(Ms(Clock::now() - t0), 1500);  // within the select slice of 2 s: woken
  server.StopServer();
  EXPECT_EQ(rec.Ends(), 1);
  EXPECT_EQ(trace.Count("Ctl Server Thread id is ", 4), 1);
  ServerLink bare;
  RawClient unowned(bare.InitServer(0, nullptr, 10, -1));
  EXPECT_TRUE(WaitPeerClose(unowned.fd));
}

TEST_F(ServerLinkTest, StopFromInsideAcceptReturnsAndTheOwnerCompletesIt) {
  int port = Start();
  rec.Locked([this] { rec.hook = [this] { server.StopServer(); }; });
  RawClient c(port), pending(port);
  ASSERT_TRUE(rec.WaitEnd()) << "the server thread waited for itself";
  server.StopServer();
  EXPECT_EQ(rec.Ends(), 1);
  EXPECT_EQ(rec.Locked([&] { return rec.sockets.size(); }), 1u);  // none accepted after a stop
}

// How a failing listener ends the server, by attempt limit and native code:
// without an attempt, or after every attempt to rebuild it and its sleep. Or
// the server goes on: on a listener that stays open (a rebuild would lose the
// pending connection), or on one rebuilt on the same local address alone,
// from its own copy of the text. (A failed accept: the descriptor test; an
// exception from Accept: the AcceptManager tests; IPv6 addresses: the tools.)
TEST_F(ServerLinkTest, ListenerFailuresGiveUpOrGoOn) {
  const std::string maxed =
      "TCP Server thread: max number of attempts to reinit server socket reached";
  const std::string lost =
      "TCP Server thread: unrecoverable server socket errror - server thresd is going down";
  struct Case {
    int maxAttempts;
    int fails;  // -1: the listener stays open; else it breaks and so many rebuilds fail
    long code;
    std::string line;  // the reason given; empty: the server goes on
  } cases[] = {
      {0, -1, ECONNRESET, maxed},
      {0, -1, kUnrecoverableAcceptError1, maxed},
      {-1, -1, kUnrecoverableAcceptError1, lost},
      {5, -1, kUnrecoverableAcceptError2, lost},
      {3, 3, ECONNRESET, maxed},
      {3, -1, ECONNRESET, ""},
      {3, 0, ECONNRESET, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    const int attempts = std::max(c.fails, 0);
    ServerRecorder r;
    ServerLink s;
    s.SetCallbackObject(r);
    trace.Clear();
    testing::internal::CaptureStdout();
    std::string address = "127.0.0.1";
    int port = s.InitServer(0, address.c_str(), 1, c.maxAttempts);
    address.assign("garbage!!");  // the caller's text goes away
    os_fault::FailBind(attempts, EADDRINUSE);
    os_fault::FailAccept(c.fails < 0 ? 1 : 0, c.code);      // the listener stays open
    if (c.fails >= 0) BreakListenerOnAccept(s, r, c.code);  // it must be rebuilt
    RawClient client(port);
    const std::string failed = "accept for connections on port " + std::to_string(port) +
                               " has failed. Native Error code is " + std::to_string(c.code);
    ASSERT_TRUE(trace.WaitFor(failed));
    if (c.line.empty()) {
      int again = -1;
      EXPECT_TRUE(Eventually([&] { return (again = RawConnectTo("127.0.0.1", port)) >= 0; }));
      EXPECT_TRUE(r.WaitAccepted(2));
      EXPECT_EQ(RawConnectTo("127.0.0.2", port), -1);
      EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
      EXPECT_EQ(r.Ends(), 0);
      ::close(again);
      continue;
    }
    auto t0 = Clock::now();
    bool ended = r.WaitEnd();
    long elapsed = Ms(Clock::now() - t0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "TCP Server thread: " + failed +
                  "\nCTL  Server thread is going downbecause of critical network error\n");
    ASSERT_TRUE(ended);
    EXPECT_EQ(trace.Count(c.line, 1), 1);
    EXPECT_EQ(trace.Count("TCP Server: Bind to port " + std::to_string(port) +
                              " has failed. Native Error code is " + std::to_string(EADDRINUSE),
                          1),
              attempts);
    EXPECT_EQ(trace.Count("TCP Server thread: failure to reinitialise socket - another attempt "
                          "can be performed",
                          2),
              attempts);
    EXPECT_EQ(trace.Count("CTL  Server thread is going down because of critical network error", 0),
              1);
    // A sleep of one second after each attempt, the last one before the give-up.
    EXPECT_GE(elapsed, attempts * 1000 - 100);
    EXPECT_LT(elapsed, attempts * 1000 + 3000);
    s.StopServer();
    EXPECT_EQ(r.Ends(), 1);  // a later stop does not call Exception again
  }
}

TEST_F(ServerLinkTest, StopEndsAnEndlessReinitialisationAtOnce) {
  int port = Start();
  os_fault::FailBind(1 << 30, EADDRINUSE);
  BreakListenerOnAccept(server, rec, ECONNRESET);
  testing::internal::CaptureStdout();
  RawClient c(port);
  ASSERT_TRUE(trace.WaitFor("failure to reinitialise socket"));
  auto stopped = std::async(std::launch::async, [this] { server.StopServer(); });
  bool prompt = stopped.wait_for(2s) == std::future_status::ready;
  os_fault::Reset();  // lets a stuck re-initialisation succeed, so the test ends
  stopped.wait();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // a stop is not a give-up
  EXPECT_TRUE(prompt) << "StopServer waited for the 10 s re-initialisation sleep";
  EXPECT_EQ(rec.Ends(), 1);
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
  int rc, probe = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  bool open;
  {
    FewDescriptors few(probe, 1);
    rc = server.InitServer(0, nullptr, 10, -1);
    open = server.IsOpen();
  }
  ::close(probe);
  EXPECT_EQ(rc, -1);
  EXPECT_FALSE(open);
  RawClient client(server.InitServer(0, nullptr, 10, -1));
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
  int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), rc, lines;
  bool first, fourth;
  Clock::duration elapsed;
  {
    FewDescriptors few(client, 0);
    sockaddr_storage a;
    rc = ::connect(client, reinterpret_cast<sockaddr*>(&a), Addr("127.0.0.1", port, a));
    first = trace.WaitCount(failed, 2);
    auto t0 = Clock::now();
    fourth = trace.WaitCount(failed, 5);
    elapsed = Clock::now() - t0;
    lines = trace.Count(failed) - 1;
  }
  ASSERT_EQ(rc, 0);
  ASSERT_TRUE(first && fourth);
  // Steps of 100, 200 and 400 ms lie between the first and the fourth line.
  EXPECT_GE(Ms(elapsed), 500);
  EXPECT_LE(lines, 5);
  EXPECT_TRUE(rec.WaitAccepted(2)) << "no accept after descriptors were freed";
  ::close(client);
}
