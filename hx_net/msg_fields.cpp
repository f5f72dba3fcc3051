#include "hx_net/msg_fields.h"

#include <string.h>

namespace {

constexpr size_t kNameMax = kMsgFieldNameSize - 1;

// The first '<' at or after p, or the terminating NUL.
char* SkipToField(char* p) {
  char* lt = strchr(p, '<');
  return lt ? lt : p + strlen(p);
}

// Copies the name that starts at p (just after a '<') into name, cut at
// kNameMax bytes. Returns the closing '>', or null when the text ends first
// (name then holds the start of the unclosed name).
char* ReadName(char* p, char* name) {
  char* gt = strchr(p, '>');
  size_t len = gt ? static_cast<size_t>(gt - p) : strlen(p);
  if (len > kNameMax) len = kNameMax;
  memcpy(name, p, len);
  name[len] = '\0';
  return gt;
}

// Copies the value at p up to the next '<', the end, or maxlen bytes, then a
// NUL. Returns the first byte not copied.
char* CopyValue(char* p, char* value, long maxlen) {
  const size_t bound = maxlen > 0 ? static_cast<size_t>(maxlen) : 0;
  size_t n = 0;
  while (n < bound && p[n] && p[n] != '<') ++n;
  memcpy(value, p, n);
  value[n] = '\0';
  return p + n;
}

// The end of the value at p: the next '<' or the end of the text.
char* ValueEnd(char* p) {
  return p + strcspn(p, "<");
}

// Steps 1 to 3 of reading the next field: on 1, returns the byte after '>'.
int NextName(char** cursor, char* name, char** afterName) {
  if (!cursor || !*cursor) {
    if (name) *name = '\0';
    return 0;
  }
  char* lt = SkipToField(*cursor);
  if (!*lt) {
    *cursor = lt;
    *name = '\0';
    return 0;
  }
  char* gt = ReadName(lt + 1, name);
  if (!gt) return -1;
  *afterName = gt + 1;
  return 1;
}

// In-place decoding of the two entities in [p, p + len), one pass from left
// to right. Returns the new length. A replacement ends before the next byte is
// looked at, so it never forms a new entity with what follows.
size_t DecodeInPlace(char* p, size_t len) {
  char* w = p;
  const char* r = p;
  const char* end = p + len;
  while (r < end) {
    if (r[0] == '&' && end - r >= 4 && (r[1] == 'l' || r[1] == 'g') && r[2] == 't' && r[3] == ';') {
      *w++ = r[1] == 'l' ? '<' : '>';
      r += 4;
    } else {
      *w++ = *r++;
    }
  }
  return static_cast<size_t>(w - p);
}

bool HasEntity(const char* p, size_t len) {
  const char* end = p + len;
  for (const char* amp = p; (amp = static_cast<const char*>(memchr(amp, '&', end - amp))); ++amp) {
    if (end - amp >= 4 && (amp[1] == 'l' || amp[1] == 'g') && amp[2] == 't' && amp[3] == ';')
      return true;
  }
  return false;
}

}  // namespace

int msg_next_field(char** cursor, char* name, char* value, long maxlen) {
  char* p = nullptr;
  const int rc = NextName(cursor, name, &p);
  if (rc != 1) return rc;
  *cursor = CopyValue(p, value, maxlen);
  return 1;
}

int msg_next_field_2(char** cursor, char* name, std::string& value) {
  char* p = nullptr;
  const int rc = NextName(cursor, name, &p);
  if (rc != 1) return rc;
  char* end = ValueEnd(p);
  value.assign(p, static_cast<size_t>(end - p));
  *cursor = end;
  return 1;
}

int msg_find_field(char** cursor, const char* name, char* value, long maxlen) {
  if (!cursor || !*cursor || !name || !**cursor) return 0;
  const size_t wanted = strlen(name);
  char* p = *cursor;
  for (;;) {
    char* lt = SkipToField(p);
    if (!*lt) {
      *cursor = lt;
      return 0;
    }
    // Compared in the text itself: a long name must not match its own prefix.
    char* gt = strchr(lt + 1, '>');
    if (!gt) return -1;
    p = gt + 1;
    *cursor = p;
    if (static_cast<size_t>(gt - (lt + 1)) == wanted && memcmp(lt + 1, name, wanted) == 0) {
      *cursor = CopyValue(p, value, maxlen);
      return 1;
    }
    if (!*p) return 0;
  }
}

int msg_get_field(char* text, const char* name, char* value, long maxlen) {
  char* cursor = text;
  return msg_find_field(&cursor, name, value, maxlen);
}

strDecoder& strDecoder::operator=(const strDecoder&) {
  return *this;
}

bool strDecoder::NeedDecoding(const char* text) {
  return text && HasEntity(text, strlen(text));
}

std::string* strDecoder::DecodeStr_(const std::string& text) {
  if (!HasEntity(text.data(), text.size())) return nullptr;
  std::string* decoded = new std::string(text);
  decoded->resize(DecodeInPlace(&(*decoded)[0], decoded->size()));
  return decoded;
}

std::string strDecoder::DecodeStr(const std::string& text) {
  std::string decoded(text);
  if (HasEntity(decoded.data(), decoded.size()))
    decoded.resize(DecodeInPlace(&decoded[0], decoded.size()));
  return decoded;
}

std::string strDecoder::DecodeStr(const char* text) {
  if (!text) return std::string();
  return DecodeStr(std::string(text));
}

char* strDecoder::DecodeBuffer(char* buf, unsigned size) {
  if (!buf || size == 0) return buf;
  // Only the buffer's own bytes are read, even when it holds no NUL.
  const size_t len = strnlen(buf, size);
  if (!HasEntity(buf, len)) return buf;
  const size_t decoded = DecodeInPlace(buf, len);
  memset(buf + decoded, 0, size - decoded);
  buf[size - 1] = '\0';
  return buf;
}
