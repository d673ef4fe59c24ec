#pragma once

#include "FrontendPorts.h"

// The installer's file operations on the local file system.
class LocalFileSystem : public FileSystem {
public:
    std::vector<std::string> list(const std::string& folder) const override;
    // True for anything at `path`, a dangling symbolic link included.
    bool exists(const std::string& path) const override;
    // Reads regular files only, so that a device or a pipe never blocks or
    // streams forever.
    std::optional<std::string> read(const std::string& path, std::uint64_t offset,
                                    std::size_t length) const override;
    std::string removeAll(const std::string& path) override;
    // Copies symbolic links inside `from` as links, never what they point to.
    std::string copyAll(const std::string& from, const std::string& to) override;
    bool isSymlink(const std::string& path) const override;
    // Swaps the two with renameat2(RENAME_EXCHANGE); where the file system
    // cannot, moves `to` aside, `from` in and the old one to `from`, putting
    // `to` back should the move in fail.
    std::string replace(const std::string& from, const std::string& to) override;
    // Zip archives through libarchive, with the limits of script_archive.
    std::string listArchive(const std::string& archive, std::vector<std::string>& names) const override;
    std::string unpack(const std::string& archive, const std::string& folder, const std::string& to) override;
};
