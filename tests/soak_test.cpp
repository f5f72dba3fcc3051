// Soak: everything at once against one server for HX_SOAK_SECONDS (default 5):
// streaming links with sequence numbers and checksums, idle links, short-lived
// connections, CTL life checks and registry churn. Nothing may be lost,
// corrupted or reordered, every link ends once, threads and descriptors return
// to their starting count, and (natively, in runs of 20 s and more) resident
// memory stays flat after a warm-up. Ctest label: soak.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "hx_net/AcceptManager.h"
#include "hx_net/CtlClient.h"
#include "hx_net/ServerLink.h"
#include "hx_net/ws_service.h"
#include "tests/support/test_support.h"

using namespace hxtest;
using Clock = std::chrono::steady_clock;

namespace {

int EnvInt(const char* name, int def) {
  const char* v = std::getenv(name);
  return v && *v ? std::atoi(v) : def;
}
int Entries(const char* dir) {
  return static_cast<int>(std::distance(std::filesystem::directory_iterator(dir), {}));
}
long ResidentKiB() {
  long pages = 0, res = 0;
  std::ifstream("/proc/self/statm") >> pages >> res;
  return res * (sysconf(_SC_PAGESIZE) / 1024);
}
uint32_t Fnv(const char* d, size_t n) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(d[i])) * 16777619u;
  return h;
}

// Server side: echoes frames, answers CTL life checks (user id "CTL").
struct EchoSession : AcceptedLinkCBClass {
  bool DeleteWithLink() override { return true; }
  void Receive(unsigned n, const char* d, Link* link) override {
    if (n >= 78 && std::memcmp(d, "++", 2) == 0 && std::memcmp(d + 14, "CTL ", 4) == 0) {
      const std::string reply = "++000000000   CTL_RESP" + std::string(56, ' ') + "OK";
      link->Send(reply.data(), static_cast<unsigned>(reply.size()));
    } else {
      link->Send(d, n);
    }
  }
  void Exception(int, Link*) override {}
};
struct EchoServer : AcceptManagerCBClass {
  AcceptedLinkCBClass* CreateLinkCBObject() override { return new EchoSession; }
};

// A streaming link: each echo must carry the next sequence number and the
// checksum of its bytes.
struct Stream : LinkCBClass {
  std::mutex mu;
  std::condition_variable cv;
  uint64_t sent = 0, received = 0;
  std::atomic<int> errors{0}, ends{0};
  Link link;
  void Receive(unsigned n, const char* d, Link*) override {
    uint64_t seq = 0;
    uint32_t sum = 0;
    if (n >= 12) {
      std::memcpy(&seq, d, 8);
      std::memcpy(&sum, d + 8, 4);
    }
    std::lock_guard<std::mutex> g(mu);
    errors += n < 12 || seq != received || sum != Fnv(d + 12, n - 12);
    ++received;
    cv.notify_all();
  }
  void Exception(int, Link*) override {
    std::lock_guard<std::mutex> g(mu);
    ++ends;
    cv.notify_all();
  }
};
struct Idle : Recorder {
  Link link;
};

}  // namespace

TEST(Soak, EverythingAtOnce) {
  const int seconds = EnvInt("HX_SOAK_SECONDS", 5);
  std::vector<std::unique_ptr<Stream>> streams(static_cast<size_t>(EnvInt("HX_SOAK_STREAMS", 8)));
  std::vector<std::unique_ptr<Idle>> idle(static_cast<size_t>(EnvInt("HX_SOAK_IDLE", 50)));
  std::thread([] {}).join();  // ThreadSanitizer starts a thread of its own with the first one
  const int fdStart = Entries("/proc/self/fd"), threadStart = Entries("/proc/self/task");

  auto server = std::make_unique<EchoServer>();
  auto listener = std::make_unique<ServerLink>();
  listener->SetCallbackObject(*server);
  const int port = listener->InitServer(0, "127.0.0.1", 1, -1);
  ASSERT_GT(port, 0);
  const std::string portText = std::to_string(port);
  auto connect = [&](Link& l, LinkCBClass& cb) {
    long err = 0;
    l.SetCallbackObject(cb);
    return l.Connect("127.0.0.1", portText.c_str(), err) == 0;
  };
  for (auto& s : streams) s = std::make_unique<Stream>();
  for (auto& i : idle) i = std::make_unique<Idle>();
  for (auto& s : streams) ASSERT_TRUE(connect(s->link, *s));
  for (auto& i : idle) ASSERT_TRUE(connect(i->link, *i));

  // The time starts once every link is set up: under a sanitizer, with other
  // tests beside it, the set-up alone can take seconds.
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  std::atomic<bool> failed{false};
  std::atomic<int> shortLived{0}, lifeChecks{0}, services{0};
  std::vector<std::thread> workers;
  for (size_t i = 0; i < streams.size(); ++i) {
    workers.emplace_back([&, i] {  // mixed sizes, at most 64 frames in flight
      Stream& s = *streams[i];
      std::mt19937 rng(static_cast<unsigned>(i));
      const size_t sizes[] = {12, 100, 1500, 20000, 70000, 300000};
      std::string frame;
      while (Clock::now() < end && !failed) {
        uint64_t seq;
        {
          std::unique_lock<std::mutex> g(s.mu);
          if (!s.cv.wait_for(g, kWait, [&] { return s.sent - s.received < 64 || s.ends; }))
            failed = true;  // echoes stopped coming
          if (failed || s.ends) return;
          seq = s.sent++;
        }
        frame.resize(sizes[rng() % 6] + rng() % 64);
        for (size_t k = 12; k < frame.size(); ++k) frame[k] = static_cast<char>(rng());
        const uint32_t sum = Fnv(&frame[12], frame.size() - 12);
        std::memcpy(&frame[0], &seq, 8);
        std::memcpy(&frame[8], &sum, 4);
        if (s.link.Send(frame.data(), static_cast<unsigned>(frame.size())) != 0) failed = true;
      }
    });
  }
  workers.emplace_back([&] {  // five new connections a second, ten frames each
    for (auto next = Clock::now(); Clock::now() < end && !failed; ++shortLived) {
      Recorder rec;
      Link l;
      if (!connect(l, rec)) {
        failed = true;
        break;
      }
      for (int k = 0; k < 10; ++k) l.Send("short-lived", 11);
      failed = failed || !rec.WaitFrames(10);
      l.DisConnect();
      failed = failed || rec.Ends() != 1 || rec.Frames().size() != 10;
      std::this_thread::sleep_until(next += std::chrono::milliseconds(200));  // pacing only
    }
  });
  for (int t = 0; t < 2; ++t) {
    workers.emplace_back([&] {
      CtlHostParams p{};
      std::snprintf(p.m_Host, sizeof p.m_Host, "127.0.0.1");
      std::snprintf(p.m_Port, sizeof p.m_Port, "%d", port);
      p.m_Timeout = 10;
      p.m_ComponentType = static_cast<ComponentTypeEnum>(1);
      for (std::string info; Clock::now() < end && !failed; ++lifeChecks)
        if (CtlInterface::LifeCheck(p, info) != CTL_RC_OK) failed = true;
    });
  }
  workers.emplace_back([&] {  // registry churn
    ws_service_init(reinterpret_cast<ws_service_func>(+[](Link*, const char*, long) { return 0; }));
    char buf[10] = {0};
    int64_t last = 0;
    int counter = 0;
    Link* fake = reinterpret_cast<Link*>(&services);
    for (; Clock::now() < end && !failed; ++services) {
      get_service_instance(buf, last, counter);
      ws_service* r = ws_service_create(buf, nullptr, 0, fake, "soak", "DC1", false);
      if (ws_service_find(buf, "soak", "DC1", nullptr) != r || ws_service_send(r, "x", 1, 1, 1))
        failed = true;
      if (services % 7 == 0)
        ws_service_cleanup_link(fake);
      else
        ws_service_destroy(r);
    }
    ws_service_cleanup_all();
  });

  long rssAfterWarmup = 0;
  if (seconds >= 20) {
    std::this_thread::sleep_for(std::chrono::seconds(10));
    rssAfterWarmup = ResidentKiB();
  }
  for (auto& w : workers) w.join();
  const long rssEnd = ResidentKiB();
  EXPECT_FALSE(failed.load());

  for (size_t i = 0; i < streams.size(); ++i) {  // every frame back, intact and in order
    Stream& s = *streams[i];
    std::unique_lock<std::mutex> g(s.mu);
    EXPECT_TRUE(s.cv.wait_for(g, kWait, [&] { return s.received == s.sent; }))
        << "stream " << i << ": sent " << s.sent << ", received " << s.received;
    EXPECT_EQ(s.errors.load(), 0) << "stream " << i;
    EXPECT_GT(s.sent, 0u);
  }
  for (auto& s : streams) s->link.DisConnect();
  for (auto& i : idle) i->link.DisConnect();
  for (auto& s : streams) EXPECT_EQ(s->ends.load(), 1);
  for (auto& i : idle) EXPECT_TRUE(i->Ends() == 1 && i->Frames().empty());
  EXPECT_GT(lifeChecks.load(), 0);
  EXPECT_GT(shortLived.load(), 0);
  EXPECT_EQ(ServListSize(), 0u);

  const auto stopStart = Clock::now();
  listener->StopServer();
  const auto stopMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopStart).count();
  std::printf(
      "soak: %d s, %zu streams, %zu idle, %d short-lived connections, %d life checks, "
      "%d services; final StopServer %lld ms; rss %ld KiB -> %ld KiB\n",
      seconds, streams.size(), idle.size(), shortLived.load(), lifeChecks.load(), services.load(),
      static_cast<long long>(stopMs), rssAfterWarmup, rssEnd);
  listener.reset();
  server.reset();
  streams.clear();
  idle.clear();

  // Threads (which leave the task list a moment after they end) and
  // descriptors back to where they started; threads of ended links may stay
  // parked for reuse.
  EXPECT_TRUE(Eventually([&] {
    return Entries("/proc/self/task") == threadStart + static_cast<int>(os_thread::parked());
  })) << Entries("/proc/self/task")
      << " threads, " << threadStart << " at the start, " << os_thread::parked() << " parked";
  EXPECT_EQ(Entries("/proc/self/fd"), fdStart);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  if (rssAfterWarmup) {
    EXPECT_LT(rssEnd - rssAfterWarmup, 8 * 1024) << "resident memory grew";
  }
#endif
}
