// How a long-running server's memory goes back to the system after a burst of large requests.
#pragma once

namespace kestrune::platform {

// keepLargeBuffersApart makes large allocations (a request's body, a call's line) their own
// mappings, returned to the system when freed, instead of growing the heap that stays with the
// process (the C library otherwise raises that threshold to the largest buffer freed so far).
void keepLargeBuffersApart();

// returnFreeMemory gives the free memory of the heap back to the system.
void returnFreeMemory();

}  // namespace kestrune::platform
