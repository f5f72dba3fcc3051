// Public header: scanning of tagged message fields, and decoding of the two
// character entities "&lt;" and "&gt;".
//
// A message text is a NUL-terminated run of fields, each written as '<', the
// name, '>' and the value. The name runs to the first '>' (it may be empty and
// may hold '<'); the value runs to the next '<' or the end of the text (it may
// be empty and may hold '>'). Bytes before the first '<' are skipped. There
// are no closing tags: "</a>" is a field named "/a". The scanners never decode
// entities and never write into the text.
//
// Results of the scanners: 1 a field was delivered; 0 no (further, or
// matching) field before the end of the text; -1 a '<' whose name is not
// closed by '>' before the end of the text.
//
// Buffers, all owned by the caller:
// - name: kMsgFieldNameSize (256) bytes. Longer names are delivered cut to 255
//   bytes; the scan still moves past the whole name.
// - value: maxlen + 1 bytes. At most maxlen bytes are copied, then a NUL; a
//   value cut by the bound leaves the cursor inside it, and the next scan
//   skips the rest. A negative maxlen counts as 0.
// - cursor: a char* into the caller's text, advanced by the scanners that take
//   a char**. A null cursor or text gives 0.
//
// No function keeps state; any thread may call any of them.
//
// The C scanners (msg_next_field, msg_find_field, msg_get_field) can be used
// from C as well (C11); the rest is C++.
#pragma once

#include "platform/hx_export.h"

#ifdef __cplusplus
#include <string>

// Size of a name buffer that always suffices: 255 bytes and the NUL.
constexpr int kMsgFieldNameSize = 256;

extern "C" {
#else
enum { kMsgFieldNameSize = 256 };
#endif

// Reads the next field from *cursor. On 1, name and value hold the field and
// *cursor points at the first byte not copied. On 0, name is empty and
// *cursor points at the end of the text. On -1, name holds the start of the
// unclosed name and *cursor is unchanged (the same call returns -1 again).
// value is written only on 1.
HX_NET_API int msg_next_field(char** cursor, char* name, char* value, long maxlen);

// Looks for the next field named `name` (exact byte comparison of the whole
// name) from *cursor, skipping other fields. On 1, value holds its value (bound
// by maxlen) and *cursor points at the first byte not copied; on 0, *cursor is
// at the end of the text (or unchanged when it already was); on -1, *cursor
// points past the last field passed over (or is unchanged). value is written
// only on 1.
HX_NET_API int msg_find_field(char** cursor, const char* name, char* value, long maxlen);

// msg_find_field from the start of text on a cursor of its own.
HX_NET_API int msg_get_field(char* text, const char* name, char* value, long maxlen);

#ifdef __cplusplus
}  // extern "C"

// As msg_next_field, but the whole value replaces the content of `value`
// (no bound). On 0 or -1 `value` is left as it was.
HX_NET_API int msg_next_field_2(char** cursor, char* name, std::string& value);

// Decoding of "&lt;" to '<' and "&gt;" to '>' (exact, case-sensitive; no other
// entity). Every occurrence is replaced as one pass from left to right would,
// so "&lt;lt;" gives "<lt;" and "&amp;lt;" is left alone.
class HX_NET_API strDecoder {
 public:
  strDecoder() = default;
  strDecoder(const strDecoder&) = default;
  // Does nothing: the class has no data.
  strDecoder& operator=(const strDecoder&);

  // True when text holds "&lt;" or "&gt;". False for a null text.
  static bool NeedDecoding(const char* text);
  // Null when text holds neither entity; otherwise a new decoded string that
  // the caller deletes.
  static std::string* DecodeStr_(const std::string& text);
  // The decoded text, or a copy when there is nothing to decode.
  static std::string DecodeStr(const std::string& text);
  // As above; an empty string for a null text.
  static std::string DecodeStr(const char* text);
  // Decodes the text in buf (size bytes) in place and returns buf. Only the
  // first size bytes are read. When they hold neither entity, buf is left
  // untouched; otherwise the decoded text is written back, the rest of the
  // first size - 1 bytes is filled with NULs and byte size - 1 is NUL. Size 0
  // or a null buf returns buf untouched.
  static char* DecodeBuffer(char* buf, unsigned size);
};

#endif  // __cplusplus
