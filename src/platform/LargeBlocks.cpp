#include "platform/LargeBlocks.h"

#include <malloc.h>

namespace LargeBlocks {

void returnWhenFreed() {
  // A fixed bound also fixes the one past which a heap's free top is given back (twice the default).
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  mallopt(M_TRIM_THRESHOLD, 1 << 20);
}

}  // namespace LargeBlocks
