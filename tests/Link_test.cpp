#include "hx_net/Link.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <future>
#include <thread>

#include "platform/os_fault.h"
#include "tests/support/alloc_fault.h"
#include "tests/support/test_support.h"

using namespace hxtest;

namespace {

// A Link that took over the connection of a raw POSIX client `fd` (with a
// receive buffer of `rcvbuf` bytes, if given), which had sent `early` by then.
struct RawPeer {
  Recorder rec;
  std::unique_ptr<Link> link{new Link};
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool Open(const std::string& early = "", int rcvbuf = 0) {
    os_tcp_connection_server listener(os_socket_address(0), 4);
    if (rcvbuf) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_storage a;
    socklen_t len = Addr("127.0.0.1", listener.socket_address().port(), a);
    std::unique_ptr<os_tcp_socket> s(new os_tcp_socket(0));
    link->SetCallbackObject(rec);
    return ::connect(fd, reinterpret_cast<sockaddr*>(&a), len) == 0 && WriteAll(fd, early) &&
           listener.accept(*s) && link->AcceptConnection(s.release()) == 0;
  }
  ~RawPeer() {
    link.reset();
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

TEST(LinkFrame, BuildBufferAndReadFullBuffer) {
  LinkBufferToSendClass rec;
  rec.m_OwnsBuffer = true;
  rec.BuildBuffer("abc", 3);
  rec.BuildBuffer("ab\0cd", 5);  // frees the frame before (ASan checks the leak)
  EXPECT_EQ(std::string(rec.m_pBuffer, rec.m_Size + 1), std::string("a 00000005ab\0cd\0", 16));
  EXPECT_EQ(rec.m_DataSize, 5u);
  EXPECT_THROW(rec.BuildBuffer("", 0x80000000u), std::length_error);

  char buf[16];
  EXPECT_EQ(Link::ReadFullBuffer(nullptr, buf, 10), -1);
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  std::unique_ptr<os_tcp_socket> s(os_tcp_socket::adopt(sv[0]));
  ASSERT_TRUE(WriteAll(sv[1], "a 00"));  // 4 of 10 header bytes, then the peer goes
  ::close(sv[1]);
  EXPECT_EQ(Link::ReadFullBuffer(s.get(), buf, 10), -1);
}

// "localhost" with addresses of both families, a server on the family that
// the resolver gives second: the first address is refused, the second taken.
TEST(LinkExchange, LocalhostTriesTheNextAddressAfterARefusal) {
  IPV6_OR_SKIP();
  std::vector<os_ip_address> all = os_ip_address::resolve("localhost");
  auto other = std::find_if(all.begin(), all.end(), [&](const os_ip_address& ip) {
    return ip.family() != all.front().family();
  });
  if (other == all.end())
    GTEST_SKIP() << "skipped: localhost has one family only here (see /etc/hosts); "
                    "Socket.ConnectToAnyTriesTheNextAddressAfterARefusal covers the order";
  os_tcp_connection_server listener(os_socket_address(*other, 0), 4);
  int port = listener.socket_address().port(), bound = 0;
  // The same port on the first address: bound, not listening, so it refuses.
  int holder = BoundSocket(all.front().text().c_str(), port, bound);
  ASSERT_GE(holder, 0) << "port " << port << " taken on " << all.front().text();
  Link link;
  long err = 0;
  EXPECT_EQ(link.Connect("localhost", std::to_string(port).c_str(), err), 0);
  EXPECT_EQ(err, 0);
  os_tcp_socket accepted(0);
  timeval tv{5, 0};
  ASSERT_TRUE(listener.accept(accepted, &tv));
  EXPECT_EQ(accepted.peer_text(bound), other->text());
  ::close(holder);
}

// QueueSize counts what was accepted and not yet written; the backlog limit
// refuses a frame (one trace line per run of refusals) and the link stays
// usable; WaitQueueBelow and Flush wake as the peer reads, and give up at
// their time-out or when the link ends.
TEST(LinkWrite, BacklogCountLimitAndWaits) {
  TraceCapture trace({"Link"});
  const std::string refused =
      " - the send backlog limit of 1048576 bytes refused a frame of 1 bytes.";
  RawPeer p;
  ASSERT_TRUE(p.Open());
  Link& l = *p.link;
  l.SetMaxQueuedBytes(1 << 20);
  const std::string big(32 << 20, 'B');  // the writer blocks in it; an empty backlog takes it
  ASSERT_EQ(l.Send(big.data(), static_cast<unsigned>(big.size())), 0);
  EXPECT_EQ(l.QueueSize(), big.size());
  EXPECT_EQ(l.Send("x", 1), -1);
  EXPECT_EQ(l.Send("y", 1), -1);
  EXPECT_EQ(l.Send(big.data(), 0x80000000u), -1);  // a length no receiver takes
  EXPECT_TRUE(l.IsConnected());
  EXPECT_EQ(trace.Count(refused, 2), 1);
  l.SetMaxQueuedBytes(0);
  for (std::string s : {"12345", "1234567", ""})
    ASSERT_EQ(l.Send(s.data(), static_cast<unsigned>(s.size())), 0);
  EXPECT_EQ(l.QueueSize(), big.size() + 12);
  EXPECT_FALSE(l.WaitQueueBelow(0, 0));
  EXPECT_FALSE(l.Flush(50));
  auto flushed = std::async(std::launch::async, [&] { return l.Flush(-1); });
  auto below = std::async(std::launch::async, [&] { return l.WaitQueueBelow(0, -1); });
  std::string all = ReadExact(p.fd, big.size() + 52);
  ASSERT_EQ(all.size(), big.size() + 52);
  EXPECT_EQ(all.substr(big.size() + 10), Frame("12345") + Frame("1234567") + Frame(""));
  EXPECT_TRUE(flushed.get());
  EXPECT_TRUE(below.get());

  l.SetMaxQueuedBytes(1 << 20);
  ASSERT_EQ(l.Send(big.data(), static_cast<unsigned>(big.size())), 0);  // ends the run of refusals
  EXPECT_EQ(l.Send("x", 1), -1);                                        // a new run, a new line
  EXPECT_EQ(trace.Count(refused, 2), 2);
  auto ended = std::async(std::launch::async, [&] { return l.Flush(-1); });
  l.DisConnect();
  EXPECT_FALSE(ended.get());  // its frames were dropped
  EXPECT_FALSE(l.WaitQueueBelow(UINT_MAX, -1));
}

// Every way a link ends, by the link or by the peer's bytes and close: what
// was delivered, Exception once, after the writer's end, EndReason, and the
// failure's line once, at level 4 (2 for the frame time-out), in the loop that
// met it, before the report. Send, Flush, DisConnect delivers everything to a
// peer that reads after the close, also over input never read (a close over it
// must not turn into a reset that drops what was flushed).
TEST(LinkShutdown, EveryWayOfEndingReportsOnceWithItsReason) {
  const std::string big(16 << 20, 'w'), most(100000, 'k');  // big: more than the socket buffers
  const std::string header = " - header read has failed. Closing the socket.";
  const std::string buffer = " - buffer read has failed. Closing the socket.";
  const std::string over = " - frame length 100001 exceeds the limit of 100000.";
  const std::string late = " - frame not complete within 300 ms. Closing the socket.";
  const linger reset{1, 0};
  using R = LinkEndReason;
  enum Act { kPeerEnds, kClose, kPostClose, kInReceive, kThrow, kReset, kDestroy, kDrip, kFlush };
  const struct {
    Act act;
    std::string early;  // sent by the peer before the link takes the connection
    std::vector<std::string> frames;
    R reason;
    std::string line;
  } cases[] = {
      {kClose, "", {}, R::LocalClose, ""},
      {kFlush, Frame("hold") + Frame(most), {"hold"}, R::LocalClose, ""},
      {kPostClose, "", {}, R::LocalClose, ""},  // then DisConnect
      {kInReceive, Frame("one") + Frame("two"), {"one"}, R::LocalClose, ""},
      {kThrow, Frame("b") + Frame("two"), {"b"}, R::NetworkError, "unknown exception thrown."},
      // A reset under a large write while the reader is busy.
      {kReset, Frame("hold"), {"hold"}, R::WriteFailed, "Write has failed."},
      {kDestroy, "", {}, R::None, ""},                        // with a large frame queued
      {kPeerEnds, Frame("x"), {"x"}, R::PeerClosed, header},  // between frames
      {kPeerEnds, Frame("x") + "a 00000010abc", {"x"}, R::NetworkError, buffer},  // in a payload
      {kPeerEnds, "a 00010001abc", {}, R::NetworkError, buffer},  // in one above 64 KiB
      {kPeerEnds, "a 00", {}, R::NetworkError, header},           // in a header
      {kPeerEnds, "a 0000000g", {}, R::BadHeader, header},        // more in the fuzz corpus
      {kPeerEnds, "a 80000000", {}, R::PayloadTooLarge, buffer},  // negative as signed 32-bit
      {kPeerEnds, Frame(most) + "a 000186a1", {most}, R::PayloadTooLarge, over},
      {kDrip, Frame("whole"), {"whole"}, R::FrameTimeout, late},  // after 300 ms
  };
  for (auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "row " << &c - cases);
    TraceCapture trace({"Link"});
    RawPeer p;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    if (c.act == kInReceive) p.rec.onReceive = [](Link* l) { l->DisConnect(); };
    if (c.act == kThrow) p.rec.onReceive = [](Link*) { throw 42; };  // not a std::exception
    if (c.act == kReset || c.act == kFlush)
      p.rec.onReceive = [released](Link*) { released.wait_for(kWait); };
    p.link->SetMaxPayload(most.size());
    if (c.act == kDrip) p.link->SetFrameTimeout(300);
    ASSERT_TRUE(p.Open(c.early, c.act == kFlush ? 4096 : 0));  // kFlush: our bytes wait here
    switch (c.act) {
      case kPeerEnds:
        ::shutdown(p.fd, SHUT_WR);
        break;
      case kClose:
        p.link->DisConnect();
        EXPECT_EQ(p.rec.Ends(), 1);  // it waited for the reader
        break;
      case kPostClose:
        p.link->postCloseEvent();
        EXPECT_FALSE(p.link->IsConnected());
        EXPECT_TRUE(p.link->IsCloseEventPosted());
        EXPECT_EQ(p.link->Send("x", 1), -1);
        break;
      case kReset:
        EXPECT_TRUE(p.rec.WaitFrames(1));
        p.link->Send(big.data(), static_cast<unsigned>(big.size()));
        ::setsockopt(p.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(p.fd);
        p.fd = -1;
        EXPECT_TRUE(Eventually([&] { return p.link->EndReason() != R::None; }));
        release.set_value();
        break;
      case kDrip: {  // idle between frames for longer than the time-out, then a drip
        EXPECT_FALSE(p.rec.WaitEnd(400ms));
        auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(WriteAll(p.fd, "a 000000"));
        EXPECT_TRUE(p.rec.WaitEnd());
        EXPECT_GE(std::chrono::steady_clock::now() - t0, 290ms);
        break;
      }
      case kFlush: {  // the close comes while the reader holds unread input
        EXPECT_TRUE(p.rec.WaitFrames(1));
        ASSERT_EQ(p.link->Send(most.data(), static_cast<unsigned>(most.size())), 0);
        ASSERT_TRUE(p.link->Flush(-1));
        auto closed = std::async(std::launch::async, [&] { p.link->DisConnect(); });
        EXPECT_TRUE(Eventually([&] { return !p.link->IsConnected(); }));
        release.set_value();
        closed.get();
        EXPECT_TRUE(ReadExact(p.fd, most.size() + 11) == Frame(most));  // no reset
        break;
      }
      case kDestroy:
        p.link->Send(big.data(), static_cast<unsigned>(big.size()));
        p.link.reset();
        EXPECT_EQ(p.rec.Ends(), 1);
        break;
      default:
        break;
    }
    EXPECT_TRUE(c.act == kPostClose || p.rec.WaitEnd());  // it ends at the DisConnect below
    if (p.link) {
      p.link->DisConnect();
      p.link->DisConnect();  // twice is harmless
      EXPECT_EQ(p.link->EndReason(), c.reason);
      EXPECT_EQ(p.link->Send("x", 1), -1);
      EXPECT_EQ(p.link->QueueSize(), 0u);
      EXPECT_TRUE(p.link->IsTerminated());
    }
    EXPECT_EQ(p.rec.Ends(), 1);
    EXPECT_EQ(p.rec.Frames(), c.frames);
    EXPECT_FALSE(p.rec.receiveAfterEnd);
    EXPECT_TRUE(p.fd < 0 || WaitPeerClose(p.fd));
    const int writerEnd = trace.IndexOf(" - END write loop");
    const int report = trace.IndexOf(" - Calling the Exception  Callback.");
    EXPECT_TRUE(writerEnd >= 0 && writerEnd < report);
    if (c.line.empty()) continue;
    EXPECT_EQ(trace.Count(c.line, c.act == kDrip ? 2 : 4), 1) << c.line;
    const int at = trace.IndexOf(c.line);
    ASSERT_GE(at, 0);
    EXPECT_LT(at, report);
    EXPECT_EQ(trace.Lines()[at].scope, c.act == kReset ? "Link::WriteLoop" : "Link::ReadLoop");
  }
}

// Regression: the reader of a freshly accepted link calling DisConnect from
// Receive raced with AcceptConnection still storing the thread objects.
// Without a trace capture, whose lock would order the two for ThreadSanitizer.
TEST(LinkShutdown, DisConnectInsideReceiveOfAFreshlyAcceptedLink) {
  for (int i = 0; i < 20; ++i) {
    RawPeer p;
    p.rec.onReceive = [](Link* l) { l->DisConnect(); };
    ASSERT_TRUE(p.Open(Frame("early")));  // waiting before the link exists
    ASSERT_TRUE(p.rec.WaitEnd());
    EXPECT_EQ(p.rec.Frames(), std::vector<std::string>{"early"});
  }
}

// Senders racing a close, in every order: once DisConnect has returned
// nothing is queued or counted, and the first frame a reopened link writes is
// its own, never one left from the connection before.
TEST(LinkShutdown, SendsRacingACloseNeverOutliveTheConnection) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const int kRounds = 40;
#else
  const int kRounds = 200;
#endif
  RawListener listener;
  Recorder rec;
  Link link;
  link.SetCallbackObject(rec);
  const std::string chunk(4096, 'c');
  for (int round = 0; round < kRounds; ++round) {
    long err = 0;
    ASSERT_EQ(link.Connect("127.0.0.1", listener.PortText().c_str(), err), 0);
    int fd = listener.Accept();
    ASSERT_GE(fd, 0);
    const std::string marker = "round " + std::to_string(round);
    ASSERT_EQ(link.Send(marker.data(), static_cast<unsigned>(marker.size())), 0);
    ASSERT_EQ(ReadExact(fd, marker.size() + 10), Frame(marker)) << round;
    std::atomic<int> sends{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < 4; ++t)
      senders.emplace_back([&] {
        while (link.Send(chunk.data(), static_cast<unsigned>(chunk.size())) == 0) ++sends;
      });
    EXPECT_TRUE(Eventually([&] { return sends.load() >= 64; }));
    if (round % 3 == 1) link.postCloseEvent();
    if (round % 3 == 2) ::shutdown(fd, SHUT_RDWR);  // the peer ends it
    link.DisConnect();
    EXPECT_EQ(link.QueueSize(), 0u) << round;
    for (auto& t : senders) t.join();
    EXPECT_EQ(link.QueueSize(), 0u) << round;
    ::close(fd);
  }
  EXPECT_EQ(rec.Ends(), kRounds);
}

TEST(LinkState, QueriesAndOpenFailures) {
  TraceCapture trace({"Link"});
  Link fresh;  // and closed unopened when it goes
  EXPECT_TRUE(fresh.IsTerminated());
  EXPECT_EQ(fresh.Send("x", 1), -1);
  EXPECT_EQ(fresh.EndReason(), LinkEndReason::None);
  fresh.SetClientData(&fresh);
  EXPECT_EQ(fresh.GetClientData(), &fresh);

  RawPeer p;
  ASSERT_TRUE(p.Open());
  long err = 0;
  EXPECT_EQ(p.link->Connect("127.0.0.1", "1", err), -1);
  EXPECT_EQ(trace.Count(" - Connect was called to an already connected link.", 3), 1);
  EXPECT_TRUE(p.link->IsConnected());

  Link l1;
  EXPECT_EQ(l1.Connect("", "80", err), -1);  // resolves nothing, without asking a name server
  EXPECT_EQ(err, ENXIO);
  for (const char* bad : {"abc", "0", "70000", "-5"}) {
    Link l2;
    err = 99;
    EXPECT_EQ(l2.Connect("127.0.0.1", bad, err), -1) << bad;
    EXPECT_EQ(err, 0);
  }
  EXPECT_GE(trace.Count(" - Failed to connect.", 4), 4);

  Link l3;
  EXPECT_EQ(l3.AcceptConnection(nullptr), -1);
  EXPECT_EQ(trace.Count("Error, try to accept connection with NULL Socket ptr!", 0), 1);
  EXPECT_EQ(l3.AcceptConnection(new os_tcp_socket(0)), -1);  // owned and freed by the link
  EXPECT_EQ(trace.Count("Can not accept connection. Socket is not connected.", 2), 1);
  EXPECT_TRUE(l3.IsTerminated());
  // A socket without a peer address opens as "ANY"; a link once closed
  // cannot accept again.
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  ASSERT_EQ(l3.AcceptConnection(os_tcp_socket::adopt(sv[0])), 0);
  EXPECT_EQ(l3.GetHostName(), "ANY");
  ::close(sv[1]);
  l3.DisConnect();
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  EXPECT_EQ(l3.AcceptConnection(os_tcp_socket::adopt(sv[0])), -1);
  ::close(sv[1]);

  // A thread that cannot start fails the open on either side, with nothing
  // left running or queued, its lines under the scope of the operation.
  RawListener l;
  for (int nth : {1, 2}) {  // the writer, then the reader
    Recorder rec;
    Link link;
    link.SetCallbackObject(rec);
    os_fault::FailThreadCreation(nth);
    EXPECT_EQ(link.Connect("127.0.0.1", l.PortText().c_str(), err), -1);
    os_fault::Reset();
    EXPECT_EQ(err, EAGAIN);
    EXPECT_TRUE(link.IsTerminated());
    EXPECT_EQ(rec.Ends(), 0);
    EXPECT_EQ(link.Send("x", 1), -1);  // nothing queued for a writer that is not there
    EXPECT_EQ(link.QueueSize(), 0u);
  }
  RawPeer q;
  os_fault::FailThreadCreation(2);
  EXPECT_FALSE(q.Open());
  os_fault::Reset();
  EXPECT_TRUE(q.link->IsTerminated());
  EXPECT_TRUE(WaitPeerClose(q.fd));  // shut down; the descriptor goes with the link
  for (auto& line : trace.Lines())
    EXPECT_TRUE(line.text != "Error in thread creation!" || line.scope == "Link::Connect" ||
                line.scope == "Link::AcceptConnection")
        << line.scope;
  EXPECT_EQ(trace.Count("Error in thread creation!"), 3);
}

// Two network namespaces joined by a veth pair, made for one test: a peer in
// `b` whose interface is taken down has vanished without FIN or RST.
struct VanishingNet {
  std::string tag = std::to_string(::getpid()), a = "hxA" + tag, b = "hxB" + tag;
  bool ok = Sh("ip netns add " + a + " && ip netns add " + b + " && ip link add vA" + tag +
               " netns " + a + " type veth peer name vB" + tag + " netns " + b + " && ip -n " + a +
               " addr add 10.211.0.1/24 dev vA" + tag + " && ip -n " + b +
               " addr add 10.211.0.2/24 dev vB" + tag + " && ip -n " + a + " link set vA" + tag +
               " up && ip -n " + b + " link set vB" + tag + " up");
  ~VanishingNet() { Sh("ip netns del " + a + "; ip netns del " + b); }
  bool Vanish() { return Sh("ip -n " + b + " link set vB" + tag + " down"); }
  static bool Sh(const std::string& cmd) {
    return std::system((cmd + " 2>/dev/null").c_str()) == 0;
  }
  // Runs f on a thread inside namespace `ns`: sockets it makes live there.
  template <class F>
  auto In(const std::string& ns, F f) -> decltype(f()) {
    auto inside = [&] {
      int nsfd = ::open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
      if (nsfd < 0 || ::setns(nsfd, CLONE_NEWNET) != 0) throw std::runtime_error("setns");
      ::close(nsfd);
      return f();
    };
    return std::async(std::launch::async, inside).get();
  }
};

// A peer that vanished ends an idle link by keep-alive, and links with data
// outstanding by the write time-out (data waiting in the kernel for an
// acknowledgement; a write blocked for room), each once and on its own.
TEST(LinkFaults, VanishedPeerEndsIdleAndBusyLinks) {
  VanishingNet net;
  if (!net.ok) GTEST_SKIP() << "skipped: cannot make network namespaces here (needs root and ip)";
  std::unique_ptr<os_tcp_connection_server> listener(
      net.In(net.b, [] { return new os_tcp_connection_server(os_socket_address(0), 8); }));
  const std::string port = std::to_string(listener->socket_address().port());
  Recorder recs[3];
  Link links[3];  // idle, a little outstanding, a blocked write
  links[0].SetKeepAlive(1, 1, 2);
  for (int i = 0; i < 3; ++i) {
    if (i) links[i].SetWriteTimeout(1000);
    links[i].SetCallbackObject(recs[i]);
    long err = 0;
    ASSERT_EQ(net.In(net.a, [&] { return links[i].Connect("10.211.0.2", port.c_str(), err); }), 0);
  }
  ASSERT_TRUE(net.Vanish());
  auto t0 = std::chrono::steady_clock::now();
  std::string chunk(64 * 1024, 'w');
  links[1].Send(chunk.data(), 1000);
  for (int i = 0; i < 8; ++i) links[2].Send(chunk.data(), static_cast<unsigned>(chunk.size()));
  const std::chrono::seconds bound[] = {1s + 1s * 2 + 1s, 1s + 1s, 1s + 1s};  // a second to spare
  for (int i : {1, 2, 0}) {
    ASSERT_TRUE(recs[i].WaitEnd()) << i;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, bound[i]) << i;
    EXPECT_EQ(links[i].EndReason(), LinkEndReason::PeerTimeout) << i;
    links[i].DisConnect();
    EXPECT_EQ(recs[i].Ends(), 1) << i;
  }
}

// Send that throws (here: the queue's own storage) leaves the link exactly as
// it was: count, queue and lock; the link still sends and closes.
TEST(LinkFaults, AllocationFailureInSendChangesNothing) {
  RawPeer p;
  ASSERT_TRUE(p.Open());
  const std::string big(32 << 20, 'B');  // the writer blocks in it: later frames stay queued
  ASSERT_EQ(p.link->Send(big.data(), static_cast<unsigned>(big.size())), 0);
  int sent = 0, threw = 0;
  for (int i = 0; i < 64; ++i) {
    unsigned before = p.link->QueueSize();
    FailAllocation(2, 400);  // past the frame's buffer: the queue's next block
    try {
      ASSERT_EQ(p.link->Send(big.data(), 100), 0);
      ++sent;
    } catch (const std::bad_alloc&) {
      ++threw;
      EXPECT_EQ(p.link->QueueSize(), before);
    }
    FailAllocation(0);
  }
  ASSERT_GT(threw, 0) << "no allocation of the queue was hit";
  EXPECT_EQ(ReadExact(p.fd, big.size() + 10 + sent * 110u).size(), big.size() + 10 + sent * 110u);
  EXPECT_TRUE(Eventually([&] { return p.link->QueueSize() == 0; }));
  auto closed = std::async(std::launch::async, [&] { p.link->DisConnect(); });
  EXPECT_EQ(closed.wait_for(kWait), std::future_status::ready);
}
