#include "WaveformCache.h"

#include <cstring>

// The fractions compare by their bits: a NaN finds its own entry.
bool WaveformCache::Key::operator==(const Key& other) const {
    return file == other.file && std::memcmp(&start, &other.start, sizeof start) == 0 &&
           std::memcmp(&length, &other.length, sizeof length) == 0;
}

std::shared_ptr<const WaveformSeries> WaveformCache::find(const Key& key) {
    for (auto entry = m_Entries.begin(); entry != m_Entries.end(); ++entry) {
        if (entry->key == key) {
            m_Entries.splice(m_Entries.begin(), m_Entries, entry);
            return entry->series;
        }
    }
    return nullptr;
}

void WaveformCache::store(const Key& key, std::shared_ptr<const WaveformSeries> series) {
    for (auto entry = m_Entries.begin(); entry != m_Entries.end(); ++entry) {
        if (entry->key == key) {
            erase(entry);
            break;
        }
    }
    if (!series || series->bytes() > m_MaxBytes) return;
    m_Bytes += series->bytes();
    m_Entries.push_front({key, std::move(series)});
    while (m_Bytes > m_MaxBytes) erase(std::prev(m_Entries.end()));
}

void WaveformCache::erase(std::list<Entry>::iterator entry) {
    m_Bytes -= entry->series->bytes();
    m_Entries.erase(entry);
}
