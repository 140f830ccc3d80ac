#include "services/call_registry.h"

namespace brennick::calls {

Registry& registry()
{
    static auto* r = new Registry;  // outlives static destructors that might still dispose players
    return *r;
}

}  // namespace brennick::calls
