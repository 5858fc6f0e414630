#include "fast/european_fast.hpp"

#include "fast/isa.hpp"

namespace greekmill::fast {

void european_price(const batch::Inputs& x, const batch::Outputs& y, std::size_t begin,
                    std::size_t end, Width w) noexcept {
    detail::kernels(w).price(x, y, begin, end);
}
void european_delta(const batch::Inputs& x, const batch::Outputs& y, std::size_t begin,
                    std::size_t end, Width w) noexcept {
    detail::kernels(w).delta(x, y, begin, end);
}
void european_gamma(const batch::Inputs& x, const batch::Outputs& y, std::size_t begin,
                    std::size_t end, Width w) noexcept {
    detail::kernels(w).gamma(x, y, begin, end);
}
void european_theta(const batch::Inputs& x, const batch::Outputs& y, std::size_t begin,
                    std::size_t end, Width w) noexcept {
    detail::kernels(w).theta(x, y, begin, end);
}
void european_vega(const batch::Inputs& x, const batch::Outputs& y, std::size_t begin,
                   std::size_t end, Width w) noexcept {
    detail::kernels(w).vega(x, y, begin, end);
}
void european_rho(const batch::Inputs& x, const batch::Outputs& y, std::size_t begin,
                  std::size_t end, Width w) noexcept {
    detail::kernels(w).rho(x, y, begin, end);
}
void european_greeks(const batch::Inputs& x, const batch::Outputs& y, std::size_t begin,
                     std::size_t end, Width w) noexcept {
    detail::kernels(w).greeks(x, y, begin, end);
}

}  // namespace greekmill::fast
