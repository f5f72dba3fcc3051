/* A C program that uses an installed hx_net: the string routines, the field
 * scanner and the registry's C functions. Exit status 0 when all worked. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "hx_net/msg_fields.h"
#include "hx_net/strutil.h"
#include "hx_net/version.h"
#include "hx_net/ws_service.h"

int main(void) {
  char text[] = "  <user>ann<dc>&lt;x&gt;<empty>  ";
  char name[kMsgFieldNameSize];
  char value[32];
  char* cursor = text;
  char line[] = "one two  three";
  char* words[4];
  char* copy;
  int fields = 0;

  if (strcmp(hx_net_version(), HX_NET_VERSION) != 0) return 1;
  strtrim(text);
  if (strcmp(text, "<user>ann<dc>&lt;x&gt;<empty>") != 0) return 2;
  if (str2words(line, words, 4) != 3 || strcmp(words[2], "three") != 0) return 3;
  while (msg_next_field(&cursor, name, value, (long)sizeof value - 1) == 1) ++fields;
  if (fields != 3) return 4;
  if (msg_get_field(text, "dc", value, (long)sizeof value - 1) != 1 ||
      strcmp(value, "&lt;x&gt;") != 0)
    return 5;
  copy = strsave(value);
  if (!copy || strreplace(copy, '&', '%') != 2) return 6;
  free(copy);
  if (ServListSize() != 0 || ws_service_find("1", "u", "DC1", NULL) != NULL) return 7;
  printf("C consumer of hx_net %s: %d fields, %s\n", hx_net_version(), fields, words[1]);
  return 0;
}
