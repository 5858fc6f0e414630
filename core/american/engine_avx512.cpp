// The spectral American engine for avx512: compiled with -mavx512f (CMakeLists.txt);
// only called after the dispatcher checked that the CPU runs it.
#define GREEKMILL_FAST_ISA avx512
#define GREEKMILL_FAST_LANES 8
#define GREEKMILL_SPECTRAL_TABLE kSpectralAvx512
#include "american/engine_lanes.hpp"
