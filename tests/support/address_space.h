// Leaves a process almost no address space, for what must hold when the system cannot give a thread
// its stack. For a child of a death test only: the limit stays for the rest of the process.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>

namespace kelvatta::test {

// The address space limited to what is mapped now and 2 MiB more (a thread's stack takes 8). False
// where the limit could not be set.
inline bool leaveLittleAddressSpace()
{
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    if (pages <= 0) return false;
    const auto room = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (rlim_t{2} << 20);
    const rlimit limit{room, room};
    return setrlimit(RLIMIT_AS, &limit) == 0;
}

}  // namespace kelvatta::test
