#include "SeriesSink.h"

#include <algorithm>

Drained drain(AudioReader& reader, SeriesSink& sink, std::int64_t count, const Interrupt& stop,
              std::int64_t& delivered) {
    delivered = 0;
    const bool onlyNumbers = reader.deliversOnlyNumbers();
    while (delivered < count) {
        const std::span<float> room = sink.room(count - delivered);
        if (room.empty()) return Drained::NoRoom;
        const auto want = static_cast<std::int64_t>(room.size());
        std::int64_t filled = 0;
        std::int64_t got = 1;
        while (filled < want && got > 0) {
            got = reader.read(room.data() + filled, want - filled);
            filled += std::clamp<std::int64_t>(got, 0, want - filled);
        }
        sink.take(filled, onlyNumbers);
        delivered += filled;
        if (got < 0) return Drained::Failed;
        if (got == 0) return Drained::Ended;
        if (stop && stop()) return Drained::Stopped;
    }
    return Drained::Done;
}
