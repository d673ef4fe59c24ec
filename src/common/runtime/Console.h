#pragma once

#include "ThreadMutex.h"

#include <mutex>
#include <string>

#define CORVILANE_CONSOLE_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))

// The short diagnostic lines the server writes beside its log, on standard
// output. Everything goes through here, so that tests can read what would
// have been printed.
class Console {
public:
    static void print(const char* format, ...) CORVILANE_CONSOLE_FORMAT(1, 2);
    static void write(const std::string& text);

    // While a capture exists, the console's output goes to it instead of
    // standard output. One at a time.
    class Capture {
    public:
        Capture();
        ~Capture();
        Capture(const Capture&) = delete;
        Capture& operator=(const Capture&) = delete;

        // What was printed so far.
        std::string text() const;

    private:
        friend class Console;
        mutable CThreadMutex m_Lock;
        std::string m_Text;
    };
};
