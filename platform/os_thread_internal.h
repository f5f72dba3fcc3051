// Internal header: what the socket part of the toolkit needs of the thread part.
#pragma once

// Disarms the thread-creation fault seam (os_fault::Reset).
void os_fault_reset_threads();
