#include "binding/class_binding.hpp"
#include "binding/common_members.hpp"
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

    using C = Common<IV>;
    static constexpr std::array members{
        method<IV>(
            "fit", Access::Exclusive, {array2d("instruments"), array2d("regressors"), array1d("targets")}, "",
            [](IV& m, A a) -> Outcome { return m.fit(a.matrix(0), a.matrix(1), a.vector(2)); }, Work::Arguments),
        C::is_fitted,
        C::coefficients,
        C::fit_intercept,
        C::intercept,
        C::predict("regressors"),
        C::standard_errors(),
        C::t_statistics(),
        C::p_values(),
        C::confidence_intervals(),
        C::summary(),
        property<IV>(
            "covariance_matrix", [](IV& m, A) -> Outcome { return m.covariance_matrix(); }, Work::FittedDesign),
        C::mse,
        C::r_squared,
        C::r_squared_adj,
        C::residuals,
        C::n_samples,
        C::n_features,
    };
};

}  // namespace

PyTypeObject* iv_type() { return ClassBinding<IVClass>::create(); }

}  // namespace ordinata::binding
