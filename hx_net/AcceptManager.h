// Public header: the ready-made ServerLink callback that turns every accepted
// socket into a Link.
//
// A concrete server derives from AcceptManagerCBClass and supplies, through
// CreateLinkCBObject, the callback object of each new Link. The manager keeps
// every Link with its callback object, deletes the Links whose reader thread
// has ended (at the next accepted connection), and when the server thread
// ends disconnects and deletes all of them.
//
// Threads and ownership:
//  - Accept, Exception and CreateLinkCBObject run on the server thread of the
//    one ServerLink the manager serves; the list of links is touched by that
//    thread only, so the manager has no lock.
//  - Each Link's callback object is called on that Link's reader thread
//    (Receive, Exception), concurrently with the server thread. It may Send on
//    its link and DisConnect it (which then only closes); it must never delete
//    the link: the manager does, from the server thread, once the reader has
//    ended.
//  - The manager owns the Links it creates. It deletes a callback object, after
//    its Link, only when that object's DeleteWithLink() says so; otherwise the
//    object belongs to whoever made it.
//  - An exception raised by CreateLinkCBObject passes to the server thread,
//    which traces it; the accepted connection is closed and nothing leaks.
//
// Stop rules: the owner creates the manager, passes it to
// ServerLink::SetCallbackObject, calls InitServer, and destroys the manager
// only after ServerLink::StopServer has returned (by then Exception() has
// emptied the list).
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>

#include "hx_net/Link.h"
#include "hx_net/ServerLink.h"
#include "platform/hx_export.h"

// The callback object of one accepted Link.
class HX_NET_API AcceptedLinkCBClass : public LinkCBClass {
 public:
  // Asked right after the manager has deleted this object's Link: true lets
  // the manager delete the object too.
  virtual bool DeleteWithLink() = 0;
};

class HX_NET_API AcceptManagerCBClass : public ServerLinkCBClass {
 public:
  AcceptManagerCBClass();
  // Forgets the entries without touching their Links or callback objects.
  ~AcceptManagerCBClass() override;
  AcceptManagerCBClass(const AcceptManagerCBClass&) = delete;
  AcceptManagerCBClass& operator=(const AcceptManagerCBClass&) = delete;

  // Wraps `socket` into a new Link, starts it, then deletes ended Links.
  void Accept(os_tcp_socket* socket) override;
  // Disconnects and deletes every Link, in the order they were accepted.
  void Exception() override;
  // The callback object for one new Link; never null. Server thread.
  virtual AcceptedLinkCBClass* CreateLinkCBObject() = 0;

  // Limits for every link accepted from now on, set before its threads start,
  // so its first frame is already under them. Any thread.
  void SetLinkLimits(const LinkLimits& limits);
  // TLS for every link accepted from now on (hx_net/Tls.h): a server
  // context makes each one do its handshake on its own reader thread before
  // its first frame, so a slow or clear-text peer never holds up the server
  // thread; null (the default): clear text. Any thread.
  void SetTls(std::shared_ptr<TlsContext> context);
  // At most n accepted links open at once (0, the default: no limit): while
  // n are open, a new connection is closed at once, before
  // CreateLinkCBObject. A link stops counting once its Exception has
  // returned. Any thread; applies to later accepts.
  void SetMaxLinks(unsigned int n);

 protected:
  struct LinkEntry {
    Link* pLink;                     // owned
    AcceptedLinkCBClass* pCallback;  // owned when DeleteWithLink() says so
  };
  // In the order of acceptance. Server thread only (or once it has ended).
  std::list<LinkEntry> m_Links;

 private:
  void DoGarbageCollection();
  static void DeleteEntry(const LinkEntry& entry);
  bool AtMaxLinks(const TDiagFunc& hx_fn, os_tcp_socket* socket);

  std::mutex m_LimitsLock;
  LinkLimits m_LinkLimits;
  std::shared_ptr<TlsContext> m_Tls;  // under m_LimitsLock
  std::atomic<unsigned> m_MaxLinks{0};
};
