#pragma once

#include "ThreadMutex.h"

#include <sys/types.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#define CORVILANE_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

// The process-wide log. Lines read
//   2026-12-07 21:22:01 [4242] INFO Finished.
// (local time, thread number, level word, message), each flushed as written.
// The file starts afresh once it grows past maxLogFileSize KiB, and when a
// write fails (a full disk): the newest lines are the ones kept, and the
// first line written after a loss says how many were lost. A file deleted
// or moved away is opened again at its path, its folder made again.
class CLogger {
public:
    static constexpr int kError = 1;
    static constexpr int kWarn = 2;
    static constexpr int kInfo = 3;
    static constexpr int kDebug = 4;
    // Longest composed format, terminator included; longer ones are cut.
    static constexpr std::size_t kMaxComposed = 32767;

    static void init(const char* fileName);
    static void init(const char* fileName, long maxSizeKiB);
    static void setLogLevel(int level);

    static void debug(const char* format, ...) CORVILANE_PRINTF(1, 2);
    static void info(const char* format, ...) CORVILANE_PRINTF(1, 2);
    static void warn(const char* format, ...) CORVILANE_PRINTF(1, 2);
    static void error(const char* format, ...) CORVILANE_PRINTF(1, 2);
    static void log(int level, const char* format, va_list args) CORVILANE_PRINTF(2, 0);

    static void rollLogFile();
    static void finish();

    // The open log file's descriptor (-1 when none), for the crash handler,
    // which may not take the logger's lock or allocate.
    static int crashDescriptor() { return crashFd.load(); }

    // Room enough for any line head.
    static constexpr std::size_t kMaxHead = 128;
    // Writes the head of a line of `level` written now on the calling thread,
    // "2026-12-07 21:22:01 [4242] ERROR " for the local time `local`, into
    // `into` (kMaxHead bytes); returns its length (no terminator). Safe in a
    // signal handler: it allocates nothing, takes no lock and reads neither
    // the locale nor the time zone, so the crash handler starts its lines
    // with it as the logger does.
    static std::size_t formatHead(char* into, const std::tm& local, int level);

    // Size limit in units of 1024 bytes; 0 or less never rolls.
    static std::int64_t maxLogFileSize;

private:
    explicit CLogger(const char* fileName) : m_FileName(fileName) {}

    static void complain(bool newline);
    // Writes the line, or complains when there is no logger; the check and
    // the write happen under the same lock, so finish cannot come between.
    static void logOrComplain(int level, bool newline, const char* format, va_list args) CORVILANE_PRINTF(3, 0);
    static const char* levelWord(int level);
    bool writeLine(int level, const char* format, va_list args);
    // Whether the stream is there to write to, reopened when it is not (at
    // most once a second) or when its file left its path.
    bool streamReady();
    bool fileInPlace();
    void composeHead(char (&composed)[kMaxComposed], int level, const char* format) const;
    void tellLostLines();
    void writeFailed(int error);
    void roll();
    void open();
    void closeStream();
    bool reopenAfterFailure();
    void measureFile();
    void tellOnce(int error);

    static std::atomic<CLogger*> pInst;
    static std::atomic<int> crashFd;

    CThreadMutex m_Mutex;                 // held for a line's write and for a whole roll
    std::atomic<pid_t> m_Owner{0};        // thread holding m_Mutex, to refuse re-entry
    std::int64_t m_Size = 0;              // bytes the open file is believed to hold
    std::atomic<int> m_Threshold{kInfo};  // highest level written
    std::string m_FileName;
    std::FILE* m_Stream = nullptr;
    dev_t m_Device = 0;                   // the open file's identity, to notice
    ino_t m_Inode = 0;                    // when it was deleted or moved
    std::uint64_t m_LastOpenAttempt = 0;  // seconds; an open that failed is retried a second later
    std::uint64_t m_LastPlaceCheck = 0;   // seconds; the file's place is checked once a second
    bool m_EmptyOnOpen = false;           // a write failed: the next open starts the file afresh
    std::uint64_t m_LinesLost = 0;        // lines not written since the last one that was
    int m_LostError = 0;                  // why the last of them was not
    bool m_ToldOfFailure = false;         // a failure was said on standard error
};
