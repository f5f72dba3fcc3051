// Public header: fault seams for tests. Each check in the toolkit costs one
// relaxed atomic load while no fault is armed.
#pragma once

#include "platform/hx_export.h"

namespace os_fault {
// The nth os_thread created from now on (1 = the next one) throws
// os_thread_toolkit_error with native code EAGAIN.
HX_NET_API void FailThreadCreation(int nth);
// The next `times` accepts fail: with nativeCode 0, accept returns false
// (last_accept_error() EAGAIN); else it raises os_network_toolkit_error with
// that native code.
HX_NET_API void FailAccept(int times, long nativeCode);
// The next `times` creations of a listening socket raise
// os_network_toolkit_error with nativeCode.
HX_NET_API void FailBind(int times, long nativeCode);
// Disarms every seam.
HX_NET_API void Reset();
}  // namespace os_fault
