// The C boundary never throws: every export runs its body through guarded(),
// which turns any exception (an allocation failure above all) into the
// export's failure value. A C host cannot catch a C++ exception, and one
// that escaped would end the host process.
#pragma once

#include <utility>

namespace wirekit::api {

template <typename Result, typename Body>
Result guarded(Result failure, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        return failure;
    }
}

}  // namespace wirekit::api
