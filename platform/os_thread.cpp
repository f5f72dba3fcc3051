// Threads, locks and events of the toolkit.
#include <errno.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_set>

#include "platform/os_fault.h"
#include "platform/os_thread_internal.h"
#include "platform/os_toolkit.h"

namespace {
std::atomic<int> g_FailThreadIn{0};
}  // namespace

namespace os_fault {
void FailThreadCreation(int nth) {
  g_FailThreadIn.store(nth > 0 ? nth : 0);
}
}  // namespace os_fault

void os_fault_reset_threads() {
  g_FailThreadIn.store(0);
}

// ---------------------------------------------------------------------------
// Threads

namespace {
// Live threads by id. Leaked on purpose: detached threads may still end
// after static destruction has begun.
struct ThreadRegistry {
  std::mutex mu;
  std::condition_variable cv;
  std::unordered_set<uint64_t> live;
};
ThreadRegistry& Registry() {
  static ThreadRegistry* r = new ThreadRegistry;
  return *r;
}
std::atomic<uint64_t> g_NextThreadId{1};
thread_local uint64_t t_ThreadId = 0;
}  // namespace

// Threads are reused: a thread whose function has returned parks for a while
// and runs the next os_thread's function instead of a new thread being made.
// Each run is one "thread" to the rest of the library: its own id, its own
// end (exists, wait_for_thread, running), and the library's thread-local
// state reset between runs.
namespace {
const size_t kMaxParked = 64;               // parked threads kept, at most
const std::chrono::seconds kParkedFor{10};  // and for at most this long idle
const size_t kMaxResetHooks = 8;
std::atomic<void (*)()> g_ResetHooks[kMaxResetHooks];

struct Job {
  os_thread::entry_t entry = nullptr;
  void* arg = nullptr;
  uint64_t id = 0;
  std::shared_ptr<std::atomic<bool>> ended;
};

struct Worker {
  std::mutex mu;
  std::condition_variable cv;
  Job job;
  bool hasJob = false;
};

// Leaked on purpose, like the registry: parked threads outlive static
// destruction.
struct Pool {
  std::mutex mu;
  std::vector<Worker*> parked;
};
Pool& ThePool() {
  static Pool* p = new Pool;
  return *p;
}

void RunJob(Job& job) {
  t_ThreadId = job.id;
  try {
    job.entry(job.arg);
  } catch (...) {
    // A thread function must not end the process; callers trace their own.
  }
  for (auto& hook : g_ResetHooks)
    if (void (*fn)() = hook.load(std::memory_order_acquire)) fn();
  t_ThreadId = 0;
  job.ended->store(true, std::memory_order_release);
  ThreadRegistry& reg = Registry();
  {
    std::lock_guard<std::mutex> g(reg.mu);
    reg.live.erase(job.id);
  }
  reg.cv.notify_all();
  job = Job();
}

// A thread's life: its first job, then parked runs until nobody needs it.
void WorkerMain(Worker* w) {
  RunJob(w->job);
  Pool& pool = ThePool();
  for (;;) {
    {
      std::lock_guard<std::mutex> g(pool.mu);
      if (pool.parked.size() >= kMaxParked) break;
      w->hasJob = false;
      pool.parked.push_back(w);
    }
    std::unique_lock<std::mutex> g(w->mu);
    if (!w->cv.wait_for(g, kParkedFor, [w] { return w->hasJob; })) {
      g.unlock();
      // Taken off the list unless a starter took it meanwhile.
      std::lock_guard<std::mutex> pg(pool.mu);
      auto it = std::find(pool.parked.begin(), pool.parked.end(), w);
      if (it != pool.parked.end()) {
        pool.parked.erase(it);
        break;
      }
      g.lock();
      w->cv.wait(g, [w] { return w->hasJob; });
    }
    g.unlock();
    RunJob(w->job);
  }
  delete w;
}
}  // namespace

void os_thread_add_reset_hook(void (*fn)()) {
  for (auto& hook : g_ResetHooks) {
    void (*none)() = nullptr;
    if (hook.compare_exchange_strong(none, fn)) return;
  }
}

struct os_thread::Impl {
  // Shared with the thread, which sets it as it leaves: running() needs no
  // process-wide lock.
  std::shared_ptr<std::atomic<bool>> ended = std::make_shared<std::atomic<bool>>(false);
};

os_thread::os_thread(entry_t entry, void* arg, int, bool) : m_pImpl(nullptr) {
  // Counts every thread taken, parked or new.
  if (g_FailThreadIn.load(std::memory_order_relaxed) > 0) {
    if (g_FailThreadIn.fetch_sub(1) == 1)
      throw os_thread_toolkit_error::from_errno(EAGAIN, "thread creation (injected)");
  }
  uint64_t id = g_NextThreadId.fetch_add(1);
  ThreadRegistry& reg = Registry();
  {
    std::lock_guard<std::mutex> g(reg.mu);
    reg.live.insert(id);
  }
  m_pImpl = new Impl;
  Job job{entry, arg, id, m_pImpl->ended};
  Worker* parked = nullptr;
  {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> g(pool.mu);
    if (!pool.parked.empty()) {
      parked = pool.parked.back();
      pool.parked.pop_back();
    }
  }
  if (parked) {
    // Notified under its lock: once the thread has its job it may run it,
    // leave and free its Worker, which must not happen while we still touch it.
    std::lock_guard<std::mutex> g(parked->mu);
    parked->job = job;
    parked->hasJob = true;
    parked->cv.notify_one();
  } else {
    Worker* w = new Worker;
    w->job = job;
    w->hasJob = true;
    try {
      std::thread(WorkerMain, w).detach();
    } catch (const std::system_error& e) {
      delete w;
      {
        std::lock_guard<std::mutex> g(reg.mu);
        reg.live.erase(id);
      }
      delete m_pImpl;
      m_pImpl = nullptr;
      int err = e.code().value() ? e.code().value() : EAGAIN;
      throw os_thread_toolkit_error::from_errno(err, "thread creation");
    }
  }
  m_Tid.id = id;
}

os_thread::~os_thread() {
  delete m_pImpl;
}

size_t os_thread::parked() {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> g(pool.mu);
  return pool.parked.size();
}

bool os_thread::running() const {
  return m_pImpl && !m_pImpl->ended->load(std::memory_order_acquire);
}

bool os_thread::exists(os_thread_t tid) {
  ThreadRegistry& reg = Registry();
  std::lock_guard<std::mutex> g(reg.mu);
  return reg.live.count(tid.id) != 0;
}

namespace os_this_thread {
os_thread_t tid() {
  if (t_ThreadId == 0) t_ThreadId = g_NextThreadId.fetch_add(1);
  return os_thread_t{t_ThreadId};
}

void wait_for_thread(os_thread_t t) {
  if (t == tid()) throw os_thread_toolkit_error::from_errno(EDEADLK, "wait_for_thread");
  ThreadRegistry& reg = Registry();
  std::unique_lock<std::mutex> g(reg.mu);
  reg.cv.wait(g, [&] { return reg.live.count(t.id) == 0; });
}

void sleep(int seconds) {
  if (seconds > 0) std::this_thread::sleep_for(std::chrono::seconds(seconds));
}
void milli_sleep(long ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
}  // namespace os_this_thread

// ---------------------------------------------------------------------------
// Locks and events

os_critical_section::os_critical_section(bool) {}

os_event_semaphore::os_event_semaphore(bool) : m_Posted(false) {}

void os_event_semaphore::post() {
  {
    std::lock_guard<std::mutex> g(m_Mutex);
    m_Posted.store(true, std::memory_order_release);
  }
  m_Cond.notify_all();
}

void os_event_semaphore::reset() {
  std::lock_guard<std::mutex> g(m_Mutex);
  m_Posted.store(false, std::memory_order_release);
}

void os_event_semaphore::wait() {
  std::unique_lock<std::mutex> g(m_Mutex);
  m_Cond.wait(g, [this] { return m_Posted.load(std::memory_order_acquire); });
}

bool os_event_semaphore::wait(long ms) {
  // A century is as good as forever; a larger bound (LONG_MAX, say) would
  // overflow the clock's deadline and end the wait at once.
  const long long kForeverMs = 100LL * 365 * 24 * 3600 * 1000;
  long long bound = ms < 0 ? 0 : ms > kForeverMs ? kForeverMs : ms;
  std::unique_lock<std::mutex> g(m_Mutex);
  return m_Cond.wait_for(g, std::chrono::milliseconds(bound),
                         [this] { return m_Posted.load(std::memory_order_acquire); });
}
