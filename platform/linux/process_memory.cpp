#include "platform/process_memory.h"

#include <malloc.h>

namespace kestrune::platform {
namespace {

constexpr int kLargeBuffer = 256 * 1024;

}  // namespace

void keepLargeBuffersApart() {
  // A fixed threshold turns off glibc's dynamic one, which would otherwise climb to the size of
  // the largest buffer freed and keep every later one of that size in the heap.
  mallopt(M_MMAP_THRESHOLD, kLargeBuffer);
  mallopt(M_TRIM_THRESHOLD, 2 * kLargeBuffer);
}

void returnFreeMemory() {
  malloc_trim(0);
}

}  // namespace kestrune::platform
