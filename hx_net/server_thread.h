// Internal header: which ServerLink the current thread works for.
#pragma once

// Set on a server thread, and on the reader thread of every link accepted
// there, to that server. StopServer on such a thread cannot wait for the
// server thread: the server thread may be waiting for this very reader.
extern thread_local const void* t_hxServingServer;
