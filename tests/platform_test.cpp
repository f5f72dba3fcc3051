// Tests of the socket-and-thread toolkit: the guarantees its header states.
#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/os_fault.h"
#include "platform/os_toolkit.h"

namespace {
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kBound = 5s;     // any wait that should succeed
constexpr auto kQuiet = 100ms;  // how long a thread must stay excluded
constexpr auto kSlop = 5ms;     // early return allowed for timed waits

long MsSince(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

bool Ready(std::future<void>& f, std::chrono::milliseconds t) {
  return f.wait_for(t) == std::future_status::ready;
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

os_socket_address Loopback(int port) {
  os_socket_address a(port);
  a.ip_address(os_ip_address("127.0.0.1").as_long());
  return a;
}

// A connected pair over loopback: a listener on port 0, a client and the
// accepted socket.
struct TcpPair {
  os_tcp_connection_server listener{os_socket_address(0), 16};
  os_tcp_socket client{1};
  os_tcp_socket server{0};
  TcpPair() {
    os_socket_address to = Loopback(listener.socket_address().port());
    client.connect_to(to.sa(), os_socket_address::size());
    timeval tv{5, 0};
    if (!listener.accept(server, &tv)) throw std::runtime_error("no connection accepted");
  }
};

std::string ReadExactly(os_connectable_socket& s, size_t n) {
  std::string out(n, '\0');
  size_t got = 0;
  while (got < n) {
    int r = s.read(&out[got], static_cast<int>(n - got));
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
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

// A raw socket bound to a loopback port of its own (listening when backlog
// is not negative); -1 on failure.
int RawBound(int backlog, int* port) {
  int raw = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  os_socket_address a = Loopback(0);
  socklen_t len = os_socket_address::size();
  if (raw < 0 || ::bind(raw, a.sa(), len) != 0 || (backlog >= 0 && ::listen(raw, backlog) != 0) ||
      ::getsockname(raw, a.sa(), &len) != 0)
    return -1;
  *port = a.port();
  return raw;
}

class Platform : public ::testing::Test {
 protected:
  void TearDown() override { os_fault::Reset(); }
};

// ---------------------------------------------------------------------------
// Event semaphore

TEST(EventSemaphore, StaysPostedUntilResetAndWaitReturnsAtOnce) {
  auto ev = std::make_shared<os_event_semaphore>(false);
  EXPECT_FALSE(ev->posted());
  EXPECT_FALSE(ev->wait(0L));
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

TEST(EventSemaphore, TimedWaitTimesOutWithinBounds) {
  os_event_semaphore ev(false);
  for (long ms : {1L, 50L, 150L}) {
    auto t0 = Clock::now();
    EXPECT_FALSE(ev.wait(ms));
    EXPECT_GE(MsSince(t0), ms - kSlop.count()) << ms;
    EXPECT_LT(MsSince(t0), ms + 2000) << ms;
  }
}

TEST(EventSemaphore, PostFromAnotherThreadWakesEveryTimedWaiter) {
  os_event_semaphore ev(false);
  std::vector<std::future<bool>> waiters;
  for (int i = 0; i < 4; ++i)
    waiters.push_back(std::async(std::launch::async, [&ev] { return ev.wait(30000L); }));
  auto t0 = Clock::now();
  std::thread poster([&ev] { ev.post(); });
  for (auto& w : waiters) {
    ASSERT_EQ(w.wait_for(kBound), std::future_status::ready);
    EXPECT_TRUE(w.get());
  }
  EXPECT_LT(MsSince(t0), 5000);
  poster.join();
}

// A bound meant as "practically forever" must not overflow into "already over".
TEST(EventSemaphore, HugeBoundStillWaitsForThePost) {
  os_event_semaphore ev(false);
  auto waiter = std::async(std::launch::async, [&ev] { return ev.wait(LONG_MAX); });
  EXPECT_NE(waiter.wait_for(kQuiet), std::future_status::ready) << "returned before the post";
  ev.post();
  ASSERT_EQ(waiter.wait_for(kBound), std::future_status::ready);
  EXPECT_TRUE(waiter.get());
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
  rw.read_lock();
  auto secondReader = std::async(std::launch::async, [&rw] {
    rw.read_lock();
    rw.read_unlock();
  });
  ASSERT_EQ(secondReader.wait_for(kBound), std::future_status::ready) << "readers do not share";

  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<void> writerIn;
  std::future<void> writerInF = writerIn.get_future();
  std::thread writer([&] {
    rw.write_lock();
    writerIn.set_value();
    released.wait();
    rw.write_unlock();
  });
  EXPECT_FALSE(Ready(writerInF, kQuiet)) << "writer entered beside a reader";
  rw.read_unlock();
  ASSERT_TRUE(Ready(writerInF, kBound));
  auto lateReader = std::async(std::launch::async, [&rw] {
    rw.read_lock();
    rw.read_unlock();
  });
  EXPECT_NE(lateReader.wait_for(kQuiet), std::future_status::ready)
      << "reader entered beside the writer";
  release.set_value();
  EXPECT_EQ(lateReader.wait_for(kBound), std::future_status::ready);
  writer.join();
}

TEST(ReadWriteSemaphore, WritersSerialiseUpdates) {
  os_read_write_semaphore rw;
  long counter = 0;  // plain on purpose: the lock alone protects it
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
  rw.read_lock();
  EXPECT_EQ(counter, 80000);
  rw.read_unlock();
}

// ---------------------------------------------------------------------------
// Sockets

TEST(Socket, LoopbackRoundTripAndAddresses) {
  TcpPair p;
  EXPECT_NE(p.listener.socket_address().port(), 0);
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
  ASSERT_NE(reader.wait_for(50ms), std::future_status::ready) << "read did not block";
  p.client.shutdown(2);
  ASSERT_EQ(reader.wait_for(kBound), std::future_status::ready) << "shutdown did not wake the read";
  EXPECT_LE(reader.get(), 0);
  EXPECT_FALSE(p.client.connected());
}

TEST(Socket, RefusedConnectionCarriesNativeCode) {
  // A bound socket that does not listen: the port is ours, nobody accepts.
  int port = 0, raw = RawBound(-1, &port);
  ASSERT_GE(raw, 0);
  os_tcp_socket s(1);
  os_socket_address to = Loopback(port);
  auto e =
      ErrorOf<os_network_toolkit_error>([&] { s.connect_to(to.sa(), os_socket_address::size()); });
  EXPECT_EQ(e.native_code(), ECONNREFUSED);
  EXPECT_EQ(e.portable_code(), OS_ERR_CONNECTION_REFUSED);
  EXPECT_STRNE(os_network_toolkit_error::description(e.portable_code()), "");
  EXPECT_FALSE(s.connected());
  EXPECT_EQ(s.handle(), -1) << "the failed descriptor leaked into the object";
  ::close(raw);
}

// A listener with backlog 0 and one queued connection drops further SYNs, so a
// connect cannot finish and must end at the bound.
TEST(Socket, ConnectTimesOutAtTheBound) {
  int port = 0, raw = RawBound(0, &port);
  ASSERT_GE(raw, 0);
  os_socket_address to = Loopback(port);
  os_tcp_socket first(1);
  first.connect_to(to.sa(), os_socket_address::size());
  os_io_multiplexer mux;  // the queue is full once the listener is readable
  mux.read_scan({static_cast<unsigned>(raw)});
  timeval tv{5, 0};
  ASSERT_EQ(mux.select(&tv), 1);

  long saved = os_connectable_socket::connect_timeout();
  os_connectable_socket::set_connect_timeout(300);
  os_tcp_socket s(1);
  auto t0 = Clock::now();
  auto e =
      ErrorOf<os_network_toolkit_error>([&] { s.connect_to(to.sa(), os_socket_address::size()); });
  long elapsed = MsSince(t0);
  os_connectable_socket::set_connect_timeout(saved);
  EXPECT_EQ(e.native_code(), ETIMEDOUT);
  EXPECT_GE(elapsed, 300 - kSlop.count());
  EXPECT_LT(elapsed, 300 + 2000);
  EXPECT_EQ(saved, 21000) << "default bound";
  ::close(raw);
}

TEST_F(Platform, AcceptTimeoutAndInjectedFailures) {
  os_tcp_connection_server listener(os_socket_address(0), 4);
  os_tcp_socket s(0);
  timeval tv{0, 100 * 1000};
  auto t0 = Clock::now();
  EXPECT_FALSE(listener.accept(s, &tv));
  EXPECT_EQ(listener.last_accept_error(), EAGAIN);
  EXPECT_GE(MsSince(t0), 100 - kSlop.count());
  EXPECT_LT(MsSince(t0), 2100);

  os_fault::FailAccept(1, 0);
  EXPECT_FALSE(listener.accept(s, &tv));
  EXPECT_EQ(listener.last_accept_error(), EAGAIN);
  os_fault::FailAccept(1, EBADF);
  EXPECT_EQ(ErrorOf<os_network_toolkit_error>([&] { listener.accept(s, &tv); }).native_code(),
            EBADF);
  // Spent: the next accept is a real one.
  os_tcp_socket client(1);
  os_socket_address to = Loopback(listener.socket_address().port());
  client.connect_to(to.sa(), os_socket_address::size());
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
  sigset_t pipe, old;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &pipe, &old), 0);
  std::vector<char> chunk(64 * 1024, 'x');
  int last = 0;
  for (int i = 0; i < 1000; ++i) {
    last = p.client.write(chunk.data(), static_cast<int>(chunk.size()));
    if (last < static_cast<int>(chunk.size())) break;
  }
  sigset_t pending;
  sigpending(&pending);
  bool raised = sigismember(&pending, SIGPIPE);
  if (raised) {
    int sig;
    sigwait(&pipe, &sig);
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  EXPECT_LT(last, static_cast<int>(chunk.size())) << "writes to a closed peer kept succeeding";
  EXPECT_FALSE(raised) << "SIGPIPE was raised";
  EXPECT_FALSE(p.client.good());
  EXPECT_TRUE(p.client.error() == EPIPE || p.client.error() == ECONNRESET) << p.client.error();
}

TEST(Socket, AdoptTakesOwnershipOfAConnectedDescriptor) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  std::unique_ptr<os_tcp_socket> s(os_tcp_socket::adopt(sv[0]));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->handle(), sv[0]);
  EXPECT_TRUE(s->connected() && s->good());
  EXPECT_EQ(s->write("ping", 4), 4);
  char buf[8] = {};
  ASSERT_EQ(::recv(sv[1], buf, sizeof buf, 0), 4);
  EXPECT_EQ(std::string(buf, 4), "ping");
  ASSERT_EQ(::send(sv[1], "pong", 4, 0), 4);
  EXPECT_EQ(ReadExactly(*s, 4), "pong");
  s.reset();  // closes sv[0]: the other end sees end of stream
  EXPECT_EQ(::recv(sv[1], buf, sizeof buf, 0), 0);
  ::close(sv[1]);
}

// More buffers than one system call takes (IOV_MAX is 1024 on Linux).
TEST(Socket, WritevTakesAnyNumberOfBuffers) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  std::unique_ptr<os_tcp_socket> s(os_tcp_socket::adopt(sv[0]));
  std::string bytes(1500 * 3, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + i % 26);
  std::vector<iovec> iov;
  for (size_t i = 0; i < bytes.size(); i += 3) iov.push_back(iovec{&bytes[i], 3});
  EXPECT_EQ(s->writev(iov.data(), static_cast<int>(iov.size())), static_cast<long>(bytes.size()));
  EXPECT_TRUE(s->good()) << "error " << s->error();
  s.reset();
  std::string got;
  char buf[4096];
  for (ssize_t n; (n = ::recv(sv[1], buf, sizeof buf, 0)) > 0;)
    got.append(buf, static_cast<size_t>(n));
  EXPECT_TRUE(got == bytes) << got.size() << " of " << bytes.size() << " bytes arrived";
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
  got.reserve(expected.size());
  std::vector<char> buf(16 * 1024);
  auto deadline = Clock::now() + 20s;
  while (got.size() < expected.size() && Clock::now() < deadline) {
    if (writtenF.wait_for(0s) != std::future_status::ready)
      pthread_kill(writer.native_handle(), SIGUSR1);
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
  mux.read_scan(
      {static_cast<unsigned>(p.client.handle()), static_cast<unsigned>(p.server.handle())});
  timeval tv{0, 100 * 1000};
  auto t0 = Clock::now();
  EXPECT_EQ(mux.select(&tv), 0);
  EXPECT_GE(MsSince(t0), 100 - kSlop.count());
  EXPECT_LT(MsSince(t0), 2100);

  ASSERT_EQ(p.client.write("x", 1), 1);
  timeval bound{5, 0};
  EXPECT_EQ(mux.select(&bound), 1);
  EXPECT_TRUE(mux.is_ready(static_cast<unsigned>(p.server.handle())));
  EXPECT_FALSE(mux.is_ready(static_cast<unsigned>(p.client.handle())));
  char c;
  ASSERT_EQ(p.server.read(&c, 1), 1);

  mux.wake();  // a wake-up before select makes it return at once
  t0 = Clock::now();
  EXPECT_EQ(mux.select(&bound), 0);
  EXPECT_LT(MsSince(t0), 1000);

  auto waiter = std::async(std::launch::async, [&mux] { return mux.select(nullptr); });
  ASSERT_NE(waiter.wait_for(50ms), std::future_status::ready) << "select did not block";
  mux.wake();
  ASSERT_EQ(waiter.wait_for(kBound), std::future_status::ready) << "wake() did not end the select";
  EXPECT_EQ(waiter.get(), 0);
}

// ---------------------------------------------------------------------------
// Addresses

TEST(IpAddress, DottedTextAndNames) {
  struct Row {
    const char* text;
    uint32_t hostOrder;
  } rows[] = {{"127.0.0.1", 0x7f000001},
              {"10.1.2.3", 0x0a010203},
              {"0.0.0.0", 0},
              {"255.255.255.255", 0xffffffff},
              {"localhost", 0x7f000001}};
  for (const Row& r : rows) {
    os_ip_address a(r.text);
    EXPECT_EQ(static_cast<uint32_t>(a.as_long()), htonl(r.hostOrder)) << r.text;
  }
  EXPECT_EQ(os_ip_address("10.1.2.3").text(), "10.1.2.3");
  for (const char* bad : {"no-such-host.invalid", ""}) {
    auto e = ErrorOf<os_network_toolkit_error>([bad] { os_ip_address a(bad); });
    EXPECT_EQ(e.portable_code(), OS_ERR_HOST_NOT_FOUND) << bad;
    EXPECT_NE(std::string(e.what()).find("resolve"), std::string::npos) << e.what();
  }
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

TEST(Thread, ExistsWhileRunningAndWaitEndsWithIt) {
  std::promise<void> go;
  Handshake st;
  st.go = go.get_future().share();
  auto seen = st.started.get_future();
  os_thread t(ThreadBody, &st, 0, false);
  ASSERT_EQ(seen.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(seen.get(), t.tid()) << "the thread sees the id its object reports";
  EXPECT_NE(t.tid(), os_this_thread::tid());
  EXPECT_TRUE(os_thread::exists(t.tid()));
  auto waited =
      std::async(std::launch::async, [id = t.tid()] { os_this_thread::wait_for_thread(id); });
  EXPECT_NE(waited.wait_for(kQuiet), std::future_status::ready) << "wait ended before the thread";
  go.set_value();
  ASSERT_EQ(waited.wait_for(kBound), std::future_status::ready);
  EXPECT_FALSE(os_thread::exists(t.tid()));
  EXPECT_EQ(os_this_thread::tid(), os_this_thread::tid());
}

TEST(Thread, WaitingForItselfIsAnErrorAndUnknownIdsReturn) {
  auto e = ErrorOf<os_thread_toolkit_error>(
      [] { os_this_thread::wait_for_thread(os_this_thread::tid()); });
  EXPECT_EQ(e.native_code(), EDEADLK);
  EXPECT_TRUE(FinishesWithin([] { os_this_thread::wait_for_thread(os_thread_t{~0ull}); }, kBound));
}

TEST(Thread, AnExceptionInTheThreadFunctionEndsOnlyThatThread) {
  os_thread t(Throws, nullptr, 0, false);
  auto id = t.tid();
  EXPECT_TRUE(FinishesWithin([id] { os_this_thread::wait_for_thread(id); }, kBound));
  EXPECT_FALSE(os_thread::exists(id));
}

TEST_F(Platform, InjectedThreadCreationFailureHitsTheNthThread) {
  os_fault::FailThreadCreation(2);
  std::unique_ptr<os_thread> first(new os_thread(Returns, nullptr, 0, false));
  auto e = ErrorOf<os_thread_toolkit_error>([] { os_thread second(Returns, nullptr, 0, false); });
  EXPECT_EQ(e.native_code(), EAGAIN);
  EXPECT_EQ(e.portable_code(), OS_ERR_AGAIN);
  std::unique_ptr<os_thread> third(new os_thread(Returns, nullptr, 0, false));
  for (auto* t : {first.get(), third.get()}) {
    auto id = t->tid();
    EXPECT_TRUE(FinishesWithin([id] { os_this_thread::wait_for_thread(id); }, kBound));
  }
}

}  // namespace
