// Soak: everything at once against one server for HX_SOAK_SECONDS (default 5):
// streaming links with sequence numbers and checksums, idle links, short-lived
// connections, CTL life checks and registry churn. Checks that nothing is lost,
// corrupted or reordered, every Exception comes once, threads and descriptors
// return to their starting count, and (natively, in longer runs) that resident
// memory stays flat after a warm-up. Ctest label: soak.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <thread>

#include "hx_net/AcceptManager.h"
#include "hx_net/CtlClient.h"
#include "hx_net/ServerLink.h"
#include "hx_net/strutil.h"
#include "hx_net/ws_service.h"
#include "tests/support/test_support.h"

using namespace hxtest;
using Clock = std::chrono::steady_clock;

namespace {

int EnvInt(const char* name, int def) {
  const char* v = std::getenv(name);
  return v && *v ? std::atoi(v) : def;
}

int CountEntries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}
long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, res = 0;
  statm >> pages >> res;
  return res * (sysconf(_SC_PAGESIZE) / 1024);
}

uint32_t Fnv(const char* d, size_t n) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(d[i])) * 16777619u;
  return h;
}

// Server side: echoes frames, answers CTL life checks.
class EchoSession : public AcceptedLinkCBClass {
 public:
  bool DeleteWithLink() override { return true; }
  void Receive(unsigned n, const char* d, Link* link) override {
    if (n >= 78 && d[0] == '+' && d[1] == '+') {
      char user[65];
      std::memcpy(user, d + 14, 64);
      user[64] = '\0';
      strtrim(user);
      if (std::strcmp(user, "CTL") == 0) {
        std::string reply = "++000000000   CTL_RESP";
        reply.append(78 - reply.size(), ' ');
        reply += "OK";
        link->Send(reply.data(), static_cast<unsigned>(reply.size()));
        return;
      }
    }
    link->Send(d, n);
  }
  void Exception(int, Link*) override {}
};
class EchoServer : public AcceptManagerCBClass {
 public:
  AcceptedLinkCBClass* CreateLinkCBObject() override { return new EchoSession; }
};

// Client side of a streaming link: checks each echo against what was sent.
struct StreamClient : LinkCBClass {
  std::mutex mu;
  std::condition_variable cv;
  uint64_t sent = 0, received = 0;
  std::atomic<int> errors{0};
  std::atomic<int> ends{0};
  void Receive(unsigned n, const char* d, Link*) override {
    uint64_t seq;
    uint32_t sum;
    if (n < 12) {
      ++errors;
      return;
    }
    std::memcpy(&seq, d, 8);
    std::memcpy(&sum, d + 8, 4);
    std::lock_guard<std::mutex> g(mu);
    if (seq != received || sum != Fnv(d + 12, n - 12)) ++errors;
    ++received;
    cv.notify_all();
  }
  void Exception(int, Link*) override {
    ++ends;
    cv.notify_all();
  }
};

int RegistrySend(Link*, const char*, long) {
  return 0;
}

}  // namespace

TEST(Soak, EverythingAtOnce) {
  const int seconds = EnvInt("HX_SOAK_SECONDS", 5);
  const int streams = EnvInt("HX_SOAK_STREAMS", 8);
  const int idle = EnvInt("HX_SOAK_IDLE", 50);
  // ThreadSanitizer starts a thread of its own with the first thread created.
  std::thread([] {}).join();
  const int fdStart = CountEntries("/proc/self/fd");
  const int threadStart = CountEntries("/proc/self/task");

  auto server = std::make_unique<EchoServer>();
  auto listener = std::make_unique<ServerLink>();
  listener->SetCallbackObject(*server);
  int port = listener->InitServer(0, "127.0.0.1", 1, -1);
  ASSERT_GT(port, 0);
  std::string portText = std::to_string(port);
  auto connect = [&](Link& l, LinkCBClass& cb) {
    long err = 0;
    l.SetCallbackObject(cb);
    return l.Connect(const_cast<char*>("127.0.0.1"), const_cast<char*>(portText.c_str()), err) == 0;
  };

  std::atomic<bool> failed{false};
  std::vector<std::thread> workers;

  // Streaming links: mixed sizes, at most 64 frames in flight per link.
  std::vector<std::unique_ptr<StreamClient>> clients(static_cast<size_t>(streams));
  std::vector<std::unique_ptr<Link>> streamLinks(static_cast<size_t>(streams));
  for (int i = 0; i < streams; ++i) {
    clients[static_cast<size_t>(i)] = std::make_unique<StreamClient>();
    streamLinks[static_cast<size_t>(i)] = std::make_unique<Link>();
    ASSERT_TRUE(connect(*streamLinks[static_cast<size_t>(i)], *clients[static_cast<size_t>(i)]));
  }
  // Idle links.
  std::vector<std::unique_ptr<Recorder>> idleRecs;
  std::vector<std::unique_ptr<Link>> idleLinks;
  for (int i = 0; i < idle; ++i) {
    idleRecs.push_back(std::make_unique<Recorder>());
    idleLinks.push_back(std::make_unique<Link>());
    ASSERT_TRUE(connect(*idleLinks.back(), *idleRecs.back()));
  }

  // The test's time starts once every link is set up: under a sanitizer,
  // with other tests beside it, the set-up alone can take seconds.
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  for (int i = 0; i < streams; ++i) {
    workers.emplace_back([&, i] {
      StreamClient& c = *clients[static_cast<size_t>(i)];
      Link& l = *streamLinks[static_cast<size_t>(i)];
      std::mt19937 rng(static_cast<unsigned>(i));
      const size_t sizes[] = {12, 100, 1500, 20000, 70000, 300000};
      std::string frame;
      while (Clock::now() < end && !failed) {
        {
          std::unique_lock<std::mutex> g(c.mu);
          if (!c.cv.wait_for(g, kWait, [&] { return c.sent - c.received < 64 || c.ends; })) {
            failed = true;  // echoes stopped coming
            return;
          }
          if (c.ends) return;
        }
        size_t n = sizes[rng() % 6] + rng() % 64;
        frame.resize(n);
        for (size_t k = 12; k < n; ++k) frame[k] = static_cast<char>(rng());
        uint64_t seq = c.sent;
        uint32_t sum = Fnv(frame.data() + 12, n - 12);
        std::memcpy(&frame[0], &seq, 8);
        std::memcpy(&frame[8], &sum, 4);
        {
          std::lock_guard<std::mutex> g(c.mu);
          ++c.sent;
        }
        if (l.Send(frame.data(), static_cast<unsigned>(n)) != 0) failed = true;
      }
    });
  }

  // Five new connections a second, ten frames each, then closed.
  std::atomic<int> shortLived{0};
  workers.emplace_back([&] {
    auto next = Clock::now();
    while (Clock::now() < end && !failed) {
      Recorder rec;
      Link l;
      if (!connect(l, rec)) {
        failed = true;
        return;
      }
      for (int k = 0; k < 10; ++k) l.Send("short-lived", 11);
      if (!rec.WaitFrames(10)) failed = true;
      l.DisConnect();
      if (rec.Ends() != 1 || rec.Frames().size() != 10) failed = true;
      ++shortLived;
      next += std::chrono::milliseconds(200);
      std::this_thread::sleep_until(next);  // pacing, not ordering
    }
  });

  // Two threads of life checks.
  std::atomic<int> lifeChecks{0};
  for (int t = 0; t < 2; ++t)
    workers.emplace_back([&] {
      CtlHostParams p{};
      std::snprintf(p.m_Host, sizeof p.m_Host, "127.0.0.1");
      std::snprintf(p.m_Port, sizeof p.m_Port, "%d", port);
      p.m_Timeout = 10;
      p.m_ComponentType = static_cast<ComponentTypeEnum>(1);
      while (Clock::now() < end && !failed) {
        std::string info;
        if (CtlInterface::LifeCheck(p, info) != CTL_RC_OK) failed = true;
        ++lifeChecks;
      }
    });

  // Registry churn.
  std::atomic<int> services{0};
  workers.emplace_back([&] {
    ws_service_init(reinterpret_cast<ws_service_func>(&RegistrySend));
    char buf[10] = {0};
    int64_t last = 0;
    int counter = 0;
    Link* fake = reinterpret_cast<Link*>(&services);
    while (Clock::now() < end && !failed) {
      get_service_instance(buf, last, counter);
      buf[9] = '\0';
      ws_service* r = ws_service_create(buf, nullptr, 0, fake, "soak", "DC1", false);
      if (ws_service_find(buf, "soak", "DC1", nullptr) == nullptr) failed = true;
      if (ws_service_send(r, "x", 1, 1, 1) != 0) failed = true;
      if (++counter % 7 == 0)
        ws_service_cleanup_link(fake);
      else
        ws_service_destroy(r);
      ++services;
    }
    ws_service_cleanup_all();
  });

  // Resident memory after the warm-up, for the native run's growth check.
  long rssAfterWarmup = 0;
  if (seconds >= 20) {
    std::this_thread::sleep_until(Clock::now() + std::chrono::seconds(10));
    rssAfterWarmup = ResidentKiB();
  }
  for (auto& w : workers) w.join();
  long rssEnd = ResidentKiB();
  EXPECT_FALSE(failed.load());

  // Streams: every frame sent came back intact and in order.
  for (int i = 0; i < streams; ++i) {
    StreamClient& c = *clients[static_cast<size_t>(i)];
    std::unique_lock<std::mutex> g(c.mu);
    EXPECT_TRUE(c.cv.wait_for(g, kWait, [&] { return c.received == c.sent; }))
        << "stream " << i << ": sent " << c.sent << ", received " << c.received;
    EXPECT_EQ(c.errors.load(), 0) << "stream " << i;
    EXPECT_GT(c.sent, 0u);
  }
  for (auto& l : streamLinks) l->DisConnect();
  for (auto& l : idleLinks) l->DisConnect();
  for (auto& c : clients) EXPECT_EQ(c->ends.load(), 1);
  for (auto& r : idleRecs) {
    EXPECT_EQ(r->Ends(), 1);
    EXPECT_TRUE(r->Frames().empty());
  }
  EXPECT_GT(lifeChecks.load(), 0);
  EXPECT_GT(shortLived.load(), 0);
  EXPECT_EQ(ServListSize(), 0u);

  auto stopStart = Clock::now();
  listener->StopServer();
  auto stopMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopStart).count();
  listener.reset();
  server.reset();
  streamLinks.clear();
  idleLinks.clear();
  std::printf(
      "soak: %d s, %d streams, %d idle, %d short-lived connections, %d life checks, "
      "%d services; final StopServer %lld ms; rss %ld KiB -> %ld KiB\n",
      seconds, streams, idle, shortLived.load(), lifeChecks.load(), services.load(),
      static_cast<long long>(stopMs), rssAfterWarmup, rssEnd);

  // Threads and descriptors back to where they started (threads leave the
  // task list a moment after they are joined).
  // Threads of ended links may stay parked for reuse; nothing else remains.
  EXPECT_TRUE(Eventually([&] {
    return CountEntries("/proc/self/task") == threadStart + static_cast<int>(os_thread::parked());
  })) << CountEntries("/proc/self/task")
      << " threads, " << threadStart << " at the start, " << os_thread::parked() << " parked";
  EXPECT_EQ(CountEntries("/proc/self/fd"), fdStart);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  if (rssAfterWarmup) {
    EXPECT_LT(rssEnd - rssAfterWarmup, 8 * 1024) << "resident memory grew";
  }
#endif
}
