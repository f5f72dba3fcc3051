/* A C program that uses an installed hx_net: a routine of each header declaring
 * C functions, and a copy the program frees. Exit status 0 when all worked. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "hx_net/msg_fields.h"
#include "hx_net/strutil.h"
#include "hx_net/version.h"
#include "hx_net/ws_service.h"

int main(void) {
  char text[] = "  <user>ann<dc>&lt;x&gt;<empty>  ";
  char value[32];
  char* copy;

  if (strcmp(hx_net_version(), HX_NET_VERSION) != 0) return 1;
  strtrim(text);
  if (strcmp(text, "<user>ann<dc>&lt;x&gt;<empty>") != 0) return 2;
  if (msg_get_field(text, "dc", value, (long)sizeof value - 1) != 1 ||
      strcmp(value, "&lt;x&gt;") != 0)
    return 3;
  copy = strsave(value);
  if (!copy || strcmp(copy, value) != 0) return 4;
  free(copy);
  if (ServListSize() != 0 || ws_service_find("1", "u", "DC1", NULL) != NULL) return 5;
  printf("C consumer of hx_net %s: %s\n", hx_net_version(), value);
  return 0;
}
