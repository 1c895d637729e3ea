#include "binding/class_binding.hpp"
#include "binding/common_members.hpp"
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

    using C = Common<Ridge>;
    static constexpr std::array members{
        C::coefficients,
        C::fit_intercept,
        property<Ridge>("alpha", [](Ridge& m, A) -> Outcome { return m.alpha(); }),
        C::mse,
        C::r_squared,
        C::r_squared_adj,
        C::intercept,
        C::n_samples,
        C::n_features,
        C::residuals,
        C::is_fitted,
        C::standard_errors("Calculate standard errors of coefficients"),
        C::t_statistics("Calculate t-statistics for coefficients"),
        C::p_values("Calculate p-values for coefficients using t-distribution"),
        C::confidence_intervals("Calculate confidence intervals for coefficients"),
        C::summary("Generate a summary of the model results"),
        method<Ridge>(
            "fit", Access::Exclusive, {array2d("x"), array1d("y")}, "Fit the Ridge regression model",
            [](Ridge& m, A a) -> Outcome { return m.fit(a.matrix(0), a.vector(1)); }, Work::Arguments),
        C::predict("x", "Make predictions using the fitted Ridge model"),
        C::covariance_method("Get the covariance matrix of coefficients"),
    };
};

}  // namespace

PyTypeObject* ridge_type() { return ClassBinding<RidgeClass>::create(); }

}  // namespace ordinata::binding
