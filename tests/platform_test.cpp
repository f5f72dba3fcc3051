// Tests of the socket-and-thread toolkit: the guarantees its header states.
#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/uio.h>

#include <climits>
#include <future>
#include <thread>

#include "hx_net/CtlClient.h"
#include "platform/os_toolkit.h"
#include "tests/support/test_support.h"

namespace {
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using NetError = os_network_toolkit_error;

constexpr auto kBound = 5s;     // any wait that should succeed
constexpr auto kQuiet = 100ms;  // how long a thread must stay excluded

template <class T>
bool Ready(const std::future<T>& f, std::chrono::milliseconds t) {
  return f.wait_for(t) == std::future_status::ready;
}

// Runs fn, which must take `ms`: not less (but for 5 ms of slop), less than `ms + over`.
template <class F>
void ExpectTakes(long ms, F fn, long over = 2000) {
  auto t0 = Clock::now();
  fn();
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
  EXPECT_TRUE(took >= ms - 5 && took < ms + over) << took << " ms for a bound of " << ms;
}

// Runs fn on a detached thread, so that a test whose fn never returns fails
// instead of hanging; fn therefore captures shared state only.
template <class F>
auto Spawn(F fn) -> std::future<decltype(fn())> {
  auto task = std::make_shared<std::packaged_task<decltype(fn())()>>(std::move(fn));
  auto f = task->get_future();
  std::thread([task] { (*task)(); }).detach();
  return f;
}

void ConnectTo(os_connectable_socket& s, int port) {
  os_socket_address to(os_ip_address("127.0.0.1"), port);
  s.connect_to(to.sa(), os_socket_address::size());
}

// The error that fn throws; a test failure when it throws none.
template <class E = NetError, class F>
E ErrorOf(F fn) {
  try {
    fn();
  } catch (const E& e) {
    return e;
  }
  ADD_FAILURE() << "no exception";
  return E(0, 0, "none");
}

// ---------------------------------------------------------------------------
// Events and locks

// A bound meant as "practically forever" (LONG_MAX) must not overflow into
// "already over".
TEST(EventSemaphore, StaysPostedUntilResetAndWakesEveryTimedWaiter) {
  auto ev = std::make_shared<os_event_semaphore>(false);
  for (long ms : {1L, 150L}) ExpectTakes(ms, [&] { EXPECT_FALSE(ev->wait(ms)); });
  std::vector<std::future<bool>> waiters;
  for (long ms : {30000L, LONG_MAX}) waiters.push_back(Spawn([ev, ms] { return ev->wait(ms); }));
  EXPECT_FALSE(Ready(waiters.back(), kQuiet)) << "returned before the post";
  std::thread([ev] { ev->post(); }).join();
  for (auto& w : waiters) EXPECT_TRUE(Ready(w, kBound) && w.get());
  EXPECT_TRUE(Ready(Spawn([ev] { ev->wait(); }), kBound));
  ExpectTakes(0, [&] { EXPECT_TRUE(ev->wait(60000L)); });
  ev->reset();
  EXPECT_FALSE(ev->posted() || ev->wait(0L));
}

// Readers share, a writer excludes everyone. (The critical section's
// re-entry is the service registry's scope lock, taken again inside it.)
TEST(Locks, ReadersShareAWriterExcludes) {
  auto rw = std::make_shared<os_read_write_semaphore>();
  auto reader = [rw] {
    rw->read_lock();
    rw->read_unlock();
  };
  rw->read_lock();
  EXPECT_TRUE(Ready(Spawn(reader), kBound)) << "readers do not share";
  auto writer = Spawn([rw] {
    rw->write_lock();
    rw->write_unlock();
  });
  EXPECT_FALSE(Ready(writer, kQuiet)) << "writer entered beside a reader";
  rw->read_unlock();
  ASSERT_TRUE(Ready(writer, kBound));
  rw->write_lock();
  auto lateReader = Spawn(reader);
  EXPECT_FALSE(Ready(lateReader, kQuiet)) << "reader entered beside the writer";
  rw->write_unlock();
  EXPECT_TRUE(Ready(lateReader, kBound));
}

// ---------------------------------------------------------------------------
// Sockets

// accept and select wait out their bound; writing to a gone peer fails with
// EPIPE or ECONNRESET. (That wake() ends a select at once and the accept fault
// seams, the ServerLink suite shows; that a blocked read wakes at a shutdown
// and that no SIGPIPE comes, the Link suite; the peer's address, the tools'
// process test.)
TEST(Socket, LoopbackRoundTripSelectAndClose) {
  os_tcp_connection_server listener{os_socket_address(0), 16};
  os_tcp_socket client{1}, server{0};
  ConnectTo(client, listener.socket_address().port());
  timeval tv{0, 100 * 1000}, bound{5, 0};
  ASSERT_TRUE(listener.accept(server, &bound));
  EXPECT_TRUE(client.connected() && client.good() && server.connected());
  os_io_multiplexer mux;
  const unsigned c = static_cast<unsigned>(client.handle()),
                 d = static_cast<unsigned>(server.handle());
  mux.read_scan({c, d});
  ExpectTakes(100, [&] { EXPECT_FALSE(listener.accept(server, &tv)); });
  EXPECT_EQ(listener.last_accept_error(), EAGAIN);
  ExpectTakes(100, [&] { EXPECT_EQ(mux.select(&tv), 0); });
  EXPECT_EQ(client.write("hello", 5), 5);
  EXPECT_EQ(mux.select(&bound), 1);
  EXPECT_TRUE(mux.is_ready(d) && !mux.is_ready(c));
  char buf[16];
  ASSERT_EQ(hxtest::ReadExact(server.handle(), 5), "hello");
  client.shutdown(2);
  EXPECT_FALSE(client.connected());
  client.close();
  EXPECT_EQ(server.read(buf, 1), 0) << "end of stream after the peer closed";
  EXPECT_EQ(client.handle(), -1);
  EXPECT_TRUE(client.read(buf, 1) == -1 && !client.good() && client.error() == EBADF);
  client.close();  // a second close is harmless

  std::vector<char> chunk(64 * 1024, 'x');
  const int size = static_cast<int>(chunk.size());
  int last = size;
  for (int i = 0; i < 1000 && last == size; ++i) last = server.write(chunk.data(), size);
  EXPECT_LT(last, size) << "writes to a closed peer kept succeeding";
  EXPECT_TRUE(!server.good() && (server.error() == EPIPE || server.error() == ECONNRESET))
      << server.error();
}

// A refused connect carries its native code and leaves no descriptor behind.
// Refused first, then no answer: the last attempt's error, and every address
// within the one bound.
TEST(Socket, ConnectErrorsAndTheBoundSharedByEveryAddress) {
  hxtest::RefusingPort refusing;
  os_tcp_socket s(1);
  auto e = ErrorOf([&] { ConnectTo(s, refusing.port); });
  EXPECT_EQ(e.native_code(), ECONNREFUSED);
  EXPECT_EQ(e.portable_code(), OS_ERR_CONNECTION_REFUSED);
  EXPECT_STRNE(NetError::description(e.portable_code()), "");
  EXPECT_TRUE(!s.connected() && s.handle() == -1) << "the failed descriptor leaked";
  hxtest::FullListener full;
  ASSERT_TRUE(full.Filled());
  os_socket_address gone(os_ip_address("127.0.0.1"), refusing.port);
  os_socket_address dropping(os_ip_address("127.0.0.1"), full.Port());
  long saved = os_connectable_socket::connect_timeout();
  EXPECT_EQ(saved, 21000) << "default bound";
  os_connectable_socket::set_connect_timeout(300);
  auto timesOut = [&](long ms, long over, auto connect) {
    ExpectTakes(
        ms, [&] { EXPECT_EQ(ErrorOf(connect).native_code(), ETIMEDOUT); }, over);
  };
  timesOut(300, 2000, [&] { ConnectTo(s, full.Port()); });
  timesOut(300, 450, [&] { s.connect_to_any({gone, dropping, dropping, dropping}); });
  os_connectable_socket::set_connect_timeout(0);  // over at once: the refusing one is never tried
  timesOut(0, 2000, [&] { s.connect_to_any({dropping, gone}); });
  os_connectable_socket::set_connect_timeout(saved);
}

void NoOp(int) {}

// adopt takes over a connected descriptor. A blocking send returns a partial
// count when a signal interrupts it after some bytes went out, and a blocking
// receive fails with EINTR: signals sent to both ends' threads while some
// megabytes pass make that happen many times. The bytes must arrive whole and
// in order across more buffers than one system call takes (IOV_MAX is 1024 on
// Linux), some of them empty.
TEST(Socket, AdoptedDescriptorsCarryOnThroughPartialWritesAndInterruptedReads) {
  struct sigaction sa {
  }, old{};
  sa.sa_handler = NoOp;  // no SA_RESTART: EINTR is exercised too
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  timeval bound{5, 0};  // a receive that waits longer fails, so the test never hangs
  ASSERT_EQ(::setsockopt(sv[1], SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound), 0);
  std::unique_ptr<os_tcp_socket> s(os_tcp_socket::adopt(sv[0])), r(os_tcp_socket::adopt(sv[1]));
  EXPECT_TRUE(s->handle() == sv[0] && s->connected() && s->good());
  auto size = [](size_t i) -> size_t { return i % 7 == 3 ? 0 : i % 5 * 3000 + i; };
  std::string expected, got;
  for (size_t i = 0; i < 1500; ++i) expected.resize(expected.size() + size(i));
  for (size_t k = 0; k < expected.size(); ++k) expected[k] = static_cast<char>(k * 31 % 251);
  std::vector<iovec> iov;
  for (size_t i = 0, at = 0; i < 1500; at += size(i++))
    iov.push_back(iovec{&expected[at], size(i)});
  std::promise<long> written;
  std::future<long> writtenF = written.get_future();
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    written.set_value(s->writev(iov.data(), static_cast<int>(iov.size())));
    writing = false;
  });
  std::thread pester([&, reader = pthread_self()] {  // for 20 s at most: then reads time out
    for (auto end = Clock::now() + 20s; writing && Clock::now() < end;) {
      pthread_kill(writer.native_handle(), SIGUSR1);
      pthread_kill(reader, SIGUSR1);
      std::this_thread::yield();
    }
  });
  char buf[16384];
  for (int n; got.size() < expected.size() && (n = r->read(buf, sizeof buf)) > 0;)
    got.append(buf, n);
  EXPECT_TRUE(r->good()) << "error " << r->error();
  if (!Ready(writtenF, kBound)) ::shutdown(sv[1], SHUT_RDWR);  // unblock the writer
  writer.join();
  pester.join();  // every signal sent has been handled: the old action may return
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_EQ(writtenF.get(), static_cast<long>(expected.size()));
  EXPECT_TRUE(s->good()) << "error " << s->error();
  EXPECT_TRUE(got == expected) << "bytes lost, repeated or reordered: " << got.size();
  s.reset();  // closes sv[0]: the other end sees end of stream
  EXPECT_EQ(r->read(buf, sizeof buf), 0);
}

// ---------------------------------------------------------------------------
// Addresses

TEST(IpAddress, TextNamesAndWhatTheIPv4OnlyAccessorsGiveForIPv6) {
  const std::pair<const char*, uint32_t> rows[] = {{"127.0.0.1", 0x7f000001},
                                                   {"10.1.2.3", 0x0a010203},
                                                   {"255.255.255.255", 0xffffffff},
                                                   {"localhost", 0x7f000001}};
  for (const auto& r : rows)
    EXPECT_EQ(static_cast<uint32_t>(os_ip_address(r.first).as_long()), htonl(r.second)) << r.first;
  os_ip_address v6("2001:0db8:0:0::1");
  EXPECT_EQ(v6.text(), "2001:db8::1");
  EXPECT_EQ(v6.as_long(), 0);
  EXPECT_EQ(os_ip_address("fe80::1%lo").text(), "fe80::1%lo") << "the scope is kept";
  EXPECT_TRUE(os_ip_address("::").is_any());
  EXPECT_FALSE(os_ip_address("::1").is_any());

  os_socket_address a(os_ip_address("::1"), 4000);
  EXPECT_EQ(a.family(), AF_INET6);
  EXPECT_EQ(a.port(), 4000);
  EXPECT_EQ(a.ip_address(), 0);
  a.ip_address(os_ip_address("127.0.0.1").as_long());  // becomes IPv4, keeps its port
  EXPECT_EQ(a.family(), AF_INET);
  EXPECT_EQ(a.ip().text() + ":" + std::to_string(a.port()), "127.0.0.1:4000");
}

// connect_to_any tries each address in turn: the first that connects wins
// (when none does, the test above and the tools' refusal check show it). A
// name that resolves to both families is dialled this way, in order; here it
// runs also where "localhost" has one address only. (The listener of both
// families and the peers it names are the ServerLink suite's.)
TEST(Socket, ConnectToAnyTriesTheNextAddressAfterARefusal) {
  IPV6_OR_SKIP();
  os_tcp_connection_server listener(0, 16);
  const int port = listener.socket_address().port();
  hxtest::RefusingPort refusing4(AF_INET), refusing6(AF_INET6);
  os_socket_address gone4(os_ip_address("127.0.0.1"), refusing4.port);
  os_socket_address gone6(os_ip_address("::1"), refusing6.port);
  os_socket_address at4(os_ip_address("127.0.0.1"), port), at6(os_ip_address("::1"), port);
  const std::pair<std::vector<os_socket_address>, int> rows[] = {{{gone6, at4}, AF_INET},
                                                                 {{gone4, at6}, AF_INET6}};
  for (auto& r : rows) {
    os_tcp_socket s(1);
    ASSERT_NO_THROW(s.connect_to_any(r.first)) << r.second;
    EXPECT_TRUE(s.connected() && s.peer_address().family() == r.second) << r.second;
  }
}

// ---------------------------------------------------------------------------
// Threads

// A thread body that reports the id it sees, then waits to be let go. With
// `refused` set it leaves the library's per-thread connect error set (a CTL
// request to a port that refuses), which the next run must not find.
struct ThreadRun {
  std::promise<os_thread_t> seen;
  std::shared_future<void> go;
  int refused = 0;
  long errors[2] = {};  // the connect error as the run starts and after its request
  pthread_t self{};
};
void* Body(void* arg) {
  auto* r = static_cast<ThreadRun*>(arg);
  r->errors[0] = CtlInterface::LastConnectError();
  r->self = pthread_self();
  if (r->refused) {
    CtlHostParams p{"127.0.0.1", "", 5, static_cast<ComponentTypeEnum>(3)};
    std::snprintf(p.m_Port, sizeof p.m_Port, "%d", r->refused);
    std::string info;
    CtlInterface::LifeCheck(p, info);
  }
  r->errors[1] = CtlInterface::LastConnectError();
  r->seen.set_value(os_this_thread::tid());
  r->go.wait();
  return nullptr;
}

bool EndsWithin(os_thread_t id, std::chrono::milliseconds bound) {
  return Ready(Spawn([id] { os_this_thread::wait_for_thread(id); }), bound);
}

// The second run is on the first's parked thread: it has an id and an end of
// its own, and none of the library's thread-local state of the first run.
// A throwing function ends only its own run. (The creation seam is driven by
// the Link suite.)
TEST(Threads, EachRunHasItsOwnIdEndAndThreadState) {
  os_thread_t previous = os_this_thread::tid();
  hxtest::RefusingPort refusing;
  pthread_t first{};
  for (int run = 0; run < 2; ++run) {
    std::promise<void> go;
    ThreadRun r{{}, go.get_future().share(), run == 0 ? refusing.port : 0};
    auto seen = r.seen.get_future();
    os_thread t(Body, &r, 0, false);
    ASSERT_TRUE(Ready(seen, kBound));
    EXPECT_EQ(seen.get(), t.tid()) << "the thread sees the id its object reports";
    EXPECT_EQ(r.errors[0], 0) << "run " << run;
    EXPECT_EQ(r.errors[1], run == 0 ? ECONNREFUSED : 0);
    EXPECT_TRUE(run == 0 || pthread_equal(r.self, first)) << "not run on the parked thread";
    first = r.self;
    EXPECT_NE(t.tid(), previous);
    EXPECT_TRUE(os_thread::exists(t.tid()) && t.running());
    EXPECT_FALSE(EndsWithin(t.tid(), kQuiet)) << "wait ended before the thread";
    go.set_value();
    ASSERT_TRUE(EndsWithin(t.tid(), kBound));
    EXPECT_FALSE(os_thread::exists(t.tid()) || t.running());
    previous = t.tid();
    ASSERT_TRUE(hxtest::Eventually([] { return os_thread::parked() > 0; }));
  }
  auto e = ErrorOf<os_thread_toolkit_error>(
      [] { os_this_thread::wait_for_thread(os_this_thread::tid()); });
  EXPECT_EQ(e.native_code(), EDEADLK) << "waiting for itself";
  EXPECT_TRUE(EndsWithin(os_thread_t{~0ull}, kBound)) << "an unknown id returns at once";

  os_thread thrower([](void*) -> void* { throw std::runtime_error("from a thread function"); },
                    nullptr, 0, false);
  EXPECT_TRUE(EndsWithin(thrower.tid(), kBound));
}

}  // namespace
