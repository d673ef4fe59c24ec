#include "CheckMain.h"
#include "InstanceLock.h"
#include "OsxService.h"
#include "ServerOptions.h"

#include <cstdio>

// One server per user: a second one says who runs and ends before it touches
// any port. "--check" runs no server: it looks at the one that runs, and a
// stop signal ends it at once. Reading the command line starts no thread, so
// the server's signals are still held before its first thread exists.
int main(int argc, char* argv[]) {
    const ServerOptions options = ServerOptions::parse(argc, argv);
    switch (options.mode) {
        case ServerOptions::Mode::Help:
            std::fputs(ServerOptions::usage().c_str(), stdout);
            return 0;
        case ServerOptions::Mode::Version:
            std::fputs(ServerOptions::version().c_str(), stdout);
            return 0;
        case ServerOptions::Mode::Error:
            std::fprintf(stderr, "%s\n%s\n", options.error.c_str(), ServerOptions::hint().c_str());
            return 2;
        case ServerOptions::Mode::Check:
            return checkMain(options.json);
        case ServerOptions::Mode::Service:
        case ServerOptions::Mode::Debug:
            break;
    }
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
