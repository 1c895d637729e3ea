// The members every class binds the same way. Each class table still lists
// its members in its own order, with its own docstrings and access modes;
// only the binding of each common member is written once, here.
#pragma once

#include "binding/class_binding.hpp"

namespace ordinata::binding {

template <class E>
struct Common {
    using A = const Args&;

    static constexpr Member<E> coefficients =
        property<E>("coefficients", [](E& m, A) -> Outcome { return stored(m.results().coefficients); });
    static constexpr Member<E> intercept =
        property<E>("intercept", [](E& m, A) -> Outcome { return m.results().intercept; });
    static constexpr Member<E> fit_intercept =
        property<E>("fit_intercept", [](E& m, A) -> Outcome { return m.fit_intercept(); });
    static constexpr Member<E> mse = property<E>("mse", [](E& m, A) -> Outcome { return m.results().mse; });
    static constexpr Member<E> r_squared =
        property<E>("r_squared", [](E& m, A) -> Outcome { return m.results().r_squared; });
    static constexpr Member<E> r_squared_adj =
        property<E>("r_squared_adj", [](E& m, A) -> Outcome { return m.r_squared_adj(); });
    static constexpr Member<E> residuals =
        property<E>("residuals", [](E& m, A) -> Outcome { return stored(m.results().residuals); });
    static constexpr Member<E> n_samples =
        property<E>("n_samples", [](E& m, A) -> Outcome { return m.results().n_samples; });
    static constexpr Member<E> n_features =
        property<E>("n_features", [](E& m, A) -> Outcome { return m.results().n_features; });
    static constexpr Member<E> is_fitted =
        method<E>("is_fitted", Access::Shared, {}, "", [](E& m, A) -> Outcome { return m.results().is_fitted(); });

    static constexpr Member<E> standard_errors(const char* doc = "") {
        return method<E>("standard_errors", Access::Shared, {}, doc,
                         [](E& m, A) -> Outcome { return stored(m.results().coef_std_errors); });
    }
    static constexpr Member<E> t_statistics(const char* doc = "") {
        return method<E>("t_statistics", Access::Shared, {}, doc, [](E& m, A) -> Outcome { return m.t_statistics(); });
    }
    static constexpr Member<E> p_values(const char* doc = "") {
        return method<E>("p_values", Access::Shared, {}, doc, [](E& m, A) -> Outcome { return m.p_values(); });
    }
    static constexpr Member<E> confidence_intervals(const char* doc = "") {
        return method<E>("confidence_intervals", Access::Shared, {number("alpha", 0.05, "0.05")}, doc,
                         [](E& m, A a) -> Outcome { return m.confidence_intervals(a.number(0)); });
    }
    static constexpr Member<E> summary(const char* doc = "") {
        return method<E>(
            "summary", Access::Shared, {}, doc, [](E& m, A) -> Outcome { return m.summary(); }, Work::FittedDesign);
    }
    // The lazily cached covariance: filling the cache needs exclusive access.
    static constexpr Member<E> covariance_method(const char* doc) {
        return method<E>(
            "covariance_matrix", Access::Exclusive, {}, doc, [](E& m, A) -> Outcome { return m.covariance_matrix(); },
            Work::FittedDesign);
    }
    // predict(x) for the classes whose prediction takes the regressors alone.
    static constexpr Member<E> predict(const char* param, const char* doc = "") {
        return method<E>(
            "predict", Access::Shared, {array2d(param)}, doc,
            [](E& m, A a) -> Outcome { return m.predict(a.matrix(0)); }, Work::Arguments);
    }
};

}  // namespace ordinata::binding
