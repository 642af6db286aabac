// What both readers do around a read: the klayout release check, and the
// frame that turns a decline, a failed allocation or any other error into
// the reason, leaving an empty layout and telling the cell listener.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "lumino/core/model/layout.hpp"
#include "lumino/core/read/gds.hpp"
#include "lumino/core/read/klayout_releases.hpp"

namespace lumino::core {

// Why a klayout release is not answered for; empty where it is.
inline std::string release_unverified(const std::string& version) {
    if (klayout_release_verified(version)) return {};
    return "klayout " + (version.empty() ? std::string("version unknown") : version + " not verified");
}

// Runs `run` (which fills `out`); false with `reason` where it throws.
template <class Decline, class Run>
bool read_or_decline(Run&& run, const GdsReadOptions& options, Layout& out, std::string& reason) {
    try {
        run();
        return true;
    } catch (const Decline& d) {
        reason = d.reason;
    } catch (const std::bad_alloc&) {
        reason = "out of memory";
    } catch (const std::exception& e) {
        reason = e.what();
    }
    if (options.cells) options.cells->read_declined();
    out = Layout();
    return false;
}

}  // namespace lumino::core
