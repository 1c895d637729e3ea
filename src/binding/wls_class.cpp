#include "binding/class_binding.hpp"
#include "binding/common_members.hpp"
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

    using C = Common<WLS>;
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
        method<WLS>(
            "fit", Access::Exclusive, {array2d("x"), array1d("y"), array1d("weights")},
            "WLS fitting with optimized diagonal weighting and numerical stability.\n\n"
            "WLS is more efficient than GLS since we only need to handle diagonal weight matrix.\n"
            "This implementation uses sqrt(weights) transformation for numerical stability.",
            [](WLS& m, A a) -> Outcome { return m.fit(a.matrix(0), a.vector(1), a.vector(2)); }, Work::Arguments),
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

PyTypeObject* wls_type() { return ClassBinding<WLSClass>::create(); }

}  // namespace ordinata::binding
