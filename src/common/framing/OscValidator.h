#pragma once

#include <cstddef>

// Strict structural check of an OSC 1.0 packet before any parser looks at it:
// every string terminated and padded inside the bytes, every argument and
// blob inside the bytes, array brackets balanced, bundle elements sized,
// aligned and inside their bundle, and bundles nested at most kMaxDepth deep.
// A packet that passes can be walked by oscpack's parsing classes without
// reading outside it.
class OscValidator {
public:
    static constexpr int kMaxDepth = 32;

    static bool isValidPacket(const char* data, std::size_t size);
    static bool isValidMessage(const char* data, std::size_t size);
    static bool isValidBundle(const char* data, std::size_t size, int depth = 1);
};
