#pragma once

#include "RegularFile.h"
#include "WaveformSeries.h"

#include <cstddef>
#include <list>
#include <memory>

// The series of recent loads, so that a request repeated for an unchanged
// file (Live asks again whenever a clip or a Simpler is shown again) is
// answered without decoding. An entry is found by the file's identity
// (device, inode, size, modification time) and the two fractions of the
// request: a file that changed is never answered from here. Bounded in bytes;
// the least recently used entries go first.
class WaveformCache {
public:
    struct Key {
        FileIdentity file;
        float start = 0.0f;
        float length = 0.0f;
        bool operator==(const Key& other) const;
    };

    static constexpr std::size_t kDefaultBytes = std::size_t{16} << 20;

    explicit WaveformCache(std::size_t maxBytes = kDefaultBytes) : m_MaxBytes(maxBytes) {}

    // The entry for the key, now the most recently used; null when none.
    std::shared_ptr<const WaveformSeries> find(const Key& key);
    // Keeps the series under the key (replacing an entry of the same key),
    // then drops the oldest entries until the bound holds again. A series
    // larger than the whole bound is not kept.
    void store(const Key& key, std::shared_ptr<const WaveformSeries> series);

    std::size_t bytes() const { return m_Bytes; }
    std::size_t size() const { return m_Entries.size(); }

private:
    struct Entry {
        Key key;
        std::shared_ptr<const WaveformSeries> series;
    };

    void erase(std::list<Entry>::iterator entry);

    std::size_t m_MaxBytes;
    std::size_t m_Bytes = 0;
    std::list<Entry> m_Entries;  // most recently used first
};
