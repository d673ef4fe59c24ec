#pragma once

#include <cstddef>
#include <string_view>

// libplist builds a parsed plist by recursion, one level per nested array or
// dictionary, so that deep nesting overflows the stack; and it copies an
// object of a binary plist once for every reference to it, so that a few
// shared objects can stand for more nodes than memory holds. This check runs
// before libplist sees the data.

// The deepest nesting of arrays and dictionaries accepted (an XML plist's
// <plist> element counting as one); an Info.plist nests 3 or 4 deep.
constexpr std::size_t kMaxPlistDepth = 32;

// Whether libplist may parse `data`: binary when it starts "bplist", else
// XML. Both may nest at most kMaxPlistDepth deep; a binary plist must expand
// to a bounded size and reference no object from inside itself. What cannot
// be read with certainty (markup a parser could read in two ways, a damaged
// binary plist) is refused.
bool plistWithinLimits(std::string_view data);
