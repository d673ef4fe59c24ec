#pragma once

#include "AudioReader.h"

#include <cstdint>
#include <functional>
#include <span>

// Where the samples of a mono series go as a reader delivers them: the whole
// series held, the streaming analysis, a count.
class SeriesSink {
public:
    virtual ~SeriesSink() = default;
    // Room for the next samples, at most `wanted` of them; empty when there
    // is none to be had (memory is short).
    virtual std::span<float> room(std::int64_t wanted) = 0;
    // The first `count` samples of the last room were written. `onlyNumbers`:
    // the reader delivers finite numbers only.
    virtual void take(std::int64_t count, bool onlyNumbers) = 0;
};

// How a drain ended.
enum class Drained {
    Done,     // every sample asked for arrived
    Ended,    // the reader had no more
    Failed,   // decoding failed
    Stopped,  // the stop said so
    NoRoom,   // the sink had no room (memory is short)
};

// The one loop that takes a reader's samples: fills the sink's room whole
// from `reader`, block after block, until `count` samples have arrived, the
// reader ends or fails, or `stop` (which may be empty; asked after every
// block) says so. `delivered` receives how many samples arrived.
Drained drain(AudioReader& reader, SeriesSink& sink, std::int64_t count, const Interrupt& stop,
              std::int64_t& delivered);
