#include "hx_net/AcceptManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>

#include "tests/support/test_support.h"

using namespace hxtest;

namespace {

// Makes callback objects that echo every frame (or run `onReceive` instead),
// and notes which of them saw their link end, in order.
struct EchoManager : AcceptManagerCBClass, Waitable {
  struct Echo : AcceptedLinkCBClass {
    EchoManager& m;
    const int index;
    std::atomic<Link*> link{nullptr};
    Echo(EchoManager& owner, int i) : m(owner), index(i) {}
    ~Echo() override {
      m.Locked([&] { ++m.destroyed; });
    }
    void Receive(unsigned n, const char* d, Link* l) override {
      link.store(l);
      if (m.onReceive) return m.onReceive(l);
      l->Send(d, n);
    }
    void Exception(int, Link*) override {
      m.Locked([&] { m.ended.push_back(index); });
    }
    bool DeleteWithLink() override { return m.deleteWithLink; }
  };
  explicit EchoManager(bool d = true) : deleteWithLink(d) {}
  AcceptedLinkCBClass* CreateLinkCBObject() override {
    if (failNext.exchange(false)) throw std::bad_alloc();
    Echo* cb = new Echo(*this, static_cast<int>(made.size()));
    Locked([&] { made.push_back(cb); });
    if (!deleteWithLink) kept.emplace_back(cb);
    return cb;
  }
  size_t LinkCount() const { return m_Links.size(); }  // server thread, or once it has ended
  Echo* Made(size_t i) {
    return Locked([&] { return i < made.size() ? made[i] : nullptr; });
  }
  int Destroyed() {
    return Locked([&] { return destroyed; });
  }

  const bool deleteWithLink;
  std::function<void(Link*)> onReceive;
  std::atomic<bool> failNext{false};
  std::vector<int> ended;
  std::vector<Echo*> made;  // to observe, not to own
  int destroyed = 0;
  std::vector<std::unique_ptr<Echo>> kept;  // objects the manager must not delete
};

// Sends `text` as a frame on a raw connection: true when it comes back whole.
bool Echoed(const RawClient& c, const std::string& text) {
  const std::string frame = Frame(text);
  return WriteAll(c.fd, frame) && ReadExact(c.fd, frame.size()) == frame;
}

class AcceptManagerTest : public ::testing::Test {
 protected:
  int Start(ServerLink& s, EchoManager& m) {  // the port; -1, and every check fails
    s.SetCallbackObject(m);
    return s.InitServer(0, nullptr, 10, -1);
  }
  TraceCapture trace{{"AcceptManager", "ServerLink"}, 5};
  ServerLink server;
};

}  // namespace

// One server's links from accept to stop. A failing CreateLinkCBObject
// closes that connection only. Limits reach every accepted link before its
// first frame; the cap closes new connections at once while it is reached
// (no callback object for them), and a link that has ended stops counting
// before it is reaped. An ended link stays until the next accept; its
// callback object goes with it only when DeleteWithLink() says so. The stop
// ends the live links in accept order.
TEST_F(AcceptManagerTest, LinksFromAcceptToStop) {
  for (bool deleteWithLink : {true, false}) {
    SCOPED_TRACE(deleteWithLink ? "deleted with the link" : "kept by its owner");
    trace.Clear();
    EchoManager manager(deleteWithLink);
    manager.SetLinkLimits(LinkLimits{100});  // a payload of 100 bytes at most
    manager.SetMaxLinks(2);
    ServerLink s;  // one per round: a stopped server stays stopped
    const int port = Start(s, manager);
    manager.failNext = true;
    EXPECT_TRUE(WaitPeerClose(RawClient(port).fd));
    ASSERT_TRUE(trace.WaitFor("std::exception thrown in ServerLink::ServerThreadLoop. Error: "));
    RawClient first(port), second(port);
    ASSERT_TRUE(Echoed(first, std::string(100, 'x')) && Echoed(second, "two"));
    EXPECT_TRUE(WaitPeerClose(RawClient(port).fd));  // refused at the cap
    // Its accept is over (and reaps nothing) before the first link ends.
    ASSERT_TRUE(trace.WaitCount("Ended Garbage Collection: 0 out of 2 objects were deleted", 2));
    EXPECT_EQ(trace.Count("Maximum of 2 links reached: closing the new connection from 127.0.0.1:"),
              1);
    EXPECT_EQ(manager.Made(2), nullptr);
    ASSERT_TRUE(WriteAll(first.fd, Frame(std::string(101, 'y'))));
    Link* zero = manager.Made(0)->link.load();  // set by its first frame
    // Ended, not reaped yet; nothing signals the reader thread's very end.
    ASSERT_TRUE(Eventually([zero] { return zero->IsTerminated(); }));
    EXPECT_EQ(zero->EndReason(), LinkEndReason::PayloadTooLarge);
    EXPECT_EQ(manager.Destroyed(), 0);
    RawClient third(port);
    ASSERT_TRUE(Echoed(third, "served"));  // 0 no longer counts
    ASSERT_TRUE(trace.WaitFor("Ended Garbage Collection: 1 out of 3 objects were deleted"));
    EXPECT_EQ(manager.Destroyed(), deleteWithLink ? 1 : 0);
    s.StopServer();
    EXPECT_EQ(manager.Locked([&] { return manager.ended; }), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(manager.Destroyed(), deleteWithLink ? 3 : 0);
    EXPECT_EQ(manager.kept.size(), deleteWithLink ? 0u : 3u);  // whole: their owner frees them
    EXPECT_EQ(manager.LinkCount(), 0u);
    for (int fd : {first.fd, second.fd, third.fd}) EXPECT_TRUE(WaitPeerClose(fd));
  }
}

// StopServer from an accepted link's callback: the server thread's clean-up
// waits for this very reader, so the call only asks and returns; the owner's
// StopServer completes the stop.
TEST_F(AcceptManagerTest, StopFromAnAcceptedLinksCallbackReturnsAndOwnerCompletes) {
  EchoManager manager;
  std::promise<void> returned;
  manager.onReceive = [&](Link*) {
    server.StopServer();
    returned.set_value();
  };
  const int port = Start(server, manager);
  RawClient client(port);
  ASSERT_TRUE(WriteAll(client.fd, Frame("stop")));
  ASSERT_EQ(returned.get_future().wait_for(kWait), std::future_status::ready);
  EXPECT_TRUE(WaitPeerClose(client.fd));  // the server thread ended and closed its links
  server.StopServer();
  EXPECT_EQ(manager.Destroyed(), 1);
}
