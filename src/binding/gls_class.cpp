#include "binding/class_binding.hpp"
#include "binding/common_members.hpp"
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

    using C = Common<GLS>;
    static constexpr std::array members{
        C::coefficients,
        C::intercept,
        C::fit_intercept,
        C::mse,
        C::r_squared,
        C::r_squared_adj,
        C::residuals,
        C::n_samples,
        C::n_features,
        method<GLS>(
            "fit", Access::Exclusive, {array2d("x"), array1d("y"), array2d("sigma")},
            "GLS fitting with optimized Cholesky whitening and efficient operations",
            [](GLS& m, A a) -> Outcome { return m.fit(a.matrix(0), a.vector(1), a.matrix(2)); }, Work::Arguments),
        C::predict("x", "Fast prediction with optimized operations"),
        C::standard_errors(),
        C::t_statistics(),
        C::p_values(),
        C::confidence_intervals(),
        C::summary(),
        C::is_fitted,
    };
};

}  // namespace

PyTypeObject* gls_type() { return ClassBinding<GLSClass>::create(); }

}  // namespace ordinata::binding
