#include "CheckMain.h"
#include "InstanceLock.h"
#include "OsxService.h"

#include <cstdio>
#include <cstring>

namespace {

bool given(int argc, char* argv[], const char* option) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], option) == 0) return true;
    }
    return false;
}

}  // namespace

// One server per user: a second one says who runs and ends before it touches
// any port. "--check" runs no server: it looks at the one that runs.
int main(int argc, char* argv[]) {
    holdTerminationSignals();
    if (given(argc, argv, "--check")) return checkMain(given(argc, argv, "--json"));
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
