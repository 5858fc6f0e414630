// The fast kernels for avx2: compiled with -mavx2 (CMakeLists.txt).
// Only called after the dispatcher checked that the CPU runs them.
#define GREEKMILL_FAST_ISA avx2
#define GREEKMILL_FAST_LANES 4
#define GREEKMILL_FAST_TABLE kAvx2
#include "fast/isa_kernels.hpp"
