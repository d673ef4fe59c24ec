#include "BatchPriority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

const char* lowerToBatchPriority() {
    sched_param parameters{};
    parameters.sched_priority = 0;
    if (pthread_setschedparam(pthread_self(), SCHED_IDLE, &parameters) == 0) return "SCHED_IDLE";
    // A nice value belongs to one thread on Linux: this one and those it starts.
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19) == 0) return "nice 19";
    return "normal priority (neither SCHED_IDLE nor nice 19 was allowed)";
}
