#include "hx_net/trace_modules.h"

// Registered when the library is loaded, in this order.
DbgLevels g_LinkDbg;
DbgLevels g_ServerLinkDbg;
DbgLevels g_AcceptManagerDbg;
DbgLevels g_CtlClientDbg;
DbgLevels g_WsServiceDbg;

namespace {
TDiagRegister g_LinkReg("Link", g_LinkDbg);
TDiagRegister g_ServerLinkReg("ServerLink", g_ServerLinkDbg);
TDiagRegister g_AcceptManagerReg("AcceptManager", g_AcceptManagerDbg);
TDiagRegister g_CtlClientReg("CtlClient", g_CtlClientDbg);
TDiagRegister g_WsServiceReg("ws_service", g_WsServiceDbg);
}  // namespace
