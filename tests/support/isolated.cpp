// rx-isolated PROGRAM [ARG...]: runs PROGRAM in a network namespace of its
// own in which only its loopback exists, up; refuses (exit status 1) where
// the system allows none. CTest starts every suite that builds the main
// window through it, scripts/bench the benchmarks.
#include <cstdio>
#include <unistd.h>

#include "support/privatenetwork.h"

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fputs("usage: rx-isolated PROGRAM [ARG...]\n", stderr);
        return 2;
    }
    std::string why;
    if (!PrivateNetwork::enter(&why)) {
        std::fputs(PrivateNetwork::refusal(argv[1], why).c_str(), stderr);
        return 1;
    }
    ::execvp(argv[1], argv + 1);
    std::perror(argv[1]);
    return 127;
}
