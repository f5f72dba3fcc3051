// Internal header: the reply wait of one CTL request. Not exported and not
// part of the public interface; the tests and fuzz targets link the library's
// objects and reach these classes here.
//
// Both objects live in the frame of one CtlInterface::CtlRequest call. The
// caller owns a manual-reset wake-up semaphore that three threads may post:
// the Link's reader thread (an accepted reply, or the end of the connection)
// and the timer thread (the time-out). Each poster also posts a semaphore of
// its own, so that the woken caller can tell what happened. The wake-up
// semaphore must outlive the Link's threads and the timer thread.
#pragma once

#include <string>

#include "hx_net/CtlClient.h"
#include "hx_net/Link.h"
#include "platform/os_toolkit.h"

class TDiagFunc;

// What a received payload is to a waiting CTL request.
enum class CtlReplyOutcome {
  kAccepted,  // a CTL reply: its text is the answer
  kRejected,  // not a reply: the request is answered badly unless a reply follows
  kIgnored,   // gateway traffic that is no reply: the wait goes on
};

// Examines `length` bytes at `payload` (gateway rules when `gateway`, else the
// direct rules) and writes the diagnostics of a rejected or ignored payload in
// the trace scope `fn`. On kAccepted, `replyText` is the text from offset 78
// up to the end or the first NUL. Reads nothing beyond `length` bytes, so the
// payload need not be NUL-terminated. Never fails.
CtlReplyOutcome CtlExamineReply(const TDiagFunc& fn, unsigned int length, const char* payload,
                                bool gateway, std::string& replyText);

// The callback object of a CTL request's Link. Receive and Exception run on
// the Link's reader thread. m_CtlRc and m_CtlReply are written there only,
// before the semaphores are posted, and never again once a reply has been
// accepted; the caller reads them after DisConnect has ended the reader.
class CtlClientLinkCBObject : public LinkCBClass {
 public:
  // `wakeUp` is not owned and must outlive the Link's reader thread.
  CtlClientLinkCBObject(os_event_semaphore* wakeUp, ComponentTypeEnum type);
  ~CtlClientLinkCBObject() override;
  CtlClientLinkCBObject(const CtlClientLinkCBObject&) = delete;
  CtlClientLinkCBObject& operator=(const CtlClientLinkCBObject&) = delete;

  // Accepted: stores the text, rc 1, posts m_ReceiveEntered and the wake-up.
  // Rejected: rc 35, posts m_ReceiveEntered only. Ignored: nothing.
  void Receive(unsigned int length, const char* payload, Link* link) override;
  // Posts m_ExceptionEntered, then the wake-up.
  void Exception(int code, Link* link) override;

  bool ReceiveWasEntered();    // a message was accepted or rejected
  bool ExceptionWasEntered();  // the connection has ended
  const std::string& GetCtlReply();
  int GetCtlRc();

 private:
  os_event_semaphore* m_pWakeUp;
  os_event_semaphore m_ReceiveEntered;
  os_event_semaphore m_ExceptionEntered;
  ComponentTypeEnum m_ComponentType;
  std::string m_CtlReply;
  int m_CtlRc;
  bool m_Accepted;  // reader thread only: later messages change nothing
};

// The time-out of one CTL request, on a thread of its own. The thread waits on
// m_MainEnded one second at a time until `timeoutSeconds` of calendar time
// (whole seconds) have passed, then posts m_TimeElapsed and the wake-up,
// unless SetMainEnded came first; SetMainEnded ends the thread at once.
class CtlTimer {
 public:
  CtlTimer();
  // Joins the timer thread: call SetMainEnded first, or this waits out the time-out.
  ~CtlTimer();
  CtlTimer(const CtlTimer&) = delete;
  CtlTimer& operator=(const CtlTimer&) = delete;

  // Starts the thread. 1, or 0 when it could not be created (m_pThread stays
  // null and nothing will be posted). Call once.
  int Activate(os_event_semaphore* wakeUp, int timeoutSeconds);
  static void* StartTimerThread(void* timer);
  void TimerMain();
  bool TimeHasElapsed();
  // After it returns, the timer thread posts nothing. Any thread.
  void SetMainEnded();

 private:
  os_event_semaphore* m_pWakeUp;
  os_event_semaphore m_TimeElapsed;
  os_critical_section m_Lock;  // makes the time-out and SetMainEnded exclusive
  os_event_semaphore m_MainEnded;
  int m_Timeout;
  os_thread* m_pThread;
};
