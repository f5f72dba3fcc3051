// CTL reply examination in both modes against an independent classifier:
// short payloads, record and message types, the trimmed user id (blanks and
// NULs around it), and the reply text up to the first NUL.
#include <ctype.h>
#include <stdint.h>

#include <string>

#include "fuzz/fuzz_check.h"
#include "hx_net/CtlClientInternal.h"
#include "hx_net/trace_modules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  // The user id as the reply rule reads it: 64 bytes from offset 14, stopped
  // at a NUL, without white space around it (0xA0 is never white space).
  std::string id = size < 78 ? "" : std::string(bytes, 14, 64).c_str();
  auto white = [](char c) { return c != '\xA0' && isspace(static_cast<unsigned char>(c)); };
  while (!id.empty() && white(id.back())) id.pop_back();
  while (!id.empty() && white(id.front())) id.erase(0, 1);
  const bool valid = size >= 78 && bytes.compare(0, 2, "++") == 0 && id == "CTL_RESP";
  std::string copy = bytes;  // the examiner reads `size` bytes only
  HX_SCOPE(g_CtlClientDbg, "CtlClient", "fuzz");
  for (bool gateway : {false, true}) {
    std::string text = "untouched";
    const CtlReplyOutcome got =
        CtlExamineReply(hx_fn, static_cast<unsigned>(size), copy.data(), gateway, text);
    FUZZ_CHECK(got == (valid                   ? CtlReplyOutcome::kAccepted
                       : gateway && size >= 78 ? CtlReplyOutcome::kIgnored
                                               : CtlReplyOutcome::kRejected));
    FUZZ_CHECK(!valid || text == std::string(bytes, 78).c_str());
  }
  return 0;
}
