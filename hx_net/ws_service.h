// Public header: the service registry.
//
// A process-wide list of ws_service records. A record binds one request
// instance of one user, addressed to one server (its short name), to a Link
// and to a callback of the caller's. The caller creates a record, sends
// requests with ws_service_send, finds the record again when an answer comes
// (ws_service_find) and calls its callback itself, and destroys the record when
// done. A cleanup (all records, those of one server, those of one Link) removes
// records and tells each removed record's callback, once, that its request was
// aborted.
//
// Ownership
//  - The list owns its records: ws_service_create allocates one, and only
//    ws_service_destroy or a cleanup frees it. Never free or copy a record.
//  - The three strings are copied into the record's fields; a longer string is
//    cut to the field (instance 9, user id 64, server name 4 characters). The
//    key arguments of ws_service_find and ws_service_cleanup are cut the same
//    way, so the strings a record was created with always find it again.
//    A null string argument counts as "".
//  - The record's Link is not owned and never used by the registry; it is
//    only compared and handed to the send function.
//  - The list and its lock live from library load to unload. Records still
//    listed at unload are not freed: clean up before unloading.
//
// Threads and the lock
//  - Any thread may call any operation. One re-entrant lock guards the list
//    and every record's fields; each operation that takes a record first checks,
//    under that lock, that the record is still listed, and does nothing with an
//    unlisted one (it compares the pointer only).
//  - A record found with ws_service_find may be destroyed by another thread as
//    soon as the lock is released. To use a found record (read its fields, call
//    its callback, use the ws_service_get results), hold a
//    WS_SERVICE_list_scope_lock from before the find until you are done.
//  - The registry starts no thread. The send function runs on the thread of
//    ws_service_send; the abort callbacks of a cleanup run on the thread of the
//    cleanup, in removal order. Neither is called with the lock held, unless
//    the caller itself holds a WS_SERVICE_list_scope_lock.
//
// What a send function or an abort callback may do
//  - Call any registry operation, including create, destroy and another
//    cleanup. An abort callback gets a record that is already unlisted and is
//    freed when the callback returns: do not keep the pointer.
//  - When the caller of the send or cleanup holds a scope guard, the callback
//    runs with the lock held: it may still use the registry on its own thread
//    (the lock is re-entrant) but must not wait for a thread that does.
//  - Callbacks are C functions in spirit: they must not throw.
//
// Calling convention of the callbacks
//  The registry stores both function kinds as ws_service_func (int (*)(...))
//  and calls them as ws_service_send_func and ws_service_callback_func. Give it
//  a function of exactly that type, converted with reinterpret_cast, so that
//  the call through the converted-back pointer is well defined:
//    int MySend(Link* link, const char* message, long length);
//    ws_service_init(reinterpret_cast<ws_service_func>(&MySend));
//
// From C (C11): the record, the typedefs and the C functions; a Link is then
// an opaque type that C code only passes on. The scope guard and
// get_service_instance are C++.
#pragma once

#include "platform/hx_export.h"

#ifdef __cplusplus
#include <cstdint>

class Link;
struct ws_service;

// How the registry stores a send function or a callback.
typedef int (*ws_service_func)(...);
#else
#include <stdbool.h>
#include <stdint.h>

typedef struct Link Link;
typedef struct ws_service ws_service;
// C has no prototype-free variadic type: convert with a cast, as in C++.
typedef int (*ws_service_func)(void);
#endif
// The type the send function is called with: the record's Link, the message
// (header and data, not NUL-terminated) and its length. 0 or more: sent.
typedef int (*ws_service_send_func)(Link* link, const char* message, long length);
// The type a record's callback is called with. The registry calls it only to
// abort: reason WS_SERVICE_REASON_ABORT, text "" and length 0.
typedef int (*ws_service_callback_func)(ws_service* record, int reason, const char* text,
                                        long length, int callback_data);

// The reason code of an abort by cleanup.
#ifdef __cplusplus
constexpr int WS_SERVICE_REASON_ABORT = 6;
#else
enum { WS_SERVICE_REASON_ABORT = 6 };
#endif

// One registered service. Fields are guarded by the list lock: read or change
// them only while holding a WS_SERVICE_list_scope_lock, and only for a record
// that is still listed. Strings are always NUL-terminated within their field.
struct ws_service {
  char instance[10];         // request instance identifier, at most 9 characters
  char user_id[65];          // user identifier, at most 64 characters
  char short_dc[5];          // server short name, at most 4; messages carry its first 3
  ws_service_func callback;  // the caller's callback (a ws_service_callback_func), or null
  int callback_data;         // handed back to the callback as its last argument
  Link* link;                // the connection for the service's messages (not owned)
  bool CallCBDirect;         // for the caller's dispatcher; exempts from cleanup by server
};

#ifdef __cplusplus
extern "C" {
#endif

// Sets the send function (a ws_service_send_func converted to ws_service_func);
// a later call replaces it. Returns 0.
HX_NET_API int ws_service_init(ws_service_func send_function);

// Creates a record and appends it to the list (no duplicate check: an equal
// record goes after the first). Never returns null; allocation failure throws.
HX_NET_API ws_service* ws_service_create(const char* instance, ws_service_func callback,
                                         int callback_data, Link* link, const char* user_id,
                                         const char* short_dc, bool CallCBDirect);

// The first record in list order with equal instance, user id and server name.
// The user id "CTL_RESP" (the user id of CTL replies) matches any user. The
// link is not compared. Comparisons are exact and case-sensitive. Null: none.
HX_NET_API ws_service* ws_service_find(const char* instance, const char* user_id,
                                       const char* short_dc, Link* link);

// For a listed record: which 1 gives the address of its callback_data (the
// caller may change the value through it), 2 its link, 3 its callback. Null for
// an unlisted record or another `which`.
HX_NET_API void* ws_service_get(ws_service* record, int which);

// The flag of a listed record; false for an unlisted one.
HX_NET_API bool ws_service_get_CallCBDirect(ws_service* record);
// Sets the flag of a listed record; does nothing for an unlisted one.
HX_NET_API void ws_service_set_CallCBDirect(ws_service* record, bool value);

// Sends one message over the record's link: the 78-byte header (record type,
// message type, instance NUL-filled to 9, the first 3 characters of the server
// name NUL-filled, user id blank-filled to 64) followed by `len` bytes of
// `data`, copied up to its first NUL and NUL-filled after it. Exactly len + 78
// bytes go to the send function. Returns 0 when sent, -1 for an unlisted
// record (nothing sent), -2 when the send function returns a negative value,
// when no send function was set, or for a negative `len`.
HX_NET_API int ws_service_send(ws_service* record, const char* data, long len, int message_type,
                               int record_type);

// Removes a listed record (keeping the order of the others) and frees it; the
// callback is not called. An unlisted record is left alone. Returns 0.
HX_NET_API int ws_service_destroy(ws_service* record);

// Cleanups: remove the matching records, then call each removed record's
// callback (record, WS_SERVICE_REASON_ABORT, "", 0, callback_data) in removal
// order and free it. Records without a callback are freed silently. They
// return the number of records removed.
// - every record
HX_NET_API unsigned ws_service_cleanup_all(void);
// - the records of server `short_dc` whose CallCBDirect is false
HX_NET_API unsigned ws_service_cleanup(const char* short_dc);
// - the records bound to `link`
HX_NET_API unsigned ws_service_cleanup_link(Link* link);

// The number of records listed.
HX_NET_API unsigned ServListSize(void);

#ifdef __cplusplus
}  // extern "C"

// Holds the list lock for its lifetime (re-entrant: registry calls made while
// holding it work). Hold it while using a found record.
class HX_NET_API WS_SERVICE_list_scope_lock {
 public:
  WS_SERVICE_list_scope_lock();
  ~WS_SERVICE_list_scope_lock();
  WS_SERVICE_list_scope_lock(const WS_SERVICE_list_scope_lock&) = delete;
  WS_SERVICE_list_scope_lock& operator=(const WS_SERVICE_list_scope_lock&) = delete;
};

// Writes the next instance identifier into buf[0..8]: six digits of the local
// time (hours, minutes, seconds) and an even three-digit counter, 002 to 998.
// buf[9] is not written (give 10 bytes and a NUL of your own for a string).
// last_time and counter are the generator's state: start both at 0 and pass
// the same ones on every call. The 500th identifier within one second sleeps
// until the next second. Not thread-safe for one state; use one per thread or
// a lock of your own.
HX_NET_API char* get_service_instance(char* buf, int64_t& last_time, int& counter);

#endif  // __cplusplus
