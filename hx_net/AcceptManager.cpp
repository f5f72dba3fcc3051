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
  if (AtMaxLinks(hx_fn, socket)) {
    pending.reset();
    DoGarbageCollection();
    return;
  }
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
  {
    std::lock_guard<std::mutex> g(m_LimitsLock);
    accepted->SetLimits(m_LinkLimits);
    accepted->SetTls(m_Tls);
  }
  // A refused socket leaves a Link without threads; the collection below
  // deletes it, since it reports itself terminated.
  accepted->AcceptConnection(pending.release());
  DoGarbageCollection();
}

void AcceptManagerCBClass::SetLinkLimits(const LinkLimits& limits) {
  ACCEPTMGR_SCOPE("AcceptManagerCBClass::SetLinkLimits");
  std::lock_guard<std::mutex> g(m_LimitsLock);
  m_LinkLimits = limits;
}

void AcceptManagerCBClass::SetTls(std::shared_ptr<TlsContext> context) {
  ACCEPTMGR_SCOPE("AcceptManagerCBClass::SetTls");
  std::lock_guard<std::mutex> g(m_LimitsLock);
  m_Tls = std::move(context);
}

void AcceptManagerCBClass::SetMaxLinks(unsigned int n) {
  ACCEPTMGR_SCOPE("AcceptManagerCBClass::SetMaxLinks");
  m_MaxLinks.store(n, std::memory_order_relaxed);
}

// True (and traced) when the cap is reached; the caller closes the socket.
bool AcceptManagerCBClass::AtMaxLinks(const TDiagFunc& hx_fn, os_tcp_socket* socket) {
  const unsigned cap = m_MaxLinks.load(std::memory_order_relaxed);
  if (cap == 0) return false;
  unsigned open = 0;
  for (const LinkEntry& entry : m_Links)
    if (!entry.pLink->HasEnded() && !entry.pLink->IsTerminated()) ++open;
  if (open < cap) return false;
  int peerPort = 0;
  std::string peer = socket->peer_text(peerPort);
  HX_TRACE(2, "Maximum of " << cap << " links reached: closing the new connection from "
                            << os_host_port_text(peer, peerPort) << ".");
  return true;
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
