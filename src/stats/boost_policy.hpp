// The one error policy for every Boost.Math call: overflow and underflow
// give the IEEE limits instead of throwing; domain errors cannot occur
// because arguments are checked before each call.
#pragma once

#include <boost/math/policies/policy.hpp>

namespace ordinata::stats {

using quiet_policy =
    boost::math::policies::policy<boost::math::policies::overflow_error<boost::math::policies::ignore_error>,
                                  boost::math::policies::underflow_error<boost::math::policies::ignore_error>,
                                  boost::math::policies::denorm_error<boost::math::policies::ignore_error>,
                                  boost::math::policies::evaluation_error<boost::math::policies::ignore_error>,
                                  boost::math::policies::promote_double<false>>;

}  // namespace ordinata::stats
