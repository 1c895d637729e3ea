#include "binding/class_binding.hpp"
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

    static constexpr std::array members{
        method<TSLS>("fit", Access::Exclusive,
                     {array2d("instruments"), array2d("regressors"), array1d("targets")}, "",
                     [](TSLS& m, A a) -> Outcome { return m.fit(a.matrix(0), a.matrix(1), a.vector(2)); }),
        method<TSLS>("summary", Access::Shared, {}, "", [](TSLS& m, A) -> Outcome { return m.summary(); }),
        method<TSLS>("is_fitted", Access::Shared, {}, "", [](TSLS& m, A) -> Outcome { return m.is_fitted(); }),
        property<TSLS>("coefficients", [](TSLS& m, A) -> Outcome { return m.results().coefficients; }),
        property<TSLS>("fit_intercept", [](TSLS& m, A) -> Outcome { return m.fit_intercept(); }),
        property<TSLS>("intercept", [](TSLS& m, A) -> Outcome { return m.results().intercept; }),
        method<TSLS>("standard_errors", Access::Shared, {}, "",
                     [](TSLS& m, A) -> Outcome { return m.standard_errors(); }),
        method<TSLS>("predict", Access::Shared, {array2d("regressors")}, "",
                     [](TSLS& m, A a) -> Outcome { return m.predict(a.matrix(0)); }),
        property<TSLS>("mse", [](TSLS& m, A) -> Outcome { return m.results().mse; }),
        property<TSLS>("r_squared", [](TSLS& m, A) -> Outcome { return m.results().r_squared; }),
        property<TSLS>("r_squared_adj", [](TSLS& m, A) -> Outcome { return m.r_squared_adj(); }),
        property<TSLS>("residuals", [](TSLS& m, A) -> Outcome { return m.results().residuals; }),
        property<TSLS>("n_samples", [](TSLS& m, A) -> Outcome { return m.results().n_samples; }),
        property<TSLS>("n_features", [](TSLS& m, A) -> Outcome { return m.results().n_features; }),
        property<TSLS>("covariance_matrix", [](TSLS& m, A) -> Outcome { return m.covariance_matrix(); }),
    };
};

}  // namespace

PyTypeObject* tsls_type() { return ClassBinding<TSLSClass>::create(); }

}  // namespace ordinata::binding
