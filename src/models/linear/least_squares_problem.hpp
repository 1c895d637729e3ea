// What the least-squares core is given and gives back: a problem stated by
// its normal equations (with what is needed to look at the design itself),
// and its solution.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "linalg/matrix.hpp"

namespace ordinata::models::linear {

using linalg::index_t;
using linalg::Matrix;
using linalg::MatrixView;
using linalg::Vector;
using linalg::VectorView;

// A callable the problem borrows from whoever states it, or none: two
// pointers, where a std::function would be built, moved and destroyed on
// every fit, tiny ones included. It binds only to a named callable, never
// to a temporary, since it keeps no copy.
template <class Signature>
class Borrowed;

template <class R, class... Args>
class Borrowed<R(Args...)> {
public:
    Borrowed() = default;
    template <class F>
        requires(!std::is_same_v<F, Borrowed> && std::is_invocable_r_v<R, const F&, Args...>)
    Borrowed(const F& f) noexcept  // NOLINT: converts implicitly, like std::function
        : object_(std::addressof(f)), call_([](const void* object, Args... args) -> R {
              return (*static_cast<const F*>(object))(std::forward<Args>(args)...);
          }) {}
    template <class F>
        requires(!std::is_lvalue_reference_v<F> && !std::is_same_v<std::remove_cv_t<F>, Borrowed>)
    Borrowed(F&&) = delete;  // a temporary would be gone before the solve calls it

    explicit operator bool() const { return call_ != nullptr; }
    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

private:
    const void* object_ = nullptr;
    R (*call_)(const void*, Args...) = nullptr;
};

// min || t - A b || seen through its normal equations g = A'A, c = A't,
// A the design after whatever centring, weighting, whitening or demeaning
// the estimator applies.
struct LeastSquaresProblem {
    const Matrix* g = nullptr;  // p x p
    const Vector* c = nullptr;  // p; null when only g^-1 is wanted
    index_t n = 0;              // rows of the design
    index_t k = 0;              // parameters, intercept included
    // Lengths of the design columns before centring or demeaning: the scale
    // on which singularity is judged. Null: the columns of A themselves.
    const Vector* raw_norms = nullptr;
    // With an intercept (A centred at the (weighted) means m):
    // sqrt(W) m_j / raw_j, the ones column's row of the R factor of the
    // scaled uncentred design, so its rank and condition can be read off.
    const Vector* intercept_row = nullptr;
    // A design whose first column is the (whitened) ones column and whose
    // others were shifted by -m_j times it: the rank is judged on the
    // unshifted columns, A T with T = [1, m'; 0, I], whose lengths
    // raw_norms then holds.
    const Vector* shift = nullptr;
    // Without an intercept row, the rows B that stand for indicator columns
    // the design was demeaned by (the entity effects): any B with B'B =
    // X'D (D'D)^-1 D'X on the raw-length columns, so that the rank is judged
    // on [D | X] with unit columns. Formed only when the rank is examined.
    Borrowed<Matrix()> border;
    // A and t, formed only when the conditioning calls for them.
    Borrowed<std::pair<Matrix, Vector>()> materialise;
    // Row i of [A | t] in extended precision, for the small designs the
    // core factors that way; without it the rows of materialise are used.
    Borrowed<void(index_t, long double*)> extended_row;
    // A penalised system (ridge, alpha > 0) is well posed by construction:
    // g = A'A + diag(penalty). When its normal equations are ill-conditioned
    // all the same (the penalty small beside columns of a large offset),
    // it is solved by QR of A stacked on diag(sqrt(penalty)).
    bool penalised = false;
    const Vector* penalty = nullptr;
    // With an intercept, the (weighted) column means the system was
    // centred at: the extended-precision QR then also gives the
    // intercept's entries of the inverse.
    const Vector* x_mean = nullptr;
};

struct LeastSquaresSolution {
    Vector beta;     // p; empty when c was null
    Matrix inverse;  // g^-1
    double rcond = 0.0;
    bool by_qr = false;
    // || t - A beta ||^2 at the minimum, when the QR was carried out in
    // extended precision (small ill-conditioned designs).
    std::optional<double> ssr;
    // From the extended-precision QR of a centred design: m'g^-1 m and
    // g^-1 m, formed before rounding.
    std::optional<double> mean_quadratic;
    std::optional<Vector> inverse_mean;
};

// IllConditioned: a square system the caller asked not to solve by QR when
// its condition number calls for it (see SquareProblem::refer_ill_conditioned).
enum class SolveFailure { Singular, IllConditioned };

// The exactly identified system A b = c with A = Zd'Xd (k x k), scaled to
// unit-length columns of Zd and Xd. When its condition number says A may be
// singular, Zd, Xd and Q'Xd (Zd = QR) are examined: a rank-deficient set
// of instruments or regressors, or instruments orthogonal to a regressor
// direction, make it singular. An ill-conditioned but regular system is
// solved through the QR factors of Zd = QR: (Q'Xd) b = Q'y, whose matrix is
// conditioned like the designs rather than like their product.
struct SquareProblem {
    const Matrix* a = nullptr;
    const Vector* c = nullptr;
    VectorView y;    // the target, for the QR solve of an ill-conditioned system
    Vector z_norms;  // column lengths of Zd
    Vector x_norms;  // column lengths of Xd
    index_t n = 0;
    std::function<std::pair<Matrix, Matrix>()> materialise;  // Zd and Xd
    // An ill-conditioned system whose designs have full rank is handed
    // back (IllConditioned) instead of solved through the QR of Zd.
    bool refer_ill_conditioned = false;
};
struct SquareSolution {
    Vector beta;
    Matrix inverse;  // A^-1
    // A^-1 (Zd'Zd) A^-T, when the QR route gives it without the product:
    // there it is M^-1 M^-T with M = Q'Xd, conditioned like the designs.
    std::optional<Matrix> sandwich = {};
};

}  // namespace ordinata::models::linear
