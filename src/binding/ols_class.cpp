#include "binding/class_binding.hpp"
#include "binding/common_members.hpp"
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

    using C = Common<OLS>;
    static constexpr std::array members{
        C::coefficients,
        C::fit_intercept,
        property<OLS>("robust", [](OLS& m, A) -> Outcome { return m.robust(); }),
        C::mse,
        C::r_squared,
        C::r_squared_adj,
        C::intercept,
        C::n_samples,
        C::n_features,
        C::residuals,
        C::is_fitted,
        method<OLS>(
            "fit", Access::Exclusive, {array2d("x"), array1d("y")}, "",
            [](OLS& m, A a) -> Outcome { return m.fit(a.matrix(0), a.vector(1)); }, Work::Arguments),
        C::predict("x", "Make predictions using the fitted OLS model - optimized for performance"),
        C::standard_errors("Calculate standard errors of coefficients"),
        C::t_statistics("Calculate t-statistics for coefficients"),
        C::p_values("Calculate p-values for coefficients using t-distribution"),
        C::confidence_intervals("Calculate confidence intervals for coefficients"),
        C::summary("Generate a summary of the model results"),
        C::covariance_method("Get the covariance matrix of coefficients"),
    };
};

}  // namespace

PyTypeObject* ols_type() { return ClassBinding<OLSClass>::create(); }

}  // namespace ordinata::binding
