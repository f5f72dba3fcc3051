// Shared by the fuzz targets: an oracle check that stops the run, and heap
// blocks of an exact size.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

// Aborts with the failed condition: libFuzzer saves the input as a crash, and
// the replay program exits abnormally, which fails its ctest test.
#define FUZZ_CHECK(cond)                                                        \
  do {                                                                          \
    if (!(cond)) {                                                              \
      fprintf(stderr, "%s:%d: oracle failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                  \
    }                                                                           \
  } while (0)

// A malloc'ed block of exactly `size` bytes: AddressSanitizer reports a read or
// write one byte past it.
class ExactBuffer {
 public:
  explicit ExactBuffer(size_t size) : size_(size), p_(static_cast<char*>(malloc(size))) {
    if (!p_ && size) abort();
  }
  // The bytes of `text` and a NUL, in a block of text.size() + 1 + slack bytes.
  static ExactBuffer CString(const std::string& text, size_t slack = 0) {
    ExactBuffer b(text.size() + 1 + slack);
    memcpy(b.p_, text.c_str(), text.size() + 1);
    return b;
  }
  ExactBuffer(ExactBuffer&& other) noexcept : size_(other.size_), p_(other.p_) {
    other.p_ = nullptr;
  }
  ExactBuffer(const ExactBuffer&) = delete;
  ExactBuffer& operator=(const ExactBuffer&) = delete;
  ~ExactBuffer() { free(p_); }

  char* get() const { return p_; }
  size_t size() const { return size_; }
  std::string bytes() const { return std::string(p_, size_); }

 private:
  size_t size_;
  char* p_;
};
