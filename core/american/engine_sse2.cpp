// The spectral American engine for sse2: baseline x86-64 (SSE2), no extra flags.
#define GREEKMILL_FAST_ISA sse2
#define GREEKMILL_FAST_LANES 2
#define GREEKMILL_SPECTRAL_TABLE kSpectralSse2
#include "american/engine_lanes.hpp"
