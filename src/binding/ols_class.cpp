#include "binding/class_binding.hpp"
#include "binding/classes.hpp"
#include "models/linear/ols/ols.hpp"

namespace ordinata::binding {

namespace {

using models::OLS;
using A = const Args&;

struct OLSClass {
    using Estimator = OLS;
    static constexpr const char* name = "OLS";
    static constexpr const char* doc = "";
    static constexpr ParamList ctor{flag("fit_intercept", true), flag("robust", false)};
    static OLS construct(A a) { return OLS(a.flag(0), a.flag(1)); }
    static constexpr bool has_repr = true;

    static constexpr std::array members{
        property<OLS>("coefficients", [](OLS& m, A) -> Outcome { return m.results().coefficients; }),
        property<OLS>("fit_intercept", [](OLS& m, A) -> Outcome { return m.fit_intercept(); }),
        property<OLS>("robust", [](OLS& m, A) -> Outcome { return m.robust(); }),
        property<OLS>("mse", [](OLS& m, A) -> Outcome { return m.results().mse; }),
        property<OLS>("r_squared", [](OLS& m, A) -> Outcome { return m.results().r_squared; }),
        property<OLS>("r_squared_adj", [](OLS& m, A) -> Outcome { return m.r_squared_adj(); }),
        property<OLS>("intercept", [](OLS& m, A) -> Outcome { return m.results().intercept; }),
        property<OLS>("n_samples", [](OLS& m, A) -> Outcome { return m.results().n_samples; }),
        property<OLS>("n_features", [](OLS& m, A) -> Outcome { return m.results().n_features; }),
        property<OLS>("residuals", [](OLS& m, A) -> Outcome { return m.results().residuals; }),
        method<OLS>("is_fitted", Access::Shared, {}, "",
                    [](OLS& m, A) -> Outcome { return m.results().is_fitted(); }),
        method<OLS>("fit", Access::Exclusive, {array2d("x"), array1d("y")}, "",
                    [](OLS& m, A a) -> Outcome { return m.fit(a.matrix(0), a.vector(1)); }),
        method<OLS>("predict", Access::Shared, {array2d("x")},
                    "Make predictions using the fitted OLS model - optimized for performance",
                    [](OLS& m, A a) -> Outcome { return m.predict(a.matrix(0)); }),
        method<OLS>("standard_errors", Access::Shared, {}, "Calculate standard errors of coefficients",
                    [](OLS& m, A) -> Outcome { return m.standard_errors(); }),
        method<OLS>("t_statistics", Access::Shared, {}, "Calculate t-statistics for coefficients",
                    [](OLS& m, A) -> Outcome { return m.t_statistics(); }),
        method<OLS>("p_values", Access::Shared, {}, "Calculate p-values for coefficients using t-distribution",
                    [](OLS& m, A) -> Outcome { return m.p_values(); }),
        method<OLS>("confidence_intervals", Access::Shared, {number("alpha", 0.05, "0.05")},
                    "Calculate confidence intervals for coefficients",
                    [](OLS& m, A a) -> Outcome { return m.confidence_intervals(a.number(0)); }),
        method<OLS>("summary", Access::Shared, {}, "Generate a summary of the model results",
                    [](OLS& m, A) -> Outcome { return m.summary(); }),
        method<OLS>("covariance_matrix", Access::Exclusive, {}, "Get the covariance matrix of coefficients",
                    [](OLS& m, A) -> Outcome { return m.covariance_matrix(); }),
    };
};

}  // namespace

PyTypeObject* ols_type() { return ClassBinding<OLSClass>::create(); }

}  // namespace ordinata::binding
