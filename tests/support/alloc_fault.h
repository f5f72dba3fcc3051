// Allocation failures on demand, for the tests of what an allocation failure
// leaves behind. Linking this in replaces the global operator new of the test
// program; unarmed it only counts nothing and forwards to malloc.
#pragma once

#include <cstddef>

namespace hxtest {
// The nth allocation from now on this thread (1: the next one) whose size is
// at least `minSize` throws std::bad_alloc; 0 disarms.
void FailAllocation(int nth, std::size_t minSize = 0);
}  // namespace hxtest
