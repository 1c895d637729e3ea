// The conjugate-gradient iterations the absorbed-effects solvers share: the
// rows' solver with either preconditioner (absorb.hpp) and the levels' solver
// (absorb_levels.hpp) differ in the operator, the preconditioner and how a
// step's move of the rows is bounded, never in the iterations or the rule
// that stops them.
//
// Stopping rule: the iterations end when two in a row move no row's value by
// more than `threshold` (tol times the column's spread), when the operator
// finds no curvature left (the column already projected) or only rounding's
// (the residual is rounding), at `limit` iterations, or where the caller's
// `give_up` says so. The outcome is converged when the last move is within the
// threshold and the one before it was too (or nothing was left to move); at
// rounding, when the last move taken is within the threshold.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <vector>

namespace ordinata::frames {

// The floor of any tolerance: below it the moves are rounding.
inline constexpr double kRoundingFloor = 64.0 * std::numeric_limits<double>::epsilon();

struct Outcome {
    long long iterations = 0;
    double change = 0.0;  // the last iteration's largest move, relative to the spread
    bool converged = false;
    bool finite = true;
    double spread = 0.0;  // the column's, before any iteration
};

// Preconditioned conjugate gradients on A step = r from the given step (its
// residual r), both updated in place. `precondition(r, z)` writes z = M^-1 r
// and returns r'z; `apply(dir, product, largest)` writes product = A dir,
// returns dir'A dir and sets `largest` to a bound on the move of a row per
// unit step along dir; `give_up(out)` is asked after each iteration that did
// not stop. out.iterations goes on from its value.
template <class Precondition, class Apply, class GiveUp>
void conjugate_gradients(std::span<double> step, std::span<double> r, double threshold, double spread, long long limit,
                         Outcome& out, Precondition precondition, Apply apply, GiveUp give_up) {
    const std::size_t m = step.size();
    std::vector<double> z(m), dir(m), product(m);
    double rz = precondition(r.data(), z.data());
    std::copy(z.begin(), z.end(), dir.begin());
    bool small_before = false, rounding = false;
    for (;;) {
        double largest = 0.0;
        const double curvature = apply(dir.data(), product.data(), largest);
        ++out.iterations;
        if (!(curvature > 0.0)) {
            out.change = 0.0;
            break;
        }
        const double a = rz / curvature;
        // dir'M dir >= r'M^-1 r, so a bounds 1 / (dir'A dir / dir'M dir): a step this long takes a
        // direction the operator sees only through rounding (near the null space of the dummies,
        // where two factors' levels move against each other), and would move the rows by noise.
        if (a * kRoundingFloor > 1.0) {
            rounding = true;
            break;
        }
        for (std::size_t k = 0; k < m; ++k) {
            step[k] += a * dir[k];
            r[k] -= a * product[k];
        }
        // Two small moves in a row: the steps need not shrink steadily.
        const double move = std::fabs(a) * largest;
        const bool small = move <= threshold;
        out.change = move / spread;
        if ((small && small_before) || out.iterations >= limit) break;
        if (give_up(out)) break;
        small_before = small;
        const double rz_next = precondition(r.data(), z.data());
        const double beta = rz_next / rz;
        rz = rz_next;
        for (std::size_t k = 0; k < m; ++k) dir[k] = z[k] + beta * dir[k];
    }
    out.converged = out.change * spread <= threshold && (small_before || out.change == 0.0 || rounding);
}

// The columns' outcomes as one: converged if every column did, the most
// iterations and the largest change; empty where a column was not finite.
inline std::optional<Outcome> worst_of(std::span<const Outcome> outcomes) {
    Outcome worst;
    worst.converged = true;
    for (const Outcome& o : outcomes) {
        if (!o.finite) return std::nullopt;
        worst.converged = worst.converged && o.converged;
        worst.iterations = std::max(worst.iterations, o.iterations);
        worst.change = std::max(worst.change, o.change);
    }
    return worst;
}

// For iterations the caller never gives up.
inline bool never_give_up(const Outcome&) { return false; }

}  // namespace ordinata::frames
