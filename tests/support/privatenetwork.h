#pragma once

#include <string>

// Private network namespaces for every program that builds the client's main
// window. The window's discovery loop sends UDP to every host of every local
// IPv4 /24 network from the moment it exists, so such a program runs only
// where nothing but loopback exists.
//
// Two ways in, one rule:
// - CTest starts each suite that builds a window through the launcher
//   rx-isolated, which gives it a namespace of its own (its port 63311 is its
//   own even while other suites run beside it).
// - The same programs carry isolation.cpp: started by hand anywhere else
//   (a shell, a debugger, an IDE), they move themselves into a namespace of
//   their own before main() runs, or refuse to run.
namespace PrivateNetwork {

// Whether every network interface this process can see is a loopback one.
bool onlyLoopback();

// Moves the calling process, which must still have only one thread, into a
// network namespace of its own in which only its loopback exists, up. As
// root this is a network namespace alone, so the process stays real root;
// otherwise it is in a user namespace too, in which it is root (uid and gid
// 0 stand for the caller's own), so that what it starts may still configure
// that network. On failure, why says what the system refused.
bool enter(std::string *why);

// Moves the calling process, which must still have only one thread, into a
// mount namespace of its own in which every mount is private, so what it
// mounts is seen by nobody else. Needs the rights enter() leaves behind.
bool enterPrivateMounts(std::string *why);

// The one explanation both ways in give when they refuse to run program.
std::string refusal(const char *program, const std::string &why);

// True in a program that carries isolation.cpp once it has got past the
// check before main(); the window fixture asks, which also links the check
// into every program that uses the fixture.
bool processIsolated();

} // namespace PrivateNetwork
