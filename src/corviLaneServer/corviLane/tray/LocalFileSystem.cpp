#include "LocalFileSystem.h"

#include "RegularFile.h"
#include "ScriptArchive.h"

#include <fcntl.h>
#include <stdio.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

std::string moveFailure(const std::string& from, const std::string& to, int error) {
    return "\"" + from + "\" could not be moved to \"" + to + "\": " +
           std::error_code(error, std::generic_category()).message() + ".";
}

}  // namespace

std::vector<std::string> LocalFileSystem::list(const std::string& folder) const {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool LocalFileSystem::exists(const std::string& path) const {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

std::optional<std::string> LocalFileSystem::read(const std::string& path, std::uint64_t offset,
                                                 std::size_t length) const {
    const RegularFile file = RegularFile::open(path);
    if (!file.isOpen()) return std::nullopt;
    std::string data(length, '\0');
    const long long got = file.readAt(data.data(), length, static_cast<std::int64_t>(offset));
    if (got < 0) return std::nullopt;
    data.resize(static_cast<std::size_t>(got));
    return data;
}

std::string LocalFileSystem::removeAll(const std::string& path) {
    std::error_code error;
    fs::remove_all(path, error);
    if (!error) return "";
    return "\"" + path + "\" could not be removed: " + error.message() + ".";
}

std::string LocalFileSystem::copyAll(const std::string& from, const std::string& to) {
    std::error_code error;
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
    if (!error) return "";
    return "\"" + from + "\" could not be copied to \"" + to + "\": " + error.message() + ".";
}

bool LocalFileSystem::isSymlink(const std::string& path) const {
    std::error_code error;
    return fs::is_symlink(fs::symlink_status(path, error));
}

std::string LocalFileSystem::replace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0) return "";
    const int error = errno;
    if (error == ENOENT && !exists(to)) {
        // Nothing to replace.
        if (::rename(from.c_str(), to.c_str()) == 0) return "";
        return moveFailure(from, to, errno);
    }
    if (error != EINVAL && error != ENOSYS && error != EOPNOTSUPP) return moveFailure(from, to, error);

    // The file system cannot swap: move the old one aside under a free name first.
    std::string aside = from + ".old";
    for (int attempt = 1; exists(aside); ++attempt) {
        if (attempt == 100) return "No free name beside \"" + from + "\" to move \"" + to + "\" aside.";
        aside = from + ".old" + std::to_string(attempt);
    }
    if (::rename(to.c_str(), aside.c_str()) != 0) return moveFailure(to, aside, errno);
    if (::rename(from.c_str(), to.c_str()) != 0) {
        std::string failure = moveFailure(from, to, errno);
        if (::rename(aside.c_str(), to.c_str()) != 0) {
            failure += " What \"" + to + "\" held is now at \"" + aside + "\".";
        }
        return failure;
    }
    if (::rename(aside.c_str(), from.c_str()) != 0) {
        // `from` is where callers look for the old one; failing that, drop it here.
        std::error_code ignored;
        fs::remove_all(aside, ignored);
    }
    return "";
}

std::string LocalFileSystem::listArchive(const std::string& archive, std::vector<std::string>& names) const {
    return script_archive::list(archive, names);
}

std::string LocalFileSystem::unpack(const std::string& archive, const std::string& folder, const std::string& to) {
    return script_archive::unpack(archive, folder, to);
}
