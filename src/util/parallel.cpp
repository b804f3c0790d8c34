#include "util/parallel.hpp"

#include <sched.h>

namespace vexlo {

std::size_t usable_cores() {
    static const std::size_t cores = [] {
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(0, sizeof set, &set) == 0) {
            const int n = CPU_COUNT(&set);
            if (n > 0) return static_cast<std::size_t>(n);
        }
        return static_cast<std::size_t>(std::max(1u, std::thread::hardware_concurrency()));
    }();
    return cores;
}

}  // namespace vexlo
