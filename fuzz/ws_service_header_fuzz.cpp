// The service message built by ws_service_send: its length and every header
// byte, checked against the field rules with strings, types and data taken
// from the input.
#include <FuzzedDataProvider.h>
#include <stdint.h>

#include <string>

#include "fuzz/fuzz_check.h"
#include "hx_net/ws_service.h"

namespace {
std::string g_Sent;
int g_Result = 0;
int CaptureSend(Link*, const char* message, long length) {
  g_Sent.assign(message, static_cast<size_t>(length));
  return g_Result;
}
// `s` cut to `width` bytes, the rest `fill`.
std::string Field(const std::string& s, size_t width, char fill) {
  return (s + std::string(width, fill)).substr(0, width);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  // The record keeps C strings: what follows a NUL is not part of them.
  const std::string instance = fdp.ConsumeRandomLengthString(16).c_str();
  const std::string user = fdp.ConsumeRandomLengthString(80).c_str();
  const std::string dc = fdp.ConsumeRandomLengthString(8).c_str();
  const int msgType = fdp.ConsumeIntegral<int>(), recType = fdp.ConsumeIntegral<int>();
  g_Result = fdp.ConsumeIntegralInRange<int>(-1, 1);  // any result of 0 or more is a success
  const std::string payload = fdp.ConsumeRemainingBytesAsString();

  ws_service_init(reinterpret_cast<ws_service_func>(&CaptureSend));
  ws_service* rec =
      ws_service_create(instance.c_str(), nullptr, 0, nullptr, user.c_str(), dc.c_str(), false);
  g_Sent.clear();
  const int rc =
      ws_service_send(rec, payload.data(), static_cast<long>(payload.size()), msgType, recType);
  FUZZ_CHECK(rc == (g_Result < 0 ? -2 : 0));
  // The types' low bytes, instance 9, server 3 of at most 4, user 64 blank-padded, then the
  // data up to its first NUL and NULs for the rest.
  const std::string want = std::string(1, static_cast<char>(recType & 0xff)) +
                           static_cast<char>(msgType & 0xff) + Field(instance, 9, '\0') +
                           Field(dc.substr(0, 4), 3, '\0') + Field(user, 64, ' ') +
                           Field(payload.c_str(), payload.size(), '\0');
  FUZZ_CHECK(g_Sent == want);
  ws_service_destroy(rec);
  FUZZ_CHECK(ServListSize() == 0);
  return 0;
}
