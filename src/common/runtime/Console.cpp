#include "Console.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {

CThreadMutex captureLock;  // guards the capture's installation and removal
Console::Capture* capture = nullptr;

}  // namespace

void Console::print(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (length < 0) {
        va_end(again);
        return;
    }
    if (static_cast<std::size_t>(length) < sizeof line) {
        va_end(again);
        return write(std::string(line, static_cast<std::size_t>(length)));
    }
    std::vector<char> longer(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(longer.data(), longer.size(), format, again);
    va_end(again);
    write(std::string(longer.data(), static_cast<std::size_t>(length)));
}

void Console::write(const std::string& text) {
    {
        std::lock_guard<CThreadMutex> lock(captureLock);
        if (capture != nullptr) {
            std::lock_guard<CThreadMutex> held(capture->m_Lock);
            capture->m_Text += text;
            return;
        }
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
}

Console::Capture::Capture() {
    std::lock_guard<CThreadMutex> lock(captureLock);
    capture = this;
}

Console::Capture::~Capture() {
    std::lock_guard<CThreadMutex> lock(captureLock);
    if (capture == this) capture = nullptr;
}

std::string Console::Capture::text() const {
    std::lock_guard<CThreadMutex> held(m_Lock);
    return m_Text;
}
