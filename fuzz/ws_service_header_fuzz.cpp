// The service message built by ws_service_send: its length and every header
// byte, checked against the field rules with strings, types and data taken
// from the input.
#include <FuzzedDataProvider.h>
#include <stdint.h>
#include <string.h>

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
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  std::string instance = fdp.ConsumeRandomLengthString(16);
  std::string user = fdp.ConsumeRandomLengthString(80);
  std::string dc = fdp.ConsumeRandomLengthString(8);
  int msgType = fdp.ConsumeIntegral<int>();
  int recType = fdp.ConsumeIntegral<int>();
  g_Result = fdp.ConsumeBool() ? -1 : 0;
  std::string payload = fdp.ConsumeRemainingBytesAsString();
  // The record keeps C strings: what follows a NUL is not part of them.
  instance = instance.c_str();
  user = user.c_str();
  dc = dc.c_str();

  ws_service_init(reinterpret_cast<ws_service_func>(&CaptureSend));
  ws_service* rec =
      ws_service_create(instance.c_str(), nullptr, 0, nullptr, user.c_str(), dc.c_str(), false);
  g_Sent.clear();
  int rc =
      ws_service_send(rec, payload.data(), static_cast<long>(payload.size()), msgType, recType);
  FUZZ_CHECK(rc == (g_Result < 0 ? -2 : 0));
  FUZZ_CHECK(g_Sent.size() == payload.size() + 78);
  FUZZ_CHECK(g_Sent[0] == static_cast<char>(recType & 0xff));
  FUZZ_CHECK(g_Sent[1] == static_cast<char>(msgType & 0xff));
  std::string inst = instance.substr(0, 9);
  inst.resize(9, '\0');
  FUZZ_CHECK(g_Sent.compare(2, 9, inst) == 0);
  std::string d3 = dc.substr(0, 4).substr(0, 3);
  d3.resize(3, '\0');
  FUZZ_CHECK(g_Sent.compare(11, 3, d3) == 0);
  std::string uid = user.substr(0, 64);
  uid.resize(64, ' ');
  FUZZ_CHECK(g_Sent.compare(14, 64, uid) == 0);
  std::string body = payload.substr(0, strnlen(payload.data(), payload.size()));
  body.resize(payload.size(), '\0');
  FUZZ_CHECK(g_Sent.compare(78, std::string::npos, body) == 0);
  ws_service_destroy(rec);
  FUZZ_CHECK(ServListSize() == 0);
  return 0;
}
