// Internal header: the library's five trace modules and the scope macro.
#pragma once

#include "platform/tdiag.h"

extern DbgLevels g_LinkDbg;
extern DbgLevels g_ServerLinkDbg;
extern DbgLevels g_AcceptManagerDbg;
extern DbgLevels g_CtlClientDbg;
extern DbgLevels g_WsServiceDbg;

// Opens the operation's trace scope, named hx_fn, and writes "Enter" at level 6.
#define HX_SCOPE(levels, module, name) TDiagFunc hx_fn(module, levels, name)
#define LINK_SCOPE(name) HX_SCOPE(g_LinkDbg, "Link", name)
#define SERVERLINK_SCOPE(name) HX_SCOPE(g_ServerLinkDbg, "ServerLink", name)
#define ACCEPTMGR_SCOPE(name) HX_SCOPE(g_AcceptManagerDbg, "AcceptManager", name)
#define CTL_SCOPE(name) HX_SCOPE(g_CtlClientDbg, "CtlClient", name)
#define WS_SCOPE(name) HX_SCOPE(g_WsServiceDbg, "ws_service", name)

// The context of CTL request and reply traffic lines.
constexpr int kCtlTraceContext = 8192;
