#include "OsxService.h"

#include "InstanceLock.h"
#include "LinuxPlatform.h"
#include "Logger.h"
#include "NetworkAddresses.h"
#include "ServiceNotices.h"
#include "TabletsFile.h"
#include "corviLaneServer.h"

#include <execinfo.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <iostream>
#include <string>

namespace {

constexpr long kLogSizeKiB = 2048;
constexpr unsigned kPollMicroseconds = 200'000;
// The service's lines are looked at once a second: every fifth poll.
constexpr int kPollsPerLook = 5;
constexpr int kBacktraceDepth = 10;
constexpr unsigned kCrashReportSeconds = 5;

// Set by signal_handler when SIGTERM, SIGQUIT or SIGINT arrived. "Terminated!" is
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

constexpr int kHandledSignals[] = {SIGQUIT, SIGTERM, SIGINT, SIGSEGV};

void installHandler(int sig) {
    // A SIGINT ignored by whoever started the program (a shell script's
    // background job, nohup) stays ignored, as it would for any program:
    // Ctrl-C is meant for what runs in the foreground.
    struct sigaction inherited {};
    if (sig == SIGINT && sigaction(sig, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) return;
    struct sigaction action {};
    action.sa_handler = signal_handler;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
}

void primeCrashReport();

void installHandlers() {
    primeCrashReport();
    for (const int sig : kHandledSignals) installHandler(sig);
}

// SIGTERM, SIGQUIT and SIGINT (Ctrl-C), the signals that ask the service to stop.
sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGQUIT);
    sigaddset(&set, SIGINT);
    return set;
}

// Lets the stop signals through on the calling thread; one that arrived
// while they were held is delivered now.
void releaseStopSignals() {
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// The log's absolute path, for the lock, where the check finds it.
std::string absolutePath(const char* fileName) {
    char folder[4096];
    if (getcwd(folder, sizeof folder) == nullptr) return {};
    return std::string(folder) + "/" + fileName;
}

void startServer(InstanceLock* lock, const char* logName) {
    startThreads(true, LinuxPlatform::instance().platform());
    if (lock == nullptr) return;
    const WifiPorts ports = wifiPorts();
    lock->publish(ports.bound, ports.wanted, absolutePath(logName));
}

// Writes on standard error what became known since the last look: where
// tablets reach the server, the script's link, MIDI, USB.
void tellWhatChanged(ServiceNotices& notices) {
    ServiceNotices::State state;
    for (const NetworkAddresses::Entry& entry : NetworkAddresses::list()) {
        state.addresses.push_back({entry.address, entry.wireless});
    }
    const WifiPorts ports = wifiPorts();
    state.wantedPort = ports.wanted;
    state.port = ports.bound;
    state.advertisement = advertisementStatus();
    const ScriptLink script = scriptLink();
    state.scriptConnected = script.connected;
    state.scriptAnswers = script.answers;
    state.scriptPort = script.port;
    LinuxPlatform::instance().describe(state);
    for (const std::string& line : notices.look(state)) std::fprintf(stderr, "%s\n", line.c_str());
}

void stopServer() { stopThreads(); }

// The tablets with a session, for the check, written when they changed.
void publishTablets(std::optional<std::vector<TabletStatus>>& published) {
    std::vector<TabletStatus> tablets = relayCounts().tablets;
    if (published && *published == tablets) return;
    TabletsFile::write(tablets);
    published = std::move(tablets);
}

// A stop signal that came before the service ran (held back, or caught by
// handlers installed early) stops it as soon as it has started.
void runService(InstanceLock* lock, const char* logName) {
    daemonRunning = true;
    if (terminationSignal.load() != 0) daemonRunning = false;
    startServer(lock, logName);
    installHandlers();
    releaseStopSignals();
    ServiceNotices notices;
    std::optional<std::vector<TabletStatus>> published;
    for (int poll = 0; daemonRunning.load(); ++poll) {
        if (poll % kPollsPerLook == 0) {
            tellWhatChanged(notices);
            if (lock != nullptr) publishTablets(published);
        }
        usleep(kPollMicroseconds);
    }
    if (published) TabletsFile::remove();
    if (terminationSignal.exchange(0) != 0) CLogger::debug("Terminated!");
}

// The crash report is written from the signal handler, where only
// async-signal-safe calls may run: no allocation, no lock, no stdio. What
// needs those is done once at start.
long utcOffsetSeconds = 0;

void primeCrashReport() {
    void* frame[1];
    backtrace(frame, 1);  // loads the unwinder now rather than inside a crash
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    utcOffsetSeconds = local.tm_gmtoff;
}

// The local time now, from the offset to UTC found at start: localtime_r
// may take a lock and read the time zone, which a signal handler must not.
std::tm localTimeNow() {
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr)) + utcOffsetSeconds;
    const std::int64_t seconds = ((now % 86400) + 86400) % 86400;
    // Civil date from days since 1970-01-01 (proleptic Gregorian calendar).
    const std::int64_t days = (now - seconds) / 86400 + 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t shifted = (5 * dayOfYear + 2) / 153;
    const std::int64_t day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    const std::int64_t month = shifted < 10 ? shifted + 3 : shifted - 9;
    const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    std::tm local{};
    local.tm_year = static_cast<int>(year - 1900);
    local.tm_mon = static_cast<int>(month - 1);
    local.tm_mday = static_cast<int>(day);
    local.tm_hour = static_cast<int>(seconds / 3600);
    local.tm_min = static_cast<int>(seconds / 60 % 60);
    local.tm_sec = static_cast<int>(seconds % 60);
    return local;
}

// The logger's head of an error line, as it starts its own lines.
void writeLineHead(int fd) {
    char head[CLogger::kMaxHead];
    const std::size_t length = CLogger::formatHead(head, localTimeNow(), CLogger::kError);
    (void)!write(fd, head, length);
}

// "SIGSEGV catched", then one line per return address, innermost first.
void logCrash() {
    const int fd = CLogger::crashDescriptor();
    if (fd < 0) return;
    writeLineHead(fd);
    (void)!write(fd, "SIGSEGV catched\n", 16);
    void* frames[kBacktraceDepth];
    const int depth = backtrace(frames, kBacktraceDepth);
    for (int i = 0; i < depth; ++i) {
        writeLineHead(fd);
        backtrace_symbols_fd(&frames[i], 1, fd);
    }
}

}  // namespace

void holdTerminationSignals() {
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void catchTerminationSignals() { installHandlers(); }

void signal_handler(int sig) {
    switch (sig) {
        case SIGTERM:
        case SIGQUIT:
        case SIGINT:
            terminationSignal = sig;
            daemonRunning = false;
            break;
        case SIGSEGV:
            // Should the report itself hang, the process still dies.
            alarm(kCrashReportSeconds);
            logCrash();
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

int osxMain(int argc, char* argv[], InstanceLock* lock) {
    if (isDebugMode(argc, argv)) {
        constexpr const char* kLog = "corvilane-server-debug.log";
        // The console has no handlers: a stop signal ends it at once.
        releaseStopSignals();
        startLogging(kLog);
        startServer(lock, kLog);
        runConsole();
    } else {
        constexpr const char* kLog = "corvilane-server.log";
        startLogging(kLog);
        runService(lock, kLog);
    }
    stopServer();
    CLogger::info("Finished.");
    CLogger::finish();
    return 0;
}
