// Public header. The library is built with hidden visibility; everything a
// caller may use carries HX_NET_API.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define HX_NET_API __attribute__((visibility("default")))
#else
#define HX_NET_API
#endif
