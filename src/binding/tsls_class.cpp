#include "binding/class_binding.hpp"
#include "binding/common_members.hpp"
#include "binding/classes.hpp"
#include "models/linear/tsls/tsls.hpp"

namespace ordinata::binding {

namespace {

using models::TSLS;
using A = const Args&;

struct TSLSClass {
    using Estimator = TSLS;
    static constexpr const char* name = "TSLS";
    static constexpr const char* doc = "";
    static constexpr ParamList ctor{flag("fit_intercept", true)};
    static TSLS construct(A a) { return TSLS(a.flag(0)); }
    static constexpr bool has_repr = false;

    using C = Common<TSLS>;
    static constexpr std::array members{
        method<TSLS>(
            "fit", Access::Exclusive, {array2d("instruments"), array2d("regressors"), array1d("targets")}, "",
            [](TSLS& m, A a) -> Outcome { return m.fit(a.matrix(0), a.matrix(1), a.vector(2)); }, Work::Arguments),
        C::summary(),
        C::is_fitted,
        C::coefficients,
        C::fit_intercept,
        C::intercept,
        C::standard_errors(),
        C::predict("regressors"),
        C::mse,
        C::r_squared,
        C::r_squared_adj,
        C::residuals,
        C::n_samples,
        C::n_features,
        property<TSLS>(
            "covariance_matrix", [](TSLS& m, A) -> Outcome { return m.covariance_matrix(); }, Work::FittedDesign),
    };
};

}  // namespace

PyTypeObject* tsls_type() { return ClassBinding<TSLSClass>::create(); }

}  // namespace ordinata::binding
