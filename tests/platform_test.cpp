// Tests of the socket-and-thread toolkit: the guarantees its header states.
#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/uio.h>

#include <climits>
#include <future>
#include <thread>

#include "platform/os_fault.h"
#include "platform/os_toolkit.h"
#include "tests/support/test_support.h"

namespace {
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kBound = 5s;     // any wait that should succeed
constexpr auto kQuiet = 100ms;  // how long a thread must stay excluded
constexpr long kSlop = 5;       // ms a timed wait may return early

long MsSince(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

template <class T>
bool Ready(std::future<T>& f, std::chrono::milliseconds t) {
  return f.wait_for(t) == std::future_status::ready;
}

// Runs fn, which must take `ms`: not less (but for the slop), at most 2 s more.
template <class F>
void ExpectTakes(long ms, F fn) {
  auto t0 = Clock::now();
  fn();
  long took = MsSince(t0);
  EXPECT_GE(took, ms - kSlop) << "bound " << ms;
  EXPECT_LT(took, ms + 2000) << "bound " << ms;
}

// Runs fn on a thread of its own; false when it has not finished within the
// bound. The thread is then left behind, so fn captures shared state only.
template <class F>
bool FinishesWithin(F fn, std::chrono::milliseconds bound) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> f = done->get_future();
  std::thread([fn, done]() mutable {
    fn();
    done->set_value();
  }).detach();
  return Ready(f, bound);
}

void ConnectTo(os_connectable_socket& s, int port) {
  os_socket_address to(port);
  to.ip_address(os_ip_address("127.0.0.1").as_long());
  s.connect_to(to.sa(), os_socket_address::size());
}

// A connected pair over loopback: a listener on port 0, a client and the
// accepted socket.
struct TcpPair {
  os_tcp_connection_server listener{os_socket_address(0), 16};
  os_tcp_socket client{1};
  os_tcp_socket server{0};
  TcpPair() {
    ConnectTo(client, listener.socket_address().port());
    timeval tv{5, 0};
    if (!listener.accept(server, &tv)) throw std::runtime_error("no connection accepted");
  }
};

std::string ReadExactly(os_connectable_socket& s, size_t n) {
  std::string out(n, '\0');
  size_t got = 0;
  for (int r; got < n && (r = s.read(&out[got], static_cast<int>(n - got))) > 0;)
    got += static_cast<size_t>(r);
  out.resize(got);
  return out;
}

// The error that fn throws; a test failure when it throws none.
template <class E, class F>
E ErrorOf(F fn) {
  try {
    fn();
  } catch (const E& e) {
    return e;
  }
  ADD_FAILURE() << "no exception";
  return E(0, 0, "none");
}

class Platform : public ::testing::Test {
 protected:
  void TearDown() override { os_fault::Reset(); }
};

// ---------------------------------------------------------------------------
// Event semaphore

TEST(EventSemaphore, StaysPostedUntilResetAndTimedWaitsKeepTheirBounds) {
  auto ev = std::make_shared<os_event_semaphore>(false);
  for (long ms : {1L, 50L, 150L}) ExpectTakes(ms, [&] { EXPECT_FALSE(ev->wait(ms)); });
  EXPECT_FALSE(ev->posted());
  ev->post();
  ev->post();  // posting twice is harmless
  EXPECT_TRUE(ev->posted());
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(FinishesWithin([ev] { ev->wait(); }, kBound)) << i;
  auto t0 = Clock::now();
  EXPECT_TRUE(ev->wait(60000L));
  EXPECT_LT(MsSince(t0), 1000);
  ev->reset();
  EXPECT_FALSE(ev->posted());
  EXPECT_FALSE(ev->wait(0L));
}

// A bound meant as "practically forever" (LONG_MAX) must not overflow into
// "already over".
TEST(EventSemaphore, PostFromAnotherThreadWakesEveryTimedWaiter) {
  os_event_semaphore ev(false);
  std::vector<std::future<bool>> waiters;
  for (long ms : {30000L, 30000L, 30000L, LONG_MAX})
    waiters.push_back(std::async(std::launch::async, [&ev, ms] { return ev.wait(ms); }));
  EXPECT_FALSE(Ready(waiters.back(), kQuiet)) << "returned before the post";
  std::thread([&ev] { ev.post(); }).join();
  for (auto& w : waiters) {
    ASSERT_TRUE(Ready(w, kBound));
    EXPECT_TRUE(w.get());
  }
}

// ---------------------------------------------------------------------------
// Locks

TEST(CriticalSection, OwnerRelocksAndOthersWaitForTheLastUnlock) {
  struct State {
    os_critical_section cs{false};
    std::promise<void> lockedTwice, unlockOnce, unlockedOnce, unlockAgain, otherGotIt;
  };
  auto st = std::make_shared<State>();
  std::future<void> lockedTwice = st->lockedTwice.get_future();
  std::future<void> unlockedOnce = st->unlockedOnce.get_future();
  std::future<void> otherGotIt = st->otherGotIt.get_future();
  std::thread owner([st] {
    st->cs.lock();
    st->cs.lock();
    st->lockedTwice.set_value();
    st->unlockOnce.get_future().wait();
    st->cs.unlock();
    st->unlockedOnce.set_value();
    st->unlockAgain.get_future().wait();
    st->cs.unlock();
  });
  if (!Ready(lockedTwice, kBound)) {
    owner.detach();
    FAIL() << "the owner could not lock a second time";
  }
  std::thread other([st] {
    st->cs.lock();
    st->otherGotIt.set_value();
    st->cs.unlock();
  });
  EXPECT_FALSE(Ready(otherGotIt, kQuiet)) << "another thread entered while the owner held it";
  st->unlockOnce.set_value();
  ASSERT_TRUE(Ready(unlockedOnce, kBound));
  EXPECT_FALSE(Ready(otherGotIt, kQuiet)) << "released after one of two unlocks";
  st->unlockAgain.set_value();
  EXPECT_TRUE(Ready(otherGotIt, kBound));
  owner.join();
  other.join();
}

TEST(ReadWriteSemaphore, ReadersShareAndWritersExcludeEveryone) {
  os_read_write_semaphore rw;
  auto reader = [&rw] {
    rw.read_lock();
    rw.read_unlock();
  };
  rw.read_lock();
  auto secondReader = std::async(std::launch::async, reader);
  ASSERT_TRUE(Ready(secondReader, kBound)) << "readers do not share";
  std::promise<void> release, writerIn;
  std::future<void> writerInF = writerIn.get_future();
  std::thread writer([&, released = release.get_future()] {
    rw.write_lock();
    writerIn.set_value();
    released.wait();
    rw.write_unlock();
  });
  EXPECT_FALSE(Ready(writerInF, kQuiet)) << "writer entered beside a reader";
  rw.read_unlock();
  ASSERT_TRUE(Ready(writerInF, kBound));
  auto lateReader = std::async(std::launch::async, reader);
  EXPECT_FALSE(Ready(lateReader, kQuiet)) << "reader entered beside the writer";
  release.set_value();
  EXPECT_TRUE(Ready(lateReader, kBound));
  writer.join();

  long counter = 0;  // plain on purpose: the write lock alone protects it
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; ++t)
    ts.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        rw.write_lock();
        ++counter;
        rw.write_unlock();
      }
    });
  for (auto& t : ts) t.join();
  EXPECT_EQ(counter, 80000);
}

// ---------------------------------------------------------------------------
// Sockets

TEST(Socket, LoopbackRoundTripAndAddresses) {
  TcpPair p;
  EXPECT_TRUE(p.client.connected() && p.client.good());
  EXPECT_TRUE(p.server.connected() && p.server.good());
  EXPECT_EQ(p.client.bind_kind(), 1);
  EXPECT_EQ(p.server.peer_address().port(), p.client.socket_address().port());
  EXPECT_EQ(p.server.peer_address().ip_address(), os_ip_address("127.0.0.1").as_long());
  EXPECT_EQ(p.client.peer_address().port(), p.listener.socket_address().port());

  EXPECT_EQ(p.client.write("hello", 5), 5);
  EXPECT_EQ(ReadExactly(p.server, 5), "hello");
  EXPECT_EQ(p.server.write("world!", 6), 6);
  EXPECT_EQ(ReadExactly(p.client, 6), "world!");
  p.client.close();
  char c;
  EXPECT_EQ(p.server.read(&c, 1), 0) << "end of stream after the peer closed";
  EXPECT_EQ(p.client.handle(), -1);
  p.client.close();  // a second close is harmless
}

TEST(Socket, ShutdownFromAnotherThreadWakesABlockedRead) {
  TcpPair p;
  std::promise<void> reading;
  std::future<void> readingF = reading.get_future();
  auto reader = std::async(std::launch::async, [&] {
    char buf[16];
    reading.set_value();
    return p.client.read(buf, sizeof buf);
  });
  ASSERT_TRUE(Ready(readingF, kBound));
  ASSERT_FALSE(Ready(reader, 50ms)) << "read did not block";
  p.client.shutdown(2);
  ASSERT_TRUE(Ready(reader, kBound)) << "shutdown did not wake the read";
  EXPECT_LE(reader.get(), 0);
  EXPECT_FALSE(p.client.connected());
}

TEST(Socket, RefusedConnectionCarriesNativeCode) {
  hxtest::RefusingPort refusing;
  os_tcp_socket s(1);
  auto e = ErrorOf<os_network_toolkit_error>([&] { ConnectTo(s, refusing.port); });
  EXPECT_EQ(e.native_code(), ECONNREFUSED);
  EXPECT_EQ(e.portable_code(), OS_ERR_CONNECTION_REFUSED);
  EXPECT_STRNE(os_network_toolkit_error::description(e.portable_code()), "");
  EXPECT_FALSE(s.connected());
  EXPECT_EQ(s.handle(), -1) << "the failed descriptor leaked into the object";
}

TEST(Socket, ConnectTimesOutAtTheBound) {
  hxtest::FullListener full;
  ASSERT_TRUE(full.DropsConnects());
  long saved = os_connectable_socket::connect_timeout();
  EXPECT_EQ(saved, 21000) << "default bound";
  os_connectable_socket::set_connect_timeout(300);
  os_tcp_socket s(1);
  ExpectTakes(300, [&] {
    auto e = ErrorOf<os_network_toolkit_error>([&] { ConnectTo(s, full.Port()); });
    EXPECT_EQ(e.native_code(), ETIMEDOUT);
  });
  os_connectable_socket::set_connect_timeout(saved);
}

TEST_F(Platform, AcceptTimeoutAndInjectedFailures) {
  os_tcp_connection_server listener(os_socket_address(0), 4);
  os_tcp_socket s(0);
  timeval tv{0, 100 * 1000};
  ExpectTakes(100, [&] { EXPECT_FALSE(listener.accept(s, &tv)); });
  EXPECT_EQ(listener.last_accept_error(), EAGAIN);

  os_fault::FailAccept(1, 0);
  EXPECT_FALSE(listener.accept(s, &tv));
  EXPECT_EQ(listener.last_accept_error(), EAGAIN);
  os_fault::FailAccept(1, EBADF);
  EXPECT_EQ(ErrorOf<os_network_toolkit_error>([&] { listener.accept(s, &tv); }).native_code(),
            EBADF);
  // Spent: the next accept is a real one.
  os_tcp_socket client(1);
  ConnectTo(client, listener.socket_address().port());
  timeval longer{5, 0};
  EXPECT_TRUE(listener.accept(s, &longer));
  EXPECT_EQ(listener.last_accept_error(), 0);
}

TEST_F(Platform, InjectedBindFailureIsSpentOnce) {
  os_fault::FailBind(1, EADDRINUSE);
  auto e = ErrorOf<os_network_toolkit_error>(
      [] { os_tcp_connection_server l(os_socket_address(0), 4); });
  EXPECT_EQ(e.native_code(), EADDRINUSE);
  EXPECT_EQ(e.portable_code(), OS_ERR_ADDRESS_IN_USE);
  EXPECT_NO_THROW(os_tcp_connection_server(os_socket_address(0), 4));
}

TEST(Socket, WriteToAGonePeerRaisesNoSigpipe) {
  TcpPair p;
  p.server.close();
  // A SIGPIPE sent to this thread would stay pending while blocked.
  sigset_t pipe, old, pending;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &pipe, &old), 0);
  std::vector<char> chunk(64 * 1024, 'x');
  const int size = static_cast<int>(chunk.size());
  int last = size;
  for (int i = 0; i < 1000 && last == size; ++i) last = p.client.write(chunk.data(), size);
  sigpending(&pending);
  bool raised = sigismember(&pending, SIGPIPE);
  int sig;
  if (raised) sigwait(&pipe, &sig);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  EXPECT_LT(last, size) << "writes to a closed peer kept succeeding";
  EXPECT_FALSE(raised) << "SIGPIPE was raised";
  EXPECT_FALSE(p.client.good());
  EXPECT_TRUE(p.client.error() == EPIPE || p.client.error() == ECONNRESET) << p.client.error();
}

// adopt takes over a connected descriptor; writev takes more buffers than one
// system call does (IOV_MAX is 1024 on Linux).
TEST(Socket, AdoptedDescriptorWritesAnyNumberOfBuffers) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  std::unique_ptr<os_tcp_socket> s(os_tcp_socket::adopt(sv[0]));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->handle(), sv[0]);
  EXPECT_TRUE(s->connected() && s->good());
  ASSERT_EQ(::send(sv[1], "pong", 4, 0), 4);
  EXPECT_EQ(ReadExactly(*s, 4), "pong");
  std::string bytes(1500 * 3, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + i % 26);
  std::vector<iovec> iov;
  for (size_t i = 0; i < bytes.size(); i += 3) iov.push_back(iovec{&bytes[i], 3});
  EXPECT_EQ(s->writev(iov.data(), static_cast<int>(iov.size())), static_cast<long>(bytes.size()));
  EXPECT_TRUE(s->good()) << "error " << s->error();
  s.reset();  // closes sv[0]: the other end sees end of stream
  EXPECT_TRUE(hxtest::ReadExact(sv[1], bytes.size()) == bytes) << "bytes lost or reordered";
  EXPECT_TRUE(hxtest::WaitPeerClose(sv[1]));
  ::close(sv[1]);
}

void NoOp(int) {}

// A blocking send returns a partial count when a signal interrupts it after
// some bytes went out. Signals sent while the reader drains slowly make that
// happen many times over a few megabytes; the bytes must arrive whole and in
// order across more than 64 buffers, some empty.
TEST(Socket, WritevContinuesAfterPartialWrites) {
  struct sigaction sa {
  }, old{};
  sa.sa_handler = NoOp;  // no SA_RESTART: EINTR is exercised too
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  TcpPair p;
  std::vector<std::string> parts;
  std::string expected;
  for (int i = 0; i < 70; ++i) {
    size_t n = i % 7 == 3 ? 0 : static_cast<size_t>(i) * 997 + (i % 5) * 65536 + 1;
    std::string part(n, '\0');
    for (size_t k = 0; k < n; ++k) part[k] = static_cast<char>((expected.size() + k) * 31 % 251);
    expected += part;
    parts.push_back(std::move(part));
  }
  std::vector<iovec> iov;
  for (auto& s : parts) iov.push_back(iovec{s.empty() ? nullptr : &s[0], s.size()});
  std::promise<long> written;
  std::future<long> writtenF = written.get_future();
  std::thread writer(
      [&] { written.set_value(p.client.writev(iov.data(), static_cast<int>(iov.size()))); });
  std::string got;
  std::vector<char> buf(16 * 1024);
  for (auto deadline = Clock::now() + 20s;
       got.size() < expected.size() && Clock::now() < deadline;) {
    if (!Ready(writtenF, 0ms)) pthread_kill(writer.native_handle(), SIGUSR1);
    int n = p.server.read(buf.data(), static_cast<int>(buf.size()));
    if (n <= 0) break;
    got.append(buf.data(), static_cast<size_t>(n));
  }
  if (got.size() < expected.size()) p.server.shutdown(2);  // unblock the writer
  writer.join();
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_EQ(writtenF.get(), static_cast<long>(expected.size()));
  ASSERT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected) << "bytes lost, repeated or reordered";
}

// ---------------------------------------------------------------------------
// Multiplexer

TEST(Multiplexer, TimesOutReportsReadinessAndWakes) {
  TcpPair p;
  os_io_multiplexer mux;
  const unsigned client = static_cast<unsigned>(p.client.handle());
  const unsigned server = static_cast<unsigned>(p.server.handle());
  mux.read_scan({client, server});
  timeval tv{0, 100 * 1000}, bound{5, 0};
  ExpectTakes(100, [&] { EXPECT_EQ(mux.select(&tv), 0); });

  ASSERT_EQ(p.client.write("x", 1), 1);
  EXPECT_EQ(mux.select(&bound), 1);
  EXPECT_TRUE(mux.is_ready(server));
  EXPECT_FALSE(mux.is_ready(client));
  char c;
  ASSERT_EQ(p.server.read(&c, 1), 1);

  mux.wake();  // a wake-up before select makes it return at once
  auto t0 = Clock::now();
  EXPECT_EQ(mux.select(&bound), 0);
  EXPECT_LT(MsSince(t0), 1000);

  auto waiter = std::async(std::launch::async, [&mux] { return mux.select(nullptr); });
  ASSERT_FALSE(Ready(waiter, 50ms)) << "select did not block";
  mux.wake();
  ASSERT_TRUE(Ready(waiter, kBound)) << "wake() did not end the select";
  EXPECT_EQ(waiter.get(), 0);
}

// ---------------------------------------------------------------------------
// Addresses

TEST(IpAddress, DottedTextAndNames) {
  const std::pair<const char*, uint32_t> rows[] = {{"127.0.0.1", 0x7f000001},
                                                   {"10.1.2.3", 0x0a010203},
                                                   {"0.0.0.0", 0},
                                                   {"255.255.255.255", 0xffffffff},
                                                   {"localhost", 0x7f000001}};
  for (const auto& r : rows)
    EXPECT_EQ(static_cast<uint32_t>(os_ip_address(r.first).as_long()), htonl(r.second)) << r.first;
  EXPECT_EQ(os_ip_address("10.1.2.3").text(), "10.1.2.3");
  for (const char* bad : {"no-such-host.invalid", ""}) {
    auto e = ErrorOf<os_network_toolkit_error>([bad] { os_ip_address a(bad); });
    EXPECT_EQ(e.portable_code(), OS_ERR_HOST_NOT_FOUND) << bad;
    EXPECT_NE(std::string(e.what()).find("resolve"), std::string::npos) << e.what();
  }
}

TEST(IpAddress, IPv6TextAndWhatTheIPv4OnlyAccessorsGive) {
  os_ip_address v6("2001:0db8:0:0::1");
  EXPECT_EQ(v6.family(), AF_INET6);
  EXPECT_EQ(v6.text(), "2001:db8::1");
  EXPECT_EQ(v6.as_long(), 0);
  EXPECT_EQ(os_ip_address("fe80::1%lo").text(), "fe80::1%lo") << "the scope is kept";
  EXPECT_TRUE(os_ip_address("::").is_any());
  EXPECT_FALSE(os_ip_address("::1").is_any());

  os_socket_address a(os_ip_address("::1"), 4000);
  EXPECT_EQ(a.family(), AF_INET6);
  EXPECT_EQ(a.port(), 4000);
  EXPECT_EQ(a.ip_address(), 0);
  EXPECT_EQ(a.length(), static_cast<int>(sizeof(sockaddr_in6)));
  EXPECT_EQ(os_socket_address::size(), static_cast<int>(sizeof(sockaddr_in)));
  a.ip_address(os_ip_address("127.0.0.1").as_long());  // becomes IPv4, keeps its port
  EXPECT_EQ(a.family(), AF_INET);
  EXPECT_EQ(a.ip().text(), "127.0.0.1");
  EXPECT_EQ(a.port(), 4000);

  os_socket_address mapped(os_ip_address("::ffff:10.1.2.3"), 80);
  mapped.unmap();
  EXPECT_EQ(mapped.family(), AF_INET);
  EXPECT_EQ(mapped.ip().text(), "10.1.2.3");
  EXPECT_EQ(mapped.port(), 80);

  EXPECT_EQ(os_host_port_text("::1", 4000), "[::1]:4000");
  EXPECT_EQ(os_host_port_text("127.0.0.1", 4000), "127.0.0.1:4000");
  EXPECT_EQ(os_host_port_text("localhost", 4000), "localhost:4000");
  auto e =
      ErrorOf<os_network_toolkit_error>([] { os_ip_address::resolve("no-such-host.invalid"); });
  EXPECT_EQ(e.native_code(), ENXIO);
}

// A listener given only a port takes both families; an accepted socket names
// its peer as a link does.
TEST(Socket, EveryInterfaceListenerNamesPeersOfBothFamilies) {
  IPV6_OR_SKIP();
  os_tcp_connection_server listener(0, 16);
  const int port = listener.socket_address().port();
  for (const char* from : {"127.0.0.1", "::1"}) {
    os_tcp_socket client(1);
    client.connect_to_host(from, port);
    os_tcp_socket accepted(0);
    timeval tv{5, 0};
    ASSERT_TRUE(listener.accept(accepted, &tv)) << from;
    int peerPort = 0;
    EXPECT_EQ(accepted.peer_text(peerPort), from);
    EXPECT_EQ(peerPort, client.socket_address().port()) << from;
    EXPECT_EQ(accepted.peer_address().family(), std::string(from) == "::1" ? AF_INET6 : AF_INET)
        << "an IPv4-mapped peer reads back as IPv4";
  }
}

// Each address in turn: the first that connects wins; when none does, the
// error is the last attempt's, and all attempts share the one bound. (A name
// that resolves to both families is dialled this way, in the resolver's order.)
TEST(Socket, ConnectToAnyTriesAddressesInTurnWithinOneBound) {
  IPV6_OR_SKIP();
  os_tcp_connection_server v4(os_socket_address(os_ip_address("127.0.0.1"), 0), 4);
  os_tcp_connection_server v6(os_socket_address(os_ip_address("::1"), 0), 4);
  hxtest::RefusingPort refusing4(AF_INET), refusing6(AF_INET6);
  os_socket_address gone4(os_ip_address("127.0.0.1"), refusing4.port);
  os_socket_address gone6(os_ip_address("::1"), refusing6.port);
  os_socket_address at4(os_ip_address("127.0.0.1"), v4.socket_address().port());
  os_socket_address at6(os_ip_address("::1"), v6.socket_address().port());
  struct {
    std::vector<os_socket_address> list;
    int family;  // of the connection made, 0: none
  } rows[] = {{{gone6, at4}, AF_INET}, {{gone4, at6}, AF_INET6}, {{gone6, gone4}, 0}};
  for (auto& r : rows) {
    os_tcp_socket s(1);
    if (r.family == 0) {
      EXPECT_EQ(ErrorOf<os_network_toolkit_error>([&] { s.connect_to_any(r.list); }).native_code(),
                ECONNREFUSED);
      EXPECT_EQ(s.handle(), -1);
      continue;
    }
    ASSERT_NO_THROW(s.connect_to_any(r.list)) << r.family;
    EXPECT_TRUE(s.connected());
    EXPECT_EQ(s.peer_address().family(), r.family);
  }

  hxtest::FullListener full;
  ASSERT_TRUE(full.DropsConnects());
  os_socket_address dropping(os_ip_address("127.0.0.1"), full.Port());
  long saved = os_connectable_socket::connect_timeout();
  os_connectable_socket::set_connect_timeout(300);
  os_tcp_socket s(1);
  auto t0 = Clock::now();
  // Refused first, then no answer: the last attempt's error is reported.
  auto e = ErrorOf<os_network_toolkit_error>([&] {
    s.connect_to_any({gone4, dropping, dropping, dropping});
  });
  long took = MsSince(t0);
  os_connectable_socket::set_connect_timeout(saved);
  EXPECT_EQ(e.native_code(), ETIMEDOUT);
  EXPECT_GE(took, 300 - kSlop);
  EXPECT_LT(took, 750) << "each address had a bound of its own";
}

// ---------------------------------------------------------------------------
// Threads

struct Handshake {
  std::promise<os_thread_t> started;  // the thread's own id
  std::shared_future<void> go;
};

void* ThreadBody(void* arg) {
  auto* st = static_cast<Handshake*>(arg);
  st->started.set_value(os_this_thread::tid());
  st->go.wait();
  return nullptr;
}
void* Throws(void*) {
  throw std::runtime_error("from a thread function");
}
void* Returns(void*) {
  return nullptr;
}

bool EndsWithin(os_thread_t id, std::chrono::milliseconds bound) {
  return FinishesWithin([id] { os_this_thread::wait_for_thread(id); }, bound);
}

TEST(Thread, ExistsWhileRunningAndWaitEndsWithIt) {
  std::promise<void> go;
  Handshake st;
  st.go = go.get_future().share();
  auto seen = st.started.get_future();
  os_thread t(ThreadBody, &st, 0, false);
  ASSERT_TRUE(Ready(seen, kBound));
  EXPECT_EQ(seen.get(), t.tid()) << "the thread sees the id its object reports";
  EXPECT_NE(t.tid(), os_this_thread::tid());
  EXPECT_TRUE(os_thread::exists(t.tid()));
  auto waited =
      std::async(std::launch::async, [id = t.tid()] { os_this_thread::wait_for_thread(id); });
  EXPECT_FALSE(Ready(waited, kQuiet)) << "wait ended before the thread";
  go.set_value();
  ASSERT_TRUE(Ready(waited, kBound));
  EXPECT_FALSE(os_thread::exists(t.tid()));

  auto e = ErrorOf<os_thread_toolkit_error>(
      [] { os_this_thread::wait_for_thread(os_this_thread::tid()); });
  EXPECT_EQ(e.native_code(), EDEADLK) << "waiting for itself";
  EXPECT_TRUE(EndsWithin(os_thread_t{~0ull}, kBound)) << "an unknown id returns at once";
}

// The first thread throws: that ends only its own thread.
TEST_F(Platform, InjectedThreadCreationFailureHitsTheNthThread) {
  os_fault::FailThreadCreation(2);
  std::unique_ptr<os_thread> first(new os_thread(Throws, nullptr, 0, false));
  auto e = ErrorOf<os_thread_toolkit_error>([] { os_thread second(Returns, nullptr, 0, false); });
  EXPECT_EQ(e.native_code(), EAGAIN);
  EXPECT_EQ(e.portable_code(), OS_ERR_AGAIN);
  std::unique_ptr<os_thread> third(new os_thread(Returns, nullptr, 0, false));
  for (auto* t : {first.get(), third.get()}) {
    EXPECT_TRUE(EndsWithin(t->tid(), kBound));
    EXPECT_FALSE(os_thread::exists(t->tid()));
  }
}

}  // namespace
