// Public header: the outgoing frame of a Link (included by hx_net/Link.h).
#pragma once

#include "platform/hx_export.h"

// One outgoing frame: header, payload and one NUL that is never sent. Copies
// share m_pBuffer; only a record whose m_OwnsBuffer is set frees it.
class HX_NET_API LinkBufferToSendClass {
 public:
  char* m_pBuffer = nullptr;
  unsigned m_Size = 0;      // bytes to write: payload + 10
  unsigned m_DataSize = 0;  // the payload length alone
  bool m_OwnsBuffer = false;
  unsigned m_Capacity = 0;  // bytes allocated at m_pBuffer (at least m_Size + 1)

  ~LinkBufferToSendClass() {
    if (m_OwnsBuffer) delete[] m_pBuffer;
  }
  // Fills the record with a new frame for `length` bytes at `data`. Throws
  // std::bad_alloc (the record then stays empty), and std::length_error for a
  // length of 0x80000000 or more, which no receiver accepts.
  void BuildBuffer(const char* data, unsigned length);
  // The same into `buffer` (new[]-allocated, `capacity` >= length + 11),
  // which the record takes over instead of allocating.
  void BuildBufferInto(char* buffer, unsigned capacity, const char* data, unsigned length);
};
