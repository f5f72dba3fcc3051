// A program that uses an installed hx_net: a link given two literals, and,
// given the port of a running hxnet-component, CTL requests with a constant
// parameter block. Exit status 0 when all worked.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hx_net/CtlClient.h"
#include "hx_net/Link.h"
#include "hx_net/version.h"

int main(int argc, char** argv) {
  if (std::strcmp(hx_net_version(), HX_NET_VERSION) != 0) return 10;
  Link link;
  long err = 0;
  if (link.Connect("127.0.0.1", "0", err) != -1) return 11;  // two literals: refused at once
  if (argc > 1) {
    const CtlHostParams p = [&] {
      CtlHostParams q{"127.0.0.1", "", 5, static_cast<ComponentTypeEnum>(1)};
      std::snprintf(q.m_Port, sizeof q.m_Port, "%s", argv[1]);
      return q;
    }();
    std::string info;
    if (CtlInterface::LifeCheck(p, info) != CTL_RC_OK || info != "OK") return 5;
    std::vector<NameValue> m;
    if (CtlInterface::GetMeasurements(p, m) != CTL_RC_OK || m.empty()) return 6;
  }
  std::printf("C++%ld consumer of hx_net %s:%s CTL requests work\n",
              static_cast<long>(__cplusplus / 100 % 100), hx_net_version(), argc > 1 ? "" : " no");
  return 0;
}
