#include "models/linear/moments.hpp"

#include <algorithm>
#include <cmath>

#include "linalg/factor.hpp"
#include "linalg/ops.hpp"
#include "linalg/row_blocks.hpp"
#include "linalg/row_chunks.hpp"
#include "models/linear/design_system.hpp"
#include "models/linear/least_squares_core.hpp"
#include "models/linear/validation.hpp"

namespace ordinata::models::linear {

namespace {

// Rows a chunk folds into the running factor at once: its block stays in
// the cache while LAPACK reflects it.
constexpr index_t kChunkRows = 512;

// The R factor's rounding moves a sandwich by about eps / ratio: below this
// ratio (above a condition of 1e4, 1e-12 of a standard error) the second
// pass also sums the scores' own Gram to take it back, at a fifth of its cost.
constexpr double kScoreGramBelowRatio = 1e-4;

// A column-major block that holds the running R factor in its first c rows,
// Chan's link row below it and then one chunk of centred rows; factoring it
// in place leaves the merged R where the next chunk finds it.
class StackedFactor {
public:
    StackedFactor(index_t c, index_t chunk_rows)
        : c_(c), ld_(c + 1 + chunk_rows), buf_(ld_ * c, 0.0), work_(linalg::triangularise_work(c)) {}

    double& at(index_t i, index_t j) { return buf_[j * ld_ + i]; }
    double* link() { return &at(c_, 0); }
    index_t stride() const { return ld_; }

    // Factors the R rows, the link row and the first `rows` chunk rows.
    bool fold(index_t rows) {
        return linalg::triangularise_in_place(buf_.data(), c_ + 1 + rows, c_, ld_, work_.data()).has_value();
    }

    Matrix r() const {
        Matrix out(c_, c_, 0.0);
        for (index_t i = 0; i < c_; ++i)
            for (index_t j = i; j < c_; ++j) out(i, j) = buf_[j * ld_ + i];
        return out;
    }

private:
    index_t c_, ld_;
    Vector buf_, work_;
};

double column_length(const Matrix& r, index_t j) {
    double sum = 0.0;
    for (index_t i = 0; i <= j; ++i) sum += r(i, j) * r(i, j);
    return std::sqrt(sum);
}

}  // namespace

namespace {

// The moments from the Gram of the centred, weighted rows; empty where the
// Gram's Cholesky factor is not to be trusted (or a value is not finite,
// which the rows' route then names).
// The block's R from its centred Gram matrix, where the core trusts its
// Cholesky factor. A column that is exactly zero once centred (a category
// none of the block's rows has, a column constant within the block) adds
// nothing to the block's sums: it is left out of the factor, its row and
// column of R zero, rather than making the block take its rows' QR.
std::optional<Matrix> block_cholesky(const Matrix& g) {
    const index_t c = g.rows();
    std::vector<index_t> kept;
    for (index_t j = 0; j < c; ++j)
        if (g(j, j) != 0.0) kept.push_back(j);
    const auto q = static_cast<index_t>(kept.size());
    if (q == c) return trusted_cholesky(g);
    if (q == 0) return Matrix(c, c, 0.0);
    Matrix sub(q, q);
    for (index_t a = 0; a < q; ++a)
        for (index_t b = 0; b < q; ++b) sub(a, b) = g(kept[a], kept[b]);
    auto rs = trusted_cholesky(sub);
    if (!rs) return std::nullopt;
    Matrix r(c, c, 0.0);
    for (index_t a = 0; a < q; ++a)
        for (index_t b = a; b < q; ++b) r(kept[a], kept[b]) = (*rs)(a, b);
    return r;
}

// Cholesky QR twice over the block's centred, weighted rows X (centred at
// the moments' pivot and offset, or by the row centres): R1 from the Gram g,
// then the Gram of X R1^-1, which is the identity but for R1's rounding, and
// its own factor R2; R = R2 R1 is then the R factor of X to working
// accuracy, where the equilibrated g's reciprocal condition reaches
// kCholeskyQrRcond (a condition of X up to about 3e6). Columns that are
// exactly zero are left out as block_cholesky leaves them out.
constexpr double kCholeskyQrRcond = 1e-13;

std::optional<Matrix> cholesky_qr_twice(const Columns& a, const VectorView* w, const RowCentres* centres,
                                        const Moments* centred, const Matrix& g, index_t block) {
    const index_t n = a.rows, c = a.cols();
    std::vector<index_t> kept;
    for (index_t j = 0; j < c; ++j)
        if (g(j, j) != 0.0) kept.push_back(j);
    const auto q = static_cast<index_t>(kept.size());
    if (q == 0) return std::nullopt;
    Matrix sub(q, q);
    for (index_t i = 0; i < q; ++i)
        for (index_t j = 0; j < q; ++j) sub(i, j) = g(kept[i], kept[j]);
    auto r1 = equilibrated_cholesky(sub, kCholeskyQrRcond);
    if (!r1) return std::nullopt;
    const index_t rows_per_block = std::max(block, std::min<index_t>(4 * q, 8192));
    Matrix g2 = linalg::row_block_gram_upper(n, q, rows_per_block, [&](index_t first, index_t rows, double* buf) {
        for (index_t s = 0; s < q; ++s) {
            const index_t j = kept[s];
            const double* col = a.base[j];
            const linalg::stride_t stride = a.stride[j];
            for (index_t i = 0; i < rows; ++i) {
                const double x = col[static_cast<linalg::stride_t>(first + i) * stride];
                double v = 0.0;
                if (centres)
                    v = x - centres->table(static_cast<index_t>(centres->group[first + i]), j);
                else if (centred)
                    v = (x - centred->pivot[j]) - centred->mean[j];
                else
                    v = x;
                buf[i * q + s] = w ? v * std::sqrt((*w)[first + i]) : v;
            }
        }
        linalg::solve_rows_upper_in_place(*r1, buf, rows, q);
    });
    linalg::mirror_upper(g2);
    for (index_t i = 0; i < q; ++i)
        for (index_t j = 0; j < q; ++j)
            if (!std::isfinite(g2(i, j))) return std::nullopt;
    // The Gram of X R1^-1 is near the identity; one far from it means R1 was not what it seemed.
    auto r2 = equilibrated_cholesky(g2, 0.25);
    if (!r2) return std::nullopt;
    Matrix product(q, q, 0.0);
    linalg::dot_accumulate(r2->view(), r1->view(), product);
    Matrix r(c, c, 0.0);
    for (index_t i = 0; i < q; ++i)
        for (index_t j = i; j < q; ++j) r(kept[i], kept[j]) = product(i, j);
    return r;
}

std::optional<Moments> moments_by_gram(const Columns& a, const VectorView* w, bool intercept,
                                       const RowCentres* centres) {
    const index_t n = a.rows, c = a.cols();
    if (n < c || c == 0) return std::nullopt;
    const bool centring = intercept && !centres;
    Moments m{n, 0.0, Vector(c, 0.0), Vector(c, 0.0), Matrix(), intercept, false};
    // Rows [(x - pivot) s | s]: the last column's sums give the weight and
    // the rows' offsets from the pivot, by which the Gram is centred at the
    // exact mean (as scaled_cross_products does with exact_centre).
    const index_t width = c + (centring ? 1 : 0);
    const index_t block = std::max<index_t>(64, 16384 / width);
    // The pivot: the first block's plain means, so that the offsets the
    // centring takes back are a small share of the spread.
    if (centring) {
        const index_t first_rows = std::min(n, block);
        for (index_t j = 0; j < c; ++j) {
            double sum = 0.0;
            for (index_t i = 0; i < first_rows; ++i) sum += a(i, j);
            m.pivot[j] = sum / static_cast<double>(first_rows);
        }
    }
    const double* pivot = m.pivot.data();
    const Matrix acc = linalg::row_block_gram_upper(n, width, block, [&](index_t first, index_t rows, double* buf) {
        for (index_t j = 0; j < c; ++j) {
            const double* col = a.base[j];
            const linalg::stride_t stride = a.stride[j];
            double* dst = buf + j;
            if (centres) {
                for (index_t i = 0; i < rows; ++i)
                    dst[i * width] = col[static_cast<linalg::stride_t>(first + i) * stride] -
                                     centres->table(static_cast<index_t>(centres->group[first + i]), j);
            } else {
                const double p = pivot[j];
                for (index_t i = 0; i < rows; ++i)
                    dst[i * width] = col[static_cast<linalg::stride_t>(first + i) * stride] - p;
            }
        }
        if (w) {
            for (index_t i = 0; i < rows; ++i) {
                const double s = std::sqrt((*w)[first + i]);
                double* row = buf + i * width;
                for (index_t j = 0; j < c; ++j) row[j] *= s;
                if (centring) row[c] = s;
            }
        } else if (centring) {
            for (index_t i = 0; i < rows; ++i) buf[i * width + c] = 1.0;
        }
    });
    for (index_t i = 0; i < width; ++i)
        for (index_t j = i; j < width; ++j)
            if (!std::isfinite(acc(i, j))) return std::nullopt;
    double total = static_cast<double>(n);
    if (centring) {
        total = acc(c, c);
    } else if (w) {
        total = 0.0;
        for (index_t i = 0; i < n; ++i) total += (*w)[i];
    }
    if (!(total > 0.0) || !std::isfinite(total)) return std::nullopt;
    Matrix g(c, c);
    for (index_t i = 0; i < c; ++i)
        for (index_t j = i; j < c; ++j) g(i, j) = acc(i, j);
    if (centring) {
        // sum w (x - p)(x - p)' - W a a' with a = sum w (x - p) / W: centred
        // at p + a, which the moments keep as the pivot and its offset.
        for (index_t j = 0; j < c; ++j) m.mean[j] = acc(j, c) / total;
        for (index_t i = 0; i < c; ++i)
            for (index_t j = i; j < c; ++j) g(i, j) -= total * m.mean[i] * m.mean[j];
    }
    linalg::mirror_upper(g);
    m.total_weight = total;
    if (auto r = block_cholesky(g)) {
        m.r = std::move(*r);
        return m;
    }
    // Too ill-conditioned for the normal equations as they are (a categorical
    // term of many levels, a few rows each, is): the rows' factor by Cholesky
    // QR twice, as accurate as their Householder QR in three BLAS-3 sweeps.
    auto r = cholesky_qr_twice(a, w, centres, centring ? &m : nullptr, g, block);
    if (!r) return std::nullopt;
    m.r = std::move(*r);
    m.exact = true;
    return m;
}

}  // namespace

Result<Moments> moments_of_columns(const Columns& a, const VectorView* w, bool intercept, const RowCentres* centres,
                                   bool exact) {
    if (!exact)
        if (auto m = moments_by_gram(a, w, intercept, centres)) return std::move(*m);
    const index_t n = a.rows, c = a.cols();
    const bool centring = intercept && !centres;
    Moments m{n, 0.0, Vector(c, 0.0), Vector(c, 0.0), Matrix(), intercept};
    Vector& pivot = m.pivot;
    Vector& mean = m.mean;
    // Each fold re-triangularises the running R beside the chunk: on a wide
    // design (a categorical term of many levels) a chunk of several times
    // the columns keeps that share small.
    const index_t chunk_rows = std::max(kChunkRows, (4 * c + kChunkRows - 1) / kChunkRows * kChunkRows);
    Vector chunk_mean(c), root(chunk_rows);
    if (centring && n > 0)
        for (index_t j = 0; j < c; ++j) pivot[j] = a(0, j);
    StackedFactor f(c, std::min(n, chunk_rows));
    double total = 0.0;
    for (index_t first = 0; first < n; first += chunk_rows) {
        const index_t rows = std::min(chunk_rows, n - first);
        const auto value = [&](index_t i, index_t j) {
            const double centre =
                centres ? centres->table(static_cast<index_t>(centres->group[first + i]), j) : pivot[j];
            return a(first + i, j) - centre;
        };
        double weight = 0.0;
        std::fill_n(chunk_mean.data(), c, 0.0);
        for (index_t i = 0; i < rows; ++i) {
            const double wi = w ? (*w)[first + i] : 1.0;
            if (!(wi >= 0.0) || std::isinf(wi)) return value_error(kNotFinite);
            root[i] = std::sqrt(wi);
            weight += wi;
            for (index_t j = 0; j < c; ++j) {
                const double v = value(i, j);
                if (!std::isfinite(v)) return value_error(kNotFinite);
                chunk_mean[j] += wi * v;
            }
        }
        const bool centred = centring && weight > 0.0;
        for (index_t j = 0; j < c; ++j) chunk_mean[j] = centred ? chunk_mean[j] / weight : 0.0;
        const double merged = total + weight;
        const double link = centred && total > 0.0 ? std::sqrt(total * (weight / merged)) : 0.0;
        for (index_t j = 0; j < c; ++j) f.at(c, j) = link * (chunk_mean[j] - mean[j]);
        for (index_t j = 0; j < c; ++j)
            for (index_t i = 0; i < rows; ++i) f.at(c + 1 + i, j) = root[i] * (value(i, j) - chunk_mean[j]);
        if (!f.fold(rows)) return runtime_error("The QR factorisation of a chunk of rows failed");
        if (merged > 0.0)
            for (index_t j = 0; j < c; ++j) mean[j] += (weight / merged) * (chunk_mean[j] - mean[j]);
        total = merged;
    }
    m.total_weight = total;
    m.r = f.r();
    return m;
}

std::optional<Moments> moments_from_gram(index_t n, double total_weight, const Matrix& gram) {
    const index_t c = gram.rows();
    auto r = trusted_cholesky(gram);
    if (!r) return std::nullopt;
    return Moments{n, total_weight, Vector(c, 0.0), Vector(c, 0.0), std::move(*r), false, false};
}

Moments merge_moments(const Moments& a, const Moments& b) {
    if (a.n == 0) return b;
    if (b.n == 0) return a;
    const index_t c = a.mean.size();
    Moments out{a.n + b.n,
                a.total_weight + b.total_weight,
                Vector::from(a.pivot.view()),
                Vector(c),
                Matrix(),
                a.intercept,
                a.exact && b.exact};
    StackedFactor f(c, c);
    const double share = out.total_weight > 0.0 ? b.total_weight / out.total_weight : 0.0;
    const double link = a.total_weight > 0.0 && b.total_weight > 0.0 ? std::sqrt(a.total_weight * share) : 0.0;
    for (index_t j = 0; j < c; ++j) {
        for (index_t i = 0; i <= j; ++i) {
            f.at(i, j) = a.r(i, j);
            f.at(c + 1 + i, j) = b.r(i, j);
        }
        const double delta = (b.pivot[j] - a.pivot[j]) + (b.mean[j] - a.mean[j]);
        out.mean[j] = a.mean[j] + share * delta;
        f.at(c, j) = a.intercept ? link * delta : 0.0;
    }
    f.fold(c);
    out.r = f.r();
    return out;
}

Result<MomentsSolution> solve_moments(const Moments& mo, const MomentsProblem& pr) {
    const RoutePolicy& policy = *pr.policy;
    const index_t c = mo.mean.size(), target = c - 1;
    const bool instrumental = pr.instruments > 0 || pr.endogenous > 0;
    const index_t z = pr.exogenous + pr.instruments;
    std::vector<index_t> cols;
    if (instrumental) {
        for (index_t j = 0; j < pr.exogenous; ++j) cols.push_back(j);
        for (index_t j = 0; j < pr.endogenous; ++j) cols.push_back(z + j);
    } else {
        for (index_t j = 0; j < target; ++j) cols.push_back(j);
    }
    const index_t ks = cols.size(), k = ks + (mo.intercept ? 1 : 0);
    const index_t q = pr.q ? pr.q : k;
    const auto singular = [&] {
        return singular_refusal(policy, choose_route(policy, mo.n, q, k), pr.identified_singular);
    };
    if (mo.n <= k || !(mo.total_weight > 0.0)) return singular();
    const Matrix& r = mo.r;
    const double root_w = std::sqrt(mo.total_weight);
    if (!mo.exact) {
        // An R from Gram matrices is as good as the normal equations of the
        // columns the fit reads: where solve() would not take those as they
        // are, the fit is solved again from the rows' QR.
        Matrix g(target, target, 0.0);
        linalg::gram_accumulate_upper(r.view().col_range(0, target), g);
        linalg::mirror_upper(g);
        if (!trusted_cholesky(g)) {
            MomentsSolution out;
            out.needs_exact = true;
            return out;
        }
    }

    // The columns' centred lengths for the decisions, and their raw lengths
    // with the intercept's share (or as given) for the bordered rank factor.
    Vector lengths(ks), raw(ks), border(ks), x_mean(ks, 0.0);
    for (index_t s = 0; s < ks; ++s) {
        const index_t j = cols[s];
        const double length = column_length(r, j), offset = mo.intercept ? root_w * mo.centre(j) : 0.0;
        lengths[s] = length;
        raw[s] = pr.raw_lengths ? (*pr.raw_lengths)[j] : std::hypot(length, offset);
        border[s] = raw[s] > 0.0 ? offset / raw[s] : 0.0;
        if (mo.intercept) x_mean[s] = mo.centre(j);
    }

    // The design and target in the coordinates of R's rows: R itself, or
    // its instrument rows with the design projected onto them.
    const index_t rows = instrumental ? z : target;
    Matrix design(rows, ks, 0.0);
    Vector rhs(rows, 0.0);
    std::optional<Matrix> pi;
    if (instrumental) {
        std::vector<index_t> with_target = cols;
        with_target.push_back(target);
        pi = first_stage_from_factor(r, z, with_target, rank_tolerance(mo.n, z + (mo.intercept ? 1 : 0)),
                                     pr.identified_singular != nullptr);
        if (!pi) return singular();
        // design = R_z Pi (the projection, in the instrument rows)
        for (index_t i = 0; i < z; ++i)
            for (index_t s = 0; s <= ks; ++s) {
                double v = 0.0;
                for (index_t l = i; l < z; ++l) v += r(i, l) * (*pi)(l, s);
                if (s < ks)
                    design(i, s) = v;
                else
                    rhs[i] = v;
            }
    } else {
        for (index_t i = 0; i < rows; ++i) {
            for (index_t s = 0; s < ks; ++s) design(i, s) = r(i, cols[s]);
            rhs[i] = r(i, target);
        }
    }

    // The core decides the rank and solves from these rows, as it would
    // from the design's own.
    FactoredProblem fp;
    fp.a = design.view();
    fp.t = rhs.view();
    fp.n = mo.n;
    fp.k = k;
    fp.lengths = lengths.view();
    fp.raw_norms = raw.view();
    fp.intercept_row = mo.intercept ? &border : nullptr;
    fp.x_mean = mo.intercept ? &x_mean : nullptr;
    fp.alpha = pr.alpha;
    auto solved = solve_factored(fp, policy, q, pr.identified_singular);
    if (!solved) return std::unexpected(solved.error());
    MomentsSolution out;
    const Vector& b = solved->solution.beta;
    const Matrix& r_inv = solved->factor_inverse;  // the design's R^-1: g^-1 = r_inv r_inv'
    out.score_gram = solved->singular_ratio < kScoreGramBelowRatio;

    DesignSystem sys;
    sys.total_weight = mo.total_weight;
    if (mo.intercept) {
        sys.x_mean = Vector::from(x_mean.view());
        sys.y_mean = mo.centre(target);
    }
    out.beta = sys.expand_beta(b.view());
    const LeastSquaresSolution& ls = solved->solution;
    out.inverse = mo.intercept ? sys.expand_inverse(ls.inverse, *ls.mean_quadratic, ls.inverse_mean->view())
                               : sys.expand_inverse(ls.inverse);

    out.residual_weights = Vector(c, 0.0);
    for (index_t s = 0; s < ks; ++s) out.residual_weights[cols[s]] = -b[s];
    out.residual_weights[target] = 1.0;
    for (index_t i = 0; i < c; ++i) {
        double v = 0.0;
        for (index_t j = i; j < c; ++j) v += r(i, j) * out.residual_weights[j];
        out.ssr += v * v;
    }
    const double tss = column_length(r, target);
    out.tss = tss * tss;

    // u = R_M^-T x~ for least squares; u = R_M^-T Pi' z~ for the projected design.
    out.scores = Matrix(ks, c, 0.0);
    for (index_t s = 0; s < ks; ++s) {
        if (instrumental) {
            for (index_t i = 0; i < z; ++i) {
                double v = 0.0;
                for (index_t t = 0; t < ks; ++t) v += r_inv(t, s) * (*pi)(i, t);
                out.scores(s, i) = v;
            }
        } else {
            for (index_t t = 0; t < ks; ++t) out.scores(s, cols[t]) = r_inv(t, s);
        }
    }
    const index_t off = mo.intercept ? 1 : 0;
    out.left = Matrix(k, k, 0.0);
    out.design_factor = Matrix(k, k, 0.0);
    for (index_t s = 0; s < ks; ++s)
        for (index_t t = 0; t < ks; ++t) {
            out.left(off + s, off + t) = r_inv(s, t);
            if (!instrumental) out.design_factor(off + s, off + t) = design(s, t);
        }
    if (mo.intercept) {
        out.left(0, 0) = 1.0 / mo.total_weight;
        out.design_factor(0, 0) = root_w;
        for (index_t t = 0; t < ks; ++t) {
            out.left(0, off + t) = -solved->mean_coordinates[t];  // -(m' R^-1)_t
            out.design_factor(0, off + t) = root_w * x_mean[t];
        }
    }
    return out;
}

namespace {

// Up to this many groups (and kClusterPartialValues values over all the
// blocks) each block sums a clustering into a groups x parameters partial
// of its own; above it the blocks leave each row's score sum, and a sweep
// adds them up in row order, a wave of blocks at a time.
constexpr index_t kClusterPartialRows = kChunkRows;
constexpr index_t kClusterPartialValues = index_t{1} << 21;
// Values of the rows' score sums a wave of blocks leaves for the sweep.
constexpr index_t kSweepValues = index_t{1} << 20;

// What one block of rows sums; the blocks' sums are merged in row order.
struct BlockScores {
    Matrix meat, gram;
    std::vector<Matrix> cluster_sums;  // the clusterings summed per block; empty for the swept
    stats::ResidualSums residuals;
    const char* error = nullptr;  // the block's first refusal, as a row-order pass meets it
};

// The second pass over a fixed partition of the rows: blocks of whole chunks,
// sized by the columns alone, each summed on its own and merged in block
// order, so that neither the thread count nor the order the threads finish
// in changes a digit.
class ScorePass {
public:
    explicit ScorePass(const ScoreRequest& rq)
        : rq_(rq),
          n_(rq.a.rows),
          c_(rq.a.cols()),
          ks_(rq.scores.rows()),
          off_(rq.intercept ? 1 : 0),
          k_(ks_ + off_),
          meat_(rq.leverage_power >= 0),
          need_q_(meat_ || !rq.clusters.empty()),
          gram_(need_q_ && rq.score_gram),
          grams_(rq.cluster_grams && !rq.clusters.empty()),
          blocks_(linalg::row_chunks(n_, c_, kChunkRows)) {
        for (std::size_t g = 0; g < rq.groups.size(); ++g) {
            const index_t groups = rq.groups[g];
            const bool partial = groups <= kClusterPartialRows && groups * k_ * blocks_.count <= kClusterPartialValues;
            (partial ? partial_ : swept_).push_back(g);
        }
    }

    Result<ScoreSums> run() {
        ScoreSums out;
        for (const index_t g : rq_.groups) out.cluster_sums.emplace_back(g, k_, 0.0);
        std::vector<BlockScores> parts(blocks_.count);
        // Rows of the blocks of one wave whose score sums the sweep reads:
        // all the blocks at once when no clustering is swept.
        const index_t block_values = blocks_.rows * k_;
        // A swept sum is the same whatever the waves: they are sized for the
        // cache and the threads.
        const bool waves = !swept_.empty() || grams_;
        const index_t wave =
            !waves ? std::max<index_t>(blocks_.count, 1)
                   : std::max<index_t>(linalg::max_threads(), kSweepValues / std::max<index_t>(block_values, 1));
        Matrix scores_of_rows(swept_.empty() ? 0 : std::min(wave * blocks_.rows, n_), k_);
        // The rows' sqrt(w) q, whose outer products the groups' Gram sums add in row order.
        Matrix q_of_rows(grams_ ? std::min(wave * blocks_.rows, n_) : 0, k_);
        if (grams_) out.cluster_grams = Matrix(rq_.groups[0], k_ * k_, 0.0);
        for (index_t first_block = 0; first_block < blocks_.count; first_block += wave) {
            const index_t count = std::min(wave, blocks_.count - first_block);
            const index_t first_row = blocks_.first(first_block);
            linalg::parallel_for(
                static_cast<std::size_t>(count),
                [&](std::size_t b) {
                    const index_t block = first_block + static_cast<index_t>(b);
                    const index_t first = blocks_.first(block);
                    double* rows_out = swept_.empty() ? nullptr : scores_of_rows.data() + (first - first_row) * k_;
                    double* q_out = grams_ ? q_of_rows.data() + (first - first_row) * k_ : nullptr;
                    parts[block] = sum_block(first, blocks_.size(block, n_), rows_out, q_out);
                },
                blocks_.hold_blas);
            for (index_t b = first_block; b < first_block + count; ++b)
                if (parts[b].error) return value_error(parts[b].error);
            if (!swept_.empty())
                sweep(scores_of_rows, first_row, std::min(n_, blocks_.first(first_block + count)) - first_row,
                      out.cluster_sums);
            if (grams_)
                add_group_grams(q_of_rows, first_row, std::min(n_, blocks_.first(first_block + count)) - first_row,
                                out.cluster_grams);
        }
        if (meat_) out.meat = Matrix(k_, k_, 0.0);
        if (gram_) out.gram = Matrix(ks_, ks_, 0.0);
        for (BlockScores& part : parts) {
            if (meat_) add_to(out.meat, part.meat);
            if (gram_) add_to(out.gram, part.gram);
            for (std::size_t p = 0; p < partial_.size(); ++p)
                add_to(out.cluster_sums[partial_[p]], part.cluster_sums[p]);
            if (rq_.residual_sums) out.residuals = stats::ResidualSums::merge(out.residuals, part.residuals);
        }
        if (meat_) linalg::mirror_upper(out.meat);
        if (gram_) linalg::mirror_upper(out.gram);
        for (index_t g = 0; grams_ && g < out.cluster_grams.rows(); ++g) {
            double* gram = out.cluster_grams.data() + g * k_ * k_;
            for (index_t a = 0; a < k_; ++a)
                for (index_t b = 0; b < a; ++b) gram[a * k_ + b] = gram[b * k_ + a];
        }
        return out;
    }

private:
    static void add_to(Matrix& total, const Matrix& part) {
        double* dst = total.data();
        const double* src = part.data();
        for (index_t i = 0; i < total.size(); ++i) dst[i] += src[i];
    }

    // The sums of rows [first, first + count), chunk by chunk into buffers
    // the block allocates once. The chunks' centred rows, coordinates and
    // scaled scores are held a column at a time (column-major), so that each
    // step runs down contiguous rows. rows_out (row-major, k values a row),
    // where given, receives every row's sqrt(w) e q for the sweep.
    BlockScores sum_block(index_t first, index_t count, double* rows_out, double* q_out) const {
        BlockScores out;
        const index_t chunk = std::min(count, kChunkRows);
        if (meat_) out.meat = Matrix(k_, k_, 0.0);
        if (gram_) out.gram = Matrix(ks_, ks_, 0.0);
        for (const std::size_t g : partial_) out.cluster_sums.emplace_back(rq_.groups[g], k_, 0.0);
        // Transposed buffers: row j of d holds column j of the chunk's rows.
        Matrix d(c_, chunk), u(need_q_ ? ks_ : 0, chunk), scaled(meat_ ? k_ : 0, chunk);
        Matrix own_rows(rows_out || partial_.empty() ? 0 : chunk, k_);
        Vector e(chunk), root(chunk), factor(chunk);
        for (index_t start = first; start < first + count; start += kChunkRows) {
            const index_t rows = std::min(kChunkRows, first + count - start);
            if (!centre_rows(start, rows, d, e, root)) {
                out.error = kNotFinite;
                return out;
            }
            if (rq_.residual_sums)
                out.residuals =
                    stats::ResidualSums::merge(out.residuals, stats::ResidualSums::of(e.view().sub(0, rows)));
            if (!need_q_) continue;
            // The codes of a chunk are read once its values are known finite.
            for (std::size_t g = 0; g < rq_.clusters.size(); ++g) {
                const std::int64_t* codes = rq_.clusters[g];
                const index_t groups = rq_.groups[g];
                for (index_t i = 0; i < rows; ++i)
                    if (codes[start + i] < 0 || static_cast<index_t>(codes[start + i]) >= groups) {
                        out.error = "A cluster code lies outside its groups";
                        return out;
                    }
            }
            // u' = S d': the chunk's score coordinates, one row per slope.
            linalg::dot_into(rq_.scores, d.view().col_range(0, rows), u.data(), chunk);
            const linalg::MatrixView uv = u.view().col_range(0, rows);
            const double* ri = root.data();
            if (meat_) meat_rows(rows, uv, e, root, factor, scaled, out.meat);
            if (!rq_.clusters.empty()) {
                double* dst = rows_out ? rows_out + (start - first) * k_ : own_rows.data();
                for (index_t i = 0; i < rows; ++i) {
                    const double s = ri[i] * e[i] * ri[i];  // the whitened residual times sqrt(w)
                    double* row = dst + i * k_;
                    if (off_) row[0] = s;
                    for (index_t t = 0; t < ks_; ++t) row[off_ + t] = s * uv(t, i);
                }
                for (std::size_t p = 0; p < partial_.size(); ++p) {
                    const std::int64_t* codes = rq_.clusters[partial_[p]];
                    Matrix& sums = out.cluster_sums[p];
                    for (index_t i = 0; i < rows; ++i) {
                        double* to = sums.data() + static_cast<index_t>(codes[start + i]) * k_;
                        const double* row = dst + i * k_;
                        for (index_t t = 0; t < k_; ++t) to[t] += row[t];
                    }
                }
            }
            if (q_out) {
                double* dst = q_out + (start - first) * k_;
                for (index_t i = 0; i < rows; ++i) {
                    double* row = dst + i * k_;
                    if (off_) row[0] = ri[i];
                    for (index_t t = 0; t < ks_; ++t) row[off_ + t] = ri[i] * uv(t, i);
                }
            }
            if (!gram_) continue;
            // The chunk's coordinates are read no more: whitened in place for their sum of w u u'.
            if (rq_.w)
                for (index_t t = 0; t < ks_; ++t) {
                    double* ut = &u(t, 0);
                    for (index_t i = 0; i < rows; ++i) ut[i] *= ri[i];
                }
            add_gram(uv, out.gram);
        }
        return out;
    }

    // Column j of d: the rows' values less their centres; e = d r and the
    // weights' roots. False on a value or weight that is not finite.
    bool centre_rows(index_t start, index_t rows, Matrix& d, Vector& e, Vector& root) const {
        const Columns& a = rq_.a;
        for (index_t i = 0; i < rows; ++i) {
            const double wi = rq_.w ? (*rq_.w)[start + i] : 1.0;
            if (!(wi >= 0.0) || std::isinf(wi)) return false;
            root[i] = std::sqrt(wi);
        }
        std::fill_n(e.data(), rows, 0.0);
        for (index_t j = 0; j < c_; ++j) {
            const double* col = a.base[j] + static_cast<linalg::stride_t>(start) * a.stride[j];
            const linalg::stride_t stride = a.stride[j];
            const double weight = rq_.residual_weights[j];
            double* dj = &d(j, 0);
            if (rq_.centres) {
                const linalg::MatrixView table = rq_.centres->table;
                const std::int64_t* group = rq_.centres->group + start;
                for (index_t i = 0; i < rows; ++i)
                    dj[i] = col[static_cast<linalg::stride_t>(i) * stride] - table(static_cast<index_t>(group[i]), j);
            } else {
                const double p = rq_.pivot[j], m = rq_.mean[j];
                if (stride == 1)
                    for (index_t i = 0; i < rows; ++i) dj[i] = (col[i] - p) - m;
                else
                    for (index_t i = 0; i < rows; ++i) dj[i] = (col[static_cast<linalg::stride_t>(i) * stride] - p) - m;
            }
            for (index_t i = 0; i < rows; ++i) e[i] += dj[i] * weight;
        }
        // A value that is not finite leaves its row's residual NaN or
        // infinite (times a zero weight, NaN); only then are the values read.
        for (index_t i = 0; i < rows; ++i)
            if (!std::isfinite(e[i]))
                for (index_t j = 0; j < c_; ++j)
                    if (!std::isfinite(d(j, i))) return false;
        return true;
    }

    // Adds the chunk's sum of w e^2 q q' / (1 - h)^p to meat.
    void meat_rows(index_t rows, linalg::MatrixView u, const Vector& e, const Vector& root, Vector& factor,
                   Matrix& scaled, Matrix& meat) const {
        const int power = rq_.leverage_power;
        for (index_t i = 0; i < rows; ++i) factor[i] = std::fabs(root[i] * e[i]);
        if (power > 0) {
            // h = w (1/W + |u|^2), summed into the scaled rows' first buffer row.
            double* h = &scaled(0, 0);
            std::fill_n(h, rows, off_ ? 1.0 / rq_.total_weight : 0.0);
            for (index_t t = 0; t < ks_; ++t) {
                const double* ut = u.base + static_cast<linalg::stride_t>(t) * u.row_stride;
                for (index_t i = 0; i < rows; ++i) h[i] += ut[i] * ut[i];
            }
            for (index_t i = 0; i < rows; ++i) {
                const double hi = h[i] * (root[i] * root[i]);
                factor[i] /= power == 1 ? std::sqrt(1.0 - hi) : 1.0 - hi;
            }
        }
        for (index_t i = 0; i < rows; ++i) factor[i] *= root[i];
        if (off_) std::copy_n(factor.data(), rows, &scaled(0, 0));
        for (index_t t = 0; t < ks_; ++t) {
            const double* ut = u.base + static_cast<linalg::stride_t>(t) * u.row_stride;
            double* st = &scaled(off_ + t, 0);
            for (index_t i = 0; i < rows; ++i) st[i] = factor[i] * ut[i];
        }
        add_gram(scaled.view().col_range(0, rows), meat);
    }

    // g += a a' for the columns of a (a few rows, a chunk's columns): a
    // general product, whose small-matrix kernel reads the chunk where it
    // lies, costs less than the rank-k update's packing at these widths.
    // Only the upper triangle is read.
    static void add_gram(linalg::MatrixView a, Matrix& g) { linalg::dot_accumulate(a, a.t(), g); }

    // Adds the rows' score sums (rows x k, row-major) of rows [first, first
    // + rows) to the swept clusterings' sums in row order: each sum is the
    // same however the columns are shared out, which the tasks split.
    void sweep(const Matrix& scores_of_rows, index_t first, index_t rows, std::vector<Matrix>& sums) const {
        const index_t slices = std::min<index_t>(k_, std::max<unsigned>(1, linalg::max_threads()));
        const index_t width = (k_ + slices - 1) / slices;
        linalg::parallel_for(
            swept_.size() * static_cast<std::size_t>(slices),
            [&](std::size_t task) {
                const std::size_t g = swept_[task / static_cast<std::size_t>(slices)];
                const index_t lo = static_cast<index_t>(task % static_cast<std::size_t>(slices)) * width;
                const index_t hi = std::min(k_, lo + width);
                const std::int64_t* codes = rq_.clusters[g] + first;
                double* table = sums[g].data();
                for (index_t i = 0; i < rows; ++i) {
                    double* to = table + static_cast<index_t>(codes[i]) * k_;
                    const double* row = scores_of_rows.data() + i * k_;
                    for (index_t t = lo; t < hi; ++t) to[t] += row[t];
                }
            },
            false);
    }

    // Adds the outer products of the rows' sqrt(w) q (rows x k, row-major) of rows [first, first + rows)
    // to their groups' Gram sums (upper triangles, mirrored at the end), in row order.
    void add_group_grams(const Matrix& q_rows, index_t first, index_t rows, Matrix& grams) const {
        const std::int64_t* codes = rq_.clusters[0] + first;
        for (index_t i = 0; i < rows; ++i) {
            double* to = grams.data() + static_cast<index_t>(codes[i]) * k_ * k_;
            const double* q = q_rows.data() + i * k_;
            for (index_t a = 0; a < k_; ++a) {
                const double qa = q[a];
                double* line = to + a * k_;
                for (index_t b = a; b < k_; ++b) line[b] += qa * q[b];
            }
        }
    }

    const ScoreRequest& rq_;
    const index_t n_, c_, ks_, off_, k_;
    const bool meat_, need_q_, gram_, grams_;
    const linalg::RowChunks blocks_;
    std::vector<std::size_t> partial_, swept_;  // clusterings by how their sums are formed
};

}  // namespace

Result<ScoreSums> score_pass(const ScoreRequest& rq) { return ScorePass(rq).run(); }

}  // namespace ordinata::models::linear
