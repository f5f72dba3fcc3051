#include "hx_net/Link.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <random>
#include <thread>

#include "platform/os_fault.h"
#include "tests/support/alloc_fault.h"
#include "tests/support/test_support.h"

using namespace hxtest;

namespace {

// A connected pair: `client` made by Connect, `server` by AcceptConnection.
struct LinkPair {
  Recorder clientRec, serverRec;
  Link client, server;
  // `host`: "127.0.0.1" (the listener takes every IPv4 interface) or "::1".
  bool Open(const char* host = "127.0.0.1") {
    os_tcp_connection_server listener(
        std::strchr(host, ':') ? os_socket_address(os_ip_address(host), 0) : os_socket_address(0),
        16);
    std::string port = std::to_string(listener.socket_address().port());
    client.SetCallbackObject(clientRec);
    server.SetCallbackObject(serverRec);
    long err = 0;
    if (client.Connect(const_cast<char*>(host), const_cast<char*>(port.c_str()), err) != 0)
      return false;
    os_tcp_socket* s = new os_tcp_socket(0);
    if (!listener.accept(*s)) {
      delete s;
      return false;
    }
    return server.AcceptConnection(s) == 0;
  }
};

// A Link connected to a raw POSIX peer.
struct RawPeer {
  RawListener listener;
  Recorder rec;
  Link link;
  int fd = -1;
  bool Open() {
    link.SetCallbackObject(rec);
    long err = 0;
    std::string port = listener.PortText();
    if (link.Connect("127.0.0.1", port.c_str(), err) != 0) return false;
    fd = listener.Accept();
    return fd >= 0;
  }
  ~RawPeer() {
    link.DisConnect();
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

TEST(LinkFrame, HeaderBytesForTypicalLengths) {
  for (unsigned n : {0u, 5u, 255u, 65536u}) {
    std::string payload(n, 'x');
    LinkBufferToSendClass rec;
    rec.m_OwnsBuffer = true;
    rec.BuildBuffer(payload.data(), n);
    ASSERT_EQ(rec.m_Size, n + 10);
    EXPECT_EQ(rec.m_DataSize, n);
    EXPECT_EQ(std::string(rec.m_pBuffer, rec.m_Size), Frame(payload));
    EXPECT_EQ(rec.m_pBuffer[n + 10], '\0');
  }
  LinkBufferToSendClass rec;
  rec.m_OwnsBuffer = true;
  rec.BuildBuffer("abc", 3);
  rec.BuildBuffer("ab\0cd", 5);  // the first frame is freed (ASan checks the leak)
  EXPECT_EQ(std::string(rec.m_pBuffer, 15), std::string("a 00000005ab\0cd", 15));
  EXPECT_EQ(std::string(rec.m_pBuffer, 10), "a 00000005");
}

TEST(LinkFrame, ReadFullBufferEdges) {
  TraceCapture trace;
  char buf[16];
  EXPECT_EQ(Link::ReadFullBuffer(nullptr, buf, 10), -1);
  EXPECT_EQ(trace.Count("invalid option.", 1), 1);

  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  std::unique_ptr<os_tcp_socket> s(os_tcp_socket::adopt(sv[0]));
  EXPECT_EQ(Link::ReadFullBuffer(s.get(), buf, 0), 0);
  ASSERT_TRUE(WriteAll(sv[1], "a 00"));  // 4 of 10 header bytes, then the peer goes
  ::close(sv[1]);
  EXPECT_EQ(Link::ReadFullBuffer(s.get(), buf, 10), -1);
}

TEST(LinkExchange, PayloadsBothWaysInOrder) {
  LinkPair p;
  ASSERT_TRUE(p.Open());
  std::string withNul("a\0b\0", 4), big(1 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  std::vector<std::string> msgs = {"", withNul, "hello", big, std::string(70000, 'q'), ""};
  for (auto& m : msgs) ASSERT_EQ(p.client.Send(m.data(), static_cast<unsigned>(m.size())), 0);
  for (auto& m : msgs) ASSERT_EQ(p.server.Send(m.data(), static_cast<unsigned>(m.size())), 0);
  ASSERT_TRUE(p.serverRec.WaitFrames(msgs.size()));
  ASSERT_TRUE(p.clientRec.WaitFrames(msgs.size()));
  EXPECT_EQ(p.serverRec.Frames(), msgs);
  EXPECT_EQ(p.clientRec.Frames(), msgs);
  EXPECT_EQ(p.server.GetHostName(), "127.0.0.1");
  p.client.DisConnect();
  ASSERT_TRUE(p.serverRec.WaitEnd());
  p.server.DisConnect();
  EXPECT_EQ(p.clientRec.Ends(), 1);
  EXPECT_EQ(p.serverRec.Ends(), 1);
  EXPECT_TRUE(p.client.IsTerminated());
  EXPECT_TRUE(p.server.IsTerminated());
}

TEST(LinkExchange, OverIPv6LoopbackWithThePeersTextAndBracketedPrefix) {
  IPV6_OR_SKIP();
  TraceCapture trace({"Link"});
  LinkPair p;
  ASSERT_TRUE(p.Open("::1"));
  EXPECT_EQ(p.client.GetHostName(), "::1");
  EXPECT_EQ(p.server.GetHostName(), "::1");
  ASSERT_EQ(p.client.Send("ping", 4), 0);
  ASSERT_EQ(p.server.Send("pong", 4), 0);
  ASSERT_TRUE(p.serverRec.WaitFrames(1));
  ASSERT_TRUE(p.clientRec.WaitFrames(1));
  EXPECT_EQ(p.serverRec.Frames(), std::vector<std::string>{"ping"});
  EXPECT_EQ(p.clientRec.Frames(), std::vector<std::string>{"pong"});
  EXPECT_EQ(trace.Count("Peer address [::1]:" + std::to_string(p.server.GetPortNumber()), 5), 1);
  long err = 0;
  std::string port = std::to_string(p.client.GetPortNumber());
  EXPECT_EQ(p.client.Connect(const_cast<char*>("::1"), &port[0], err), -1);
  EXPECT_EQ(trace.Count("[::1]:" + port + " - Connect was called to an already connected link.", 3),
            1);
  p.client.DisConnect();
  ASSERT_TRUE(p.serverRec.WaitEnd());
  p.server.DisConnect();
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
    GTEST_SKIP() << "skipped: localhost resolves to " << all.front().text()
                 << " only here (no address of the other family, see /etc/hosts); "
                    "Socket.ConnectToAnyTriesAddressesInTurnWithinOneBound covers the order";
  os_tcp_connection_server listener(os_socket_address(*other, 0), 4);
  const int port = listener.socket_address().port();
  // The same port on the first address: bound, not listening, so it refuses.
  os_socket_address first(all.front(), port);
  int holder = ::socket(first.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  if (first.family() == AF_INET6) ::setsockopt(holder, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  ASSERT_EQ(::bind(holder, first.sa(), static_cast<socklen_t>(first.length())), 0)
      << "port " << port << " taken on " << all.front().text();
  Recorder rec;
  Link link;
  link.SetCallbackObject(rec);
  long err = 0;
  std::string portText = std::to_string(port);
  EXPECT_EQ(link.Connect(const_cast<char*>("localhost"), &portText[0], err), 0);
  EXPECT_EQ(err, 0);
  os_tcp_socket accepted(0);
  timeval tv{5, 0};
  ASSERT_TRUE(listener.accept(accepted, &tv));
  int peerPort = 0;
  EXPECT_EQ(accepted.peer_text(peerPort), other->text());
  link.DisConnect();
  ::close(holder);
}

TEST(LinkWire, ConcurrentSendersNeverInterleave) {
  RawPeer p;
  ASSERT_TRUE(p.Open());
  const int kThreads = 4, kFrames = 300;
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t)
    senders.emplace_back([&, t] {
      for (int i = 0; i < kFrames; ++i) {
        std::string m = std::to_string(t) + ":" + std::to_string(i) + ":" +
                        std::string(static_cast<size_t>((i * 37) % 3000), char('a' + t));
        p.link.Send(m.data(), static_cast<unsigned>(m.size()));
      }
    });
  for (auto& s : senders) s.join();
  std::map<int, int> next;
  for (int n = 0; n < kThreads * kFrames; ++n) {
    std::string h = ReadExact(p.fd, 10);
    ASSERT_EQ(h.size(), 10u);
    ASSERT_EQ(h.substr(0, 2), "a ");
    size_t len = std::stoul(h.substr(2), nullptr, 16);
    std::string body = ReadExact(p.fd, len);
    ASSERT_EQ(body.size(), len);
    int t = body[0] - '0', i = std::stoi(body.substr(2));
    ASSERT_EQ(i, next[t]++) << "frames of one sender out of order";
    size_t pad = body.size() - body.find(':', 2) - 1;
    ASSERT_EQ(body.substr(body.size() - pad), std::string(pad, char('a' + t)));
  }
}

TEST(LinkWrite, QueueSizeTracksBacklogOfAPeerThatDoesNotRead) {
  RawPeer p;
  ASSERT_TRUE(p.Open());
  std::string big(32 << 20, 'B');  // more than the socket buffers hold: the writer blocks
  ASSERT_EQ(p.link.Send(big.data(), static_cast<unsigned>(big.size())), 0);
  unsigned q0 = p.link.QueueSize();
  EXPECT_EQ(q0, big.size());
  ASSERT_EQ(p.link.Send("12345", 5), 0);
  ASSERT_EQ(p.link.Send("1234567", 7), 0);
  ASSERT_EQ(p.link.Send("", 0), 0);
  EXPECT_EQ(p.link.QueueSize(), q0 + 12);
  std::string all = ReadExact(p.fd, big.size() + 10 + 15 + 17 + 10);
  ASSERT_EQ(all.size(), big.size() + 52);
  EXPECT_EQ(all.substr(big.size() + 10), Frame("12345") + Frame("1234567") + Frame(""));
  EXPECT_TRUE(Eventually([&] { return p.link.QueueSize() == 0; }));
}

// The backlog limit refuses a frame (one trace line per run of refusals) and
// the link stays usable; WaitQueueBelow and Flush wake as the peer reads, and
// give up at their time-out or when the link ends.
TEST(LinkWrite, BacklogLimitAndWaitingForTheBacklog) {
  TraceCapture trace({"Link"});
  RawPeer p;
  ASSERT_TRUE(p.Open());
  p.link.SetMaxQueuedBytes(1 << 20);
  const std::string big(32 << 20, 'B');  // an empty backlog takes any size
  ASSERT_EQ(p.link.Send(big.data(), static_cast<unsigned>(big.size())), 0);
  EXPECT_EQ(p.link.Send("x", 1), -1);
  EXPECT_EQ(p.link.Send("y", 1), -1);
  EXPECT_TRUE(p.link.IsConnected());
  EXPECT_EQ(p.link.QueueSize(), big.size());
  EXPECT_EQ(
      trace.Count(" - the send backlog limit of 1048576 bytes refused a frame of 1 bytes.", 2), 1);
  EXPECT_FALSE(p.link.WaitQueueBelow(0, 0));
  EXPECT_FALSE(p.link.Flush(50));
  auto flushed = std::async(std::launch::async, [&] { return p.link.Flush(-1); });
  auto below = std::async(std::launch::async, [&] { return p.link.WaitQueueBelow(0, -1); });
  ASSERT_EQ(ReadExact(p.fd, big.size() + 10).size(), big.size() + 10);
  EXPECT_TRUE(flushed.get());
  EXPECT_TRUE(below.get());
  ASSERT_EQ(p.link.Send("z", 1), 0);
  EXPECT_EQ(ReadExact(p.fd, 11), Frame("z"));

  ASSERT_EQ(p.link.Send(big.data(), static_cast<unsigned>(big.size())), 0);
  auto ended = std::async(std::launch::async, [&] { return p.link.Flush(-1); });
  p.link.DisConnect();
  EXPECT_FALSE(ended.get());  // its frames were dropped
  EXPECT_FALSE(p.link.WaitQueueBelow(UINT_MAX, -1));
}

// Send, Flush, DisConnect: a peer that reads after the close gets every
// frame, also when it had sent frames this side never read (a close over
// unread input must not turn into a reset that drops what was flushed).
TEST(LinkWrite, FlushThenDisConnectDeliversEverything) {
  const int kRounds = 10, kFrames = 100;
  const std::string payload(1000, 'f');
  for (int round = 0; round < kRounds; ++round) {
    os_tcp_connection_server listener(os_socket_address(0), 4);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 4096;  // our data waits in the link's send buffer, not in ours
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a = LoopbackAddr(listener.socket_address().port());
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    os_tcp_socket* s = new os_tcp_socket(0);
    ASSERT_TRUE(listener.accept(*s));
    struct Stalled : Recorder {
      std::promise<void> go;
      std::shared_future<void> released = go.get_future().share();
      void Receive(unsigned n, const char* d, Link* l) override {
        Recorder::Receive(n, d, l);
        released.wait_for(kWait);
      }
    } rec;
    Link link;
    link.SetCallbackObject(rec);
    ASSERT_EQ(link.AcceptConnection(s), 0);
    std::string unread;
    for (int i = 0; i < 40; ++i) unread += Frame(payload);
    ASSERT_TRUE(WriteAll(fd, unread));
    ASSERT_TRUE(rec.WaitFrames(1));  // the reader is held in the first frame
    for (int i = 0; i < kFrames; ++i)
      ASSERT_EQ(link.Send(payload.data(), static_cast<unsigned>(payload.size())), 0);
    ASSERT_TRUE(link.Flush(-1));
    rec.go.set_value();
    link.DisConnect();
    std::string got = ReadExact(fd, kFrames * (payload.size() + 10) + 1);
    EXPECT_EQ(got.size(), kFrames * (payload.size() + 10)) << "round " << round;
    ::close(fd);
  }
}

TEST(LinkWrite, SendRefusedOnceClosed) {
  LinkPair p;
  ASSERT_TRUE(p.Open());
  p.client.postCloseEvent();
  EXPECT_FALSE(p.client.IsConnected());
  EXPECT_TRUE(p.client.IsCloseEventPosted());
  EXPECT_EQ(p.client.Send("x", 1), -1);
  EXPECT_EQ(p.client.QueueSize(), 0u);
  p.server.DisConnect();
  EXPECT_EQ(p.server.Send("x", 1), -1);
  ASSERT_TRUE(p.clientRec.WaitEnd());
  p.client.DisConnect();  // returns although only the close event was posted
  EXPECT_EQ(p.clientRec.Ends(), 1);
  Link fresh;
  EXPECT_EQ(fresh.Send("x", 1), -1);
}

TEST(LinkWrite, OversizedSendRefusedAndLinkStaysOpen) {
  LinkPair p;
  ASSERT_TRUE(p.Open());
  static const char dummy[1] = {0};
  EXPECT_EQ(p.client.Send(dummy, 0x80000000u), -1);
  EXPECT_EQ(p.client.QueueSize(), 0u);
  EXPECT_TRUE(p.client.IsConnected());
  ASSERT_EQ(p.client.Send("ok", 2), 0);
  ASSERT_TRUE(p.serverRec.WaitFrames(1));
}

TEST(LinkShutdown, DisConnectFromUserThreadEndsWriterFirstThenReportsOnce) {
  TraceCapture trace({"Link"});
  LinkPair p;
  ASSERT_TRUE(p.Open());
  p.client.DisConnect();
  EXPECT_EQ(p.clientRec.Ends(), 1);  // DisConnect has waited for the reader
  EXPECT_TRUE(p.client.IsTerminated());
  EXPECT_FALSE(p.client.IsConnected());
  ASSERT_TRUE(p.serverRec.WaitEnd());
  p.server.DisConnect();
  EXPECT_EQ(trace.Count(" - START write loop", 5), 2);
  int endWrite =
      trace.IndexOf("127.0.0.1:" + std::to_string(p.client.GetPortNumber()) + " - END write loop");
  int calling = trace.IndexOf(std::to_string(p.client.GetPortNumber()) +
                              " - Calling the Exception  Callback.");
  ASSERT_GE(endWrite, 0);
  EXPECT_LT(endWrite, calling);
  p.client.DisConnect();  // twice is harmless
  EXPECT_EQ(p.clientRec.Ends(), 1);
}

TEST(LinkShutdown, DisConnectInsideReceiveOnlyClosesAndExceptionFollows) {
  struct Closer : Recorder {
    void Receive(unsigned n, const char* d, Link* l) override {
      Recorder::Receive(n, d, l);
      l->DisConnect();  // on the reader thread: closes, returns at once
    }
  } rec;
  RawPeer p;
  p.link.SetCallbackObject(rec);
  ASSERT_TRUE(p.Open());
  p.link.SetCallbackObject(rec);
  // Two frames in one segment: the second must not be delivered after the close.
  ASSERT_TRUE(WriteAll(p.fd, Frame("one") + Frame("two")));
  ASSERT_TRUE(rec.WaitEnd());
  EXPECT_EQ(rec.Frames(), std::vector<std::string>{"one"});
  EXPECT_FALSE(rec.receiveAfterEnd);
  p.link.DisConnect();
  EXPECT_EQ(rec.Ends(), 1);
}

// Regression: an accepted link's reader calling DisConnect from Receive raced
// with AcceptConnection still storing the thread objects.
TEST(LinkShutdown, DisConnectInsideReceiveOfAFreshlyAcceptedLink) {
  struct Closer : Recorder {
    void Receive(unsigned n, const char* d, Link* l) override {
      Recorder::Receive(n, d, l);
      l->DisConnect();
    }
  };
  os_tcp_connection_server listener(os_socket_address(0), 16);
  for (int i = 0; i < 20; ++i) {
    int fd = RawConnect(listener.socket_address().port());
    ASSERT_TRUE(WriteAll(fd, Frame("early")));  // waiting before the link exists
    os_tcp_socket* s = new os_tcp_socket(0);
    ASSERT_TRUE(listener.accept(*s));
    Closer rec;
    Link link;
    link.SetCallbackObject(rec);
    ASSERT_EQ(link.AcceptConnection(s), 0);
    ASSERT_TRUE(rec.WaitEnd());
    link.DisConnect();
    EXPECT_EQ(rec.Ends(), 1);
    EXPECT_EQ(rec.Frames(), std::vector<std::string>{"early"});
    ::close(fd);
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
  std::string port = listener.PortText();
  Recorder rec;
  Link link;
  link.SetCallbackObject(rec);
  const std::string chunk(4096, 'c');
  for (int round = 0; round < kRounds; ++round) {
    long err = 0;
    ASSERT_EQ(link.Connect(const_cast<char*>("127.0.0.1"), &port[0], err), 0);
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
    switch (round % 3) {
      case 0:
        break;
      case 1:
        link.postCloseEvent();
        break;
      case 2:
        ::shutdown(fd, SHUT_RDWR);  // the peer ends it
        break;
    }
    link.DisConnect();
    EXPECT_EQ(link.QueueSize(), 0u) << round;
    for (auto& t : senders) t.join();
    EXPECT_EQ(link.QueueSize(), 0u) << round;
    ::close(fd);
  }
  EXPECT_EQ(rec.Ends(), kRounds);
}

TEST(LinkShutdown, PeerResetDuringLargeWriteEndsLinkOnce) {
  RawPeer p;
  ASSERT_TRUE(p.Open());
  std::string big(16 << 20, 'w');
  ASSERT_EQ(p.link.Send(big.data(), static_cast<unsigned>(big.size())), 0);
  ASSERT_EQ(p.link.Send("behind", 6), 0);
  linger lg{1, 0};
  ::setsockopt(p.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  ::close(p.fd);  // reset
  p.fd = -1;
  ASSERT_TRUE(p.rec.WaitEnd());
  p.link.DisConnect();
  EXPECT_EQ(p.rec.Ends(), 1);
  EXPECT_EQ(p.link.QueueSize(), 0u);
}

TEST(LinkShutdown, DestroyingAnOpenLinkWaitsAndReportsOnce) {
  Recorder rec;
  RawListener l;
  int fd;
  {
    Link link;
    link.SetCallbackObject(rec);
    long err;
    std::string port = l.PortText();
    ASSERT_EQ(link.Connect(const_cast<char*>("127.0.0.1"), const_cast<char*>(port.c_str()), err),
              0);
    fd = l.Accept();
    std::string big(8 << 20, 'z');
    link.Send(big.data(), static_cast<unsigned>(big.size()));  // still queued or in flight
  }
  EXPECT_EQ(rec.Ends(), 1);
  EXPECT_TRUE(WaitPeerClose(fd));
  ::close(fd);
}

TEST(LinkState, QueriesAndOpenFailures) {
  TraceCapture trace({"Link"});
  Link fresh;
  EXPECT_TRUE(fresh.IsTerminated());
  EXPECT_FALSE(fresh.IsConnected());
  EXPECT_EQ(fresh.QueueSize(), 0u);
  EXPECT_EQ(fresh.GetClientData(), nullptr);
  EXPECT_EQ(fresh.GetPortNumber(), 0);
  fresh.DisConnect();

  LinkPair p;
  ASSERT_TRUE(p.Open());
  EXPECT_FALSE(p.client.IsTerminated());
  long err = 0;
  std::string port = std::to_string(p.client.GetPortNumber());
  EXPECT_EQ(p.client.Connect(const_cast<char*>("127.0.0.1"), const_cast<char*>(port.c_str()), err),
            -1);
  EXPECT_EQ(trace.Count(" - Connect was called to an already connected link.", 3), 1);
  EXPECT_TRUE(p.client.IsConnected());

  // Refused: a bound socket that does not listen keeps its port to itself.
  int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  ::getsockname(holder, reinterpret_cast<sockaddr*>(&a), &len);
  std::string refused = std::to_string(ntohs(a.sin_port));
  Link l1;
  EXPECT_EQ(l1.Connect(const_cast<char*>("127.0.0.1"), const_cast<char*>(refused.c_str()), err),
            -1);
  EXPECT_EQ(err, ECONNREFUSED);
  EXPECT_TRUE(l1.IsTerminated());
  ::close(holder);

  // Constant text takes the const form, which must behave the same.
  for (const char* bad : {"abc", "0", "70000", "-5"}) {
    Link l2;
    err = 99;
    EXPECT_EQ(l2.Connect("127.0.0.1", bad, err), -1) << bad;
    EXPECT_EQ(err, 0);
  }
  EXPECT_GE(trace.Count(" - Failed to connect.", 4), 4);

  Link l3;
  err = 0;
  EXPECT_EQ(l3.Connect("no-such-host.invalid", "80", err), -1);
  EXPECT_NE(err, 0);
}

TEST(LinkState, AcceptConnectionRefusals) {
  TraceCapture trace({"Link"});
  Link l;
  EXPECT_EQ(l.AcceptConnection(nullptr), -1);
  EXPECT_EQ(trace.Count("Error, try to accept connection with NULL Socket ptr!", 0), 1);
  EXPECT_EQ(l.AcceptConnection(new os_tcp_socket(0)), -1);  // owned and freed by the link
  EXPECT_EQ(trace.Count("Can not accept connection. Socket is not connected.", 2), 1);
  EXPECT_TRUE(l.IsTerminated());

  // A link that was closed cannot accept again.
  LinkPair p;
  ASSERT_TRUE(p.Open());
  p.server.DisConnect();
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  EXPECT_EQ(p.server.AcceptConnection(os_tcp_socket::adopt(sv[0])), -1);
  ::close(sv[1]);
}

TEST(LinkState, AdoptedSocketWithoutPeerAddressIsAny) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  Recorder rec;
  Link l;
  l.SetCallbackObject(rec);
  ASSERT_EQ(l.AcceptConnection(os_tcp_socket::adopt(sv[0])), 0);
  EXPECT_EQ(l.GetHostName(), "ANY");
  ASSERT_TRUE(WriteAll(sv[1], Frame("hi")));
  ASSERT_TRUE(rec.WaitFrames(1));
  ::close(sv[1]);
  ASSERT_TRUE(rec.WaitEnd());
  l.DisConnect();
}

// The peer writes these bytes and closes: what is delivered, and the line the
// reader ends with, before " - Calling the Exception  Callback.".
TEST(LinkHostileInput, PeerBytesThenCloseEndTheLinkCleanly) {
  const std::string header = " - header read has failed. Closing the socket.";
  const std::string buffer = " - buffer read has failed. Closing the socket.";
  using R = LinkEndReason;
  struct Case {
    std::string bytes, line;
    std::vector<std::string> frames;
    LinkEndReason reason;
  } cases[] = {
      {Frame("x"), header, {"x"}, R::PeerClosed},                       // closed between frames
      {Frame("x") + "a 00000010abc", buffer, {"x"}, R::NetworkError},   // closed in a payload
      {"a 00", header, {}, R::NetworkError},                            // closed in a header
      {"a 0000000g", header, {}, R::BadHeader},                         // not hexadecimal
      {"a -0000001", header, {}, R::BadHeader},                         // a sign
      {"a 0x000001", header, {}, R::BadHeader},                         // a prefix
      {"a  0000001x", header, {}, R::BadHeader},                        // a second blank
      {"ab00000001x", header, {}, R::BadHeader},                        // no blank
      {"Z 0000000Aabcdefghij", header, {"abcdefghij"}, R::PeerClosed},  // upper-case hex
      {"a 80000000", buffer, {}, R::PayloadTooLarge},                   // negative as signed 32-bit
      {"a ffffffff", buffer, {}, R::PayloadTooLarge},
      {"a 7fffffffabc", buffer, {}, R::NetworkError},  // huge, then the peer closes
  };
  for (auto& c : cases) {
    TraceCapture trace({"Link"});
    RawPeer p;
    ASSERT_TRUE(p.Open());
    ASSERT_TRUE(WriteAll(p.fd, c.bytes));
    ::shutdown(p.fd, SHUT_WR);
    ASSERT_TRUE(p.rec.WaitEnd()) << c.bytes;
    EXPECT_EQ(p.rec.Frames(), c.frames) << c.bytes;
    EXPECT_EQ(p.link.EndReason(), c.reason) << c.bytes;
    EXPECT_EQ(trace.Count(c.line, 4), 1) << c.bytes;
    int at = trace.IndexOf(c.line);
    EXPECT_LT(at, trace.IndexOf(" - Calling the Exception  Callback."));
    if (at >= 0) {
      EXPECT_EQ(trace.Lines()[at].scope, "Link::ReadLoop") << c.bytes;
    }
    p.link.DisConnect();
    EXPECT_EQ(p.rec.Ends(), 1);
    EXPECT_FALSE(p.link.IsConnected());
  }
}

TEST(LinkHostileInput, MaximumPayloadEndsTheLink) {
  TraceCapture trace({"Link"});
  RawPeer p;
  ASSERT_TRUE(p.Open());
  p.link.SetMaxPayload(100);
  ASSERT_TRUE(WriteAll(p.fd, Frame(std::string(100, 'k')) + "a 00000065"));
  ASSERT_TRUE(p.rec.WaitEnd());
  EXPECT_EQ(p.rec.Frames().size(), 1u);
  EXPECT_EQ(trace.Count(" - frame length 101 exceeds the limit of 100. Closing the socket.", 4), 1);
  EXPECT_EQ(p.link.EndReason(), LinkEndReason::PayloadTooLarge);
}

// A frame whose first bytes came and the rest did not ends the link after
// the frame time-out; a link idle between frames for as long is untouched.
TEST(LinkHostileInput, FrameTimeoutEndsASlowDripButNotAnIdleLink) {
  TraceCapture trace({"Link"});
  RawPeer idle, drip;
  for (RawPeer* p : {&idle, &drip}) {
    p->link.SetFrameTimeout(300);
    ASSERT_TRUE(p->Open());
  }
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(WriteAll(drip.fd, Frame("whole") + "a 000000"));
  ASSERT_TRUE(drip.rec.WaitEnd());
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(290));
  EXPECT_EQ(drip.rec.Frames(), std::vector<std::string>{"whole"});
  EXPECT_EQ(drip.link.EndReason(), LinkEndReason::FrameTimeout);
  EXPECT_EQ(trace.Count(" - frame not complete within 300 ms. Closing the socket.", 2), 1);
  EXPECT_TRUE(idle.link.IsConnected());  // idle for longer than the time-out by now
  EXPECT_EQ(idle.link.EndReason(), LinkEndReason::None);
}

// Two network namespaces joined by a veth pair, made for one test: a peer in
// one whose interface is taken down has vanished without FIN or RST.
struct VanishingNet {
  std::string a, b;
  bool ok = false;
  VanishingNet() {
    std::string tag = std::to_string(::getpid());
    a = "hxA" + tag;
    b = "hxB" + tag;
    ok = Sh("ip netns add " + a + " && ip netns add " + b + " && ip link add vA" + tag + " netns " +
            a + " type veth peer name vB" + tag + " netns " + b + " && ip -n " + a +
            " addr add 10.211.0.1/24 dev vA" + tag + " && ip -n " + b +
            " addr add 10.211.0.2/24 dev vB" + tag + " && ip -n " + a + " link set vA" + tag +
            " up && ip -n " + b + " link set vB" + tag + " up");
  }
  ~VanishingNet() { Sh("ip netns del " + a + "; ip netns del " + b); }
  bool Vanish() { return Sh("ip -n " + b + " link set vB" + std::to_string(::getpid()) + " down"); }
  static bool Sh(const std::string& cmd) {
    return std::system((cmd + " 2>/dev/null").c_str()) == 0;
  }
  // Runs f on a thread inside namespace `ns`: sockets it makes live there.
  template <class F>
  auto In(const std::string& ns, F f) -> decltype(f()) {
    return std::async(std::launch::async,
                      [&] {
                        int nsfd = ::open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
                        if (nsfd < 0 || ::setns(nsfd, CLONE_NEWNET) != 0)
                          throw std::runtime_error("setns");
                        ::close(nsfd);
                        return f();
                      })
        .get();
  }
};

// A peer that vanished ends an idle link by keep-alive, and links with data
// outstanding by the write time-out (data waiting in the kernel for an
// acknowledgement; a write blocked for room), each once and on its own.
TEST(LinkFaults, VanishedPeerEndsIdleAndBusyLinks) {
  VanishingNet net;
  if (!net.ok) GTEST_SKIP() << "skipped: cannot make network namespaces here (needs root and ip)";
  int listener = net.In(net.b, [] {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(4000);
    ::inet_pton(AF_INET, "10.211.0.2", &addr.sin_addr);
    int rc = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) | ::listen(fd, 8);
    return rc == 0 ? fd : -1;
  });
  ASSERT_GE(listener, 0);
  Recorder recs[3];
  Link links[3];  // idle, a little outstanding, a blocked write
  links[0].SetKeepAlive(1, 1, 2);
  for (int i = 0; i < 3; ++i) {
    if (i) links[i].SetWriteTimeout(1000);
    links[i].SetCallbackObject(recs[i]);
    long err = 0;
    char host[] = "10.211.0.2", port[] = "4000";
    ASSERT_EQ(net.In(net.a, [&] { return links[i].Connect(host, port, err); }), 0);
  }
  ASSERT_TRUE(net.Vanish());
  auto t0 = std::chrono::steady_clock::now();
  std::string chunk(64 * 1024, 'w');
  links[1].Send(chunk.data(), 1000);
  for (int i = 0; i < 8; ++i) links[2].Send(chunk.data(), static_cast<unsigned>(chunk.size()));
  const std::chrono::milliseconds bound[] = {std::chrono::seconds(1 + 1 * 2 + 1),
                                             std::chrono::milliseconds(1000 + 1000),
                                             std::chrono::milliseconds(1000 + 1000)};
  for (int i : {1, 2, 0}) {
    ASSERT_TRUE(recs[i].WaitEnd()) << i;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, bound[i]) << i;
    EXPECT_EQ(links[i].EndReason(), LinkEndReason::PeerTimeout) << i;
  }
  for (int i = 0; i < 3; ++i) {
    links[i].DisConnect();
    EXPECT_EQ(recs[i].Ends(), 1);
  }
  ::close(listener);
}

TEST(LinkFaults, ThreadStartFailureReportsFailure) {
  TraceCapture trace({"Link"});
  for (int nth : {1, 2}) {  // the writer, then the reader
    RawListener l;
    Recorder rec;
    Link link;
    link.SetCallbackObject(rec);
    long err = 0;
    std::string port = l.PortText();
    os_fault::FailThreadCreation(nth);
    EXPECT_EQ(link.Connect(const_cast<char*>("127.0.0.1"), const_cast<char*>(port.c_str()), err),
              -1);
    os_fault::Reset();
    EXPECT_EQ(err, EAGAIN);
    EXPECT_TRUE(link.IsTerminated());
    EXPECT_EQ(rec.Ends(), 0);
    EXPECT_EQ(link.Send("x", 1), -1);  // nothing queued for a writer that is not there
    EXPECT_EQ(link.QueueSize(), 0u);
  }
  os_tcp_connection_server listener(os_socket_address(0), 4);
  int fd = RawConnect(listener.socket_address().port());
  os_tcp_socket* s = new os_tcp_socket(0);
  ASSERT_TRUE(listener.accept(*s));
  Link accepted;
  os_fault::FailThreadCreation(2);
  EXPECT_EQ(accepted.AcceptConnection(s), -1);
  os_fault::Reset();
  EXPECT_TRUE(accepted.IsTerminated());
  EXPECT_TRUE(WaitPeerClose(fd));  // shut down; the descriptor goes with the link
  ::close(fd);
  // Written under the scope of the operation that failed.
  for (auto& l : trace.Lines()) {
    if (l.text == "Error in thread creation!") {
      EXPECT_TRUE(l.scope == "Link::Connect" || l.scope == "Link::AcceptConnection") << l.scope;
    }
  }
  EXPECT_EQ(trace.Count("Error in thread creation!"), 3);
}

// Send that throws (here: the queue's own storage) leaves the link exactly as
// it was: count, queue and lock; the link still sends and closes.
TEST(LinkFaults, AllocationFailureInSendChangesNothing) {
  RawPeer p;
  ASSERT_TRUE(p.Open());
  const std::string big(32 << 20, 'B');  // the writer blocks in it: later frames stay queued
  ASSERT_EQ(p.link.Send(big.data(), static_cast<unsigned>(big.size())), 0);
  const std::string small(100, 's');
  int sent = 0, threw = 0;
  for (int i = 0; i < 64; ++i) {
    unsigned before = p.link.QueueSize();
    FailAllocation(2, 400);  // past the frame's buffer: the queue's next block
    try {
      ASSERT_EQ(p.link.Send(small.data(), 100), 0);
      ++sent;
    } catch (const std::bad_alloc&) {
      ++threw;
      EXPECT_EQ(p.link.QueueSize(), before);
    }
    FailAllocation(0);
  }
  ASSERT_GT(threw, 0) << "no allocation of the queue was hit";
  ASSERT_EQ(ReadExact(p.fd, big.size() + 10).size(), big.size() + 10);
  std::string rest = ReadExact(p.fd, static_cast<size_t>(sent) * 110);
  EXPECT_EQ(rest.size(), static_cast<size_t>(sent) * 110);
  EXPECT_TRUE(Eventually([&] { return p.link.QueueSize() == 0; }));
  auto closed = std::async(std::launch::async, [&] { p.link.DisConnect(); });
  EXPECT_EQ(closed.wait_for(kWait), std::future_status::ready);
}

TEST(LinkFaults, NonStandardExceptionFromReceiveEndsLinkNormally) {
  struct Thrower : Recorder {
    void Receive(unsigned n, const char* d, Link* l) override {
      Recorder::Receive(n, d, l);
      throw 42;
    }
  } rec;
  TraceCapture trace({"Link"});
  RawPeer p;
  ASSERT_TRUE(p.Open());
  p.link.SetCallbackObject(rec);
  ASSERT_TRUE(WriteAll(p.fd, Frame("boom") + Frame("never")));
  ASSERT_TRUE(rec.WaitEnd());
  p.link.DisConnect();
  EXPECT_EQ(rec.Frames(), std::vector<std::string>{"boom"});
  EXPECT_EQ(rec.Ends(), 1);
  EXPECT_EQ(trace.Count("unknown exception thrown.", 4), 1);
}

TEST(LinkFaults, SignalsDuringLargeWritesLoseNothing) {
  struct sigaction sa {
  }, old{};
  sa.sa_handler = [](int) {};
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: system calls see EINTR
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  LinkPair p;
  ASSERT_TRUE(p.Open());
  std::string big(24 << 20, '\0');
  for (size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>(i >> 12);
  std::atomic<bool> done{false};
  std::thread pest([&] {
    while (!done.load()) {
      ::kill(::getpid(), SIGUSR1);
      std::this_thread::yield();
    }
  });
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(p.client.Send(big.data(), static_cast<unsigned>(big.size())), 0);
  bool got = p.serverRec.WaitFrames(3);
  done = true;
  pest.join();
  sigaction(SIGUSR1, &old, nullptr);
  ASSERT_TRUE(got);
  for (auto& f : p.serverRec.Frames()) EXPECT_TRUE(f == big);
  EXPECT_EQ(p.serverRec.Ends(), 0);
}

TEST(LinkStress, ManyConnectSendDisconnectCycles) {
  os_tcp_connection_server listener(os_socket_address(0), 64);
  std::string port = std::to_string(listener.socket_address().port());
  for (int i = 0; i < 200; ++i) {
    Recorder cr, sr;
    Link c, s;
    c.SetCallbackObject(cr);
    s.SetCallbackObject(sr);
    long err;
    ASSERT_EQ(c.Connect(const_cast<char*>("127.0.0.1"), const_cast<char*>(port.c_str()), err), 0);
    os_tcp_socket* sock = new os_tcp_socket(0);
    ASSERT_TRUE(listener.accept(*sock));
    ASSERT_EQ(s.AcceptConnection(sock), 0);
    ASSERT_EQ(c.Send("ping", 4), 0);
    ASSERT_TRUE(sr.WaitFrames(1));
    if (i % 2) {
      c.DisConnect();
    } else {
      s.DisConnect();
    }
    ASSERT_TRUE(cr.WaitEnd());
    ASSERT_TRUE(sr.WaitEnd());
  }
}

// Random sizes up to 2 MiB (log-uniform, so every size class is hit) from
// four threads at once through two links in both directions; the readers
// stall now and then, so frames go out both on the senders' threads and
// through the writers. Every byte and each sender's order are checked.
TEST(LinkStress, RandomSizesBothWaysArriveIntactAndInOrder) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const uint64_t kFrames = 300;  // per sending thread
#else
  const uint64_t kFrames = 2500;
#endif
  const int kThreads = 4;
  const size_t kMax = 2 << 20;
  auto fill = [](uint64_t seq, size_t n, char* out) {
    uint64_t x = seq * 0x9E3779B97F4A7C15ull + n;
    for (size_t i = 0; i < n; ++i) {
      if (i % 8 == 0) x = x * 6364136223846793005ull + 1442695040888963407ull;
      out[i] = static_cast<char>(x >> (8 * (i % 8)));
    }
  };
  // A frame: the sender's number in the top byte of an 8-byte sequence
  // number, then bytes that follow from the sequence number and the size.
  struct Checker : LinkCBClass {
    std::function<void(uint64_t, size_t, char*)> fill;
    std::mutex mu;
    std::condition_variable cv;
    uint64_t next[4] = {0, 0, 0, 0}, received = 0, sent = 0, total = 0;
    int bad = 0;
    std::string expect;
    void Receive(unsigned n, const char* d, Link*) override {
      uint64_t tagged = 0;
      std::memcpy(&tagged, d, 8);
      uint64_t seq = tagged & 0x00ffffffffffffffull;
      unsigned t = static_cast<unsigned>(tagged >> 56) & 3;
      expect.resize(n);
      fill(tagged, n - 8, &expect[8]);
      std::unique_lock<std::mutex> g(mu);
      if (seq != next[t] || std::memcmp(d + 8, &expect[8], n - 8) != 0) ++bad;
      ++next[t];
      ++received;
      cv.notify_all();
      // Now and then the reader stalls until more is on its way, so the
      // senders meet a full socket.
      if (received % 97 == 0)
        cv.wait_for(g, kWait, [&] { return sent >= std::min(received + 16, total); });
    }
    void Exception(int, Link*) override {}
  } atServer, atClient;
  atServer.fill = atClient.fill = fill;
  atServer.total = atClient.total = kFrames * kThreads;

  os_tcp_connection_server listener(os_socket_address(0), 4);
  std::string port = std::to_string(listener.socket_address().port());
  Link client, server;
  client.SetCallbackObject(atClient);
  server.SetCallbackObject(atServer);
  long err;
  ASSERT_EQ(client.Connect("127.0.0.1", port.c_str(), err), 0);
  os_tcp_socket* s = new os_tcp_socket(0);
  ASSERT_TRUE(listener.accept(*s));
  ASSERT_EQ(server.AcceptConnection(s), 0);

  auto sender = [&](Link& from, Checker& peer, unsigned t) {
    std::mt19937_64 rng(t);
    std::string frame;
    for (uint64_t seq = 0; seq < kFrames; ++seq) {
      size_t n = static_cast<size_t>(std::exp(std::uniform_real_distribution<double>(
                     0, std::log(static_cast<double>(kMax) + 1))(rng))) -
                 1;
      n = std::max<size_t>(n, 8);
      uint64_t tagged = (static_cast<uint64_t>(t & 3) << 56) | seq;
      frame.resize(n);
      std::memcpy(&frame[0], &tagged, 8);
      fill(tagged, n - 8, &frame[8]);
      if (from.Send(frame.data(), static_cast<unsigned>(n)) != 0) return false;
      // Flow control: at most 64 frames in flight per direction.
      std::unique_lock<std::mutex> g(peer.mu);
      ++peer.sent;
      peer.cv.notify_all();
      if (!peer.cv.wait_for(g, kWait, [&] { return peer.sent < peer.received + 64; })) return false;
    }
    return true;
  };
  std::vector<std::future<bool>> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.push_back(std::async(std::launch::async, sender, std::ref(client), std::ref(atServer),
                                 static_cast<unsigned>(t)));
    senders.push_back(std::async(std::launch::async, sender, std::ref(server), std::ref(atClient),
                                 static_cast<unsigned>(t)));
  }
  for (auto& f : senders) ASSERT_TRUE(f.get());
  for (Checker* c : {&atServer, &atClient}) {
    std::unique_lock<std::mutex> g(c->mu);
    ASSERT_TRUE(c->cv.wait_for(g, kWait, [&] { return c->received == kFrames * kThreads; }));
    EXPECT_EQ(c->bad, 0);
  }
  client.DisConnect();
  server.DisConnect();
}
