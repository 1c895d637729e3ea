#include "binding/class_binding.hpp"
#include "binding/classes.hpp"
#include "models/linear/ridge/ridge.hpp"

namespace ordinata::binding {

namespace {

using models::Ridge;
using A = const Args&;

struct RidgeClass {
    using Estimator = Ridge;
    static constexpr const char* name = "Ridge";
    static constexpr const char* doc = "";
    static constexpr ParamList ctor{number("alpha", 1.0, "1.0"), flag("fit_intercept", true)};
    static Ridge construct(A a) { return Ridge(a.number(0), a.flag(1)); }
    static constexpr bool has_repr = true;

    static constexpr std::array members{
        property<Ridge>("coefficients", [](Ridge& m, A) -> Outcome { return m.results().coefficients; }),
        property<Ridge>("fit_intercept", [](Ridge& m, A) -> Outcome { return m.fit_intercept(); }),
        property<Ridge>("alpha", [](Ridge& m, A) -> Outcome { return m.alpha(); }),
        property<Ridge>("mse", [](Ridge& m, A) -> Outcome { return m.results().mse; }),
        property<Ridge>("r_squared", [](Ridge& m, A) -> Outcome { return m.results().r_squared; }),
        property<Ridge>("r_squared_adj", [](Ridge& m, A) -> Outcome { return m.r_squared_adj(); }),
        property<Ridge>("intercept", [](Ridge& m, A) -> Outcome { return m.results().intercept; }),
        property<Ridge>("n_samples", [](Ridge& m, A) -> Outcome { return m.results().n_samples; }),
        property<Ridge>("n_features", [](Ridge& m, A) -> Outcome { return m.results().n_features; }),
        property<Ridge>("residuals", [](Ridge& m, A) -> Outcome { return m.results().residuals; }),
        method<Ridge>("is_fitted", Access::Shared, {}, "",
                      [](Ridge& m, A) -> Outcome { return m.results().is_fitted(); }),
        method<Ridge>("standard_errors", Access::Shared, {}, "Calculate standard errors of coefficients",
                      [](Ridge& m, A) -> Outcome { return m.standard_errors(); }),
        method<Ridge>("t_statistics", Access::Shared, {}, "Calculate t-statistics for coefficients",
                      [](Ridge& m, A) -> Outcome { return m.t_statistics(); }),
        method<Ridge>("p_values", Access::Shared, {}, "Calculate p-values for coefficients using t-distribution",
                      [](Ridge& m, A) -> Outcome { return m.p_values(); }),
        method<Ridge>("confidence_intervals", Access::Shared, {number("alpha", 0.05, "0.05")},
                      "Calculate confidence intervals for coefficients",
                      [](Ridge& m, A a) -> Outcome { return m.confidence_intervals(a.number(0)); }),
        method<Ridge>("summary", Access::Shared, {}, "Generate a summary of the model results",
                      [](Ridge& m, A) -> Outcome { return m.summary(); }),
        method<Ridge>("fit", Access::Exclusive, {array2d("x"), array1d("y")}, "Fit the Ridge regression model",
                      [](Ridge& m, A a) -> Outcome { return m.fit(a.matrix(0), a.vector(1)); }),
        method<Ridge>("predict", Access::Shared, {array2d("x")}, "Make predictions using the fitted Ridge model",
                      [](Ridge& m, A a) -> Outcome { return m.predict(a.matrix(0)); }),
        method<Ridge>("covariance_matrix", Access::Exclusive, {}, "Get the covariance matrix of coefficients",
                      [](Ridge& m, A) -> Outcome { return m.covariance_matrix(); }),
    };
};

}  // namespace

PyTypeObject* ridge_type() { return ClassBinding<RidgeClass>::create(); }

}  // namespace ordinata::binding
