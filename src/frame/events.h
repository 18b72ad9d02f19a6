// Event codes and raising them. The codes come from the one table in
// wirekit.h; this adds the internal helpers around the host's callback.
#pragma once

#include "wirekit.h"

namespace wirekit {

// The constant's name for a code ("TCP_EV_CONNECTED"), or "UNKNOWN_EVENT".
inline const char* EventName(int code) { return wirekit_event_name(code); }

// Every code of the table, in table order.
inline constexpr int ALL_EVENT_CODES[] = {
#define WIREKIT_EVENT_CODE(name, value, text) value,
    WIREKIT_EVENT_TABLE(WIREKIT_EVENT_CODE)
#undef WIREKIT_EVENT_CODE
};

// Calls the host's callback when there is one. Kept out of line so that every
// raise goes through one place.
void raiseEvent(EventCallback callback, int code, int param);

}  // namespace wirekit
