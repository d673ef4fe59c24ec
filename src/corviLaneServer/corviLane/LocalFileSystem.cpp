#include "LocalFileSystem.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

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
    std::error_code error;
    if (!fs::is_regular_file(path, error)) return std::nullopt;
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::string data(length, '\0');
    file.seekg(static_cast<std::streamoff>(offset));
    if (!file) return std::string();
    file.read(data.data(), static_cast<std::streamsize>(length));
    data.resize(static_cast<std::size_t>(file.gcount()));
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
