#include "ScriptArchive.h"

#include "RegularFile.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <system_error>
#include <utility>

namespace script_archive {
namespace {

constexpr std::size_t kBlockSize = 64 * 1024;

// A file descriptor, closed with the object.
class Descriptor {
public:
    explicit Descriptor(int descriptor = -1) : m_Descriptor(descriptor) {}
    ~Descriptor() {
        if (m_Descriptor >= 0) ::close(m_Descriptor);
    }
    Descriptor(Descriptor&& other) noexcept : m_Descriptor(std::exchange(other.m_Descriptor, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        std::swap(m_Descriptor, other.m_Descriptor);
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return m_Descriptor; }
    bool isOpen() const { return m_Descriptor >= 0; }

private:
    int m_Descriptor;
};

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string failure(const std::string& what, int error) {
    return what + ": " + std::error_code(error, std::generic_category()).message() + ".";
}

std::string refused(const std::string& archive, const std::string& why) {
    return quoted(archive) + " cannot be used: " + why + ".";
}

// The parts of an entry's name; a folder's ends with "/", which gives no part.
std::vector<std::string> partsOf(const std::string& name) {
    std::vector<std::string> parts;
    for (std::size_t start = 0; start < name.size();) {
        const std::size_t slash = name.find('/', start);
        const std::size_t end = slash == std::string::npos ? name.size() : slash;
        parts.push_back(name.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// A zip archive open for reading from a regular file (never a FIFO or a
// device, whose reads could block or never end). Zip is the only format read.
class Reader {
public:
    explicit Reader(const std::string& path) : m_Path(path), m_File(RegularFile::open(path)) {
        if (!m_File.isOpen()) {
            m_Error = quoted(path) + " cannot be read: " + m_File.error();
            return;
        }
        if (!m_Archive || archive_read_support_format_zip(m_Archive.get()) != ARCHIVE_OK ||
            archive_read_open_fd(m_Archive.get(), m_File.descriptor(), kBlockSize) != ARCHIVE_OK) {
            m_Error = quoted(path) + " is not a zip archive that can be read (" + problem() + ").";
        }
    }

    const std::string& error() const { return m_Error; }
    archive* get() const { return m_Archive.get(); }
    std::string problem() const {
        const char* text = m_Archive ? archive_error_string(m_Archive.get()) : nullptr;
        return text != nullptr ? text : "no more memory";
    }

    // The next entry, its name in `name` (a folder's ending with "/"): 1,
    // 0 at the end, -1 with the reason in `error` when it is refused or
    // cannot be read.
    int next(std::string& name, bool& folder, std::string& error) {
        archive_entry* entry = nullptr;
        const int status = archive_read_next_header(m_Archive.get(), &entry);
        if (status == ARCHIVE_EOF) return 0;
        if (status != ARCHIVE_OK && status != ARCHIVE_WARN) {
            error = quoted(m_Path) + " cannot be read: " + problem() + ".";
            return -1;
        }
        if (++m_Entries > kMaxEntries) {
            error = refused(m_Path, "it holds more than " + std::to_string(kMaxEntries) + " entries");
            return -1;
        }
        const char* path = archive_entry_pathname(entry);
        if (path == nullptr) {
            error = refused(m_Path, "the name of an entry cannot be read");
            return -1;
        }
        name = path;
        std::string why = nameRefusal(name);
        const mode_t type = archive_entry_filetype(entry);
        folder = type == AE_IFDIR;
        if (why.empty() && (archive_entry_hardlink(entry) != nullptr || type == AE_IFLNK)) why = "is a link";
        if (why.empty() && type != AE_IFREG && !folder) why = "is neither a file nor a folder";
        if (why.empty() && !folder && name.back() == '/') why = "is a file named as a folder";
        if (!why.empty()) {
            error = refused(m_Path, "its entry " + quoted(name) + " " + why);
            return -1;
        }
        if (folder && name.back() != '/') name += '/';
        if (archive_entry_size_is_set(entry)) m_Declared += static_cast<std::uint64_t>(archive_entry_size(entry));
        if (m_Declared > kMaxBytes) {
            error = refused(m_Path, "it would unpack to more than " + std::to_string(kMaxBytes >> 20) + " MiB");
            return -1;
        }
        return 1;
    }

private:
    std::string m_Path;
    RegularFile m_File;
    std::unique_ptr<archive, decltype(&archive_read_free)> m_Archive{archive_read_new(), archive_read_free};
    std::string m_Error;
    std::size_t m_Entries = 0;
    std::uint64_t m_Declared = 0;
};

// The folder `name` in `parent`, made when missing; never a link.
Descriptor enterFolder(int parent, const std::string& name, std::string& error) {
    if (::mkdirat(parent, name.c_str(), 0755) != 0 && errno != EEXIST) {
        error = failure("The folder " + quoted(name) + " cannot be made", errno);
        return Descriptor();
    }
    Descriptor folder(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.isOpen()) error = failure("The folder " + quoted(name) + " cannot be opened", errno);
    return folder;
}

bool writeAll(int descriptor, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(descriptor, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

std::string nameRefusal(const std::string& name) {
    if (name.empty()) return "has no name";
    if (name.front() == '/') return "is an absolute path";
    if (name.find('\\') != std::string::npos) return "holds a backslash";
    for (const std::string& part : partsOf(name)) {
        if (part == "..") return "leads out of its folder";
        if (part.empty() || part == ".") return "has an empty or \".\" part";
    }
    return "";
}

std::string list(const std::string& archive, std::vector<std::string>& names) {
    names.clear();
    Reader reader(archive);
    if (!reader.error().empty()) return reader.error();
    std::string name, error;
    bool folder = false;
    int status = 0;
    while ((status = reader.next(name, folder, error)) > 0) names.push_back(name);
    return status < 0 ? error : "";
}

std::string unpack(const std::string& archive, const std::string& folder, const std::string& to) {
    Reader reader(archive);
    if (!reader.error().empty()) return reader.error();
    if (::mkdir(to.c_str(), 0755) != 0) return failure(quoted(to) + " cannot be made", errno);
    const Descriptor root(::open(to.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!root.isOpen()) return failure(quoted(to) + " cannot be opened", errno);

    std::vector<char> block(kBlockSize);
    std::uint64_t unpacked = 0;
    std::string name, error;
    bool isFolder = false;
    int status = 0;
    while ((status = reader.next(name, isFolder, error)) > 0) {
        if (name.size() <= folder.size() || name.compare(0, folder.size(), folder) != 0) continue;
        std::vector<std::string> parts = partsOf(name.substr(folder.size()));
        const std::string last = parts.back();
        parts.pop_back();
        Descriptor parent(::dup(root.get()));
        for (const std::string& part : parts) {
            Descriptor inner = enterFolder(parent.get(), part, error);
            if (!inner.isOpen()) return error;
            parent = std::move(inner);
        }
        if (isFolder) {
            if (!enterFolder(parent.get(), last, error).isOpen()) return error;
            continue;
        }
        const Descriptor file(
            ::openat(parent.get(), last.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!file.isOpen()) return failure(quoted(name) + " cannot be written", errno);
        for (;;) {
            const la_ssize_t got = archive_read_data(reader.get(), block.data(), block.size());
            if (got < 0) return quoted(archive) + " cannot be read: " + reader.problem() + ".";
            if (got == 0) break;
            unpacked += static_cast<std::uint64_t>(got);
            if (unpacked > kMaxBytes) {
                return refused(archive, "it unpacks to more than " + std::to_string(kMaxBytes >> 20) + " MiB");
            }
            if (!writeAll(file.get(), block.data(), static_cast<std::size_t>(got))) {
                return failure(quoted(name) + " cannot be written", errno);
            }
        }
    }
    return status < 0 ? error : "";
}

}  // namespace script_archive
