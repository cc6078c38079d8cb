// Starting a thread where the system may refuse one (RLIMIT_NPROC, memory): the
// work is then the caller's to do some other way, never lost.
#pragma once

#include <sched.h>

#include <algorithm>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace lumtab {

// The processors this process may run on: fewer than the machine's under a CPU
// affinity mask, as taskset or a batch scheduler such as Slurm sets.
inline unsigned processors() {
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    return static_cast<unsigned>(std::max(CPU_COUNT(&set), 1));
}

// Starts a thread running `work` and adds it to `threads`; returns false, and
// runs nothing, where the system refuses one.
template <typename Work>
bool try_start_thread(std::vector<std::thread>& threads, Work&& work) {
    try {
        threads.emplace_back(std::forward<Work>(work));
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

}  // namespace lumtab
