#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A zip archive of the Live script, as it may come with the tablet app, read
// with libarchive and never trusted: an archive is refused whole when any of
// its entries is anything but a plain file or folder (a symbolic or hard
// link, a device), when a name is absolute, holds "..", "." or an empty
// part, or a backslash, or when the archive holds more than kMaxEntries
// entries or more than kMaxBytes once unpacked (counted as it unpacks too,
// whatever the archive declares).
namespace script_archive {

constexpr std::size_t kMaxEntries = 10000;
constexpr std::uint64_t kMaxBytes = std::uint64_t{64} << 20;

// Why an entry named `name` may not be unpacked; empty when it may.
std::string nameRefusal(const std::string& name);

// The names of the entries of `archive` (folders end with "/"), in the
// archive's order. Returns an empty text when every entry passed, else why
// the archive is refused.
std::string list(const std::string& archive, std::vector<std::string>& names);

// Writes the entries below `folder` (a folder inside the archive, "" for the
// whole archive, else ending with "/") into `to`, a folder that must not
// exist yet: it is made, and nothing is ever written outside it (no link is
// followed below it). Returns an empty text on success, else why not; what
// was written by then stays for the caller to remove.
std::string unpack(const std::string& archive, const std::string& folder, const std::string& to);

}  // namespace script_archive
