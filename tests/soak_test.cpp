// Soak: everything at once against one server for HX_SOAK_SECONDS (default 5):
// streaming links whose frames follow from their sequence numbers, idle links,
// short-lived connections, CTL life checks and registry churn. Nothing may be
// lost, corrupted or reordered, every link ends once, threads and descriptors
// return to their starting count, and (natively, in runs of 20 s and more)
// resident memory stays flat after a warm-up. Ctest label: soak.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "hx_net/CtlClient.h"
#include "hx_net/ws_service.h"
#include "tests/support/test_support.h"
#include "tests/support/tls_pki.h"

using namespace hxtest;
using Clock = std::chrono::steady_clock;

namespace {

size_t EnvInt(const char* name, int def) {
  const char* v = std::getenv(name);
  return static_cast<size_t>(v && *v ? std::atoi(v) : def);
}
int Entries(const char* dir) {
  return static_cast<int>(std::distance(std::filesystem::directory_iterator(dir), {}));
}
long ResidentKiB() {
  long pages = 0, res = 0;
  std::ifstream("/proc/self/statm") >> pages >> res;
  return res * (sysconf(_SC_PAGESIZE) / 1024);
}

// Frame `seq` of a stream: its number, then bytes that follow from it, in
// sizes from 12 bytes to 300 KB.
std::string StreamFrame(uint64_t seq) {
  static const size_t sizes[] = {12, 100, 1500, 20000, 70000, 300000};
  std::string f(sizes[seq % 6] + seq * 37 % 64, '\0');
  std::mt19937 rng(static_cast<unsigned>(seq));
  for (char& c : f) c = static_cast<char>(rng());
  std::memcpy(&f[0], &seq, 8);
  return f;
}

// A streaming link: each echo must be the next frame of the stream, whole.
struct Stream : LinkCBClass, Waitable {
  Link link;
  uint64_t sent = 0, received = 0;
  int errors = 0, ends = 0;
  void Receive(unsigned n, const char* d, Link*) override {
    const bool same = StreamFrame(received) == std::string(d, n);  // only this thread counts
    Locked([&] {
      errors += !same;
      ++received;
    });
  }
  void Exception(int, Link*) override {
    Locked([&] { ++ends; });
  }
};

}  // namespace

TEST(Soak, EverythingAtOnce) {
  const int seconds = static_cast<int>(EnvInt("HX_SOAK_SECONDS", 5));
  std::thread([] {}).join();  // ThreadSanitizer starts a thread of its own with the first one
  const int fdStart = Entries("/proc/self/fd"), threadStart = Entries("/proc/self/task");
  std::atomic<bool> failed{false};
  std::atomic<int> shortLived{0}, lifeChecks{0}, services{0};
  long rssAfterWarmup = 0, rssEnd = 0;
  {
    TestServer server(nullptr, [](const std::string& f) {  // echoes; answers CTL life checks
      const bool ctl =
          f.size() >= 78 && f.compare(0, 2, "++") == 0 && f.compare(14, 4, "CTL ") == 0;
      return std::vector<std::string>{ctl ? "++000000000   CTL_RESP" + std::string(56, ' ') + "OK"
                                          : f};
    });
    ASSERT_GT(std::stoi(server.port), 0);
    auto connect = [&](Link& l, LinkCBClass& cb) {
      long err = 0;
      l.SetCallbackObject(cb);
      return l.Connect("127.0.0.1", server.port.c_str(), err) == 0;
    };
    const size_t streaming = EnvInt("HX_SOAK_STREAMS", 8);
    std::vector<Stream> streams(streaming + EnvInt("HX_SOAK_IDLE", 50));  // the rest stay idle
    for (auto& s : streams) ASSERT_TRUE(connect(s.link, s));

    // The time starts once every link is set up: under a sanitizer, with
    // other tests beside it, the set-up alone can take seconds.
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> workers;
    for (size_t i = 0; i < streaming; ++i)
      workers.emplace_back([&, s = &streams[i]] {  // at most 64 frames in flight
        for (uint64_t seq = 0; Clock::now() < end && !failed; s->sent = ++seq) {
          // A wait that runs out means the echoes stopped coming.
          if (!s->Wait([&] { return seq - s->received < 64 || s->ends; }) ||
              s->Locked([&] { return s->ends; }))
            failed = true;
          const std::string f = StreamFrame(seq);
          if (failed || s->link.Send(f.data(), static_cast<unsigned>(f.size())) != 0)
            return void(failed = true);
        }
      });
    workers.emplace_back([&] {  // five new connections a second, ten frames each
      for (auto next = Clock::now(); Clock::now() < end && !failed; ++shortLived) {
        Recorder rec;
        Link l;
        if (!connect(l, rec)) return void(failed = true);
        for (int k = 0; k < 10; ++k) l.Send("short-lived", 11);
        failed = failed || !rec.WaitFrames(10);
        l.DisConnect();
        failed = failed || rec.Ends() != 1 || rec.Frames().size() != 10;
        std::this_thread::sleep_until(next += std::chrono::milliseconds(200));  // pacing only
      }
    });
    for (int t = 0; t < 2; ++t)
      workers.emplace_back([&] {
        CtlHostParams p{"127.0.0.1", "", 10, static_cast<ComponentTypeEnum>(1)};
        std::strcpy(p.m_Port, server.port.c_str());
        for (std::string info; Clock::now() < end && !failed; ++lifeChecks)
          failed = failed || CtlInterface::LifeCheck(p, info) != CTL_RC_OK;
      });
    workers.emplace_back([&] {  // registry churn
      ws_service_init(
          reinterpret_cast<ws_service_func>(+[](Link*, const char*, long) { return 0; }));
      char buf[10] = {0};
      int64_t last = 0;
      int counter = 0;
      Link* fake = reinterpret_cast<Link*>(&services);
      for (; Clock::now() < end && !failed; ++services) {
        get_service_instance(buf, last, counter);
        ws_service* r = ws_service_create(buf, nullptr, 0, fake, "soak", "DC1", false);
        failed = failed || ws_service_find(buf, "soak", "DC1", nullptr) != r ||
                 ws_service_send(r, "x", 1, 1, 1);
        services % 7 ? (void)ws_service_destroy(r) : (void)ws_service_cleanup_link(fake);
      }
      ws_service_cleanup_all();
    });

    if (seconds >= 20) {
      std::this_thread::sleep_for(std::chrono::seconds(10));
      rssAfterWarmup = ResidentKiB();
    }
    for (auto& w : workers) w.join();
    rssEnd = ResidentKiB();
    EXPECT_FALSE(failed.load());
    for (auto& s : streams) {  // every frame back, whole and in order; none on an idle link
      EXPECT_TRUE(s.Wait([&] { return s.received == s.sent; }))
          << s.Locked([&] { return s.sent - s.received; }) << " echoes missing";
      s.link.DisConnect();
      const bool idle = &s - &streams[0] >= static_cast<long>(streaming);
      EXPECT_TRUE(s.Locked([&] { return (idle || s.sent > 0) && s.errors == 0 && s.ends == 1; }));
    }
    EXPECT_GT(lifeChecks.load(), 0);
    EXPECT_GT(shortLived.load(), 0);
    EXPECT_EQ(ServListSize(), 0u);
    std::printf(
        "soak: %d s, %d short-lived links, %d life checks, %d services; rss %ld -> %ld KiB\n",
        seconds, shortLived.load(), lifeChecks.load(), services.load(), rssAfterWarmup, rssEnd);
  }
  // Threads (which leave the task list a moment after they end) and
  // descriptors back to where they started; threads of ended links may stay
  // parked for reuse.
  EXPECT_TRUE(Eventually([&] {
    return Entries("/proc/self/task") == threadStart + static_cast<int>(os_thread::parked());
  })) << Entries("/proc/self/task")
      << " threads, " << threadStart << " at the start, " << os_thread::parked() << " parked";
  EXPECT_EQ(Entries("/proc/self/fd"), fdStart);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_TRUE(!rssAfterWarmup || rssEnd - rssAfterWarmup < 8 * 1024) << "resident memory grew";
#endif
}
