// Building outgoing frames (the header parser is inline in link_frame.h).
#include "hx_net/LinkFrame.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "hx_net/link_internal.h"

using namespace hx_link;

void LinkBufferToSendClass::BuildBuffer(const char* data, unsigned length) {
  LINK_SCOPE("LinkBufferToSendClass::BuildBuffer");
  if (m_pBuffer) {
    delete[] m_pBuffer;
    m_pBuffer = nullptr;
    m_Size = 0;
    m_DataSize = 0;
    m_Capacity = 0;
  }
  if (length >= kMaxFrameLength) throw std::length_error("frame length exceeds 7fffffff");
  char* buf = new char[static_cast<size_t>(length) + 11];
  WriteFrame(buf, data, length);
  m_pBuffer = buf;
  m_Size = length + 10;
  m_DataSize = length;
  m_Capacity = length + 11;
}

void LinkBufferToSendClass::BuildBufferInto(char* buffer, unsigned capacity, const char* data,
                                            unsigned length) {
  LINK_SCOPE("LinkBufferToSendClass::BuildBuffer");
  if (m_pBuffer) delete[] m_pBuffer;
  WriteFrame(buffer, data, length);
  m_pBuffer = buffer;
  m_Size = length + 10;
  m_DataSize = length;
  m_Capacity = capacity;
}
