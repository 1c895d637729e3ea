// A sum carried as an unevaluated pair hi + lo, for the few sums whose
// terms cancel beyond what working precision keeps: products are added
// exactly (the fused multiply-add gives each product's rounding error) and
// the sums with their errors (Knuth's TwoSum), so that the result is as if
// computed in twice the working precision (Ogita, Rump and Oishi's Dot2).
#pragma once

#include <cmath>

namespace ordinata::linalg {

struct DoubleDouble {
    double hi = 0.0, lo = 0.0;

    void add(double v) {
        const double s = hi + v, t = s - hi;
        lo += (hi - (s - t)) + (v - t);
        hi = s;
    }
    void add_product(double a, double b) {
        const double p = a * b;
        add(p);
        lo += std::fma(a, b, -p);
    }
    // (a.hi + a.lo) * b, each part's product exact.
    void add_product(const DoubleDouble& a, double b) {
        add_product(a.hi, b);
        add_product(a.lo, b);
    }
    double value() const { return hi + lo; }

    // a - b exactly, as a pair.
    static DoubleDouble difference(double a, double b) {
        DoubleDouble d{a, 0.0};
        d.add(-b);
        return d;
    }
};

}  // namespace ordinata::linalg
