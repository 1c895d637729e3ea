#include "binding/class_binding.hpp"
#include "binding/classes.hpp"
#include "models/linear/gls/gls.hpp"

namespace ordinata::binding {

namespace {

using models::GLS;
using A = const Args&;

struct GLSClass {
    using Estimator = GLS;
    static constexpr const char* name = "GLS";
    static constexpr const char* doc = "";
    static constexpr ParamList ctor{flag("fit_intercept", true)};
    static GLS construct(A a) { return GLS(a.flag(0)); }
    static constexpr bool has_repr = true;

    static constexpr std::array members{
        property<GLS>("coefficients", [](GLS& m, A) -> Outcome { return m.results().coefficients; }),
        property<GLS>("intercept", [](GLS& m, A) -> Outcome { return m.results().intercept; }),
        property<GLS>("fit_intercept", [](GLS& m, A) -> Outcome { return m.fit_intercept(); }),
        property<GLS>("mse", [](GLS& m, A) -> Outcome { return m.results().mse; }),
        property<GLS>("r_squared", [](GLS& m, A) -> Outcome { return m.results().r_squared; }),
        property<GLS>("r_squared_adj", [](GLS& m, A) -> Outcome { return m.r_squared_adj(); }),
        property<GLS>("residuals", [](GLS& m, A) -> Outcome { return m.results().residuals; }),
        property<GLS>("n_samples", [](GLS& m, A) -> Outcome { return m.results().n_samples; }),
        property<GLS>("n_features", [](GLS& m, A) -> Outcome { return m.results().n_features; }),
        method<GLS>("fit", Access::Exclusive, {array2d("x"), array1d("y"), array2d("sigma")},
                    "GLS fitting with optimized Cholesky whitening and efficient operations",
                    [](GLS& m, A a) -> Outcome { return m.fit(a.matrix(0), a.vector(1), a.matrix(2)); }),
        method<GLS>("predict", Access::Shared, {array2d("x")}, "Fast prediction with optimized operations",
                    [](GLS& m, A a) -> Outcome { return m.predict(a.matrix(0)); }),
        method<GLS>("standard_errors", Access::Shared, {}, "",
                    [](GLS& m, A) -> Outcome { return m.standard_errors(); }),
        method<GLS>("t_statistics", Access::Shared, {}, "", [](GLS& m, A) -> Outcome { return m.t_statistics(); }),
        method<GLS>("p_values", Access::Shared, {}, "", [](GLS& m, A) -> Outcome { return m.p_values(); }),
        method<GLS>("confidence_intervals", Access::Shared, {number("alpha", 0.05, "0.05")}, "",
                    [](GLS& m, A a) -> Outcome { return m.confidence_intervals(a.number(0)); }),
        method<GLS>("summary", Access::Shared, {}, "", [](GLS& m, A) -> Outcome { return m.summary(); }),
        method<GLS>("is_fitted", Access::Shared, {}, "",
                    [](GLS& m, A) -> Outcome { return m.results().is_fitted(); }),
    };
};

}  // namespace

PyTypeObject* gls_type() { return ClassBinding<GLSClass>::create(); }

}  // namespace ordinata::binding
