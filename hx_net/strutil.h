// Public header: the C string routines of the library.
//
// Every routine is exported with C linkage under its plain name. None keeps
// state or touches shared data, so any thread may call any of them.
//
// Conventions:
// - Strings are NUL-terminated byte strings. Most routines work in place and
//   return a count, a pointer into the string, or nothing.
// - Whitespace is every byte for which isspace() is true, except 0xA0, which is
//   never whitespace. Character classes are those of <ctype.h> for the byte
//   taken as unsigned (the current C locale).
// - Destinations are not bounds-checked: where no count is given, the caller
//   provides the room stated for the routine ("room: N" below, NUL included).
// - Token arrays receive pointers into the caller's string, which is cut in
//   place by NUL bytes; the caller owns both the string and the array, and the
//   array must hold `max` pointers.
// - Heap results come from malloc()/realloc(); the caller releases them with
//   free().
// - A null text pointer yields the routine's "nothing" result (0, null, an
//   empty destination) unless stated otherwise; destination buffers and token
//   arrays must be valid.
#pragma once

#include <stdio.h>

#include "platform/hx_export.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---- Splitting. Each returns the number of tokens stored, or -1 when more
// than `max` tokens are present (the `max` stored tokens stay valid).

// Words are runs of isgraph() bytes separated by whitespace. Any other byte
// (a control byte, most bytes >= 0x80 in the C locale) ends a word; a word
// that would start on such a byte is stored empty.
HX_NET_API int str2words(char* s, char** words, int max);

// Arguments are separated by whitespace. An argument that starts with '"'
// runs to the next '"' not preceded by a backslash (or the end of s); inside it
// backslash-quote becomes '"' and other backslashes stay. Scanning resumes
// right after the closing quote.
HX_NET_API int strargs(char* s, char** args, int max);

// Parts are separated by single `sep` bytes: adjacent separators give empty
// parts, an empty string one empty part, a trailing separator a final empty
// part. `max` below 1 returns -1.
HX_NET_API int strsplit(char* s, char** parts, int max, char sep);

// ---- Character work.

// Removes every `c`, closing the gaps; returns the number removed.
HX_NET_API int strdel(char* s, char c);
// Replaces every `from` by `to` over the whole original length (also after a
// `to` of NUL); returns the number replaced.
HX_NET_API int strreplace(char* s, char from, char to);
// 1 when a and b hold the same bytes, else 0. Two null pointers are equal; a
// null pointer equals no string.
HX_NET_API int strequal(const char* a, const char* b);
// Replaces by `repl` every byte >= 0x80 and every byte below 0x80 that is
// neither printable nor whitespace.
HX_NET_API void strsane(char* s, char repl);
// Fold the case of bytes below 0x80 only; return the number changed.
HX_NET_API int strlower(char* s);
HX_NET_API int strupper(char* s);
// Drop leading (moving the rest to s), trailing, or both kinds of whitespace.
// Each returns a pointer to the terminating NUL of the result.
HX_NET_API char* strtrim(char* s);
HX_NET_API char* strltrim(char* s);
HX_NET_API char* strrtrim(char* s);

// ---- Bounded copies.

// dst = the first `width` bytes of src, padded with blanks to exactly `width`
// bytes (room: width + 1). width < 1: empty dst; null src: `width` blanks.
HX_NET_API void strxcpy(char* dst, const char* src, int width);
// dst = at most n bytes of src (room: n + 1). Null src or n < 1: empty dst.
HX_NET_API void strzcpy(char* dst, const char* src, int n);
// Appends at most n bytes of src to dst (n counts appended bytes, not the
// size of dst). Null src leaves dst untouched.
HX_NET_API void strzcat(char* dst, const char* src, int n);

// Replaces the first occurrence of `pat` in s by `rep`, moving the rest of s
// (s needs room for the longer result). Returns the start of the replacement,
// or null when pat does not occur or s or pat is empty.
HX_NET_API char* strsubst(char* s, const char* pat, const char* rep);

// ---- Backslash sequences.

// Converts backslash sequences of src into bytes: \\ \a \b \e \f \n \r \s \t,
// \x or \X with one or two hex digits, one to three octal digits (value taken
// modulo 256). A value of 0 puts a NUL into dst and conversion goes on behind
// it. With `keep` null, a backslash before any other byte is dropped, and so
// is one at the end of src. With `keep` given, such a backslash is dropped only
// before a byte listed in keep; it stays before an x or X without a hex digit
// and at the end of src. The result is never longer than src: dst may be src.
HX_NET_API void strcvtbackslashseq(char* dst, const char* src, const char* keep);
// strcvtbackslashseq(s, s, NULL).
HX_NET_API void strcvtesc(char* s);
// Writes \b \t \n \f \r for those control bytes, \" and \\ for a quote and a
// backslash, and copies every other byte (room: 2 * strlen(src) + 1). dst may
// be src; the source is then copied to the heap first. Returns 0, or -1 when
// that copy cannot be allocated (dst untouched) or src is null (dst empty).
HX_NET_API int strtoesc(char* dst, const char* src);

// ---- Quoting between a backtick and an apostrophe.

// dst = '`', src with a backslash before each backslash and apostrophe, '\''
// (room: 2 * strlen(src) + 3). dst may be src (the source is then copied to
// the heap first). Returns 0, or -1 when that copy cannot be allocated (dst
// untouched) or src is null (dst empty).
HX_NET_API int strquote(const char* src, char* dst);
// Writes the same quoted form to f. Returns 0, or -1 on a write error or a
// null argument.
HX_NET_API int fstrquote(FILE* f, const char* s);
// Skips src up to its first backtick, then copies up to the next unescaped
// apostrophe or the end, a backslash taking the next byte literally (room:
// strlen(src) + 1; dst may be src). Returns 1 when the closing apostrophe was
// found, else 0 (no backtick gives an empty dst).
HX_NET_API int strunquote(const char* src, char* dst);
// The same on a stream: discards bytes up to and including the first backtick,
// stores bytes up to the next unescaped apostrophe, which it consumes, or the
// end of the stream. dst must hold the longest text the stream can carry plus
// its NUL. Returns 1 when the closing apostrophe was read, else 0.
HX_NET_API int fstrunquote(char* dst, FILE* f);

// ---- Heap copies (release with free()).

// A new copy of s, or null for a null s or when it cannot be allocated.
HX_NET_API char* strsave(const char* s);
// Keeps a copy of s in `old`, resized with realloc(). old null: strsave(s).
// s null: frees old, returns null. When resizing fails, returns null and old
// stays allocated and unchanged. s may point into old.
HX_NET_API char* strresave(char* old, const char* s);
// vsprintf() behind the current end of dst (dst needs room for the whole
// result); returns the new end, so calls can be chained.
HX_NET_API char* cat_sprintf(char* dst, const char* fmt, ...)
#if defined(__GNUC__) || defined(__clang__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

#ifdef __cplusplus
}
#endif
