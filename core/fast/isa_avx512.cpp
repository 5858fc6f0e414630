// The fast kernels for avx512: compiled with -mavx512f (CMakeLists.txt).
// Only called after the dispatcher checked that the CPU runs them.
#define GREEKMILL_FAST_ISA avx512
#define GREEKMILL_FAST_LANES 8
#define GREEKMILL_FAST_TABLE kAvx512
#include "fast/isa_kernels.hpp"
