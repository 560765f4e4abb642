// Linked into every program that builds the main window (see
// privatenetwork.h). Runs before main(), while the process still has one
// thread: where anything but loopback is in sight, the process moves into a
// network namespace of its own or ends with the reason. Under rx-isolated it
// finds only loopback and has nothing to do.
#include <cstdio>
#include <cstdlib>
#include <errno.h>

#include "support/privatenetwork.h"

namespace {

const bool g_isolated = [] {
    if (PrivateNetwork::onlyLoopback())
        return true;
    std::string why;
    if (PrivateNetwork::enter(&why))
        return true;
    std::fputs(PrivateNetwork::refusal(program_invocation_short_name, why).c_str(), stderr);
    std::_Exit(1);
}();

} // namespace

bool PrivateNetwork::processIsolated()
{
    return g_isolated && onlyLoopback();
}
