#include "binding/class_binding.hpp"
#include "binding/classes.hpp"
#include "models/linear/iv/iv.hpp"

namespace ordinata::binding {

namespace {

using models::IV;
using A = const Args&;

struct IVClass {
    using Estimator = IV;
    static constexpr const char* name = "IV";
    static constexpr const char* doc =
        "Instrumental Variables (IV) regression estimator for exactly identified models.\n"
        "\n"
        "The IV estimator is used when some regressors are endogenous (correlated with the error term).\n"
        "It uses instrumental variables to obtain consistent estimates of the parameters.\n"
        "\n"
        "This implementation handles exactly identified models where the number of instruments\n"
        "equals the number of regressors. For overidentified cases (more instruments than regressors),\n"
        "use the TSLS (Two-Stage Least Squares) estimator instead.\n"
        "\n"
        "The IV estimator solves: \u03B2\u0302 = (Z'X)\u207B\u00B9Z'y\n"
        "where Z are the instruments, X are the regressors, and y is the dependent variable.";
    static constexpr ParamList ctor{flag("fit_intercept", true)};
    static IV construct(A a) { return IV(a.flag(0)); }
    static constexpr bool has_repr = false;

    static constexpr std::array members{
        method<IV>("fit", Access::Exclusive,
                   {array2d("instruments"), array2d("regressors"), array1d("targets")}, "",
                   [](IV& m, A a) -> Outcome { return m.fit(a.matrix(0), a.matrix(1), a.vector(2)); }),
        method<IV>("is_fitted", Access::Shared, {}, "", [](IV& m, A) -> Outcome { return m.is_fitted(); }),
        property<IV>("coefficients", [](IV& m, A) -> Outcome { return m.results().coefficients; }),
        property<IV>("fit_intercept", [](IV& m, A) -> Outcome { return m.fit_intercept(); }),
        property<IV>("intercept", [](IV& m, A) -> Outcome { return m.results().intercept; }),
        method<IV>("predict", Access::Shared, {array2d("regressors")}, "",
                   [](IV& m, A a) -> Outcome { return m.predict(a.matrix(0)); }),
        method<IV>("standard_errors", Access::Shared, {}, "",
                   [](IV& m, A) -> Outcome { return m.standard_errors(); }),
        method<IV>("t_statistics", Access::Shared, {}, "",
                   [](IV& m, A) -> Outcome { return m.t_statistics(); }),
        method<IV>("p_values", Access::Shared, {}, "", [](IV& m, A) -> Outcome { return m.p_values(); }),
        method<IV>("confidence_intervals", Access::Shared, {number("alpha", 0.05, "0.05")}, "",
                   [](IV& m, A a) -> Outcome { return m.confidence_intervals(a.number(0)); }),
        method<IV>("summary", Access::Shared, {}, "", [](IV& m, A) -> Outcome { return m.summary(); }),
        property<IV>("covariance_matrix", [](IV& m, A) -> Outcome { return m.covariance(); }),
        property<IV>("mse", [](IV& m, A) -> Outcome { return m.results().mse; }),
        property<IV>("r_squared", [](IV& m, A) -> Outcome { return m.results().r_squared; }),
        property<IV>("r_squared_adj", [](IV& m, A) -> Outcome { return m.r_squared_adj(); }),
        property<IV>("residuals", [](IV& m, A) -> Outcome { return m.results().residuals; }),
        property<IV>("n_samples", [](IV& m, A) -> Outcome { return m.results().n_samples; }),
        property<IV>("n_features", [](IV& m, A) -> Outcome { return m.results().n_features; }),
    };
};

}  // namespace

PyTypeObject* iv_type() { return ClassBinding<IVClass>::create(); }

}  // namespace ordinata::binding
