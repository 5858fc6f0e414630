// The European value of an option on a spot that drops by known cash
// amounts (never below 0) and follows Black-Scholes-Merton in between, by
// backward recursion of Gaussian expectations instead of a grid.
//
// Just after the latest ex-date the value is the Black-Scholes formula.
// Across an ex-date V(S, before) = V(max(S - D, 0), after), and between
// ex-dates, over a time dt with s = sigma sqrt(dt) and mu = (r - q - s^2/2
// per unit of time) dt,
//
//   V(x) = e^{-r dt} integral W(y) phi((y - x - mu) / s) / s dy,   x = ln S,
//
// with W(y) = V_after(max(e^y - D, 0)) the value just before the ex-date
// (Haug, Haug and Lewis 2003, eq. 14 for one dividend; the recursion is
// theirs applied once per ex-date).  W is constant below y = ln D (the spot
// is ruined: a put is worth K e^{-r tau}, a call 0), which integrates to a
// closed form with Phi, and smooth above it but for a few sharp places: the
// strike (while the formula's time to expiry is short) and each earlier
// floor, carried up by the later dividends and widened by each stretch's
// volatility.  The integral above ln D is Gauss-Legendre on panels that
// start at ln D, are at most a fraction of s wide, and grade down to those
// sharp places; the nodes of one ex-date's panels are exactly the points at
// which the next (earlier) stretch's integral is evaluated, so no value is
// ever interpolated (the Nystrom form of the QUAD method, Andricopoulos et
// al. 2003).  Each mesh spans the spot's range at that ex-date to 8.5
// standard deviations of the whole path from today, not of the stretch
// alone, so a schedule's cost is linear in its length.
#pragma once

#include "log_spot.hpp"

namespace greekmill::grid {

// European only (p.american is ignored).  Value, delta and gamma at the
// spot from today's integral differentiated in the spot; dtau from the
// Black-Scholes equation at the spot; dsigma, drate and dyield (per 1.0)
// carried through the recursion as tangents beside the values: on the same
// nodes, each integral's derivative is that of its Gaussian (mean and
// deviation), discount and ruined value plus the integral of W's tangents.
// `sensitivities` false leaves those three and dtau 0.
// Whether the meshes stay within their capacity and the work within about a
// second: false for stretches far shorter than the spread of the whole path
// (daily ex-dates over years), which the grid values instead.
[[nodiscard]] bool european_resolves(const Problem& p) noexcept;

[[nodiscard]] Result<Solution> european(const Problem& p, bool sensitivities) noexcept;

// An American call with q <= 0 and r >= 0: holding it beats exercising
// between ex-dates (no yield is given up by holding, and the strike paid
// later costs no more), so it is exercised only today, at expiry, or just
// before an ex-date at the spot before the drop (Merton 1973; Haug, Haug and
// Lewis 2003).  Its value is that Bermudan one, exact but for the
// quadrature: at each ex-date's eve W(y) = max(e^y - K, V_after(e^y - D)),
// whose kink, the exercise boundary y* (found by a bracketed root of the
// nondecreasing e^y - K - V_after(e^y - D) before the mesh is built), is a
// panel edge of that ex-date's mesh and a sharp place of the earlier ones.
// Today the value is max(S - K, the integral); `exercised` says the first
// won (value S - K, the Greeks left to the caller: delta 1, the rest 0).
// Elsewhere the Greeks as for `european`, the tangents of the exercised
// nodes 0 (e^y - K moves with none of sigma, r and q).  Other options are
// an error: exercises_only_at_ex_dates says which qualify (p.american, a
// call, q <= 0, r >= 0); european_resolves says whether the quadrature
// resolves the schedule, as for a European value.  With q < 0 the value
// after the drop may rise faster than the spot (delta up to e^{-q tau} > 1),
// so an eve's exercise region can be a bounded interval of spots, not a
// half-line above one root: the solve then fails, and the caller leaves the
// call to the grid, which takes max(exercise, continuation) node by node
// whatever the region's shape.
[[nodiscard]] bool exercises_only_at_ex_dates(const Problem& p) noexcept;

[[nodiscard]] Result<Solution> american_call(const Problem& p, bool sensitivities) noexcept;

}  // namespace greekmill::grid
