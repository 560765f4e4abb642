#pragma once

#include <QByteArray>

// Puts this process into a user namespace of its own together with the
// namespaces named by flags (CLONE_NEWNET, CLONE_NEWNS), mapping its user
// and group to themselves. A new network namespace gets its loopback up; in
// a new mount namespace every mount is made private, so that what a test
// mounts is seen by nobody else. Must run before any thread exists. False
// with the reason in *why when the system does not allow it.
bool enterPrivateNamespaces(int flags, QByteArray *why);
