#include "binding/class_binding.hpp"
#include "binding/classes.hpp"
#include "models/linear/wls/wls.hpp"

namespace ordinata::binding {

namespace {

using models::WLS;
using A = const Args&;

struct WLSClass {
    using Estimator = WLS;
    static constexpr const char* name = "WLS";
    static constexpr const char* doc = "";
    static constexpr ParamList ctor{flag("fit_intercept", true)};
    static WLS construct(A a) { return WLS(a.flag(0)); }
    static constexpr bool has_repr = true;

    static constexpr std::array members{
        property<WLS>("coefficients", [](WLS& m, A) -> Outcome { return m.results().coefficients; }),
        property<WLS>("intercept", [](WLS& m, A) -> Outcome { return m.results().intercept; }),
        property<WLS>("fit_intercept", [](WLS& m, A) -> Outcome { return m.fit_intercept(); }),
        property<WLS>("mse", [](WLS& m, A) -> Outcome { return m.results().mse; }),
        property<WLS>("r_squared", [](WLS& m, A) -> Outcome { return m.results().r_squared; }),
        property<WLS>("r_squared_adj", [](WLS& m, A) -> Outcome { return m.r_squared_adj(); }),
        property<WLS>("residuals", [](WLS& m, A) -> Outcome { return m.results().residuals; }),
        property<WLS>("n_samples", [](WLS& m, A) -> Outcome { return m.results().n_samples; }),
        property<WLS>("n_features", [](WLS& m, A) -> Outcome { return m.results().n_features; }),
        method<WLS>("fit", Access::Exclusive, {array2d("x"), array1d("y"), array1d("weights")},
                    "WLS fitting with optimized diagonal weighting and numerical stability.\n\n"
                    "WLS is more efficient than GLS since we only need to handle diagonal weight matrix.\n"
                    "This implementation uses sqrt(weights) transformation for numerical stability.",
                    [](WLS& m, A a) -> Outcome { return m.fit(a.matrix(0), a.vector(1), a.vector(2)); }),
        method<WLS>("predict", Access::Shared, {array2d("x")}, "Fast prediction with optimized operations",
                    [](WLS& m, A a) -> Outcome { return m.predict(a.matrix(0)); }),
        method<WLS>("standard_errors", Access::Shared, {}, "",
                    [](WLS& m, A) -> Outcome { return m.standard_errors(); }),
        method<WLS>("t_statistics", Access::Shared, {}, "", [](WLS& m, A) -> Outcome { return m.t_statistics(); }),
        method<WLS>("p_values", Access::Shared, {}, "", [](WLS& m, A) -> Outcome { return m.p_values(); }),
        method<WLS>("confidence_intervals", Access::Shared, {number("alpha", 0.05, "0.05")}, "",
                    [](WLS& m, A a) -> Outcome { return m.confidence_intervals(a.number(0)); }),
        method<WLS>("summary", Access::Shared, {}, "", [](WLS& m, A) -> Outcome { return m.summary(); }),
        method<WLS>("is_fitted", Access::Shared, {}, "",
                    [](WLS& m, A) -> Outcome { return m.results().is_fitted(); }),
    };
};

}  // namespace

PyTypeObject* wls_type() { return ClassBinding<WLSClass>::create(); }

}  // namespace ordinata::binding
