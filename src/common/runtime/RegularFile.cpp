#include "RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

namespace {

FileIdentity identityOf(const struct stat& status) {
    return {.device = static_cast<std::uint64_t>(status.st_dev),
            .inode = static_cast<std::uint64_t>(status.st_ino),
            .size = static_cast<std::int64_t>(status.st_size),
            .modifiedNanoseconds = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 +
                                   static_cast<std::int64_t>(status.st_mtim.tv_nsec)};
}

}  // namespace

RegularFile::~RegularFile() { close(); }

RegularFile::RegularFile(RegularFile&& other) noexcept
    : m_Descriptor(std::exchange(other.m_Descriptor, -1)), m_Path(std::move(other.m_Path)),
      m_Identity(other.m_Identity), m_Error(std::move(other.m_Error)), m_Missing(other.m_Missing) {}

RegularFile& RegularFile::operator=(RegularFile&& other) noexcept {
    if (this != &other) {
        close();
        m_Descriptor = std::exchange(other.m_Descriptor, -1);
        m_Path = std::move(other.m_Path);
        m_Identity = other.m_Identity;
        m_Error = std::move(other.m_Error);
        m_Missing = other.m_Missing;
    }
    return *this;
}

void RegularFile::close() {
    if (m_Descriptor >= 0) ::close(m_Descriptor);
    m_Descriptor = -1;
}

RegularFile RegularFile::open(const std::string& path) {
    RegularFile file;
    file.m_Path = path;
    // Non-blocking, so that opening a FIFO returns at once instead of waiting
    // for a writer; the type is then read from the open descriptor itself,
    // so the name cannot be swapped for something else in between.
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
        file.m_Missing = errno == ENOENT;
        file.m_Error = std::strerror(errno);
        return file;
    }
    file.m_Descriptor = descriptor;
    struct stat status {};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        file.m_Error = "not a regular file";
        file.close();
        return file;
    }
    file.m_Identity = identityOf(status);
    return file;
}

std::optional<FileIdentity> RegularFile::identify(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    return identityOf(status);
}

long long RegularFile::readAt(void* into, std::size_t length, std::int64_t offset) const {
    if (offset < 0) return -1;
    if (offset >= m_Identity.size) return 0;
    length = static_cast<std::size_t>(std::min<std::uint64_t>(length, static_cast<std::uint64_t>(m_Identity.size - offset)));
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got = pread(m_Descriptor, static_cast<char*>(into) + done, length - done,
                                  static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<long long>(done);
}

bool RegularFile::readAll(std::vector<std::uint8_t>& bytes, std::size_t limit) const {
    if (!isOpen() || m_Identity.size < 0 || static_cast<std::uint64_t>(m_Identity.size) > limit) return false;
    try {
        bytes.resize(static_cast<std::size_t>(m_Identity.size));
    } catch (const std::exception&) {  // bad_alloc, or a size no vector can hold
        bytes = {};
        return false;
    }
    const long long got = readAt(bytes.data(), bytes.size(), 0);
    if (got < 0) return false;
    bytes.resize(static_cast<std::size_t>(got));  // the file may have shrunk since
    return true;
}
