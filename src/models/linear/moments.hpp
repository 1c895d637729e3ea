// Fits driven by sufficient statistics instead of rows, as partitions of the
// data compute and merge them: the row count, the weight sum (n without
// weights), the (weighted) means of the columns, and the R factor of the
// centred, weighted columns. Without an intercept the means are zero and
// nothing is centred. Statistics from any split of the rows, merged, give
// the fit of all of them; a second pass over the rows with the fit fixed
// adds what needs the residuals (robust meats, cluster score sums, the
// residual diagnostics).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "linalg/matrix.hpp"
#include "models/estimator_error.hpp"
#include "models/linear/routes.hpp"
#include "stats/diagnostics.hpp"

namespace ordinata::models::linear {

using linalg::Matrix;
using linalg::MatrixView;
using linalg::Vector;
using linalg::VectorView;

// The means are kept as a pivot (a row of the data) and the mean offset
// from it: the difference of two partitions' means is then formed from the
// pivots' exact difference and two small offsets, and keeps its digits
// whatever the columns' offsets.
struct Moments {
    index_t n = 0;
    double total_weight = 0.0;
    Vector pivot;  // one per column
    Vector mean;   // from the pivot
    Matrix r;      // columns x columns, upper triangular
    bool intercept = true;
    // Whether every partition's R is the QR of its rows. A partition's R
    // from the Cholesky factor of its Gram carries the rounding of the Gram,
    // which a well-conditioned fit does not see and an ill-conditioned one
    // does: solve_moments asks for exact moments then.
    bool exact = true;

    double centre(index_t j) const { return pivot[j] + mean[j]; }
};

// Columns read where they lie, each with its own base and stride: a
// partition's columns are separate arrays, and they are never gathered
// into one matrix.
struct Columns {
    std::vector<const double*> base;
    std::vector<linalg::stride_t> stride;
    index_t rows = 0;

    index_t cols() const { return base.size(); }
    double operator()(index_t i, index_t j) const { return base[j][static_cast<linalg::stride_t>(i) * stride[j]]; }
    static Columns of(MatrixView a) {
        Columns out;
        out.rows = a.rows();
        for (index_t j = 0; j < a.cols(); ++j) {
            out.base.push_back(a.base + static_cast<linalg::stride_t>(j) * a.col_stride);
            out.stride.push_back(a.row_stride);
        }
        return out;
    }
};

// Per-row centres other than the columns' means: row i has table row
// group[i] subtracted (the entity means of a within transform).
struct RowCentres {
    const std::int64_t* group = nullptr;
    MatrixView table = {};
};

// The moments of the columns of a. Unless exact is asked: the Gram of the
// rows centred at their exact (weighted) mean, pivot plus offset, formed by
// the blocked, row-parallel rank-k update the fits from rows use, and its
// Cholesky factor as R, where solve() would trust that Gram's own
// factorisation. Otherwise (exact asked, fewer rows than columns, a Gram
// that is singular or ill-conditioned) the rows are read in chunks in a
// fixed order: each chunk's mean, taken against the first row so that it is
// accurate whatever the columns' offsets, and the R factor of its centred
// rows, folded into the running factor by one stacked QR with Chan's update
// of the means. With centres the rows are demeaned by them and not centred
// again. Fails on a value or weight that is not finite.
Result<Moments> moments_of_columns(const Columns& a, const VectorView* w, bool intercept, const RowCentres* centres,
                                   bool exact = false);
// The moments of the union of two sets of rows: the QR of
// [R_a; R_b; sqrt(W_a W_b / W) (m_b - m_a)'].
Moments merge_moments(const Moments& a, const Moments& b);
// The moments of n rows of total weight w whose columns are not centred (no
// intercept) from their Gram matrix: R its Cholesky factor where solve()
// would trust it, as a partition's fast moments take theirs; empty otherwise
// (the Gram is then to be formed again from the rows).
std::optional<Moments> moments_from_gram(index_t n, double total_weight, const Matrix& gram);

// What the fit solves from the moments, whose last column is the target.
struct MomentsProblem {
    const RoutePolicy* policy = &kOlsRoute;
    index_t q = 0;                        // parameters as the route counts them; 0: the design's
    const Vector* raw_lengths = nullptr;  // the columns' lengths before a transform (demeaning)
    double alpha = 0.0;                   // the ridge penalty on the slopes
    // Instrumental variables: the columns are [W | Z | E | y]; the design is
    // [W | E] projected onto [W | Z].
    index_t exogenous = 0, instruments = 0, endogenous = 0;
    // Exactly identified: the message when Z'X (or Z'Z) is singular.
    const char* identified_singular = nullptr;
};

struct MomentsSolution {
    Vector beta;     // intercept first when fitted
    Matrix inverse;  // (Xd' W Xd)^-1 (instrumental: of the projected design), intercept first likewise
    double ssr = 0.0;
    double tss = 0.0;  // the target's (centred) sum of squares
    // A second pass reads the residual of row d (the row less its centre)
    // as d . residual_weights and its orthonormal design coordinates as
    // scores (d), one row per slope.
    Vector residual_weights;
    Matrix scores;
    // L with the covariance of the parameters L (sum q q') L' for score
    // rows q = sqrt(w) [1, u] (intercept) or sqrt(w) u: the bread of every
    // sandwich, in the coordinates the second pass reads.
    Matrix left;
    // The R factor of the design with its intercept column, for the
    // condition number of the report.
    Matrix design_factor;
    // Moments with an R from a Gram whose merged design solve() would not
    // take from its normal equations: nothing else is set, and the fit is
    // to be solved again from exact moments.
    bool needs_exact = false;
    // Whether the design is ill-conditioned enough for the rounding of the
    // merged R factor to show in a sandwich: the second pass then sums
    // w u u' of the score coordinates, so that the bread can take it back.
    bool score_gram = false;
};

// The same singularity rules and messages as a fit from the rows.
Result<MomentsSolution> solve_moments(const Moments& m, const MomentsProblem& problem);

// Sums of a second pass with the fit fixed.
struct ScoreRequest {
    Columns a;
    const VectorView* w = nullptr;
    const RowCentres* centres = nullptr;
    VectorView pivot, mean;  // the centre of every row without centres, as the moments hold it
    bool intercept = true;
    double total_weight = 0.0;
    VectorView residual_weights;  // from MomentsSolution
    MatrixView scores;            // from MomentsSolution
    int leverage_power = -1;      // -1: no meat; 0: e^2 (HC0, HC1); 1: e^2/(1-h) (HC2); 2: e^2/(1-h)^2 (HC3)
    // Cluster codes 0..groups-1 per row, one array per clustering.
    std::vector<const std::int64_t*> clusters;
    std::vector<index_t> groups;
    bool residual_sums = false;
    bool score_gram = false;  // from MomentsSolution
    // Also sum w_i q_i q_i' per group of the first clustering (CR2, CR3).
    bool cluster_grams = false;
};
struct ScoreSums {
    Matrix meat;  // sum of w_i e_i^2 q_i q_i' (weighted as asked)
    // sum of w_i u_i u_i' over the slopes' coordinates, which is the identity
    // for exact moments: what it differs by is the rounding of the R factor,
    // which the bread takes back (asked with a meat or clusters only).
    Matrix gram;
    std::vector<Matrix> cluster_sums;  // groups x parameters: sum of sqrt(w_i) e_i q_i per group
    // groups x parameters^2 (row-major k x k per group): sum of w_i q_i q_i' per group of the
    // first clustering, added in row order (asked with cluster_grams only)
    Matrix cluster_grams;
    stats::ResidualSums residuals;  // of the unweighted residuals, in row order
};
Result<ScoreSums> score_pass(const ScoreRequest& request);

}  // namespace ordinata::models::linear
