// The spectral American engine for avx2: compiled with -mavx2 (CMakeLists.txt);
// only called after the dispatcher checked that the CPU runs it.
#define GREEKMILL_FAST_ISA avx2
#define GREEKMILL_FAST_LANES 4
#define GREEKMILL_SPECTRAL_TABLE kSpectralAvx2
#include "american/engine_lanes.hpp"
