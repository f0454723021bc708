#include "tunnel_client/forward/TrafficStatGroup.h"

namespace tunnel {

TrafficStatGroup::TrafficStatGroup() : m_short(SHORT_WINDOW_MS), m_long(LONG_WINDOW_MS) {}

}  // namespace tunnel
