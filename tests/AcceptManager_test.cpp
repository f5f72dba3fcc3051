#include "hx_net/AcceptManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>

#include "tests/support/test_support.h"

using namespace hxtest;

namespace {

struct EchoCB;

// Shared by every callback object of one test: what happened, in order.
struct Journal {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<int> ended;     // indexes, in the order Exception came
  std::vector<EchoCB*> made;  // to observe, not to own
  int destroyed = 0;
  bool WaitEnded(size_t n) {
    std::unique_lock<std::mutex> g(mu);
    return cv.wait_for(g, kWait, [&] { return ended.size() >= n; });
  }
  std::vector<int> Ended() {
    std::lock_guard<std::mutex> g(mu);
    return ended;
  }
  int Destroyed() {
    std::lock_guard<std::mutex> g(mu);
    return destroyed;
  }
  EchoCB* Made(size_t i) {
    std::lock_guard<std::mutex> g(mu);
    return i < made.size() ? made[i] : nullptr;
  }
};

// Echoes every frame back on its link.
struct EchoCB : AcceptedLinkCBClass {
  EchoCB(Journal& j, int i, bool d) : journal(j), index(i), deleteWithLink(d) {
    std::lock_guard<std::mutex> g(journal.mu);
    journal.made.push_back(this);
  }
  ~EchoCB() override {
    std::lock_guard<std::mutex> g(journal.mu);
    ++journal.destroyed;
  }
  void Receive(unsigned n, const char* d, Link* l) override {
    link.store(l);
    l->Send(d, n);
  }
  void Exception(int, Link*) override {
    std::lock_guard<std::mutex> g(journal.mu);
    journal.ended.push_back(index);
    journal.cv.notify_all();
  }
  bool DeleteWithLink() override { return deleteWithLink; }
  Journal& journal;
  const int index;
  const bool deleteWithLink;
  std::atomic<Link*> link{nullptr};
};

class EchoManager : public AcceptManagerCBClass {
 public:
  explicit EchoManager(bool deleteWithLink = true) : m_Delete(deleteWithLink) {}
  AcceptedLinkCBClass* CreateLinkCBObject() override {
    if (failNext.exchange(false)) throw std::bad_alloc();
    EchoCB* cb = new EchoCB(journal, m_Created++, m_Delete);
    if (!m_Delete) kept.emplace_back(cb);
    return cb;
  }
  void Exception() override {
    ++exceptions;
    AcceptManagerCBClass::Exception();
  }
  // Server thread, or once it has ended.
  size_t LinkCount() const { return m_Links.size(); }
  Journal journal;
  std::atomic<int> exceptions{0};
  std::atomic<bool> failNext{false};
  std::vector<std::unique_ptr<EchoCB>> kept;  // objects the manager must not delete

 private:
  bool m_Delete;
  int m_Created = 0;
};

// The server side of connection `i` has fully ended. Nothing signals the
// reader thread's very end, so the link is asked until a deadline.
bool ReaderEnded(Journal& j, size_t i) {
  EchoCB* cb = j.Made(i);
  return cb && cb->link.load() && Eventually([cb] { return cb->link.load()->IsTerminated(); });
}

// A client Link with its recorder.
struct Client {
  Recorder rec;
  Link link;
  bool Open(int port) {
    link.SetCallbackObject(rec);
    long err = 0;
    std::string p = std::to_string(port);
    return link.Connect(const_cast<char*>("127.0.0.1"), const_cast<char*>(p.c_str()), err) == 0;
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

TEST_F(AcceptManagerTest, ManyClientsAtOnceGetTheirFramesInOrder) {
  EchoManager manager;
  Start(manager);
  const int kClients = 8, kFrames = 50;
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back(new Client);
    ASSERT_TRUE(clients.back()->Open(port));
  }
  std::vector<std::thread> senders;
  for (int i = 0; i < kClients; ++i)
    senders.emplace_back([&, i] {
      for (int f = 0; f < kFrames; ++f) {
        std::string s = std::to_string(i) + ":" + std::to_string(f);
        clients[i]->link.Send(s.data(), static_cast<unsigned>(s.size()));
      }
    });
  for (auto& t : senders) t.join();
  for (int i = 0; i < kClients; ++i) {
    ASSERT_TRUE(clients[i]->rec.WaitFrames(kFrames)) << i;
    auto frames = clients[i]->rec.Frames();
    for (int f = 0; f < kFrames; ++f)
      EXPECT_EQ(frames[f], std::to_string(i) + ":" + std::to_string(f));
    clients[i]->link.DisConnect();
    EXPECT_EQ(clients[i]->rec.Ends(), 1);
  }
  EXPECT_TRUE(manager.journal.WaitEnded(kClients));  // every server side saw its end
  server.StopServer();
  EXPECT_EQ(manager.journal.destroyed, kClients);
}

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
    ASSERT_TRUE(first.Open(p));
    ASSERT_TRUE(first.RoundTrip("one"));
    ASSERT_TRUE(trace.WaitFor(" out of 1 objects"));
    EXPECT_EQ(trace.Count(GcLine(0, 1), 4), 1);
    first.link.DisConnect();
    ASSERT_TRUE(manager.journal.WaitEnded(1));
    ASSERT_TRUE(ReaderEnded(manager.journal, 0));
    EXPECT_EQ(manager.journal.Destroyed(), 0);
    Client second;
    ASSERT_TRUE(second.Open(p));
    ASSERT_TRUE(trace.WaitFor(" out of 2 objects"));
    EXPECT_EQ(trace.Count(GcLine(1, 2), 4), 1);
    EXPECT_TRUE(second.RoundTrip("two"));
    EXPECT_EQ(manager.journal.Destroyed(), deleteWithLink ? 1 : 0);
    s.StopServer();
    EXPECT_EQ(manager.journal.Destroyed(), deleteWithLink ? 2 : 0);
    if (!deleteWithLink) {
      ASSERT_EQ(manager.kept.size(), 2u);  // still whole: their owner frees them
      EXPECT_EQ(manager.kept[1]->index, 1);
    }
  }
}

TEST_F(AcceptManagerTest, RefusedSocketIsDeletedInTheSameAccept) {
  EchoManager manager;
  manager.Accept(new os_tcp_socket(0));  // never connected
  EXPECT_EQ(trace.Count(GcLine(1, 1), 4), 1);
  EXPECT_EQ(manager.LinkCount(), 0u);
  EXPECT_EQ(manager.journal.Destroyed(), 1);
}

TEST_F(AcceptManagerTest, StopDisconnectsLiveLinksInAcceptOrder) {
  EchoManager manager;
  Start(manager);
  Client clients[3];
  for (auto& c : clients) {
    ASSERT_TRUE(c.Open(port));
    ASSERT_TRUE(c.RoundTrip("hello"));  // accepted before the next one connects
  }
  server.StopServer();
  EXPECT_EQ(manager.exceptions.load(), 1);
  EXPECT_EQ(manager.journal.Ended(), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(manager.journal.Destroyed(), 3);
  EXPECT_EQ(manager.LinkCount(), 0u);
  for (auto& c : clients) EXPECT_TRUE(c.rec.WaitEnd());
  manager.Exception();  // an empty list: nothing to do
  EXPECT_EQ(manager.journal.Destroyed(), 3);
}

// StopServer from an accepted link's callback: the server thread's clean-up
// waits for this very reader, so the call only asks and returns; the owner's
// StopServer completes the stop.
TEST_F(AcceptManagerTest, StopFromAnAcceptedLinksCallbackReturnsAndOwnerCompletes) {
  struct StopCB : AcceptedLinkCBClass {
    ServerLink* server;
    std::promise<void> returned;
    void Receive(unsigned, const char*, Link*) override {
      server->StopServer();
      returned.set_value();
    }
    void Exception(int, Link*) override {}
    bool DeleteWithLink() override { return false; }
  } cb;
  struct Manager : AcceptManagerCBClass {
    AcceptedLinkCBClass* cb;
    AcceptedLinkCBClass* CreateLinkCBObject() override { return cb; }
  } manager;
  manager.cb = &cb;
  cb.server = &server;
  server.SetCallbackObject(manager);
  port = server.InitServer(0, nullptr, 10, -1);
  Client client;
  ASSERT_TRUE(client.Open(port));
  auto returned = cb.returned.get_future();
  ASSERT_EQ(client.link.Send("stop", 4), 0);
  ASSERT_EQ(returned.wait_for(kWait), std::future_status::ready);
  EXPECT_TRUE(client.rec.WaitEnd());  // the server thread ended and closed its links
  server.StopServer();
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
  ASSERT_TRUE(first.Open(port));
  ASSERT_TRUE(first.RoundTrip(std::string(100, 'x')));
  {
    RawClient refused(port);
    EXPECT_TRUE(WaitPeerClose(refused.fd));
  }
  EXPECT_TRUE(
      trace.WaitFor("Maximum of 1 links reached: closing the new connection from 127.0.0.1:"));
  EXPECT_EQ(manager.journal.Made(1), nullptr);  // no callback object for it
  std::string tooBig(101, 'y');
  ASSERT_EQ(first.link.Send(tooBig.data(), 101), 0);
  ASSERT_TRUE(ReaderEnded(manager.journal, 0));  // ended, not reaped yet
  EXPECT_EQ(manager.journal.Made(0)->link.load()->EndReason(), LinkEndReason::PayloadTooLarge);
  Client second;  // the first no longer counts
  ASSERT_TRUE(second.Open(port));
  EXPECT_TRUE(second.RoundTrip("served"));
  server.StopServer();
}

TEST_F(AcceptManagerTest, FailingCreateLinkCBObjectClosesThatConnectionOnly) {
  EchoManager manager;
  Start(manager);
  manager.failNext = true;
  {
    RawClient raw(port);
    ASSERT_GE(raw.fd, 0);
    EXPECT_TRUE(WaitPeerClose(raw.fd));
  }
  ASSERT_TRUE(trace.WaitFor("std::exception thrown in ServerLink::ServerThreadLoop. Error: "));
  Client next;
  ASSERT_TRUE(next.Open(port));
  EXPECT_TRUE(next.RoundTrip("still serving"));
  server.StopServer();
  EXPECT_EQ(manager.LinkCount(), 0u);
  EXPECT_EQ(manager.journal.Destroyed(), 1);
}
