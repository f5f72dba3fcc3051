#include "hx_net/version.h"

#define HX_NET_STR2(x) #x
#define HX_NET_STR(x) HX_NET_STR2(x)

namespace {
constexpr bool SameText(const char* a, const char* b) {
  return *a == *b && (*a == '\0' || SameText(a + 1, b + 1));
}
}  // namespace

// The text and the numbers are edited by hand; they must agree.
static_assert(SameText(HX_NET_VERSION,
                       HX_NET_STR(HX_NET_VERSION_MAJOR) "." HX_NET_STR(
                           HX_NET_VERSION_MINOR) "." HX_NET_STR(HX_NET_VERSION_PATCH)),
              "HX_NET_VERSION must be MAJOR.MINOR.PATCH of the three macros");

extern "C" const char* hx_net_version(void) {
  return HX_NET_VERSION;
}
