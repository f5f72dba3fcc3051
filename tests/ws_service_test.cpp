#include "hx_net/ws_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <future>
#include <thread>

#include "tests/support/test_support.h"

namespace {

// The registry never dereferences a Link, so distinct addresses will do.
char g_LinkSlots[4];
Link* FakeLink(int n) {
  return reinterpret_cast<Link*>(&g_LinkSlots[n]);
}

// Sends and cleanups call back on the caller's thread, so only the test's own
// thread touches these (the concurrent test has callbacks of its own).
std::vector<std::pair<Link*, std::string>> g_Sent;
std::vector<int> g_Aborted;  // the callback data of each abort, in call order
std::vector<std::future<unsigned>> g_Others;

int CaptureSend(Link* link, const char* message, long length) {
  g_Sent.emplace_back(link, std::string(message, static_cast<size_t>(length)));
  return 0;
}
// Calls the registry from its own thread and from another one, which would
// block if the cleanup still held the list lock (the futures outlive the call,
// so that a failing test ends instead of deadlocking); data 0 creates a record.
int RecordAbort(ws_service* record, int reason, const char* text, long length, int data) {
  EXPECT_EQ(data, record->callback_data);  // the removed record itself, still readable
  EXPECT_TRUE(reason == 6 && *text == '\0' && length == 0);
  EXPECT_EQ(nullptr, ws_service_get(record, 1));  // already unlisted
  g_Others.push_back(std::async(std::launch::async, [] { return ServListSize(); }));
  EXPECT_EQ(std::future_status::ready, g_Others.back().wait_for(std::chrono::seconds(5)))
      << "abort callback called with the list lock held";
  if (data == 0) ws_service_create("late", nullptr, 9, nullptr, "U", "DC1", false);
  g_Aborted.push_back(data);
  return 0;
}

template <class F>
ws_service_func AsFunc(F* f) {
  return reinterpret_cast<ws_service_func>(f);
}
const ws_service_func kAbortCB = AsFunc(&RecordAbort);

class WsService : public ::testing::Test {
 protected:
  void SetUp() override { ws_service_init(AsFunc(&CaptureSend)); }
  void TearDown() override {  // nothing may outlive a test
    ws_service_cleanup_all();
    g_Sent.clear();
    g_Aborted.clear();
    g_Others.clear();
  }
  ws_service* Create(const char* instance, int data, const char* user = "U", const char* dc = "DC1",
                     Link* link = FakeLink(0), bool direct = false, ws_service_func cb = kAbortCB) {
    return ws_service_create(instance, cb, data, link, user, dc, direct);
  }
};

// The header and the send function's results are checked on every input of
// the fuzz corpus (fuzz/ws_service_header_fuzz.cpp); here: the link, null data,
// the other results and the trace lines.
TEST_F(WsService, SendAndItsResults) {
  hxtest::TraceCapture trace({"ws_service"}, 5);  // "Enter" lines are the facility's
  ws_service* rec = Create("123456002", 0, "ABC", "ZRH1", FakeLink(1));
  ASSERT_EQ(0, ws_service_send(rec, nullptr, 2, 0x151, 0x241));  // the low byte of each type
  ASSERT_EQ(1u, g_Sent.size());
  EXPECT_EQ(FakeLink(1), g_Sent[0].first);
  EXPECT_EQ("AQ123456002ZRHABC" + std::string(61, ' ') + std::string(2, '\0'), g_Sent[0].second);
  EXPECT_EQ(-2, ws_service_send(rec, "d", -1, 0, 0));
  ws_service_init(nullptr);  // as before the first ws_service_init
  EXPECT_EQ(-2, ws_service_send(rec, "d", 1, 0, 0));
  ws_service_init(AsFunc(&CaptureSend));
  ws_service_destroy(rec);
  EXPECT_EQ(-1, ws_service_send(rec, "d", 1, 0, 0));  // compared, never read: not traced
  EXPECT_EQ(1u, g_Sent.size());
  Create("9", 4, "ABC", "ZRH1");
  ws_service_cleanup_all();
  std::vector<std::string> seen;
  for (const TraceLine& l : trace.Lines())
    seen.push_back(l.module + "|" + l.scope + "|" + std::to_string(l.level) + "|" + l.text);
  const std::string creating = "ws_service|ws_service_create|5|Creating service [",
                    tail = " for ORQ server [ZRH1] for user [ABC]";
  EXPECT_EQ(seen, (std::vector<std::string>{
                      creating + "123456002]" + tail,
                      "ws_service|ws_service_send|5|Sending service [123456002]" + tail,
                      "ws_service|ws_service_destroy|5|Destroying service [123456002]" + tail,
                      creating + "9]" + tail,
                      "ws_service|AbortAndFree::operator()|5|service callback abort by cleanup - "
                      "instance >9< user id>ABC< short_dc>ZRH1<"}));
}

TEST_F(WsService, FindMatchesInstanceUserAndServer) {
  ws_service* a = Create("100", 1, "alice", "DC1");
  ws_service* b = Create("100", 2, "bob", "DC1");
  ws_service* a2 = Create("100", 3, "alice", "DC1");
  ws_service* c = Create("200", 4, "", "DC2");
  ws_service* cut = Create("1234567890", 5, "x", "ABCDE");
  const struct {
    const char *instance, *user, *dc;
    ws_service* expected;
  } cases[] = {
      {"100", "bob", "DC1", b},          {"100", "CTL_RESP", "DC1", a},
      {"100", "ALICE", "DC1", nullptr},  {"100", "ctl_resp", "DC1", nullptr},
      {"100", "alice", "DC2", nullptr},  {"10", "alice", "DC1", nullptr},
      {"200", nullptr, "DC2", c},        {nullptr, "", "DC2", nullptr},
      {"1234567890", "x", "ABCDE", cut}, {"123456789", "x", "ABCD", cut},
  };
  for (const auto& k : cases) {
    EXPECT_EQ(k.expected, ws_service_find(k.instance, k.user, k.dc, FakeLink(3)))
        << (k.instance ? k.instance : "(null)") << "/" << (k.user ? k.user : "(null)");
  }
  ws_service_destroy(a);  // the newer equal record is found now
  EXPECT_EQ(a2, ws_service_find("100", "alice", "DC1", nullptr));
  EXPECT_EQ(b, ws_service_find("100", "CTL_RESP", "DC1", nullptr));
}

// A destroy in the middle keeps the order of the others: record 5 stays behind 4.
TEST_F(WsService, GetDestroyAndCleanups) {
  ws_service stranger{};  // never listed: left alone (get: every RecordAbort checks it)
  stranger.CallCBDirect = true;
  ws_service_set_CallCBDirect(&stranger, false);
  EXPECT_TRUE(stranger.CallCBDirect && !ws_service_get_CallCBDirect(&stranger));
  EXPECT_EQ(0, ws_service_destroy(&stranger));

  ws_service* first = Create("0", 41, "U", "DC1", FakeLink(0));
  *static_cast<int*>(ws_service_get(first, 1)) = 0;  // the abort callback sees the new value
  EXPECT_EQ(FakeLink(0), ws_service_get(first, 2));
  EXPECT_EQ(reinterpret_cast<void*>(kAbortCB), ws_service_get(first, 3));
  EXPECT_EQ(nullptr, ws_service_get(first, 4));
  EXPECT_FALSE(ws_service_get_CallCBDirect(first));
  ws_service_set_CallCBDirect(first, true);
  EXPECT_TRUE(ws_service_get_CallCBDirect(first));
  ws_service_set_CallCBDirect(first, false);
  EXPECT_TRUE(ws_service_get_CallCBDirect(Create("1", 1, "U", "DC1", FakeLink(1), true)));
  ws_service* gone = Create("x", 9, "U", "DC1", FakeLink(0));
  Create("2", 2, "U", "DC2", FakeLink(0));
  Create("3", 3, "U", "DC1", FakeLink(1), false, /*cb=*/nullptr);  // freed silently
  Create("4", 4, "U", "DC1", FakeLink(1));
  Create("5", 5, "U", "DC1", FakeLink(2));
  EXPECT_EQ(0, ws_service_destroy(gone));
  EXPECT_EQ(6u, ServListSize());
  EXPECT_EQ(0u, ws_service_cleanup("DC9") + ws_service_cleanup_link(FakeLink(3)));
  EXPECT_TRUE(g_Aborted.empty());            // also none for the destroyed record
  EXPECT_EQ(4u, ws_service_cleanup("DC1"));  // "1" is exempt: CallCBDirect
  ASSERT_EQ((std::vector<int>{0, 4, 5}), g_Aborted);
  EXPECT_EQ(2u, ws_service_cleanup_link(FakeLink(1)) + ws_service_cleanup_link(FakeLink(0)));
  EXPECT_EQ((std::vector<int>{0, 4, 5, 1, 2}), g_Aborted);
  EXPECT_EQ(1u, ServListSize());  // the one that the abort of "0" created
  EXPECT_NE(nullptr, ws_service_find("late", "U", "DC1", nullptr));
}

std::string ClockText(int64_t when) {
  const time_t t = static_cast<time_t>(when);
  struct tm local;
  char text[7];
  strftime(text, sizeof text, "%H%M%S", localtime_r(&t, &local));
  return text;
}

// The generator's state is the caller's, so a test can put it anywhere.
TEST(GetServiceInstance, CountsByTwosWithinASecond) {
  char buf[11] = "xxxxxxxxx#";
  int64_t last = 0;
  int counter = 0;
  EXPECT_EQ(buf, get_service_instance(buf, last, counter));
  const std::string clock = ClockText(last);
  EXPECT_EQ(clock + "002#", buf);  // position 9 is never written
  get_service_instance(buf, last, counter);
  EXPECT_TRUE(buf == clock + "004#" || buf == ClockText(last) + "002#") << buf;
  const int64_t future = last = last + 100000;  // the clock went back: the old time is kept
  counter = 10;
  memcpy(buf, "123456", 6);
  get_service_instance(buf, last, counter);
  EXPECT_EQ(std::string("123456012#"), buf);
  EXPECT_LT(last, future);
  const int64_t first = last = time(nullptr);  // the 500th within a second waits for the next
  counter = 998;
  get_service_instance(buf, last, counter);
  EXPECT_GT(last, first);
  EXPECT_EQ(ClockText(last) + "002#", buf);
}

// Workers create, find, send and destroy their own records while a cleaner
// removes records under them. Every record must end exactly once: destroyed by
// its worker or aborted by a cleanup.
std::atomic<int> g_Ended[4 * 1000];
int CountAbort(ws_service*, int, const char*, long, int data) {
  g_Ended[data].fetch_add(1);
  (void)ServListSize();  // callbacks may use the registry
  return 0;
}
int CheckingSend(Link*, const char* message, long length) {
  return length == 78 + 4 && message[0] == 'R' ? 0 : -1;
}

TEST_F(WsService, ConcurrentUseLosesNoRecordAndFreesNoneTwice) {
  constexpr int kWorkers = 4, kPerWorker = 1000, kKept = 8;
  ws_service_init(AsFunc(&CheckingSend));
  std::atomic<int> running{kWorkers};
  auto key = [](int id) { return std::to_string(100000000 + id); };  // nine digits
  auto dc = [](int id) { return id % 2 ? "DC1" : "DC2"; };
  auto end = [&](int id) {
    WS_SERVICE_list_scope_lock hold;  // the found record stays alive while held
    if (ws_service* rec = ws_service_find(key(id).c_str(), "CTL_RESP", dc(id), nullptr)) {
      EXPECT_EQ(0, ws_service_send(rec, "data", 4, 'Q', 'R'));
      EXPECT_EQ(id, *static_cast<int*>(ws_service_get(rec, 1)));
      g_Ended[id].fetch_add(1);
      ws_service_destroy(rec);
    }
  };
  std::vector<std::thread> threads;
  for (int w = 0; w < kWorkers; ++w) {
    threads.emplace_back([&, w] {
      // Each record stays listed while kKept more are made, for the cleaner to find.
      for (int id = w * kPerWorker; id < (w + 1) * kPerWorker + kKept; ++id) {
        if (id < (w + 1) * kPerWorker) {
          ws_service_create(key(id).c_str(), AsFunc(&CountAbort), id, FakeLink(id % 3), "U", dc(id),
                            id % 5 == 0);
          ws_service* rec = ws_service_find(key(id).c_str(), "U", dc(id), nullptr);
          if (rec) (void)ws_service_send(rec, "data", 4, 'Q', 'R');  // may be gone: -1
        }
        if (id - kKept >= w * kPerWorker) end(id - kKept);
      }
      running.fetch_sub(1);
    });
  }
  for (int round = 0; round == 0 || running.load() > 0; ++round) {
    ws_service_cleanup_link(FakeLink(round % 3));
    ws_service_cleanup("DC1");
    if (round % 7 == 0) ws_service_cleanup_all();
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(0u, ServListSize());
  for (int id = 0; id < kWorkers * kPerWorker; ++id)
    ASSERT_EQ(1, g_Ended[id].load()) << "record " << id;
}

}  // namespace
