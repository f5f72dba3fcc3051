#include "hx_net/AcceptManager.h"

#include <memory>
#include <stdexcept>

#include "hx_net/trace_modules.h"

AcceptManagerCBClass::AcceptManagerCBClass() = default;

AcceptManagerCBClass::~AcceptManagerCBClass() = default;

void AcceptManagerCBClass::Accept(os_tcp_socket* socket) {
  ACCEPTMGR_SCOPE("AcceptManagerCBClass::Accept");
  // Ours until a Link takes it over: if anything below throws first, the
  // connection is closed rather than leaked.
  std::unique_ptr<os_tcp_socket> pending(socket);
  std::unique_ptr<Link> link(new Link);
  m_Links.push_back(LinkEntry{nullptr, nullptr});  // allocate before anything is handed out
  AcceptedLinkCBClass* callback = nullptr;
  try {
    callback = CreateLinkCBObject();
    if (!callback) throw std::logic_error("CreateLinkCBObject returned no callback object");
  } catch (...) {
    m_Links.pop_back();
    throw;
  }
  m_Links.back() = LinkEntry{link.release(), callback};
  Link* accepted = m_Links.back().pLink;
  accepted->SetCallbackObject(*callback);
  // A refused socket leaves a Link without threads; the collection below
  // deletes it, since it reports itself terminated.
  accepted->AcceptConnection(pending.release());
  DoGarbageCollection();
}

void AcceptManagerCBClass::Exception() {
  ACCEPTMGR_SCOPE("AcceptManagerCBClass::Exception");
  for (const LinkEntry& entry : m_Links) {
    entry.pLink->DisConnect();
    DeleteEntry(entry);
  }
  m_Links.clear();
}

void AcceptManagerCBClass::DoGarbageCollection() {
  ACCEPTMGR_SCOPE("AcceptManagerCBClass::DoGarbageCollection");
  const size_t total = m_Links.size();
  size_t deleted = 0;
  for (auto it = m_Links.begin(); it != m_Links.end();) {
    if (it->pLink->IsTerminated()) {
      ++deleted;
      DeleteEntry(*it);
      it = m_Links.erase(it);
    } else {
      ++it;
    }
  }
  if (total > 0)
    HX_TRACE(4, "Ended Garbage Collection: " << deleted << " out of " << total
                                             << " objects were deleted");
}

// The Link goes first, so its callback object outlives every call its
// threads make to it.
void AcceptManagerCBClass::DeleteEntry(const LinkEntry& entry) {
  delete entry.pLink;
  if (entry.pCallback->DeleteWithLink()) delete entry.pCallback;
}
