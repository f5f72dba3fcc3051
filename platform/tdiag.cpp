#include "platform/tdiag.h"

#include <sys/time.h>

#include <cstdio>
#include <ctime>
#include <deque>
#include <map>
#include <memory>

#include "platform/os_toolkit.h"

namespace {
const size_t kBufferLines = 1000;

void DefaultSink(const TraceLine& line) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm t{};
  time_t secs = tv.tv_sec;
  localtime_r(&secs, &t);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%H:%M:%S", &t);
  std::fprintf(stderr, "%s.%03ld [%llu] %s %u %s: %s\n", stamp,
               static_cast<long>(tv.tv_usec / 1000),
               static_cast<unsigned long long>(os_this_thread::tid().id), line.module.c_str(),
               line.level, line.scope.c_str(), line.text.c_str());
}
}  // namespace

struct TDiag::Impl {
  mutable std::mutex mu;
  bool debugOn = false;
  bool bufferOn = false;
  std::map<std::string, unsigned> debugLevel;
  std::map<std::string, unsigned> bufferLevel;
  std::map<unsigned, unsigned> ctxDebug;
  std::map<unsigned, unsigned> ctxBuffer;
  std::vector<std::pair<std::string, DbgLevels*>> modules;
  std::vector<std::string> keyNames;  // key - 1 -> module
  std::shared_ptr<std::function<void(const TraceLine&)>> sink;
  mutable std::mutex ringMu;
  std::deque<TraceLine> ring;

  unsigned Level(const std::map<std::string, unsigned>& m, const std::string& k) const {
    auto it = m.find(k);
    return it == m.end() ? 0 : it->second;
  }
  unsigned Ctx(const std::map<unsigned, unsigned>& m, unsigned c) const {
    auto it = m.find(c);
    return it == m.end() ? 0 : it->second;
  }
};

TDiag& TDiag::Instance() {
  // Leaked: threads may trace while static objects are destroyed.
  static TDiag* instance = new TDiag;
  return *instance;
}

TDiag::TDiag() : m_pImpl(new Impl) {}

void TDiag::Recompute() {
  // Called with m_pImpl->mu held.
  Impl& d = *m_pImpl;
  bool dbg = d.debugOn && m_eState == 2;
  for (auto& m : d.modules) {
    unsigned g = 0;
    if (dbg) g = d.Level(d.debugLevel, m.first) + 1;
    if (d.bufferOn) g = std::max(g, d.Level(d.bufferLevel, m.first) + 1);
    m.second->gate.store(g, std::memory_order_relaxed);
  }
  unsigned c = 0;
  if (dbg && d.ctxDebug.count(8192)) c = d.ctxDebug[8192] + 1;
  if (d.bufferOn && d.ctxBuffer.count(8192)) c = std::max(c, d.ctxBuffer[8192] + 1);
  m_CtxGate8192.store(c, std::memory_order_relaxed);
}

void TDiag::EnableDebugOutput(bool on) {
  std::lock_guard<std::mutex> g(m_pImpl->mu);
  m_pImpl->debugOn = on;
  Recompute();
}
void TDiag::SetModuleLevel(const std::string& module, unsigned level) {
  std::lock_guard<std::mutex> g(m_pImpl->mu);
  m_pImpl->debugLevel[module] = level;
  Recompute();
}
void TDiag::SetContextLevel(unsigned context, unsigned level) {
  std::lock_guard<std::mutex> g(m_pImpl->mu);
  m_pImpl->ctxDebug[context] = level;
  Recompute();
}
void TDiag::SetSink(std::function<void(const TraceLine&)> sink) {
  std::lock_guard<std::mutex> g(m_pImpl->mu);
  if (sink)
    m_pImpl->sink = std::make_shared<std::function<void(const TraceLine&)>>(std::move(sink));
  else
    m_pImpl->sink.reset();
}
void TDiag::EnableAllModules(unsigned level) {
  std::lock_guard<std::mutex> g(m_pImpl->mu);
  for (auto& m : m_pImpl->modules) m_pImpl->debugLevel[m.first] = level;
  m_pImpl->ctxDebug[8192] = level;
  m_pImpl->debugOn = true;
  Recompute();
}

void TDiag::EnableBufferOutput(bool on) {
  std::lock_guard<std::mutex> g(m_pImpl->mu);
  m_pImpl->bufferOn = on;
  Recompute();
}
void TDiag::SetModuleBufferLevel(const std::string& module, unsigned level) {
  std::lock_guard<std::mutex> g(m_pImpl->mu);
  m_pImpl->bufferLevel[module] = level;
  Recompute();
}
void TDiag::SetContextBufferLevel(unsigned context, unsigned level) {
  std::lock_guard<std::mutex> g(m_pImpl->mu);
  m_pImpl->ctxBuffer[context] = level;
  Recompute();
}
std::vector<TraceLine> TDiag::BufferedLines() const {
  std::lock_guard<std::mutex> g(m_pImpl->ringMu);
  return std::vector<TraceLine>(m_pImpl->ring.begin(), m_pImpl->ring.end());
}

unsigned TDiag::GetFixedDebugLevel(unsigned key) const {
  std::lock_guard<std::mutex> g(m_pImpl->mu);
  if (key == 0 || key > m_pImpl->keyNames.size()) return 0;
  return m_pImpl->Level(m_pImpl->debugLevel, m_pImpl->keyNames[key - 1]);
}
unsigned TDiag::GetFixedBufferLevel(unsigned key) const {
  std::lock_guard<std::mutex> g(m_pImpl->mu);
  if (key == 0 || key > m_pImpl->keyNames.size()) return 0;
  return m_pImpl->Level(m_pImpl->bufferLevel, m_pImpl->keyNames[key - 1]);
}
unsigned TDiag::GetContextDebugLevel(unsigned context, bool) const {
  std::lock_guard<std::mutex> g(m_pImpl->mu);
  return m_pImpl->Ctx(m_pImpl->ctxDebug, context);
}
unsigned TDiag::GetContextBufferLevel(unsigned context) const {
  std::lock_guard<std::mutex> g(m_pImpl->mu);
  return m_pImpl->Ctx(m_pImpl->ctxBuffer, context);
}

void TDiag::Register(const char* module, DbgLevels& levels) {
  std::lock_guard<std::mutex> g(m_pImpl->mu);
  m_pImpl->keyNames.push_back(module);
  levels.debugKey = levels.bufferKey = static_cast<unsigned>(m_pImpl->keyNames.size());
  m_pImpl->modules.emplace_back(module, &levels);
  Recompute();
}

void TDiag::flush(FormatObj* fo) {
  Impl& d = *m_pImpl;
  std::shared_ptr<std::function<void(const TraceLine&)>> sink;
  bool toDebug = false, toBuffer = false;
  {
    std::lock_guard<std::mutex> g(d.mu);
    unsigned ctxDbg = fo->context >= 0 ? d.Ctx(d.ctxDebug, static_cast<unsigned>(fo->context)) : 0;
    unsigned ctxBuf = fo->context >= 0 ? d.Ctx(d.ctxBuffer, static_cast<unsigned>(fo->context)) : 0;
    bool ctxDbgOn = fo->context >= 0 && d.ctxDebug.count(static_cast<unsigned>(fo->context)) &&
                    ctxDbg >= fo->level;
    bool ctxBufOn = fo->context >= 0 && d.ctxBuffer.count(static_cast<unsigned>(fo->context)) &&
                    ctxBuf >= fo->level;
    toDebug =
        d.debugOn && m_eState == 2 && (d.Level(d.debugLevel, fo->module) >= fo->level || ctxDbgOn);
    toBuffer = d.bufferOn && (d.Level(d.bufferLevel, fo->module) >= fo->level || ctxBufOn);
    if (toDebug) sink = d.sink;
  }
  if (!toDebug && !toBuffer) return;
  TraceLine line;
  line.module = fo->module;
  line.level = fo->level;
  line.context = fo->context;
  line.scope = fo->scope;
  line.text = fo->stream.str();
  if (toBuffer) {
    std::lock_guard<std::mutex> g(d.ringMu);
    d.ring.push_back(line);
    if (d.ring.size() > kBufferLines) d.ring.pop_front();
  }
  if (toDebug) {
    if (sink)
      (*sink)(line);
    else
      DefaultSink(line);
  }
}

TDiagRegister::TDiagRegister(const char* module, DbgLevels& levels) {
  TDiag::Instance().Register(module, levels);
}

namespace {
thread_local FormatObj* t_FormatObj = nullptr;
thread_local int t_FormatDepth = 0;
}  // namespace

FormatObj* TDiagFunc::GetThreadFormatObj() const {
  if (!t_FormatObj) t_FormatObj = new FormatObj;  // one per thread, freed at thread exit below
  return t_FormatObj;
}

namespace {
// Frees the thread's FormatObj when the thread ends.
struct FormatObjReaper {
  ~FormatObjReaper() {
    delete t_FormatObj;
    t_FormatObj = nullptr;
  }
};
thread_local FormatObjReaper t_Reaper;
}  // namespace

void TDiagFunc::Enter() {
  TraceStream(*this, 6, -1) << "Enter";
}

TraceStream::TraceStream(const TDiagFunc& fn, unsigned level, int context) {
  // A trace line written while this thread formats another (a sink that
  // traces, say) gets a buffer of its own instead of the thread's, which is locked.
  if (t_FormatDepth++ == 0) {
    (void)&t_Reaper;
    m_pFo = fn.GetThreadFormatObj();
  } else {
    m_pFo = new FormatObj;
  }
  m_pFo->lock.lock();
  m_pFo->stream.str(std::string());
  m_pFo->stream.clear();
  m_pFo->module = fn.Module();
  m_pFo->scope = fn.Name();
  m_pFo->level = level;
  m_pFo->context = context;
}

TraceStream::~TraceStream() {
  FormatObj* fo = m_pFo;
  // The buffer belongs to this thread alone, and a nested line gets its own
  // (the depth is still raised), so the sink runs without the facility's lock.
  fo->lock.unlock();
  try {
    TDiag::Instance().flush(fo);
  } catch (...) {
    // A failing sink must not take the caller down with it.
  }
  if (--t_FormatDepth != 0) delete fo;
}
