#include "hx_net/ws_service.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "hx_net/trace_modules.h"
#include "platform/os_toolkit.h"

namespace {

// The process-wide list: records in creation order, the lock that guards the
// list and every record's fields, and the send function.
struct ServList {
  os_critical_section lock{false};
  std::vector<ws_service*> records;
  ws_service_func send = nullptr;
};

// Built on first use, so a static constructor elsewhere that registers a
// service still finds it; destroyed at unload after everything built later.
ServList& TheServList() {
  static ServList list;
  return list;
}
// ... and built when the library loads even if nobody has called it yet.
[[maybe_unused]] const bool g_ServListBuilt = (TheServList(), true);

class ListLock {
 public:
  explicit ListLock(ServList& list) : m_List(list) { m_List.lock.lock(); }
  ~ListLock() { m_List.lock.unlock(); }
  ListLock(const ListLock&) = delete;
  ListLock& operator=(const ListLock&) = delete;

 private:
  ServList& m_List;
};

// Compares the pointer only: the record may already be freed.
bool IsListed(const ServList& list, const ws_service* record) {
  return std::find(list.records.begin(), list.records.end(), record) != list.records.end();
}

// The length of `s` cut to a field of N bytes (N - 1 characters); null is "".
template <size_t N>
size_t CutLength(const char* s) {
  return s ? strnlen(s, N - 1) : 0;
}

template <size_t N>
void CopyField(char (&field)[N], const char* s) {
  const size_t n = CutLength<N>(s);
  if (n) memcpy(field, s, n);
  memset(field + n, 0, N - n);
}

// A stored field against a key cut the way the field was cut when stored.
template <size_t N>
bool FieldEquals(const char (&field)[N], const char* key) {
  const size_t n = CutLength<N>(key);
  return strnlen(field, N) == n && memcmp(field, key ? key : "", n) == 0;
}

// The strings of a record, copied under the lock so that a trace line written
// after it is released never reads a record another thread may free.
struct RecordNames {
  char instance[sizeof(ws_service::instance)];
  char user_id[sizeof(ws_service::user_id)];
  char short_dc[sizeof(ws_service::short_dc)];
  void CopyFrom(const ws_service& record) {
    memcpy(instance, record.instance, sizeof instance);
    memcpy(user_id, record.user_id, sizeof user_id);
    memcpy(short_dc, record.short_dc, sizeof short_dc);
  }
};

constexpr long kHeaderLength = 78;

// A message field of `width` bytes: `s` up to its first NUL, cut to the width,
// the rest `fill`. Null `s` is "". Reads at most `width` bytes of `s`.
void FillField(char* out, const char* s, size_t width, char fill) {
  const size_t n = s ? strnlen(s, width) : 0;
  if (n) memcpy(out, s, n);
  memset(out + n, fill, width - n);
}

}  // namespace

// ---------------------------------------------------------------------------
// Record predicates for the cleanups; called with the list lock held.

class ServiceFinderBaseClass {
 public:
  virtual ~ServiceFinderBaseClass() = default;
  virtual bool operator()(ws_service* record) = 0;
};

class ServiceFinderAll : public ServiceFinderBaseClass {
 public:
  bool operator()(ws_service*) override { return true; }
};

class ServiceFinderByLink : public ServiceFinderBaseClass {
 public:
  explicit ServiceFinderByLink(Link* link) : m_pLink(link) {}
  bool operator()(ws_service* record) override {
    return record != nullptr && record->link == m_pLink;
  }

 private:
  Link* m_pLink;
};

class ServiceFinderByDC : public ServiceFinderBaseClass {
 public:
  explicit ServiceFinderByDC(const char* shortDc) { CopyField(m_ShortDc, shortDc); }
  // Records their caller's dispatcher calls directly are left to that caller.
  bool operator()(ws_service* record) override {
    return record != nullptr && !record->CallCBDirect && FieldEquals(record->short_dc, m_ShortDc);
  }

 private:
  char m_ShortDc[sizeof(ws_service::short_dc)];
};

// Tells one removed record's callback that its request was aborted, then frees
// the record. Runs without the list lock (unless the caller holds the guard).
class AbortAndFree {
 public:
  void operator()(ws_service* record) const {
    WS_SCOPE("AbortAndFree::operator()");
    std::unique_ptr<ws_service> owned(record);
    if (record->callback == nullptr) return;
    HX_TRACE(5, "service callback abort by cleanup - instance >" << record->instance << "< user id>"
                                                                 << record->user_id << "< short_dc>"
                                                                 << record->short_dc << "<");
    const auto callback = reinterpret_cast<ws_service_callback_func>(record->callback);
    (void)callback(record, WS_SERVICE_REASON_ABORT, "", 0, record->callback_data);
  }
};

// Removes the records `finder` matches (keeping the order of the others), then
// aborts and frees them in removal order with the lock released, so that a
// callback may call the registry, from its own thread or another.
static unsigned ServListCleanup(ServList& list, ServiceFinderBaseClass& finder) {
  WS_SCOPE("ServListCleanup");
  std::vector<ws_service*> removed;
  {
    ListLock hold(list);
    auto kept = list.records.begin();
    for (ws_service* record : list.records) {
      if (finder(record))
        removed.push_back(record);
      else
        *kept++ = record;
    }
    list.records.erase(kept, list.records.end());
  }
  const AbortAndFree abortAndFree;
  for (ws_service* record : removed) abortAndFree(record);
  return static_cast<unsigned>(removed.size());
}

// ---------------------------------------------------------------------------
// The C interface

extern "C" {

int ws_service_init(ws_service_func send_function) {
  ServList& list = TheServList();
  ListLock hold(list);
  list.send = send_function;
  return 0;
}

ws_service* ws_service_create(const char* instance, ws_service_func callback, int callback_data,
                              Link* link, const char* user_id, const char* short_dc,
                              bool CallCBDirect) {
  WS_SCOPE("ws_service_create");
  std::unique_ptr<ws_service> record(new ws_service());
  CopyField(record->instance, instance);
  CopyField(record->user_id, user_id);
  CopyField(record->short_dc, short_dc);
  record->callback = callback;
  record->callback_data = callback_data;
  record->link = link;
  record->CallCBDirect = CallCBDirect;
  // Traced before it is listed: once listed another thread may free it.
  HX_TRACE(5, "Creating service [" << record->instance << "] for ORQ server [" << record->short_dc
                                   << "] for user [" << record->user_id << "]");
  ServList& list = TheServList();
  ListLock hold(list);
  list.records.push_back(record.get());
  return record.release();
}

ws_service* ws_service_find(const char* instance, const char* user_id, const char* short_dc,
                            Link* /*link: not compared*/) {
  const bool anyUser = user_id != nullptr && strcmp(user_id, "CTL_RESP") == 0;
  ServList& list = TheServList();
  ListLock hold(list);
  for (ws_service* record : list.records) {
    if (FieldEquals(record->instance, instance) && FieldEquals(record->short_dc, short_dc) &&
        (anyUser || FieldEquals(record->user_id, user_id)))
      return record;
  }
  return nullptr;
}

void* ws_service_get(ws_service* record, int which) {
  ServList& list = TheServList();
  ListLock hold(list);
  if (!IsListed(list, record)) return nullptr;
  switch (which) {
    case 1:
      return &record->callback_data;
    case 2:
      return record->link;
    case 3:
      return reinterpret_cast<void*>(record->callback);
    default:
      return nullptr;
  }
}

bool ws_service_get_CallCBDirect(ws_service* record) {
  ServList& list = TheServList();
  ListLock hold(list);
  return IsListed(list, record) && record->CallCBDirect;
}

void ws_service_set_CallCBDirect(ws_service* record, bool value) {
  ServList& list = TheServList();
  ListLock hold(list);
  if (IsListed(list, record)) record->CallCBDirect = value;
}

int ws_service_send(ws_service* record, const char* data, long len, int message_type,
                    int record_type) {
  WS_SCOPE("ws_service_send");
  ServList& list = TheServList();
  ws_service_send_func send = nullptr;
  Link* link = nullptr;
  RecordNames names;
  {
    ListLock hold(list);
    if (!IsListed(list, record)) return -1;
    send = reinterpret_cast<ws_service_send_func>(list.send);
    link = record->link;
    names.CopyFrom(*record);
  }
  // Before ws_service_init there is no one to send to; a negative length
  // has no message.
  if (send == nullptr || len < 0 || len > LONG_MAX - kHeaderLength - 1) return -2;
  HX_TRACE(5, "Sending service [" << names.instance << "] for ORQ server [" << names.short_dc
                                  << "] for user [" << names.user_id << "]");

  const size_t total = static_cast<size_t>(len) + kHeaderLength;
  std::unique_ptr<char[]> message(new char[total + 1]);
  char* out = message.get();
  out[0] = static_cast<char>(record_type & 0xFF);
  out[1] = static_cast<char>(message_type & 0xFF);
  FillField(out + 2, names.instance, 9, '\0');
  FillField(out + 11, names.short_dc, 3, '\0');
  FillField(out + 14, names.user_id, 64, ' ');
  FillField(out + kHeaderLength, data, static_cast<size_t>(len), '\0');
  out[total] = '\0';  // not part of the message

  const int result = send(link, out, static_cast<long>(total));
  return result >= 0 ? 0 : -2;
}

int ws_service_destroy(ws_service* record) {
  WS_SCOPE("ws_service_destroy");
  ServList& list = TheServList();
  std::unique_ptr<ws_service> owned;
  {
    ListLock hold(list);
    auto it = std::find(list.records.begin(), list.records.end(), record);
    if (it == list.records.end()) return 0;
    list.records.erase(it);
    owned.reset(record);
  }
  // Unlisted now, so no other thread can reach it.
  HX_TRACE(5, "Destroying service [" << owned->instance << "] for ORQ server [" << owned->short_dc
                                     << "] for user [" << owned->user_id << "]");
  return 0;
}

unsigned ws_service_cleanup_all(void) {
  ServiceFinderAll finder;
  return ServListCleanup(TheServList(), finder);
}

unsigned ws_service_cleanup(const char* short_dc) {
  ServiceFinderByDC finder(short_dc);
  return ServListCleanup(TheServList(), finder);
}

unsigned ws_service_cleanup_link(Link* link) {
  ServiceFinderByLink finder(link);
  return ServListCleanup(TheServList(), finder);
}

unsigned ServListSize(void) {
  ServList& list = TheServList();
  ListLock hold(list);
  return static_cast<unsigned>(list.records.size());
}

}  // extern "C"

WS_SERVICE_list_scope_lock::WS_SERVICE_list_scope_lock() {
  TheServList().lock.lock();
}
WS_SERVICE_list_scope_lock::~WS_SERVICE_list_scope_lock() {
  TheServList().lock.unlock();
}

// ---------------------------------------------------------------------------
// Instance identifiers

namespace {
// Hours, minutes and seconds of `when` in local time, to buf[0..5].
void WriteClock(char* buf, int64_t when) {
  const time_t t = static_cast<time_t>(when);
  struct tm local;
  char text[7] = "000000";
  if (localtime_r(&t, &local) != nullptr) strftime(text, sizeof text, "%H%M%S", &local);
  memcpy(buf, text, 6);
}
}  // namespace

char* get_service_instance(char* buf, int64_t& last_time, int& counter) {
  int64_t now = static_cast<int64_t>(time(nullptr));
  if (now > last_time) {
    WriteClock(buf, now);
    counter = 0;
  } else if (counter > 999 - 2) {
    // 499 identifiers this second: wait for the next one.
    os_this_thread::sleep(1);
    now = static_cast<int64_t>(time(nullptr));
    WriteClock(buf, now);
    counter = 0;
  }
  counter += 2;
  char digits[16];
  snprintf(digits, sizeof digits, "%03d", counter);
  memcpy(buf + 6, digits, 3);
  last_time = now;
  return buf;
}
