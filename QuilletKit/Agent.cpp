#include "QuilletKit/Agent.hpp"

namespace quillet {

int Agent::run(const Preferences&) { return 1; }

}  // namespace quillet
