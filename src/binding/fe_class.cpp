#include "binding/class_binding.hpp"
#include "binding/classes.hpp"
#include "models/panel_data/fe/fe.hpp"

namespace ordinata::binding {

namespace {

using models::FE;
using A = const Args&;

models::EntityIdView ids(A a, std::size_t i) {
    const IntVectorView v = a.int_vector(i);
    return {v.base, v.len, v.stride};
}

struct FEClass {
    using Estimator = FE;
    static constexpr const char* name = "FE";
    static constexpr const char* doc = "";
    static constexpr ParamList ctor{flag("robust", false)};
    static FE construct(A a) { return FE(a.flag(0)); }
    static constexpr bool has_repr = true;

    static constexpr std::array members{
        property<FE>("coefficients", [](FE& m, A) -> Outcome { return m.results().coefficients; }),
        property<FE>("robust", [](FE& m, A) -> Outcome { return m.robust(); }),
        property<FE>("mse", [](FE& m, A) -> Outcome { return m.results().mse; }),
        property<FE>("r_squared", [](FE& m, A) -> Outcome { return m.results().r_squared; }),
        property<FE>("within_r_squared", [](FE& m, A) -> Outcome { return m.within_r_squared(); }),
        property<FE>("n_samples", [](FE& m, A) -> Outcome { return m.results().n_samples; }),
        property<FE>("n_features", [](FE& m, A) -> Outcome { return m.results().n_features; }),
        property<FE>("n_entities", [](FE& m, A) -> Outcome { return m.n_entities(); }),
        property<FE>("residuals", [](FE& m, A) -> Outcome { return m.results().residuals; }),
        property<FE>("fixed_effects", [](FE& m, A) -> Outcome { return m.fixed_effects(); }),
        method<FE>("is_fitted", Access::Shared, {}, "",
                   [](FE& m, A) -> Outcome { return m.results().is_fitted(); }),
        method<FE>("fit", Access::Exclusive, {array2d("x"), array1d("y"), int_array1d("entity_id")}, "",
                   [](FE& m, A a) -> Outcome { return m.fit(a.matrix(0), a.vector(1), ids(a, 2)); }),
        method<FE>("predict", Access::Shared, {array2d("x"), int_array1d("entity_id")},
                   "Make predictions using the fitted Fixed Effects model",
                   [](FE& m, A a) -> Outcome { return m.predict(a.matrix(0), ids(a, 1)); }),
        method<FE>("standard_errors", Access::Shared, {}, "Calculate standard errors of coefficients",
                   [](FE& m, A) -> Outcome { return m.standard_errors(); }),
        method<FE>("t_statistics", Access::Shared, {}, "Calculate t-statistics for coefficients",
                   [](FE& m, A) -> Outcome { return m.t_statistics(); }),
        method<FE>("p_values", Access::Shared, {}, "Calculate p-values for coefficients using t-distribution",
                   [](FE& m, A) -> Outcome { return m.p_values(); }),
        method<FE>("confidence_intervals", Access::Shared, {number("alpha", 0.05, "0.05")},
                   "Calculate confidence intervals for coefficients",
                   [](FE& m, A a) -> Outcome { return m.confidence_intervals(a.number(0)); }),
        method<FE>("summary", Access::Shared, {},
                   "Generate a summary of the model results with Fixed Effects specific statistics",
                   [](FE& m, A) -> Outcome { return m.summary(); }),
        method<FE>("covariance_matrix", Access::Exclusive, {}, "Get the covariance matrix of coefficients",
                   [](FE& m, A) -> Outcome { return m.covariance_matrix(); }),
    };
};

}  // namespace

PyTypeObject* fe_type() { return ClassBinding<FEClass>::create(); }

}  // namespace ordinata::binding
