// The tails and quantiles of Student's t and of the normal distribution that
// the tests read. Kept apart so that one unit alone compiles the library
// behind them. Arguments outside a distribution's domain (a NaN, no degrees
// of freedom) give NaN, never an exception.
#pragma once

namespace report::stats {

// P(T > t) for Student's t distribution with `dof` degrees of freedom.
double student_upper_tail(double t, double dof);

// The t with P(T > t) = `upper` for Student's t with `dof` degrees of freedom.
double student_quantile(double upper, double dof);

// P(Z > z) for the standard normal distribution.
double normal_upper_tail(double z);

// The x with P(X <= x) = `lower` for the chi-squared distribution with `dof`
// degrees of freedom.
double chi_squared_quantile(double lower, double dof);

}  // namespace report::stats
