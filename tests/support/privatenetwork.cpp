#include "support/privatenetwork.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

namespace PrivateNetwork {

namespace {

bool writeFile(const char *path, const std::string &text)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ::close(fd);
    return ok;
}

std::string failed(const char *what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

bool onlyLoopback()
{
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0)
        return false;
    bool loopback = true;
    for (const ifaddrs *i = list; i; i = i->ifa_next)
        loopback = loopback && (i->ifa_flags & IFF_LOOPBACK);
    ::freeifaddrs(list);
    return loopback;
}

bool enter(std::string *why)
{
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWNET) != 0) {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
            *why = failed("unshare");
            return false;
        }
        writeFile("/proc/self/setgroups", "deny");
        if (!writeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n")
            || !writeFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n")) {
            *why = failed("user namespace id maps");
            return false;
        }
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request = {};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0
        && (request.ifr_flags |= IFF_UP, ::ioctl(fd, SIOCSIFFLAGS, &request) == 0);
    if (!up)
        *why = failed("loopback up");
    if (fd >= 0)
        ::close(fd);
    return up;
}

bool enterPrivateMounts(std::string *why)
{
    if (::unshare(CLONE_NEWNS) != 0) {
        *why = failed("unshare");
        return false;
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *why = failed("private mounts");
        return false;
    }
    return true;
}

std::string refusal(const char *program, const std::string &why)
{
    return std::string(program)
        + ": not running: it builds the client's main window, whose discovery sends UDP to every host of every "
          "local network, and this system refused a private network namespace with only loopback ("
        + why
        + "). Run it as root, or allow unprivileged user namespaces (sysctl kernel.unprivileged_userns_clone=1, "
          "kernel.apparmor_restrict_unprivileged_userns=0).\n";
}

} // namespace PrivateNetwork
