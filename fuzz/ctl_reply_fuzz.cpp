// CTL reply examination in both modes against an independent classifier:
// short payloads, record and message types, the trimmed user id (blanks and
// NULs around it), and the reply text up to the first NUL.
#include <ctype.h>
#include <stdint.h>

#include <string>

#include "fuzz/fuzz_check.h"
#include "hx_net/CtlClientInternal.h"
#include "hx_net/trace_modules.h"

namespace {
// The user id as the reply rule reads it: 64 bytes from offset 14, stopped at
// a NUL, without leading or trailing white space (0xA0 is never white space).
std::string UserId(const uint8_t* d) {
  std::string id;
  for (int i = 14; i < 78 && d[i]; ++i) id.push_back(static_cast<char>(d[i]));
  auto space = [](char c) { return c != '\xA0' && isspace(static_cast<unsigned char>(c)); };
  size_t b = 0, e = id.size();
  while (b < e && space(id[b])) ++b;
  while (e > b && space(id[e - 1])) --e;
  return id.substr(b, e - b);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string copy(reinterpret_cast<const char*>(data),
                   size);  // the examiner reads `size` bytes only
  HX_SCOPE(g_CtlClientDbg, "CtlClient", "fuzz");
  for (bool gateway : {false, true}) {
    std::string text = "untouched";
    CtlReplyOutcome got =
        CtlExamineReply(hx_fn, static_cast<unsigned>(size), copy.data(), gateway, text);
    CtlReplyOutcome want;
    if (size < 78) {
      want = CtlReplyOutcome::kRejected;
    } else {
      bool valid = data[0] == '+' && data[1] == '+' && UserId(data) == "CTL_RESP";
      want = valid     ? CtlReplyOutcome::kAccepted
             : gateway ? CtlReplyOutcome::kIgnored
                       : CtlReplyOutcome::kRejected;
    }
    FUZZ_CHECK(got == want);
    if (got == CtlReplyOutcome::kAccepted) {
      std::string expect;
      for (size_t i = 78; i < size && data[i]; ++i) expect.push_back(static_cast<char>(data[i]));
      FUZZ_CHECK(text == expect);
    }
  }
  return 0;
}
