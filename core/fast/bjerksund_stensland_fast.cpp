#include "fast/bjerksund_stensland_fast.hpp"

#include "fast/isa.hpp"

namespace greekmill::fast {

void bjerksund_stensland_price(const batch::Inputs& x, const batch::Outputs& y, std::size_t begin,
                               std::size_t end, Width w) noexcept {
    detail::kernels(w).bjerksund_stensland_price(x, y, begin, end);
}

void bjerksund_stensland_delta(const batch::Inputs& x, const batch::Outputs& y,
                               std::size_t begin, std::size_t end, Width w) noexcept {
    detail::kernels(w).bjerksund_stensland_delta(x, y, begin, end);
}

void bjerksund_stensland_gamma(const batch::Inputs& x, const batch::Outputs& y,
                               std::size_t begin, std::size_t end, Width w) noexcept {
    detail::kernels(w).bjerksund_stensland_gamma(x, y, begin, end);
}

void bjerksund_stensland_theta(const batch::Inputs& x, const batch::Outputs& y,
                               std::size_t begin, std::size_t end, Width w) noexcept {
    detail::kernels(w).bjerksund_stensland_theta(x, y, begin, end);
}

void bjerksund_stensland_vega(const batch::Inputs& x, const batch::Outputs& y,
                               std::size_t begin, std::size_t end, Width w) noexcept {
    detail::kernels(w).bjerksund_stensland_vega(x, y, begin, end);
}

void bjerksund_stensland_rho(const batch::Inputs& x, const batch::Outputs& y,
                               std::size_t begin, std::size_t end, Width w) noexcept {
    detail::kernels(w).bjerksund_stensland_rho(x, y, begin, end);
}

void bjerksund_stensland_greeks(const batch::Inputs& x, const batch::Outputs& y,
                                std::size_t begin, std::size_t end, Width w) noexcept {
    detail::kernels(w).bjerksund_stensland_greeks(x, y, begin, end);
}

}  // namespace greekmill::fast
