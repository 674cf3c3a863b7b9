#include "analysis/distributions.h"

#include <boost/math/distributions/chi_squared.hpp>
#include <boost/math/distributions/normal.hpp>
#include <boost/math/distributions/students_t.hpp>

namespace report::stats {

namespace {

namespace policies = boost::math::policies;

// A value outside the domain, or a result past the range, is NaN or the
// limit, as the arithmetic would give it: the callers test for it.
using Quiet = policies::policy<policies::domain_error<policies::ignore_error>,
                               policies::pole_error<policies::ignore_error>,
                               policies::overflow_error<policies::ignore_error>,
                               policies::evaluation_error<policies::ignore_error>>;

}  // namespace

double student_upper_tail(double t, double dof) {
    return boost::math::cdf(boost::math::complement(boost::math::students_t_distribution<double, Quiet>(dof), t));
}

double student_quantile(double upper, double dof) {
    return boost::math::quantile(
        boost::math::complement(boost::math::students_t_distribution<double, Quiet>(dof), upper));
}

double normal_upper_tail(double z) {
    return boost::math::cdf(
        boost::math::complement(boost::math::normal_distribution<double, Quiet>(), z));
}

double chi_squared_quantile(double lower, double dof) {
    return boost::math::quantile(boost::math::chi_squared_distribution<double, Quiet>(dof), lower);
}

}  // namespace report::stats
