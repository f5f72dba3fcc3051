// Tests of the trace facility: the level rules, the cost of a disabled line,
// what a sink receives, and tracing from a sink and from many threads.
#include "platform/tdiag.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

#include "hx_net/trace_modules.h"
#include "tests/support/test_support.h"

namespace {
using Texts = std::vector<std::string>;

const Texts kModules = {"Link", "ServerLink", "AcceptManager", "CtlClient", "ws_service"};

// Debug output on, every module at level 0, lines captured; restored after.
class TDiagTest : public ::testing::Test {
 protected:
  void TearDown() override {
    d.EnableBufferOutput(false);
    for (const std::string& m : kModules) d.SetModuleBufferLevel(m, 0);
    d.SetContextBufferLevel(8192, 0);
  }
  // Every field of the lines so far: "module|level|context|scope|text".
  Texts Shown() {
    Texts out;
    for (const TraceLine& l : trace.Lines())
      out.push_back(l.module + "|" + std::to_string(l.level) + "|" + std::to_string(l.context) +
                    "|" + l.scope + "|" + l.text);
    trace.Clear();
    return out;
  }
  TDiag& d = TDiag::Instance();
  hxtest::TraceCapture trace{kModules, 0};
};

void TraceAtLevel(unsigned n) {
  WS_SCOPE("tdiag_test");
  HX_TRACE(n, "line " << n);
}

// A context line passes by its context's level, any other by its module's.
// The library never asks a level by its key; the accessor must still find it.
TEST_F(TDiagTest, ALinePassesByItsModuleLevelOrItsContextLevel) {
  d.SetModuleLevel("CtlClient", 2);  // another module's level does not open this one
  TraceAtLevel(1);
  d.SetContextLevel(8192, 3);
  CTL_SCOPE("CtlInterface::CtlRequest");
  HX_TRACE_CTX(3, kCtlTraceContext, "request");
  HX_TRACE_CTX(4, kCtlTraceContext, "too deep for the context");
  HX_TRACE(3, "plain line above the module level");
  HX_TRACE_CTX(3, 77, "another context");
  HX_TRACE(2, "plain line at the module level");
  EXPECT_EQ(Shown(),
            (Texts{"CtlClient|3|8192|CtlInterface::CtlRequest|request",
                   "CtlClient|2|-1|CtlInterface::CtlRequest|plain line at the module level"}));
  const DbgLevels* keys[] = {&g_LinkDbg, &g_ServerLinkDbg, &g_AcceptManagerDbg, &g_CtlClientDbg,
                             &g_WsServiceDbg};
  for (unsigned i = 0; i < kModules.size(); ++i) d.SetModuleLevel(kModules[i], i + 1);
  for (unsigned i = 0; i < kModules.size(); ++i)
    EXPECT_EQ(d.GetFixedDebugLevel(keys[i]->debugKey), i + 1) << kModules[i];
}

TEST_F(TDiagTest, ADisabledLineFormatsNothing) {
  std::atomic<int> calls{0};
  d.SetModuleLevel("Link", 6);
  d.SetContextLevel(8192, 6);
  d.EnableDebugOutput(false);
  {
    LINK_SCOPE("Link::Send");
    HX_TRACE(0, (++calls, "counted"));
    HX_TRACE_CTX(0, kCtlTraceContext, (++calls, "counted"));
  }
  EXPECT_EQ(calls.load(), 0) << "an argument was formatted with output off";
  EXPECT_TRUE(trace.Lines().empty()) << "not even the \"Enter\" line may pass";
  d.EnableDebugOutput(true);
  d.SetModuleLevel("Link", 2);
  d.SetContextLevel(8192, 0);
  {
    LINK_SCOPE("Link::Send");
    HX_TRACE(3, (++calls, "counted"));
    HX_TRACE_CTX(3, kCtlTraceContext, (++calls, "counted"));
    EXPECT_EQ(calls.load(), 0) << "an argument above the level was formatted";
    HX_TRACE(2, "x=" << (++calls, "counted"));
  }
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(Shown(), Texts{"Link|2|-1|Link::Send|x=counted"});
}

// A line ends in a destructor: an exception out of the sink would end the
// process there. A sink may trace and configure: the facility holds none of
// its locks while it calls the sink, and the nested line gets a buffer of its
// own. A null sink restores the default, on standard error.
TEST_F(TDiagTest, ASinkMayThrowOrTraceAndNullRestoresTheDefault) {
  d.SetModuleLevel("ws_service", 6);
  d.SetSink([](const TraceLine&) { throw std::runtime_error("sink failed"); });
  EXPECT_NO_THROW(TraceAtLevel(4));
  d.SetSink(trace.Sink());
  TraceAtLevel(4);
  EXPECT_EQ(Shown(),
            (Texts{"ws_service|6|-1|tdiag_test|Enter", "ws_service|4|-1|tdiag_test|line 4"}))
      << "the next line is not affected";
  d.SetModuleLevel("Link", 5);
  d.SetSink([keep = trace.Sink()](const TraceLine& l) {
    thread_local bool inside = false;
    keep(l);
    if (inside) return;
    inside = true;
    TDiag::Instance().SetModuleLevel("ServerLink", 0);
    {
      LINK_SCOPE("Sink::Nested");
      HX_TRACE(5, "from the sink");
    }
    inside = false;
  });
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> f = done->get_future();
  std::thread([done] {
    LINK_SCOPE("Link::Send");
    HX_TRACE(5, "outer " << 1);
    HX_TRACE(5, "outer " << 2);
    done->set_value();
  }).detach();
  ASSERT_EQ(f.wait_for(hxtest::kWait), std::future_status::ready) << "tracing from a sink hangs";
  EXPECT_EQ(Shown(),
            (Texts{"Link|5|-1|Link::Send|outer 1", "Link|5|-1|Sink::Nested|from the sink",
                   "Link|5|-1|Link::Send|outer 2", "Link|5|-1|Sink::Nested|from the sink"}));
  d.SetModuleLevel("AcceptManager", 4);
  d.SetSink(nullptr);
  testing::internal::CaptureStderr();
  {
    ACCEPTMGR_SCOPE("AcceptManagerCBClass::Reap");
    HX_TRACE(4, "reaped " << 3 << " links");
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(trace.Lines().empty()) << "the replaced sink still receives lines";
  EXPECT_NE(err.find(" AcceptManager 4 AcceptManagerCBClass::Reap: reaped 3 links\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find("Enter"), std::string::npos) << "level 6 passed a level of 4";
}

TEST_F(TDiagTest, BufferChannelKeepsLinesByItsOwnLevels) {
  d.EnableDebugOutput(false);
  d.EnableBufferOutput(true);
  d.SetModuleBufferLevel("ServerLink", 4);
  d.SetContextBufferLevel(8192, 5);
  d.SetContextLevel(8192, 6);  // a debug context level does not open the debug channel
  {
    SERVERLINK_SCOPE("ServerLink::ServerThread");
    HX_TRACE(4, "kept in memory");
    HX_TRACE(5, "too deep");
    HX_TRACE_CTX(5, kCtlTraceContext, "kept by its context");
  }
  EXPECT_TRUE(trace.Lines().empty()) << "the debug channel is off";
  std::vector<TraceLine> kept = d.BufferedLines();
  ASSERT_GE(kept.size(), 2u);
  EXPECT_EQ(kept.end()[-2].scope + "|" + kept.end()[-2].text + "|" + kept.back().text,
            "ServerLink::ServerThread|kept in memory|kept by its context");
}

// Run under TSan: lines from several threads, with the sink and the levels
// changing meanwhile, arrive whole and exactly once.
TEST_F(TDiagTest, ConcurrentTracingWithASink) {
  d.SetModuleLevel("Link", 4);
  const int kThreads = 4, kLines = 500;
  std::atomic<bool> stop{false};
  std::thread config([&] {
    for (unsigned i = 0; !stop.load(); ++i) {
      d.SetSink(trace.Sink());
      d.SetContextLevel(8192, i % 4);
      d.SetModuleLevel("CtlClient", i % 7);
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t)
    ts.emplace_back([t] {
      LINK_SCOPE("Link::WriteLoop");
      for (int i = 0; i < kLines; ++i) HX_TRACE(4, "thread " << t << " line " << i);
    });
  for (auto& t : ts) t.join();
  stop = true;
  config.join();
  Texts got = Shown(), want;
  for (int n = 0; n < kThreads * kLines; ++n)
    want.push_back("Link|4|-1|Link::WriteLoop|thread " + std::to_string(n / kLines) + " line " +
                   std::to_string(n % kLines));
  EXPECT_TRUE(std::is_permutation(got.begin(), got.end(), want.begin(), want.end()))
      << got.size() << " lines";
}

}  // namespace
