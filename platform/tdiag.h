// Public header: the trace facility.
//
// The library only traces; programs and tests configure. A trace line is
// written by a module at a level 0..6 (0 severe .. 6 "Enter"). It reaches the
// debug channel (the sink) when debug output is enabled and the module's level
// is at least the line's, or, for lines of a trace context such as 8192 (CTL
// traffic), when that context's level is. The buffer channel keeps the last
// lines in memory when buffer output is enabled, by the same rule with the
// buffer levels. With both channels off, a line costs one branch on a relaxed
// atomic and formats nothing.
//
// Every configuration call is thread-safe and may be made at any time. The sink
// is called on the tracing thread, without any lock of the facility held, and
// must be thread-safe itself; it must copy what it keeps.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/hx_export.h"

// What a sink receives, one per trace line.
struct HX_NET_API TraceLine {
  std::string module;  // "Link", "ServerLink", "AcceptManager", "CtlClient", "ws_service"
  unsigned level = 0;  // 0..6
  int context = -1;    // 8192 for CTL traffic lines, else -1
  std::string scope;   // the open trace scope, e.g. "Link::ReadLoop"
  std::string text;    // the line's text, pieces joined as streamed
};

// One per module, zero when loaded. The facility owns the values: the two
// keys and the gate, which it recomputes on every configuration change.
struct HX_NET_API DbgLevels {
  unsigned debugKey = 0;
  unsigned bufferKey = 0;
  // A line of level N passes when N < gate (0: nothing passes).
  std::atomic<unsigned> gate{0};
};

class TDiagFunc;

// The thread's line buffer: a lock, a stream and the header of the line.
class HX_NET_API FormatObj {
 public:
  std::mutex lock;
  std::ostringstream stream;
  const char* module = "";
  const char* scope = "";
  unsigned level = 0;
  int context = -1;
  bool debugChannel = false;
  bool bufferChannel = false;
};

class HX_NET_API TDiag {
 public:
  static TDiag& Instance();

  // --- configuration (programs and tests) ---
  void EnableDebugOutput(bool on);                                 // default: off
  void SetModuleLevel(const std::string& module, unsigned level);  // default: 0
  void SetContextLevel(unsigned context, unsigned level);          // default: 0 (off)
  // null restores the default sink (one line per trace line on stderr).
  void SetSink(std::function<void(const TraceLine&)> sink);
  // Every registered module and context 8192 at `level`, debug output on:
  // what a program's --trace option wants.
  void EnableAllModules(unsigned level);
  void EnableBufferOutput(bool on);  // default: off
  void SetModuleBufferLevel(const std::string& module, unsigned level);
  void SetContextBufferLevel(unsigned context, unsigned level);
  std::vector<TraceLine> BufferedLines() const;  // the last lines of the buffer channel

  // --- what the library calls ---
  int m_eState = 2;  // 2: working
  unsigned GetFixedDebugLevel(unsigned key) const;
  unsigned GetFixedBufferLevel(unsigned key) const;
  unsigned GetContextDebugLevel(unsigned context, bool) const;
  unsigned GetContextBufferLevel(unsigned context) const;
  void flush(FormatObj* fo);
  void Register(const char* module, DbgLevels& levels);
  // True when a line of `level` in `context` can pass for a module whose gate
  // is below it (the context rule). One relaxed load for context 8192.
  bool ContextOn(int context, unsigned level) const {
    return context == 8192 && level < m_CtxGate8192.load(std::memory_order_relaxed);
  }

 private:
  TDiag();
  struct Impl;
  void Recompute();
  Impl* m_pImpl;
  std::atomic<unsigned> m_CtxGate8192{0};
};

// Registers a module with the facility; one static object per module.
class HX_NET_API TDiagRegister {
 public:
  TDiagRegister(const char* module, DbgLevels& levels);
};

// A trace scope: construct one on entry to a traced operation. It writes
// "Enter" at level 6. Cheap when tracing is off: it stores three pointers and
// tests one atomic.
class HX_NET_API TDiagFunc {
 public:
  TDiagFunc(const char* module, DbgLevels& levels, const char* name)
      : m_Module(module), m_pLevels(&levels), m_Name(name) {
    if (On(6)) Enter();
  }
  ~TDiagFunc() = default;
  TDiagFunc(const TDiagFunc&) = delete;
  TDiagFunc& operator=(const TDiagFunc&) = delete;

  bool On(unsigned level) const { return level < m_pLevels->gate.load(std::memory_order_relaxed); }
  bool On(unsigned level, int context) const {
    return On(level) || TDiag::Instance().ContextOn(context, level);
  }
  FormatObj* GetThreadFormatObj() const;
  const char* Name() const { return m_Name; }
  const char* Module() const { return m_Module; }

 private:
  void Enter();
  const char* m_Module;
  DbgLevels* m_pLevels;
  const char* m_Name;
};

// Builds one line and hands it to the facility when it goes out of scope.
class HX_NET_API TraceStream {
 public:
  TraceStream(const TDiagFunc& fn, unsigned level, int context);
  ~TraceStream();
  template <class T>
  TraceStream& operator<<(const T& v) {
    m_pFo->stream << v;
    return *this;
  }

 private:
  FormatObj* m_pFo;
};

// Writes one line in scope `fn` at `level`: HX_TRACE_IN(fn, 4, a << "text" << b).
// The pieces are evaluated only when the line passes.
#define HX_TRACE_IN(fn, level, pieces)                              \
  do {                                                              \
    if ((fn).On(level)) ::TraceStream((fn), (level), -1) << pieces; \
  } while (0)
#define HX_TRACE_CTX_IN(fn, level, context, pieces)                                     \
  do {                                                                                  \
    if ((fn).On((level), (context))) ::TraceStream((fn), (level), (context)) << pieces; \
  } while (0)
// The same in the operation's own scope, which is named hx_fn.
#define HX_TRACE(level, pieces) HX_TRACE_IN(hx_fn, level, pieces)
#define HX_TRACE_CTX(level, context, pieces) HX_TRACE_CTX_IN(hx_fn, level, context, pieces)
