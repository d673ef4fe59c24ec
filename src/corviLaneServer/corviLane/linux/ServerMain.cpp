#include "InstanceLock.h"
#include "OsxService.h"

#include <cstdio>

// One server per user: a second one says who runs and ends before it touches
// any port.
int main(int argc, char* argv[]) {
    holdTerminationSignals();
    std::optional<InstanceLock::Holder> holder;
    std::optional<InstanceLock> lock = InstanceLock::take(holder);
    if (holder) {
        std::fprintf(stderr, "%s\n", InstanceLock::alreadyRunning(*holder).c_str());
        return 1;
    }
    if (!lock) {
        std::fprintf(stderr, "corviLane: cannot use %s, which keeps a second copy from starting; running all the same\n",
                     InstanceLock::path().c_str());
    }
    return osxMain(argc, argv, lock ? &*lock : nullptr);
}
