"""Coefficients of the scaled complementary error function erfcx(y) = e^{y^2} erfc(y)
used by core/implied_volatility.cpp, printed as a C++ table.

[0, 8) is cut into intervals of width 1/2 and [8, 26) into intervals of width 2;
on each, erfcx is interpolated at the 32 Chebyshev points of the interval by a
polynomial of degree 15 in t = (y - centre) / half-width, computed with mpmath
at 50 digits and rounded to double.  The script also reports the largest
relative error of the double evaluation (Estrin's scheme, as in the core)
against mpmath on 2,000 points per interval.

    python scripts/erfcx_table.py > table.inc
"""

import sys
from mpmath import mp, mpf, erfc, exp, cos, pi, matrix, lu_solve

mp.dps = 50
DEGREE = 15


def erfcx(y):
    y = mpf(y)
    return exp(y * y) * erfc(y)


def intervals():
    edges = [i * 0.5 for i in range(17)] + [10.0, 12.0, 14.0, 16.0, 18.0, 20.0, 22.0, 24.0, 26.0]
    return list(zip(edges[:-1], edges[1:]))


def fit(a, b):
    n = 2 * (DEGREE + 1)
    nodes = [cos(pi * (j + mpf(1) / 2) / n) for j in range(n)]
    c, h = (mpf(a) + b) / 2, (mpf(b) - a) / 2
    # Least squares on the Chebyshev points, relative weighting.
    rows = []
    rhs = []
    for t in nodes:
        f = erfcx(c + h * t)
        rows.append([t ** k / f for k in range(DEGREE + 1)])
        rhs.append(mpf(1))
    A = matrix(rows)
    y = matrix(rhs)
    coeffs = lu_solve(A.T * A, A.T * y)
    return [float(coeffs[k]) for k in range(DEGREE + 1)]


def estrin(p, t):
    t2 = t * t
    t4 = t2 * t2
    t8 = t4 * t4
    q = [p[2 * i] + p[2 * i + 1] * t for i in range(8)]
    r = [q[2 * i] + q[2 * i + 1] * t2 for i in range(4)]
    s = [r[0] + r[1] * t4, r[2] + r[3] * t4]
    return s[0] + s[1] * t8


def main():
    worst = 0.0
    table = []
    for a, b in intervals():
        p = fit(a, b)
        table.append((a, b, p))
        c, h = (a + b) / 2, (b - a) / 2
        for j in range(2000):
            y = a + (b - a) * (j + 0.5) / 2000
            t = (y - c) / h
            got = estrin(p, t)
            ref = erfcx(y)
            worst = max(worst, float(abs((mpf(got) - ref) / ref)))
    print(f"// worst relative error of the table on [0, 26): {worst:.3g}", file=sys.stderr)
    for a, b, p in table:
        print(f"    // [{a:g}, {b:g})")
        body = ", ".join(repr(v) for v in p)
        print(f"    {{{body}}},")


if __name__ == "__main__":
    main()
