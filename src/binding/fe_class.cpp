#include "binding/class_binding.hpp"
#include "binding/common_members.hpp"
#include "binding/classes.hpp"
#include "models/panel_data/fe/fe.hpp"

namespace ordinata::binding {

namespace {

using models::FE;
using A = const Args&;

models::EntityIdView ids(A a, std::size_t i) { return a.int_vector(i); }

struct FEClass {
    using Estimator = FE;
    static constexpr const char* name = "FE";
    static constexpr const char* doc = "";
    static constexpr ParamList ctor{flag("robust", false)};
    static FE construct(A a) { return FE(a.flag(0)); }
    static constexpr bool has_repr = true;

    using C = Common<FE>;
    static constexpr std::array members{
        C::coefficients,
        property<FE>("robust", [](FE& m, A) -> Outcome { return m.robust(); }),
        C::mse,
        C::r_squared,
        property<FE>("within_r_squared", [](FE& m, A) -> Outcome { return m.within_r_squared(); }),
        C::n_samples,
        C::n_features,
        property<FE>("n_entities", [](FE& m, A) -> Outcome { return m.n_entities(); }),
        C::residuals,
        property<FE>("fixed_effects", [](FE& m, A) -> Outcome { return m.fixed_effects(); }),
        C::is_fitted,
        method<FE>(
            "fit", Access::Exclusive, {array2d("x"), array1d("y"), int_array1d("entity_id")}, "",
            [](FE& m, A a) -> Outcome { return m.fit(a.matrix(0), a.vector(1), ids(a, 2)); }, Work::Arguments),
        method<FE>(
            "predict", Access::Shared, {array2d("x"), int_array1d("entity_id")},
            "Make predictions using the fitted Fixed Effects model",
            [](FE& m, A a) -> Outcome { return m.predict(a.matrix(0), ids(a, 1)); }, Work::Arguments),
        C::standard_errors("Calculate standard errors of coefficients"),
        C::t_statistics("Calculate t-statistics for coefficients"),
        C::p_values("Calculate p-values for coefficients using t-distribution"),
        C::confidence_intervals("Calculate confidence intervals for coefficients"),
        C::summary("Generate a summary of the model results with Fixed Effects specific statistics"),
        C::covariance_method("Get the covariance matrix of coefficients"),
    };
};

}  // namespace

PyTypeObject* fe_type() { return ClassBinding<FEClass>::create(); }

}  // namespace ordinata::binding
