// Every array operation of the package as a row of one table: which inputs
// it reads and checks, how many outputs it writes, and the kernel that
// computes a range of elements.  Adding an operation is adding a row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "american/american.hpp"
#include "columns.hpp"
#include "fast/fast_math.hpp"
#include "grid/cash_dividends.hpp"

namespace greekmill::batch {

enum class Precision : std::uint8_t { Exact = 0, Fast = 1 };

struct Settings {
    Precision precision = Precision::Exact;
    american::Accuracy accuracy = american::Accuracy::Accurate;
    // Vector width of the fast kernels: Auto takes the widest the CPU has
    // (or the one GREEKMILL_SIMD names); the bits are the same at every width.
    fast::Width width = fast::Width::Auto;
    // One cash-dividend schedule for every element of the call (empty: none).
    // An element with a dividend before its expiry is valued by the grid
    // solver, whatever the precision; the others as without a schedule.
    dividends::Schedule dividends{};
};

// The inputs an operation reads, each checked by the common domain check.
enum class Domain : std::uint8_t {
    Pricing,            // s, k, t, r, sigma, q
    ImpliedVolatility,  // price, s, k, t, r, q
    ExerciseBoundary,   // tau (in the s column), k, r, sigma, q
};

using Kernel = void (*)(const Inputs& x, const Outputs& y, std::size_t begin, std::size_t end,
                        const Settings& settings, Failures& failures) noexcept;

struct Operation {
    const char* name;  // the name the extension publishes
    Domain domain;
    int outputs;       // 1, or 5 for the Greeks
    // Relative cost of one element (1 for a European Greek): sets how many
    // elements are worth a thread and how finely the work is split.
    double cost;
    Kernel kernel;
    // The kernel is plain arithmetic on any doubles (the closed forms): a
    // block may be computed before it is checked, so that the check reads
    // inputs the kernel already brought into the cache.  The engines that
    // iterate see only inputs in their domain.
    bool any_input_is_safe = false;
};

[[nodiscard]] std::span<const Operation> operations() noexcept;

// The first failure of element i under the operation's domain, or None.
[[nodiscard]] Failure check_domain(Domain domain, const Inputs& x, std::size_t i) noexcept;

// Checks and computes elements [begin, end): elements out of the domain get
// NaN in every output and are recorded; the kernel sees only the others.
void run_range(const Operation& op, const Inputs& x, const Outputs& y, std::size_t begin,
               std::size_t end, const Settings& settings, Failures& failures) noexcept;

}  // namespace greekmill::batch
