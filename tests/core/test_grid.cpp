// The log-spot grid solver: against the Black-Scholes formula where there is
// no jump, its span whatever the distance between spot and strike, and its
// independence of the thread it runs on.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

#include <atomic>
#include <cmath>
#include <vector>

#include "american_reference.hpp"
#include "black_scholes.hpp"
#include "grid/log_spot.hpp"
#include "support.hpp"

namespace greekmill {
namespace {

constexpr grid::Resolution kResolution{320, 320};

struct Spot {
    double s, k, t, r, q, sigma;
};

TEST(GridSolver, EuropeanWithoutJumpsIsBlackScholes) {
    const Spot cases[] = {{100, 100, 1.0, 0.05, 0.02, 0.3},  {80, 100, 0.25, 0.01, 0.0, 0.2},
                          {130, 100, 2.0, 0.03, 0.01, 0.45}, {100, 90, 0.05, -0.01, 0.02, 0.6},
                          {100, 100, 5.0, 0.08, 0.0, 0.15}};
    for (const Spot& c : cases) {
        for (OptionType type : {OptionType::Call, OptionType::Put}) {
            const grid::Problem p{c.s, c.k, c.t, c.r, c.q, c.sigma, type, false, {}};
            const Result<grid::Solution> x = grid::solve(p, kResolution, true);
            ASSERT_TRUE(x.has_value());
            const Greeks g = *black_scholes::all_greeks(c.s, c.k, c.t, c.r, c.sigma, c.q, type);
            EXPECT_NEAR(x->value, *black_scholes::price(c.s, c.k, c.t, c.r, c.sigma, c.q, type),
                        2e-7);
            EXPECT_NEAR(x->delta, g.delta, 1e-7);
            EXPECT_NEAR(x->gamma, g.gamma, 1e-6);
            EXPECT_NEAR(x->dsigma, g.vega, 2e-5);
            EXPECT_NEAR(x->drate / 100.0, g.rho, 1e-7);
            const double h = 1e-5;
            const double dyield = (*black_scholes::price(c.s, c.k, c.t, c.r, c.sigma, c.q + h, type) -
                                   *black_scholes::price(c.s, c.k, c.t, c.r, c.sigma, c.q - h, type)) /
                                  (2.0 * h);
            EXPECT_NEAR(x->dyield, dyield, 1e-5);
            EXPECT_NEAR(-x->dtau / 365.0, g.theta, 1e-7);
        }
    }
}

// A spot many standard deviations from the strike, on either side, with a
// dividend larger than the spot: the mesh must still reach both.
TEST(GridSolver, SpansSpotAndStrikeFarApart) {
    const grid::Jump jumps[] = {{0.5, 30.0}};
    for (double s : {20.0, 40.0, 250.0, 500.0}) {
        for (OptionType type : {OptionType::Call, OptionType::Put}) {
            const grid::Problem p{s, 100.0, 1.0, 0.05, 0.0, 0.2, type, true, jumps};
            const Result<grid::Solution> x = grid::solve(p, kResolution, true);
            ASSERT_TRUE(x.has_value());
            const double exercise = type == OptionType::Call ? s - 100.0 : 100.0 - s;
            EXPECT_TRUE(std::isfinite(x->value) && std::isfinite(x->gamma));
            EXPECT_GE(x->value, std::fmax(exercise, 0.0));
            EXPECT_LE(x->value, type == OptionType::Call ? s : 100.0);
        }
    }
}

// With q < r <= 0 a put is exercised between two boundaries: the solver's
// policy iteration against the extrapolated binomial tree, which takes the
// exercise value at every node and so assumes no shape for the region, and a
// call in the mirrored regime.
TEST(GridSolver, DoubleBoundaryRegimeByPolicyIteration) {
    const Spot cases[] = {{100, 100, 1.0, -0.01, -0.02, 0.2},
                          {90, 100, 1.0, -0.005, -0.03, 0.15},
                          {110, 100, 0.5, -0.01, -0.05, 0.3}};
    for (const Spot& c : cases) {
        for (OptionType type : {OptionType::Put, OptionType::Call}) {
            // The call with (r, q) swapped is the mirrored regime r < q <= 0.
            const double r = type == OptionType::Put ? c.r : c.q;
            const double q = type == OptionType::Put ? c.q : c.r;
            const grid::Problem p{c.s, c.k, c.t, r, q, c.sigma, type, true, {}};
            const Result<grid::Solution> x = grid::solve(p, {256, 256}, true);
            ASSERT_TRUE(x.has_value());
            const double reference = testing::reference_american(
                c.s, c.k, c.t, r, c.sigma, q, type == OptionType::Call, 8000);
            EXPECT_NEAR(x->value, reference, 5e-5);
            EXPECT_GT(x->value, *black_scholes::price(c.s, c.k, c.t, r, c.sigma, q, type) + 1e-3);
        }
    }
}

// A job's cancellation reaches a solve between jumps; many jumps value.
TEST(GridSolver, CancelledBetweenJumpsAndManyJumps) {
    std::vector<grid::Jump> jumps;
    for (int i = 1; i <= 400; ++i) {
        jumps.push_back({i / 400.0, 0.01});
    }
    std::atomic<bool> cancel{true};
    grid::Problem p{100.0, 100.0, 1.0, 0.05, 0.0, 0.3, OptionType::Put, true, jumps, &cancel};
    EXPECT_FALSE(grid::solve(p, {64, 64, 2}, false).has_value());
    cancel = false;
    const auto many = grid::solve(p, {64, 64, 2}, false);
    ASSERT_TRUE(many.has_value());
    // Four dollars paid raise a put's value above that of no dividend.
    p.jumps = {};
    const auto none = grid::solve(p, {64, 64, 2}, false);
    ASSERT_TRUE(none.has_value());
    EXPECT_GT(many->value, none->value + 1.0);
    EXPECT_LT(many->value, 100.0);
}

struct GridRun {
    const grid::Problem* problem;
    Result<grid::Solution> result = std::unexpected(OptionError::invalid_option_type());
};

void solve_run(GridRun& run) { run.result = grid::solve(*run.problem, {768, 480}, true); }

// Runs `run` on a new thread with a stack of `bytes`; false if none could be made.
bool run_on_small_stack(GridRun& run, std::size_t bytes) {
#if defined(_WIN32)
    auto body = [](void* argument) -> DWORD {
        solve_run(*static_cast<GridRun*>(argument));
        return 0;
    };
    HANDLE thread = CreateThread(nullptr, bytes, body, &run, STACK_SIZE_PARAM_IS_A_RESERVATION,
                                 nullptr);
    if (thread == nullptr) {
        return false;
    }
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return true;
#else
    auto body = [](void* argument) -> void* {
        solve_run(*static_cast<GridRun*>(argument));
        return nullptr;
    };
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, bytes);
    pthread_t thread;
    const bool made = pthread_create(&thread, &attributes, body, &run) == 0;
    if (made) {
        pthread_join(thread, nullptr);
    }
    pthread_attr_destroy(&attributes);
    return made;
#endif
}

// The work arrays are on the heap: a thread with a 64 KiB stack gets the same bits.
TEST(GridSolver, SmallStackThreadGivesTheSameBits) {
    const grid::Jump jumps[] = {{0.25, 1.0}, {0.5, 1.0}, {0.75, 1.0}};
    const grid::Problem p{100.0, 100.0, 1.0, 0.05, 0.0, 0.3, OptionType::Put, true, jumps};
    const Result<grid::Solution> here = grid::solve(p, {768, 480}, true);
    GridRun run{&p};
    ASSERT_TRUE(run_on_small_stack(run, 64 * 1024));
    ASSERT_TRUE(here.has_value() && run.result.has_value());
    EXPECT_TRUE(testing::SameDouble(run.result->value, here->value));
    EXPECT_TRUE(testing::SameDouble(run.result->gamma, here->gamma));
    EXPECT_TRUE(testing::SameDouble(run.result->dsigma, here->dsigma));
}

}  // namespace
}  // namespace greekmill
