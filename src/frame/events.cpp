#include "frame/events.h"

namespace wirekit {

void raiseEvent(EventCallback callback, int code, int param) {
    if (callback) callback(code, param);
}

}  // namespace wirekit
