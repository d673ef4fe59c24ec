#include "OsxService.h"

#include "Logger.h"
#include "corviLaneServer.h"

#include <execinfo.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

constexpr long kLogSizeKiB = 2048;
constexpr unsigned kPollMicroseconds = 200'000;
constexpr int kBacktraceDepth = 10;

// Set by signal_handler when SIGTERM or SIGQUIT arrived. "Terminated!" is
// logged by the entry thread: the logger is not safe to call from a handler
// that may have interrupted it.
std::atomic<int> terminationSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

bool isDebugMode(int argc, char* argv[]) {
    return argc >= 2 && argv != nullptr && argv[1] != nullptr &&
           std::strcmp(argv[1], "-debug") == 0;
}

void startLogging(const char* fileName) {
    CLogger::init(fileName, kLogSizeKiB);
    CLogger::setLogLevel(CLogger::kDebug);
}

// Reads words until "quit" (exactly) or the end of standard input.
void runConsole() {
    std::string word;
    while (true) {
        std::fputs(">", stdout);
        std::fflush(stdout);
        if (!(std::cin >> word) || word == "quit") return;
    }
}

void installHandler(int sig) {
    struct sigaction action {};
    action.sa_handler = signal_handler;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
}

// startThreads and stopThreads under the registry lock.
void startServer() {
    std::lock_guard<std::shared_mutex> lock(serverRegistryLock());
    startThreads(true);
}

void stopServer() {
    std::lock_guard<std::shared_mutex> lock(serverRegistryLock());
    stopThreads();
}

void runService() {
    terminationSignal = 0;
    daemonRunning = true;
    startServer();
    installHandler(SIGQUIT);
    installHandler(SIGTERM);
    installHandler(SIGSEGV);
    while (daemonRunning.load()) usleep(kPollMicroseconds);
    if (terminationSignal.load() != 0) CLogger::debug("Terminated!");
}

void logBacktrace() {
    void* frames[kBacktraceDepth];
    const int depth = backtrace(frames, kBacktraceDepth);
    char** symbols = backtrace_symbols(frames, depth);
    if (symbols == nullptr) return;
    for (int i = 0; i < depth; ++i) CLogger::error("%s", symbols[i]);
    std::free(symbols);
}

}  // namespace

std::shared_mutex& serverRegistryLock() {
    static std::shared_mutex lock;
    return lock;
}

void signal_handler(int sig) {
    switch (sig) {
        case SIGTERM:
        case SIGQUIT:
            terminationSignal = sig;
            daemonRunning = false;
            break;
        case SIGSEGV:
            CLogger::error("SIGSEGV catched");
            logBacktrace();
            daemonRunning = false;
            // Let the crash take its course so that it still leaves a core
            // dump: the default action runs once this handler returns.
            signal(SIGSEGV, SIG_DFL);
            raise(SIGSEGV);
            break;
        default:
            break;
    }
}

int osxMain(int argc, char* argv[]) {
    if (isDebugMode(argc, argv)) {
        startLogging("corvilane-server-debug.log");
        startServer();
        runConsole();
    } else {
        startLogging("corvilane-server.log");
        runService();
    }
    stopServer();
    CLogger::info("Finished.");
    CLogger::finish();
    return 0;
}
