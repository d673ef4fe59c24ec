#include "Logger.h"

#include "Clock.h"
#include "Console.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <shared_mutex>

std::atomic<CLogger*> CLogger::pInst{nullptr};
std::atomic<int> CLogger::crashFd{-1};
std::int64_t CLogger::maxLogFileSize = 0;

namespace {

// Every use of the instance holds this shared; init and finish hold it
// exclusively, so a thread that logs while the logger finishes never touches
// a released instance.
std::shared_mutex lifetime;

// Marks the calling thread as the holder of the logger's lock, so that a
// signal handler running on that same thread cannot deadlock on it.
class OwnedLock {
public:
    OwnedLock(CThreadMutex& mutex, std::atomic<pid_t>& owner) : m_Lock(mutex), m_Owner(owner) {
        m_Owner = gettid();
    }
    ~OwnedLock() { m_Owner = 0; }
    OwnedLock(const OwnedLock&) = delete;
    OwnedLock& operator=(const OwnedLock&) = delete;

private:
    std::lock_guard<CThreadMutex> m_Lock;
    std::atomic<pid_t>& m_Owner;
};

// Text and numbers put into a fixed buffer, the numbers as printf's "%0*d"
// writes them, without printf, which may allocate and reads the locale.
class HeadText {
public:
    HeadText(char* into, std::size_t size) : m_Into(into), m_Size(size) {}

    void text(const char* value) {
        while (*value != '\0') put(*value++);
    }
    void number(long long value, int width) {
        char digits[20];
        int count = 0;
        unsigned long long magnitude =
            value < 0 ? 0ull - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
        do {
            digits[count++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude > 0);
        if (value < 0) {
            put('-');
            --width;
        }
        for (int pad = count; pad < width; ++pad) put('0');
        while (count > 0) put(digits[--count]);
    }
    std::size_t used() const { return m_Used; }

private:
    void put(char c) {
        if (m_Used < m_Size) m_Into[m_Used++] = c;
    }

    char* m_Into;
    std::size_t m_Size;
    std::size_t m_Used = 0;
};

}  // namespace

void CLogger::init(const char* fileName) { init(fileName, 2048); }

void CLogger::init(const char* fileName, long maxSizeKiB) {
    {
        std::unique_lock<std::shared_mutex> exclusive(lifetime);
        if (pInst.load() != nullptr || fileName == nullptr) return;
        pInst = new CLogger(fileName);
        maxLogFileSize = maxSizeKiB;
    }
    rollLogFile();
}

void CLogger::setLogLevel(int level) {
    std::shared_lock<std::shared_mutex> shared(lifetime);
    if (CLogger* instance = pInst.load()) instance->m_Threshold = level;
}

void CLogger::complain(bool newline) {
    Console::write(newline ? "BUG: log not initialized!\n" : "BUG: log not initialized!");
}

void CLogger::logOrComplain(int level, bool newline, const char* format, va_list args) {
    std::shared_lock<std::shared_mutex> shared(lifetime);
    CLogger* instance = pInst.load();
    if (instance == nullptr) return complain(newline);
    if (format == nullptr) return;
    // The roll runs after the line's lock is released: the mutex is not recursive.
    if (instance->writeLine(level, format, args)) instance->roll();
}

// The level functions differ only in their level and in whether the
// complaint without a logger ends its line.
#define CORVILANE_LOG_FUNCTION(name, level, newline)   \
    void CLogger::name(const char* format, ...) {      \
        va_list args;                                  \
        va_start(args, format);                        \
        logOrComplain(level, newline, format, args);   \
        va_end(args);                                  \
    }

CORVILANE_LOG_FUNCTION(debug, kDebug, false)
CORVILANE_LOG_FUNCTION(info, kInfo, true)
CORVILANE_LOG_FUNCTION(warn, kWarn, true)
CORVILANE_LOG_FUNCTION(error, kError, false)

#undef CORVILANE_LOG_FUNCTION

const char* CLogger::levelWord(int level) {
    switch (level) {
        case kError: return "ERROR";
        case kWarn: return "WARN";
        case kInfo: return "INFO";
        case kDebug: return "DEBUG";
        default: return "UNKNOWN";
    }
}

void CLogger::log(int level, const char* format, va_list args) {
    std::shared_lock<std::shared_mutex> shared(lifetime);
    CLogger* instance = pInst.load();
    if (instance == nullptr || format == nullptr) return;
    // The roll runs after the line's lock is released: the mutex is not recursive.
    if (instance->writeLine(level, format, args)) instance->roll();
}

// Writes one line; returns whether the file has grown past its limit.
bool CLogger::writeLine(int level, const char* format, va_list args) {
    if (level > m_Threshold.load() || m_Owner.load() == gettid()) return false;
    OwnedLock lock(m_Mutex, m_Owner);
    if (!streamReady()) {
        ++m_LinesLost;
        return false;
    }
    if (m_LinesLost > 0) tellLostLines();
    char composed[kMaxComposed];
    composeHead(composed, level, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int written = std::vfprintf(m_Stream, composed, args);
#pragma GCC diagnostic pop
    if (written < 0 || std::fflush(m_Stream) != 0) {
        writeFailed(errno);
        return false;
    }
    m_Size += written;
    return maxLogFileSize > 0 && m_Size > maxLogFileSize * 1024;
}

std::size_t CLogger::formatHead(char* into, const std::tm& local, int level) {
    HeadText head(into, kMaxHead);
    head.number(local.tm_year + 1900LL, 4);
    head.text("-");
    head.number(local.tm_mon + 1LL, 2);
    head.text("-");
    head.number(local.tm_mday, 2);
    head.text(" ");
    head.number(local.tm_hour, 2);
    head.text(":");
    head.number(local.tm_min, 2);
    head.text(":");
    head.number(local.tm_sec, 2);
    head.text(" [");
    head.number(static_cast<unsigned>(gettid()), 1);
    head.text("] ");
    head.text(levelWord(level));
    head.text(" ");
    return head.used();
}

// The line's format with its head: date, time, thread and level.
void CLogger::composeHead(char (&composed)[kMaxComposed], int level, const char* format) const {
    static_assert(kMaxComposed > kMaxHead);
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const std::size_t head = formatHead(composed, local, level);
    std::snprintf(composed + head, sizeof composed - head, "%s\n", format);
}

// Called with the lock held.
bool CLogger::streamReady() {
    if (m_Stream == nullptr) return reopenAfterFailure();
    const std::uint64_t now = Clock::nowSeconds();
    if (now == m_LastPlaceCheck) return true;
    m_LastPlaceCheck = now;
    if (!fileInPlace()) open();
    return m_Stream != nullptr;
}

bool CLogger::fileInPlace() {
    struct stat onDisk {};
    return stat(m_FileName.c_str(), &onDisk) == 0 && onDisk.st_dev == m_Device && onDisk.st_ino == m_Inode;
}

// The first line that can be written after lines were lost says so.
void CLogger::tellLostLines() {
    char composed[kMaxComposed];
    composeHead(composed, kWarn, "%llu log lines could not be written (%s)");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int written = std::fprintf(m_Stream, composed, static_cast<unsigned long long>(m_LinesLost),
                                     std::strerror(m_LostError));
#pragma GCC diagnostic pop
    if (written > 0) m_Size += written;
    m_LinesLost = 0;
}

// A write that failed (a full disk, most often) closes the file; the next
// open, a second later, empties it, so the space it held is free again and
// the newest lines are the ones kept.
void CLogger::writeFailed(int error) {
    ++m_LinesLost;
    m_LostError = error;
    tellOnce(error);
    closeStream();
    m_EmptyOnOpen = true;
    m_LastOpenAttempt = Clock::nowSeconds();
}

void CLogger::rollLogFile() {
    std::shared_lock<std::shared_mutex> shared(lifetime);
    if (CLogger* instance = pInst.load()) instance->roll();
}

// Measured without opening it: opening a FIFO put in its place for reading
// would wait for a writer for ever.
void CLogger::measureFile() {
    struct stat existing {};
    m_Size = stat(m_FileName.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) ? existing.st_size : 0;
}

// Closes and reopens the file. A file over the limit is emptied; the size
// counter keeps the measured size, so the next line rolls once more and that
// roll continues the now short file.
void CLogger::roll() {
    if (m_Owner.load() == gettid()) return;
    OwnedLock lock(m_Mutex, m_Owner);
    open();
}

// After a failed open, the lines that follow try again, at most once a
// second, so that the log comes back by itself once its trouble (a full disk,
// a folder that was missing) is over. Called with the lock held.
bool CLogger::reopenAfterFailure() {
    const std::uint64_t now = Clock::nowSeconds();
    if (now == m_LastOpenAttempt) return false;
    open();
    return m_Stream != nullptr;
}

// Closes the stream and opens the file afresh: emptied when it has grown
// past the limit or a write failed, continued otherwise. The folder of a file
// that was open before is made again when it has gone. Called with the lock
// held.
void CLogger::open() {
    closeStream();
    m_LastOpenAttempt = m_LastPlaceCheck = Clock::nowSeconds();
    const std::filesystem::path folder = std::filesystem::path(m_FileName).parent_path();
    std::error_code ignored;
    if (!folder.empty() && m_Inode != 0) std::filesystem::create_directories(folder, ignored);
    measureFile();
    if (!m_EmptyOnOpen && (maxLogFileSize < 1 || m_Size <= maxLogFileSize * 1024)) {
        syslog(LOG_DEBUG, "Opening log file %s", m_FileName.c_str());
        m_Stream = std::fopen(m_FileName.c_str(), "a+e");
    } else {
        m_Stream = std::fopen(m_FileName.c_str(), "we");
    }
    // A FIFO (or a socket) put in the log's place would take lines until it
    // blocks the thread that writes one: it is no log.
    struct stat opened {};
    const bool opens = m_Stream != nullptr && fstat(fileno(m_Stream), &opened) == 0;
    if (!opens || S_ISFIFO(opened.st_mode) || S_ISSOCK(opened.st_mode)) {
        const int error = opens ? EINVAL : errno;
        closeStream();
        syslog(LOG_ERR, "Error opening log file \"%s\"", m_FileName.c_str());
        tellOnce(error);
        return;
    }
    m_EmptyOnOpen = false;
    m_Device = opened.st_dev;
    m_Inode = opened.st_ino;
    crashFd = fileno(m_Stream);
}

void CLogger::closeStream() {
    crashFd = -1;
    if (m_Stream == nullptr) return;
    std::fclose(m_Stream);
    m_Stream = nullptr;
}

// Whoever started the program hears once that it runs without its log, and
// where the log was to be.
void CLogger::tellOnce(int error) {
    if (m_ToldOfFailure) return;
    m_ToldOfFailure = true;
    char folder[4096] = {};
    const bool relative = !m_FileName.empty() && m_FileName[0] != '/';
    const std::string path =
        relative && getcwd(folder, sizeof folder) != nullptr ? std::string(folder) + "/" + m_FileName : m_FileName;
    std::fprintf(stderr, "corviLane: cannot write the log %s (%s); running without a log until it can be written\n",
                 path.c_str(), std::strerror(error));
}

void CLogger::finish() {
    debug("finished logger");
    std::unique_lock<std::shared_mutex> exclusive(lifetime);
    CLogger* instance = pInst.exchange(nullptr);
    if (instance == nullptr) return;
    crashFd = -1;
    if (instance->m_Stream != nullptr) std::fclose(instance->m_Stream);
    delete instance;
}
