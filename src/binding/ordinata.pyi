"""Econometric estimators in native code: OLS, GLS, WLS, Ridge, IV, TSLS and FE.

Every estimator is created unfitted, fitted with float64 NumPy arrays, and then
read through read-only properties (None until fitted) and inference methods.
Every array returned is a fresh copy.
"""

from typing import Optional, final

import numpy as np
from numpy.typing import NDArray

__all__ = ["OLS", "GLS", "WLS", "Ridge", "IV", "TSLS", "FE"]

@final
class OLS:
    """Ordinary least squares with classical or HC0-robust standard errors."""

    def __new__(cls, fit_intercept: bool = True, robust: bool = False) -> OLS:
        """Create an unfitted model; `robust` selects HC0 standard errors."""
    @property
    def coefficients(self) -> Optional[NDArray[np.float64]]:
        """Slope coefficients (intercept excluded), or None before fit."""
    @property
    def fit_intercept(self) -> bool:
        """Whether a leading column of ones is added to the design."""
    @property
    def robust(self) -> bool:
        """Whether standard errors are heteroskedasticity-robust (HC0)."""
    @property
    def mse(self) -> Optional[float]:
        """Residual mean square SSR / (n - k)."""
    @property
    def r_squared(self) -> Optional[float]:
        """Coefficient of determination."""
    @property
    def r_squared_adj(self) -> Optional[float]:
        """Adjusted R-squared."""
    @property
    def intercept(self) -> Optional[float]:
        """Fitted intercept, or None without one."""
    @property
    def n_samples(self) -> Optional[int]:
        """Number of observations of the latest fit."""
    @property
    def n_features(self) -> Optional[int]:
        """Number of regressors (intercept not counted)."""
    @property
    def residuals(self) -> Optional[NDArray[np.float64]]:
        """Training residuals y - y_hat."""
    def is_fitted(self) -> bool:
        """True once a fit has succeeded."""
    def fit(self, x: NDArray[np.float64], y: NDArray[np.float64]) -> None:
        """Fit y (n,) on the columns of x (n, p)."""
    def predict(self, x: NDArray[np.float64]) -> NDArray[np.float64]:
        """Predict y for the rows of x (n, p)."""
    def standard_errors(self) -> Optional[NDArray[np.float64]]:
        """Standard errors of the slopes (robust ones when `robust`)."""
    def t_statistics(self) -> Optional[NDArray[np.float64]]:
        """Slopes divided by their standard errors."""
    def p_values(self) -> Optional[NDArray[np.float64]]:
        """Two-sided p-values of the slopes."""
    def confidence_intervals(self, alpha: float = 0.05) -> Optional[NDArray[np.float64]]:
        """(p, 2) array of lower and upper bounds at level 1 - alpha."""
    def summary(self) -> str:
        """Plain-text results report."""
    def covariance_matrix(self) -> Optional[NDArray[np.float64]]:
        """Classical covariance mse * (X'X)^-1, intercept at index 0."""

@final
class GLS:
    """Generalised least squares with a full error covariance matrix sigma."""

    def __new__(cls, fit_intercept: bool = True) -> GLS:
        """Create an unfitted model."""
    @property
    def coefficients(self) -> Optional[NDArray[np.float64]]:
        """Slope coefficients (intercept excluded), or None before fit."""
    @property
    def intercept(self) -> Optional[float]:
        """Fitted intercept, or None without one."""
    @property
    def fit_intercept(self) -> bool:
        """Whether a column of ones is added before whitening."""
    @property
    def mse(self) -> Optional[float]:
        """Whitened residual mean square."""
    @property
    def r_squared(self) -> Optional[float]:
        """R-squared of the whitened regression."""
    @property
    def r_squared_adj(self) -> Optional[float]:
        """Adjusted R-squared."""
    @property
    def residuals(self) -> Optional[NDArray[np.float64]]:
        """Whitened residuals L^-1 (y - y_hat)."""
    @property
    def n_samples(self) -> Optional[int]:
        """Number of observations of the latest fit."""
    @property
    def n_features(self) -> Optional[int]:
        """Number of regressors (intercept not counted)."""
    def fit(self, x: NDArray[np.float64], y: NDArray[np.float64], sigma: NDArray[np.float64]) -> None:
        """Fit y (n,) on x (n, p) with error covariance sigma (n, n)."""
    def predict(self, x: NDArray[np.float64]) -> NDArray[np.float64]:
        """Predict y for the rows of x (n, p)."""
    def standard_errors(self) -> Optional[NDArray[np.float64]]:
        """Standard errors of the slopes."""
    def t_statistics(self) -> Optional[NDArray[np.float64]]:
        """Slopes divided by their standard errors."""
    def p_values(self) -> Optional[NDArray[np.float64]]:
        """Two-sided p-values of the slopes."""
    def confidence_intervals(self, alpha: float = 0.05) -> Optional[NDArray[np.float64]]:
        """(p, 2) array of lower and upper bounds at level 1 - alpha."""
    def summary(self) -> str:
        """Plain-text results report."""
    def is_fitted(self) -> bool:
        """True once a fit has succeeded."""

@final
class WLS:
    """Weighted least squares with one positive weight per observation."""

    def __new__(cls, fit_intercept: bool = True) -> WLS:
        """Create an unfitted model."""
    @property
    def coefficients(self) -> Optional[NDArray[np.float64]]:
        """Slope coefficients (intercept excluded), or None before fit."""
    @property
    def intercept(self) -> Optional[float]:
        """Fitted intercept, or None without one."""
    @property
    def fit_intercept(self) -> bool:
        """Whether a column of ones is added to the design."""
    @property
    def mse(self) -> Optional[float]:
        """Unweighted residual mean square."""
    @property
    def r_squared(self) -> Optional[float]:
        """Weighted R-squared."""
    @property
    def r_squared_adj(self) -> Optional[float]:
        """Adjusted weighted R-squared."""
    @property
    def residuals(self) -> Optional[NDArray[np.float64]]:
        """Residuals y - y_hat on the original scale."""
    @property
    def n_samples(self) -> Optional[int]:
        """Number of observations of the latest fit."""
    @property
    def n_features(self) -> Optional[int]:
        """Number of regressors (intercept not counted)."""
    def fit(self, x: NDArray[np.float64], y: NDArray[np.float64], weights: NDArray[np.float64]) -> None:
        """Fit y (n,) on x (n, p) minimising sum(weights * residual**2)."""
    def predict(self, x: NDArray[np.float64]) -> NDArray[np.float64]:
        """Predict y for the rows of x (n, p)."""
    def standard_errors(self) -> Optional[NDArray[np.float64]]:
        """Standard errors of the slopes."""
    def t_statistics(self) -> Optional[NDArray[np.float64]]:
        """Slopes divided by their standard errors."""
    def p_values(self) -> Optional[NDArray[np.float64]]:
        """Two-sided p-values of the slopes."""
    def confidence_intervals(self, alpha: float = 0.05) -> Optional[NDArray[np.float64]]:
        """(p, 2) array of lower and upper bounds at level 1 - alpha."""
    def summary(self) -> str:
        """Plain-text results report."""
    def is_fitted(self) -> bool:
        """True once a fit has succeeded."""

@final
class Ridge:
    """L2-penalised least squares; the intercept is not penalised."""

    def __new__(cls, alpha: float = 1.0, fit_intercept: bool = True) -> Ridge:
        """Create an unfitted model with penalty `alpha` (checked by fit)."""
    @property
    def coefficients(self) -> Optional[NDArray[np.float64]]:
        """Slope coefficients (intercept excluded), or None before fit."""
    @property
    def fit_intercept(self) -> bool:
        """Whether a column of ones is added to the design."""
    @property
    def alpha(self) -> float:
        """The L2 penalty."""
    @property
    def mse(self) -> Optional[float]:
        """Residual mean square SSR / (n - k)."""
    @property
    def r_squared(self) -> Optional[float]:
        """Coefficient of determination."""
    @property
    def r_squared_adj(self) -> Optional[float]:
        """Adjusted R-squared."""
    @property
    def intercept(self) -> Optional[float]:
        """Fitted intercept, or None without one."""
    @property
    def n_samples(self) -> Optional[int]:
        """Number of observations of the latest fit."""
    @property
    def n_features(self) -> Optional[int]:
        """Number of regressors (intercept not counted)."""
    @property
    def residuals(self) -> Optional[NDArray[np.float64]]:
        """Training residuals y - y_hat."""
    def is_fitted(self) -> bool:
        """True once a fit has succeeded."""
    def standard_errors(self) -> Optional[NDArray[np.float64]]:
        """Standard errors of the slopes from mse * (X'X + alpha I)^-1."""
    def t_statistics(self) -> Optional[NDArray[np.float64]]:
        """Slopes divided by their standard errors."""
    def p_values(self) -> Optional[NDArray[np.float64]]:
        """Two-sided p-values of the slopes."""
    def confidence_intervals(self, alpha: float = 0.05) -> Optional[NDArray[np.float64]]:
        """(p, 2) array of bounds; `alpha` here is the significance level."""
    def summary(self) -> str:
        """Plain-text results report."""
    def fit(self, x: NDArray[np.float64], y: NDArray[np.float64]) -> None:
        """Fit y (n,) on the columns of x (n, p)."""
    def predict(self, x: NDArray[np.float64]) -> NDArray[np.float64]:
        """Predict y for the rows of x (n, p); refuses NaN and infinity."""
    def covariance_matrix(self) -> Optional[NDArray[np.float64]]:
        """mse * (X'X + alpha I)^-1, intercept at index 0."""

@final
class IV:
    """Instrumental variables for exactly identified models: (Z'X)^-1 Z'y."""

    def __new__(cls, fit_intercept: bool = True) -> IV:
        """Create an unfitted model."""
    def fit(
        self, instruments: NDArray[np.float64], regressors: NDArray[np.float64], targets: NDArray[np.float64]
    ) -> None:
        """Fit targets (n,) on regressors (n, k) with as many instruments (n, k)."""
    def is_fitted(self) -> bool:
        """True once a fit has succeeded."""
    @property
    def coefficients(self) -> Optional[NDArray[np.float64]]:
        """Slope coefficients (intercept excluded), or None before fit."""
    @property
    def fit_intercept(self) -> bool:
        """Whether a column of ones is added to instruments and regressors."""
    @property
    def intercept(self) -> Optional[float]:
        """Fitted intercept, or None without one."""
    def predict(self, regressors: NDArray[np.float64]) -> NDArray[np.float64]:
        """Predict targets for the rows of regressors (n, k)."""
    def standard_errors(self) -> Optional[NDArray[np.float64]]:
        """Standard errors of the slopes."""
    def t_statistics(self) -> Optional[NDArray[np.float64]]:
        """Slopes divided by their standard errors."""
    def p_values(self) -> Optional[NDArray[np.float64]]:
        """Two-sided p-values of the slopes."""
    def confidence_intervals(self, alpha: float = 0.05) -> Optional[NDArray[np.float64]]:
        """(k, 2) array of lower and upper bounds at level 1 - alpha."""
    def summary(self) -> str:
        """Plain-text results report."""
    @property
    def covariance_matrix(self) -> Optional[NDArray[np.float64]]:
        """Sandwich covariance of all parameters, intercept at index 0 (a property)."""
    @property
    def mse(self) -> Optional[float]:
        """Residual variance SSR / (n - k')."""
    @property
    def r_squared(self) -> Optional[float]:
        """R-squared 1 - SSR/TSS of the structural equation (may be negative)."""
    @property
    def r_squared_adj(self) -> Optional[float]:
        """Adjusted R-squared."""
    @property
    def residuals(self) -> Optional[NDArray[np.float64]]:
        """Structural residuals y - X b - b0."""
    @property
    def n_samples(self) -> Optional[int]:
        """Number of observations of the latest fit."""
    @property
    def n_features(self) -> Optional[int]:
        """Number of regressors (intercept not counted)."""

@final
class TSLS:
    """Two-stage least squares for models with at least as many instruments as regressors."""

    def __new__(cls, fit_intercept: bool = True) -> TSLS:
        """Create an unfitted model; the intercept enters the second stage only."""
    def fit(
        self, instruments: NDArray[np.float64], regressors: NDArray[np.float64], targets: NDArray[np.float64]
    ) -> None:
        """Fit targets (n,) on regressors (n, p) instrumented by instruments (n, q), q >= p."""
    def summary(self) -> str:
        """Plain-text results report (with t statistics, p-values and intervals)."""
    def is_fitted(self) -> bool:
        """True once a fit has succeeded."""
    @property
    def coefficients(self) -> Optional[NDArray[np.float64]]:
        """Slope coefficients (intercept excluded), or None before fit."""
    @property
    def fit_intercept(self) -> bool:
        """Whether the second stage carries a column of ones."""
    @property
    def intercept(self) -> Optional[float]:
        """Fitted intercept, or None without one."""
    def standard_errors(self) -> Optional[NDArray[np.float64]]:
        """Standard errors of the slopes."""
    def predict(self, regressors: NDArray[np.float64]) -> NDArray[np.float64]:
        """Predict targets for the rows of regressors (n, p)."""
    @property
    def mse(self) -> Optional[float]:
        """Residual variance from the structural residuals."""
    @property
    def r_squared(self) -> Optional[float]:
        """Structural R-squared 1 - SSR/TSS (may be negative)."""
    @property
    def r_squared_adj(self) -> Optional[float]:
        """Adjusted R-squared."""
    @property
    def residuals(self) -> Optional[NDArray[np.float64]]:
        """Structural residuals y - X b - b0."""
    @property
    def n_samples(self) -> Optional[int]:
        """Number of observations of the latest fit."""
    @property
    def n_features(self) -> Optional[int]:
        """Number of regressors (intercept not counted)."""
    @property
    def covariance_matrix(self) -> Optional[NDArray[np.float64]]:
        """sigma^2 (Xhat'Xhat)^-1, intercept at index 0 (a property)."""

@final
class FE:
    """Fixed-effects (within) estimator for panel data, one intercept per entity."""

    def __new__(cls, robust: bool = False) -> FE:
        """Create an unfitted model; `robust` clusters standard errors by entity."""
    @property
    def coefficients(self) -> Optional[NDArray[np.float64]]:
        """Slope coefficients, or None before fit."""
    @property
    def robust(self) -> bool:
        """Whether standard errors are clustered by entity."""
    @property
    def mse(self) -> Optional[float]:
        """Within residual mean square SSR / (n - k - N)."""
    @property
    def r_squared(self) -> Optional[float]:
        """Overall R-squared of the model with fixed effects."""
    @property
    def within_r_squared(self) -> Optional[float]:
        """R-squared of the entity-demeaned regression."""
    @property
    def n_samples(self) -> Optional[int]:
        """Number of observations of the latest fit."""
    @property
    def n_features(self) -> Optional[int]:
        """Number of regressors."""
    @property
    def n_entities(self) -> Optional[int]:
        """Number of distinct entity identifiers."""
    @property
    def residuals(self) -> Optional[NDArray[np.float64]]:
        """Within residuals of the demeaned regression."""
    @property
    def fixed_effects(self) -> Optional[NDArray[np.float64]]:
        """One intercept per entity, in order of first appearance."""
    def is_fitted(self) -> bool:
        """True once a fit has succeeded."""
    def fit(self, x: NDArray[np.float64], y: NDArray[np.float64], entity_id: NDArray[np.int64]) -> None:
        """Fit y (n,) on x (n, k) with int64 entity identifiers (n,)."""
    def predict(self, x: NDArray[np.float64], entity_id: NDArray[np.int64]) -> NDArray[np.float64]:
        """Predict y for rows of x belonging to entities seen in training."""
    def standard_errors(self) -> Optional[NDArray[np.float64]]:
        """Classical or entity-clustered standard errors of the slopes."""
    def t_statistics(self) -> Optional[NDArray[np.float64]]:
        """Slopes divided by their standard errors."""
    def p_values(self) -> Optional[NDArray[np.float64]]:
        """Two-sided p-values with n - k degrees of freedom."""
    def confidence_intervals(self, alpha: float = 0.05) -> Optional[NDArray[np.float64]]:
        """(k, 2) array of lower and upper bounds at level 1 - alpha."""
    def summary(self) -> str:
        """Plain-text results report with the within R-squared."""
    def covariance_matrix(self) -> Optional[NDArray[np.float64]]:
        """Classical covariance mse * (Xw'Xw)^-1 (also when robust)."""
