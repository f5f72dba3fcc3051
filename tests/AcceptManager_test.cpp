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
  // Connection `i`'s link has fully ended. Nothing signals the reader
  // thread's very end, so the link is asked until a deadline.
  bool ReaderEnded(size_t i) {
    Echo* cb = Made(i);
    return cb && cb->link.load() && Eventually([cb] { return cb->link.load()->IsTerminated(); });
  }

  const bool deleteWithLink;
  std::function<void(Link*)> onReceive;
  std::atomic<bool> failNext{false};
  std::vector<int> ended;
  std::vector<Echo*> made;  // to observe, not to own
  int destroyed = 0;
  std::vector<std::unique_ptr<Echo>> kept;  // objects the manager must not delete
};

// A client Link with its recorder.
struct Client {
  Recorder rec;
  Link link;
  bool Open(int port) {
    link.SetCallbackObject(rec);
    long err = 0;
    return link.Connect("127.0.0.1", std::to_string(port).c_str(), err) == 0;
  }
  bool RoundTrip(const std::string& text) {
    size_t before = rec.Frames().size();
    return link.Send(text.data(), static_cast<unsigned>(text.size())) == 0 &&
           rec.WaitFrames(before + 1) && rec.Frames().back() == text;
  }
};

std::string GcLine(int deleted, int total) {
  return "Ended Garbage Collection: " + std::to_string(deleted) + " out of " +
         std::to_string(total) + " objects were deleted";
}

class AcceptManagerTest : public ::testing::Test {
 protected:
  void Start(EchoManager& m) {
    server.SetCallbackObject(m);
    port = server.InitServer(0, nullptr, 10, -1);
    ASSERT_GT(port, 0);
  }
  TraceCapture trace{{"AcceptManager", "ServerLink"}, 5};
  ServerLink server;
  int port = 0;
};

}  // namespace

// A connection that closes stays until the next accept; its callback object
// goes with it only when DeleteWithLink() says so.
TEST_F(AcceptManagerTest, ClosedConnectionIsReclaimedAtTheNextAccept) {
  for (bool deleteWithLink : {true, false}) {
    SCOPED_TRACE(deleteWithLink ? "deleted with the link" : "kept by its owner");
    trace.Clear();
    EchoManager manager(deleteWithLink);
    ServerLink s;
    s.SetCallbackObject(manager);
    int p = s.InitServer(0, nullptr, 10, -1);
    Client first;
    ASSERT_TRUE(first.Open(p) && first.RoundTrip("one"));
    ASSERT_TRUE(trace.WaitFor(GcLine(0, 1)));
    first.link.DisConnect();
    ASSERT_TRUE(manager.ReaderEnded(0));
    EXPECT_EQ(manager.Destroyed(), 0);
    Client second;
    ASSERT_TRUE(second.Open(p) && second.RoundTrip("two"));
    ASSERT_TRUE(trace.WaitFor(GcLine(1, 2)));
    EXPECT_EQ(manager.Destroyed(), deleteWithLink ? 1 : 0);
    s.StopServer();
    EXPECT_EQ(manager.Destroyed(), deleteWithLink ? 2 : 0);
    EXPECT_EQ(manager.kept.size(),
              deleteWithLink ? 0u : 2u);  // still whole: their owner frees them
  }
}

TEST_F(AcceptManagerTest, StopDisconnectsLiveLinksInAcceptOrder) {
  EchoManager manager;
  Start(manager);
  Client clients[3];
  for (auto& c : clients)
    ASSERT_TRUE(c.Open(port) && c.RoundTrip("hello"));  // accepted before the next one connects
  server.StopServer();
  EXPECT_EQ(manager.Locked([&] { return manager.ended; }), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(manager.Destroyed(), 3);
  EXPECT_EQ(manager.LinkCount(), 0u);
  for (auto& c : clients) EXPECT_TRUE(c.rec.WaitEnd());
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
  Start(manager);
  Client client;
  ASSERT_TRUE(client.Open(port));
  ASSERT_EQ(client.link.Send("stop", 4), 0);
  ASSERT_EQ(returned.get_future().wait_for(kWait), std::future_status::ready);
  EXPECT_TRUE(client.rec.WaitEnd());  // the server thread ended and closed its links
  server.StopServer();
  EXPECT_EQ(manager.Destroyed(), 1);
}

// Limits reach every accepted link before its first frame; the cap closes
// new connections at once while it is reached, and a link that has ended
// stops counting before it is reaped.
TEST_F(AcceptManagerTest, LinkLimitsAndTheCapOnOpenLinks) {
  EchoManager manager;
  LinkLimits limits;
  limits.maxPayload = 100;
  manager.SetLinkLimits(limits);
  manager.SetMaxLinks(1);
  Start(manager);
  Client first;
  ASSERT_TRUE(first.Open(port) && first.RoundTrip(std::string(100, 'x')));
  {
    RawClient refused(port);
    EXPECT_TRUE(WaitPeerClose(refused.fd));
  }
  // Its accept is over (and reaps nothing) before the first link ends.
  ASSERT_TRUE(trace.WaitCount(GcLine(0, 1), 2));
  EXPECT_EQ(trace.Count("Maximum of 1 links reached: closing the new connection from 127.0.0.1:"),
            1);
  EXPECT_EQ(manager.Made(1), nullptr);  // no callback object for it
  ASSERT_EQ(first.link.Send(std::string(101, 'y').data(), 101), 0);
  ASSERT_TRUE(manager.ReaderEnded(0));  // ended, not reaped yet
  EXPECT_EQ(manager.Made(0)->link.load()->EndReason(), LinkEndReason::PayloadTooLarge);
  Client second;  // the first no longer counts
  EXPECT_TRUE(second.Open(port) && second.RoundTrip("served"));
  server.StopServer();
}

TEST_F(AcceptManagerTest, FailingCreateLinkCBObjectClosesThatConnectionOnly) {
  EchoManager manager;
  Start(manager);
  manager.failNext = true;
  {
    RawClient raw(port);
    EXPECT_TRUE(WaitPeerClose(raw.fd));
  }
  ASSERT_TRUE(trace.WaitFor("std::exception thrown in ServerLink::ServerThreadLoop. Error: "));
  Client next;
  EXPECT_TRUE(next.Open(port) && next.RoundTrip("still serving"));
  server.StopServer();
  EXPECT_EQ(manager.LinkCount(), 0u);
  EXPECT_EQ(manager.Destroyed(), 1);
}
