/* Public header: the library's version.
 *
 * The macros are the version of the headers a program was compiled with;
 * hx_net_version() is that of the library it runs with. The shared library's
 * SONAME carries the major version (libhx_net.so.0): a program built against
 * one major version never loads another.
 *
 * The build reads the version from this file; change it only here.
 * Valid C (C11) and C++. */
#pragma once

#include "platform/hx_export.h"

#define HX_NET_VERSION_MAJOR 0
#define HX_NET_VERSION_MINOR 1
#define HX_NET_VERSION_PATCH 0
#define HX_NET_VERSION "0.1.0"

#ifdef __cplusplus
extern "C" {
#endif

/* The running library's version as "MAJOR.MINOR.PATCH"; static text. */
HX_NET_API const char* hx_net_version(void);

#ifdef __cplusplus
}
#endif
