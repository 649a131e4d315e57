// KoPipe: a ring queue packaged for one native producer and one native consumer.
#pragma once

#include "state.hpp"

namespace korvo::relaybus {

// Creates KoPipe, publishes its table and binds it. Throws python_error.
void add_kopipe_type(relaybus_state& st);

}  // namespace korvo::relaybus
