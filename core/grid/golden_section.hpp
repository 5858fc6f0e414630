// The least value of a function with one dip on [a, b] by golden section,
// stopping early at the first point the caller's test accepts.
#pragma once

namespace greekmill::grid {

struct GoldenSection {
    double low;      // the bracket's lower end when the search stopped
    double x;        // the accepted point, or the lower of the last two
    double value;    // the function there
    bool accepted;   // `accept` held at x
};

// At most `sections` steps, each shrinking [low, high] by the golden ratio
// around the lower of its two inner points, until the bracket is narrower
// than `width`; `accept(x, f(x))` is asked of both inner points (the lower
// end's first) before each step and once after the last.
template <class F, class Accept>
[[nodiscard]] GoldenSection golden_section(const F& f, double low, double high, int sections,
                                           double width, const Accept& accept) noexcept {
    constexpr double kGolden = 0.6180339887498949;
    double c = high - kGolden * (high - low);
    double d = low + kGolden * (high - low);
    double fc = f(c);
    double fd = f(d);
    for (int i = 0; i <= sections; ++i) {
        if (accept(c, fc)) {
            return {low, c, fc, true};
        }
        if (accept(d, fd)) {
            return {low, d, fd, true};
        }
        if (i == sections || !(high - low > width)) {
            break;
        }
        if (fc < fd) {
            high = d;
            d = c;
            fd = fc;
            c = high - kGolden * (high - low);
            fc = f(c);
        } else {
            low = c;
            c = d;
            fc = fd;
            d = low + kGolden * (high - low);
            fd = f(d);
        }
    }
    return fc < fd ? GoldenSection{low, c, fc, false} : GoldenSection{low, d, fd, false};
}

}  // namespace greekmill::grid
