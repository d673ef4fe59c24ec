#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What tells one version of a file from another: the device and inode it
// lives on, its size and the time it was last modified.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedNanoseconds = 0;
    bool operator==(const FileIdentity&) const = default;
};

// A local file open for reading, and only ever a regular one: a path that
// leads (after its links) to a directory, a FIFO, a socket or a device is
// refused, without blocking on it, so that a name from outside can never
// stall the reader or make it read an endless stream. The descriptor is
// closed with the object.
class RegularFile {
public:
    RegularFile() = default;
    ~RegularFile();
    RegularFile(RegularFile&& other) noexcept;
    RegularFile& operator=(RegularFile&& other) noexcept;
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;

    // The file at `path`, or a closed object whose error() says why not.
    static RegularFile open(const std::string& path);
    // The identity of the regular file at `path` as it is now; none when
    // there is no regular file there.
    static std::optional<FileIdentity> identify(const std::string& path);

    bool isOpen() const { return m_Descriptor >= 0; }
    int descriptor() const { return m_Descriptor; }
    const std::string& path() const { return m_Path; }
    const FileIdentity& identity() const { return m_Identity; }
    const std::string& error() const { return m_Error; }
    // Whether the open failed because nothing is at the path.
    bool missing() const { return m_Missing; }

    // Up to `length` bytes from `offset`; fewer at the end of the file, -1 on
    // a read error. Does not move any shared position. Nothing past the size
    // the file had when it was opened is ever read: a file that another
    // program keeps appending to reads as it was.
    long long readAt(void* into, std::size_t length, std::int64_t offset) const;
    // The whole file as it was opened (less, should it have shrunk); false
    // when it cannot be read, cannot be held, or is larger than `limit`.
    bool readAll(std::vector<std::uint8_t>& bytes, std::size_t limit = SIZE_MAX) const;

private:
    void close();

    int m_Descriptor = -1;
    std::string m_Path;
    FileIdentity m_Identity;
    std::string m_Error;
    bool m_Missing = false;
};
