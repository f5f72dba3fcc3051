#include "hx_net/strutil.h"

#include <ctype.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Character classes take the byte as unsigned: a plain char >= 0x80 is
// negative, and passing that to <ctype.h> is undefined.
inline unsigned char Byte(char c) {
  return static_cast<unsigned char>(c);
}

// 0xA0 is a no-break space in the Latin code pages; some locales call it
// whitespace, and text cut at it would split names and values.
inline bool IsWhite(char c) {
  return Byte(c) != 0xA0 && isspace(Byte(c)) != 0;
}

inline bool IsGraph(char c) {
  return isgraph(Byte(c)) != 0;
}

int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return tolower(c) - 'a' + 10;
}

// True when the destination range [dst, dst + dstLen) meets the source range
// [src, src + srcLen). Compared as integers: the two may be unrelated objects.
bool Overlaps(const char* dst, size_t dstLen, const char* src, size_t srcLen) {
  uintptr_t d = reinterpret_cast<uintptr_t>(dst);
  uintptr_t s = reinterpret_cast<uintptr_t>(src);
  return d < s + srcLen && s < d + dstLen;
}

// What to read from: a private copy of src, freed with this object, when
// writing dstLen bytes at dst would overwrite src before it is read;
// otherwise src itself.
class SourceFor {
 public:
  SourceFor(char* dst, size_t dstLen, const char* src, size_t srcLen) : m_From(src) {
    if (!Overlaps(dst, dstLen, src, srcLen + 1)) return;
    m_Copy = static_cast<char*>(malloc(srcLen + 1));
    if (m_Copy) memcpy(m_Copy, src, srcLen + 1);
    m_From = m_Copy;
  }
  ~SourceFor() { free(m_Copy); }
  SourceFor(const SourceFor&) = delete;
  SourceFor& operator=(const SourceFor&) = delete;
  // Null when the private copy could not be allocated.
  const char* get() const { return m_From; }

 private:
  const char* m_From;
  char* m_Copy = nullptr;
};

}  // namespace

// ---- Splitting

int str2words(char* s, char** words, int max) {
  if (!s) return 0;
  int count = 0;
  for (;;) {
    while (IsWhite(*s)) ++s;
    if (!*s) return count;
    if (count >= max) return -1;
    words[count++] = s;
    while (IsGraph(*s)) ++s;
    if (!*s) return count;
    *s++ = '\0';
  }
}

int strargs(char* s, char** args, int max) {
  if (!s) return 0;
  int count = 0;
  for (;;) {
    while (IsWhite(*s)) ++s;
    if (!*s) return count;
    if (count >= max) return -1;
    if (*s == '"') {
      // Quoted: compact backslash-quote pairs in place; w trails s.
      char* w = ++s;
      args[count++] = w;
      while (*s && *s != '"') {
        if (*s == '\\' && s[1] == '"') {
          *w++ = '"';
          s += 2;
        } else {
          *w++ = *s++;
        }
      }
      const bool closed = *s == '"';
      *w = '\0';
      if (!closed) return count;
      *s++ = '\0';
    } else {
      args[count++] = s;
      while (*s && !IsWhite(*s)) ++s;
      if (!*s) return count;
      *s++ = '\0';
    }
  }
}

int strsplit(char* s, char** parts, int max, char sep) {
  if (max < 1) return -1;
  if (!s) return 0;
  int count = 0;
  for (;;) {
    parts[count++] = s;
    if (!*s) return count;
    while (*s && *s != sep) ++s;
    if (!*s) return count;
    *s++ = '\0';
    if (count >= max) return -1;
  }
}

// ---- Character work

int strdel(char* s, char c) {
  if (!s) return 0;
  int removed = 0;
  char* w = s;
  for (const char* r = s; *r; ++r) {
    if (*r == c)
      ++removed;
    else
      *w++ = *r;
  }
  *w = '\0';
  return removed;
}

int strreplace(char* s, char from, char to) {
  if (!s) return 0;
  // The length is taken first: a `to` of NUL must not end the walk.
  const size_t len = strlen(s);
  int replaced = 0;
  for (size_t i = 0; i < len; ++i) {
    if (s[i] == from) {
      s[i] = to;
      ++replaced;
    }
  }
  return replaced;
}

int strequal(const char* a, const char* b) {
  if (a == b) return 1;
  if (!a || !b) return 0;
  return strcmp(a, b) == 0 ? 1 : 0;
}

void strsane(char* s, char repl) {
  if (!s) return;
  for (; *s; ++s) {
    const unsigned char c = Byte(*s);
    if (c >= 0x80 || (!isprint(c) && !isspace(c))) *s = repl;
  }
}

namespace {
// Changes the bytes below 0x80 for which `is` holds with `to`; counts them.
int ChangeCase(char* s, int (*is)(int), int (*to)(int)) {
  if (!s) return 0;
  int changed = 0;
  for (; *s; ++s) {
    const unsigned char c = Byte(*s);
    if (c < 0x80 && is(c)) {
      *s = static_cast<char>(to(c));
      ++changed;
    }
  }
  return changed;
}
}  // namespace

int strlower(char* s) {
  return ChangeCase(s, isupper, tolower);
}

int strupper(char* s) {
  return ChangeCase(s, islower, toupper);
}

char* strltrim(char* s) {
  if (!s) return nullptr;
  const char* first = s;
  while (IsWhite(*first)) ++first;
  const size_t len = strlen(first);
  if (first != s) memmove(s, first, len + 1);
  return s + len;
}

char* strrtrim(char* s) {
  if (!s) return nullptr;
  char* end = s + strlen(s);
  while (end > s && IsWhite(end[-1])) --end;
  *end = '\0';
  return end;
}

char* strtrim(char* s) {
  if (!s) return nullptr;
  strrtrim(s);
  return strltrim(s);
}

// ---- Bounded copies

void strxcpy(char* dst, const char* src, int width) {
  if (width < 1) {
    *dst = '\0';
    return;
  }
  const size_t w = static_cast<size_t>(width);
  const size_t n = src ? strnlen(src, w) : 0;
  memmove(dst, src ? src : "", n);
  memset(dst + n, ' ', w - n);
  dst[w] = '\0';
}

void strzcpy(char* dst, const char* src, int n) {
  if (!src || n < 1) {
    *dst = '\0';
    return;
  }
  const size_t len = strnlen(src, static_cast<size_t>(n));
  memmove(dst, src, len);
  dst[len] = '\0';
}

void strzcat(char* dst, const char* src, int n) {
  if (!src) return;
  char* end = dst + strlen(dst);
  if (n < 1) return;
  const size_t len = strnlen(src, static_cast<size_t>(n));
  memmove(end, src, len);
  end[len] = '\0';
}

char* strsubst(char* s, const char* pat, const char* rep) {
  if (!s || !pat || !rep || !*s || !*pat) return nullptr;
  char* at = strstr(s, pat);
  if (!at) return nullptr;
  const size_t patLen = strlen(pat);
  const size_t repLen = strlen(rep);
  char* tail = at + patLen;
  memmove(at + repLen, tail, strlen(tail) + 1);
  memcpy(at, rep, repLen);
  return at;
}

// ---- Backslash sequences

void strcvtbackslashseq(char* dst, const char* src, const char* keep) {
  if (!src) {
    *dst = '\0';
    return;
  }
  // Every sequence is read before its result is written, and no result is
  // longer than its sequence, so w never passes r: dst may be src.
  const unsigned char* r = reinterpret_cast<const unsigned char*>(src);
  char* w = dst;
  while (*r) {
    if (*r != '\\') {
      *w++ = static_cast<char>(*r++);
      continue;
    }
    const unsigned char c = *++r;
    if (!c) {
      if (keep) *w++ = '\\';
      break;
    }
    ++r;
    switch (c) {
      case '\\':
        *w++ = '\\';
        break;
      case 'a':
        *w++ = '\a';
        break;
      case 'b':
        *w++ = '\b';
        break;
      case 'e':
        *w++ = '\x1b';
        break;
      case 'f':
        *w++ = '\f';
        break;
      case 'n':
        *w++ = '\n';
        break;
      case 'r':
        *w++ = '\r';
        break;
      case 's':
        *w++ = ' ';
        break;
      case 't':
        *w++ = '\t';
        break;
      case 'x':
      case 'X':
        if (isxdigit(*r)) {
          int v = HexValue(*r++);
          if (isxdigit(*r)) v = v * 16 + HexValue(*r++);
          *w++ = static_cast<char>(v);
        } else {
          if (keep) *w++ = '\\';
          *w++ = static_cast<char>(c);
        }
        break;
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7': {
        int v = c - '0';
        for (int i = 1; i < 3 && *r >= '0' && *r <= '7'; ++i) v = v * 8 + (*r++ - '0');
        *w++ = static_cast<char>(v & 0xFF);
        break;
      }
      default:
        if (keep && !strchr(keep, c)) *w++ = '\\';
        *w++ = static_cast<char>(c);
        break;
    }
  }
  *w = '\0';
}

void strcvtesc(char* s) {
  if (s) strcvtbackslashseq(s, s, nullptr);
}

int strtoesc(char* dst, const char* src) {
  if (!src) {
    *dst = '\0';
    return -1;
  }
  const size_t len = strlen(src);
  const SourceFor source(dst, 2 * len + 1, src, len);
  const char* from = source.get();
  if (!from) return -1;
  char* w = dst;
  for (const char* r = from; *r; ++r) {
    char esc = 0;
    switch (*r) {
      case '\b':
        esc = 'b';
        break;
      case '\t':
        esc = 't';
        break;
      case '\n':
        esc = 'n';
        break;
      case '\f':
        esc = 'f';
        break;
      case '\r':
        esc = 'r';
        break;
      case '"':
        esc = '"';
        break;
      case '\\':
        esc = '\\';
        break;
      default:
        break;
    }
    if (esc) {
      *w++ = '\\';
      *w++ = esc;
    } else {
      *w++ = *r;
    }
  }
  *w = '\0';
  return 0;
}

// ---- Quoting

int strquote(const char* src, char* dst) {
  if (!src) {
    *dst = '\0';
    return -1;
  }
  // The private copy has the source's own length, so quoting in place never
  // drops data.
  const size_t len = strlen(src);
  const SourceFor source(dst, 2 * len + 3, src, len);
  const char* from = source.get();
  if (!from) return -1;
  char* w = dst;
  *w++ = '`';
  for (const char* r = from; *r; ++r) {
    if (*r == '\\' || *r == '\'') *w++ = '\\';
    *w++ = *r;
  }
  *w++ = '\'';
  *w = '\0';
  return 0;
}

int fstrquote(FILE* f, const char* s) {
  if (!f || !s) return -1;
  if (putc('`', f) == EOF) return -1;
  for (; *s; ++s) {
    if ((*s == '\\' || *s == '\'') && putc('\\', f) == EOF) return -1;
    if (putc(Byte(*s), f) == EOF) return -1;
  }
  return putc('\'', f) == EOF ? -1 : 0;
}

int strunquote(const char* src, char* dst) {
  const char* r = src ? strchr(src, '`') : nullptr;
  if (!r) {
    *dst = '\0';
    return 0;
  }
  // The backtick is skipped, so w stays behind r: dst may be src.
  ++r;
  char* w = dst;
  int closed = 0;
  while (*r) {
    if (*r == '\'') {
      closed = 1;
      break;
    }
    if (*r == '\\') {
      if (!*++r) break;
    }
    *w++ = *r++;
  }
  *w = '\0';
  return closed;
}

int fstrunquote(char* dst, FILE* f) {
  *dst = '\0';
  if (!f) return 0;
  int c;
  while ((c = getc(f)) != EOF && c != '`') {
  }
  if (c == EOF) return 0;
  char* w = dst;
  int closed = 0;
  while ((c = getc(f)) != EOF) {
    if (c == '\'') {
      closed = 1;
      break;
    }
    if (c == '\\' && (c = getc(f)) == EOF) break;
    *w++ = static_cast<char>(c);
  }
  *w = '\0';
  return closed;
}

// ---- Heap copies

char* strsave(const char* s) {
  if (!s) return nullptr;
  const size_t size = strlen(s) + 1;
  char* copy = static_cast<char*>(malloc(size));
  if (copy) memcpy(copy, s, size);
  return copy;
}

char* strresave(char* old, const char* s) {
  if (!old) return strsave(s);
  if (!s) {
    free(old);
    return nullptr;
  }
  const size_t size = strlen(s) + 1;
  const uintptr_t offset = reinterpret_cast<uintptr_t>(s) - reinterpret_cast<uintptr_t>(old);
  if (offset <= strlen(old)) {
    // s is a tail of old's own text: move it to the front before shrinking,
    // which may move the block and would leave s dangling.
    // If even shrinking fails, the larger block still holds the right text.
    memmove(old, s, size);
    char* kept = static_cast<char*>(realloc(old, size));
    return kept ? kept : old;
  }
  char* grown = static_cast<char*>(realloc(old, size));
  if (!grown) return nullptr;
  memcpy(grown, s, size);
  return grown;
}

char* cat_sprintf(char* dst, const char* fmt, ...) {
  if (!dst) return nullptr;
  char* end = dst + strlen(dst);
  if (!fmt) return end;
  va_list ap;
  va_start(ap, fmt);
  const int n = vsprintf(end, fmt, ap);
  va_end(ap);
  if (n < 0) {
    *end = '\0';
    return end;
  }
  return end + n;
}
