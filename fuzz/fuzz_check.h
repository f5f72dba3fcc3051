// Shared by the fuzz targets: an oracle check that stops the run, heap blocks
// of an exact size, and the reference reading of a frame header's length.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>

// Aborts with the failed condition: libFuzzer saves the input as a crash, and
// the replay program exits abnormally, which fails its ctest test.
#define FUZZ_CHECK(cond) \
  ((cond) ? (void)0      \
          : (fprintf(stderr, "%s:%d: oracle failed: %s\n", __FILE__, __LINE__, #cond), abort()))

// A heap block of exactly `size` bytes, starting with `init`: AddressSanitizer
// reports a read or write one byte past it.
struct ExactBuffer {
  explicit ExactBuffer(size_t n, const std::string& init = "") : size(n), p(new char[n]) {
    memcpy(p.get(), init.data(), std::min(n, init.size()));
  }
  char* get() const { return p.get(); }
  std::string bytes() const { return std::string(p.get(), size); }
  size_t size;
  std::unique_ptr<char[]> p;
};
// The bytes of `text` and a NUL, then `slack` more bytes.
inline ExactBuffer CString(const std::string& text, size_t slack = 0) {
  return ExactBuffer(text.size() + 1 + slack, text + '\0');
}

// Eight hexadecimal digits of either case at p as a number; -1 when one is not.
inline long long RefHex8(const char* p) {
  const std::string s(p, 8);
  return s.find_first_not_of("0123456789abcdefABCDEF") == s.npos ? std::stoll(s, nullptr, 16) : -1;
}
