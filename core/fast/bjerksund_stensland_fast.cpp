#include "fast/bjerksund_stensland_fast.hpp"

#include "fast/isa.hpp"

namespace greekmill::fast {

void bjerksund_stensland_price(const batch::Inputs& x, const batch::Outputs& y, std::size_t begin,
                               std::size_t end, Width w) noexcept {
    detail::kernels(w).bjerksund_stensland_price(x, y, begin, end);
}

void bjerksund_stensland_greeks(const batch::Inputs& x, const batch::Outputs& y,
                                std::size_t begin, std::size_t end, Width w) noexcept {
    detail::kernels(w).bjerksund_stensland_greeks(x, y, begin, end);
}

}  // namespace greekmill::fast
