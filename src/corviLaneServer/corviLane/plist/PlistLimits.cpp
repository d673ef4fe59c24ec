#include "PlistLimits.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>
#include <vector>

namespace {

constexpr std::size_t npos = std::string_view::npos;

// ---- XML ----
//
// The scanner follows the elements that libplist nests (<plist>, <array>,
// <dict>) with a stack of their names, and skips what libplist skips:
// comments, CDATA sections, processing instructions and the document type.
// Wherever a parser that honours quotes and one that does not could disagree
// on where markup ends, the document is refused, so that nothing can hide an
// opening tag from the count or slip in a closing one libplist never sees.
// Counting more than libplist nests is harmless: it only refuses sooner.

enum class Element : std::uint8_t { None, Plist, Array, Dict };

// The blanks that end a tag name for libplist.
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool equalsIgnoringCase(std::string_view text, std::string_view lower) {
    return text.size() == lower.size() &&
           std::equal(text.begin(), text.end(), lower.begin(),
                      [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

// libplist compares tag names as C strings, so a NUL byte ends one as much as
// a blank, "/" or ">" does.
Element elementNamed(std::string_view tag) {
    tag = tag.substr(0, std::min(tag.size(), tag.find_first_of(std::string_view(" \t\r\n\f\v/>\0", 10))));
    if (equalsIgnoringCase(tag, "array")) return Element::Array;
    if (equalsIgnoringCase(tag, "dict")) return Element::Dict;
    if (equalsIgnoringCase(tag, "plist")) return Element::Plist;
    return Element::None;
}

// The position just past the first ">" from `begin`, the markup's end; npos
// when there is none or when the markup could end elsewhere for a parser that
// honours quotes: a "<" inside it, a quote before its first blank (the tag
// name, read without regard to quotes), or a quoted value left open or
// holding a quote of the other kind, "<" or ">".
std::size_t markupEnd(std::string_view text, std::size_t begin) {
    bool pastName = false;
    for (std::size_t i = begin; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '>') return i + 1;
        if (c == '<') return npos;
        if (isBlank(c)) {
            pastName = true;
        } else if (c == '"' || c == '\'') {
            const std::size_t close = text.find(c, i + 1);
            if (!pastName || close == npos || text.substr(i + 1, close - i - 1).find_first_of("\"'<>") != npos) {
                return npos;
            }
            i = close;
        }
    }
    return npos;
}

// The end of a section that runs to `terminator` (comments, CDATA), just
// past it; npos when the section is left open.
std::size_t sectionEnd(std::string_view text, std::size_t begin, std::string_view terminator) {
    const std::size_t at = text.find(terminator, begin);
    return at == npos ? npos : at + terminator.size();
}

bool xmlWithinLimits(std::string_view text) {
    std::vector<Element> open;
    open.reserve(kMaxPlistDepth);
    for (std::size_t pos = text.find('<'); pos != npos; pos = text.find('<', pos)) {
        const std::string_view rest = text.substr(pos);
        std::size_t end = npos;
        if (rest.starts_with("<!--")) {
            end = sectionEnd(text, pos + 4, "-->");
        } else if (rest.starts_with("<![CDATA[")) {
            end = sectionEnd(text, pos + 9, "]]>");
        } else if (rest.starts_with("<!DOCTYPE")) {
            // An internal subset ("[...]") holds markup of its own: refused.
            end = markupEnd(text, pos + 9);
            if (end != npos && text.substr(pos, end - pos).find('[') != npos) return false;
        } else if (rest.starts_with("<?")) {
            end = markupEnd(text, pos + 2);
            // A ">" before "?>" would end the instruction here but not for libplist.
            if (end != npos && text[end - 2] != '?') return false;
        } else if (rest.starts_with("<!")) {
            return false;
        } else {
            const bool closing = rest.starts_with("</");
            const std::size_t name = pos + (closing ? 2 : 1);
            end = markupEnd(text, name);
            if (end == npos) return false;
            const Element element = elementNamed(text.substr(name, end - name));
            if (element == Element::None) {
                // Not a container: nests nothing.
            } else if (closing) {
                if (open.empty() || open.back() != element) return false;
                open.pop_back();
            } else if (text[end - 2] != '/') {  // "<array/>" is empty
                if (open.size() == kMaxPlistDepth) return false;
                open.push_back(element);
            }
        }
        if (end == npos) return false;
        pos = end;
    }
    return true;
}

// ---- Binary ----
//
// "bplist00", the objects, a table of their offsets, and a 32-byte trailer:
// 6 unused bytes, the size of an offset, the size of an object reference,
// then the number of objects, the top object and the offset table's position,
// each 8 bytes big-endian. An object starts with a marker byte: its type in
// the high nibble, a size in the low one (0xF: the size follows as an integer
// object, marker 0x1n with 2^n bytes big-endian).
//
// The walk follows references from the top object with a stack of its own,
// as deep as the nesting it accepts. Each object is measured once: its
// height (containers nested inside it, itself included) and the size of the
// copy libplist makes of it, its references expanded.

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kTrailerSize = 32;
// Estimated bytes libplist spends on a node besides its text or data, and the
// most an expanded plist may take: a real Info.plist takes well under 1 MiB.
constexpr std::uint64_t kNodeCost = 128;
constexpr std::uint64_t kMaxExpandedSize = std::uint64_t{16} << 20;

constexpr unsigned kTypeData = 0x4, kTypeAscii = 0x5, kTypeUtf16 = 0x6;
constexpr unsigned kTypeArray = 0xA, kTypeSet = 0xC, kTypeDict = 0xD;

std::uint64_t bigEndian(const unsigned char* bytes, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value = (value << 8) | bytes[i];
    return value;
}

bool isIntegerSize(std::uint64_t size) { return size == 1 || size == 2 || size == 4 || size == 8; }

class BinaryPlist {
public:
    struct Object {
        bool container = false;
        std::uint64_t refsAt = 0, refCount = 0;  // containers: a dictionary's keys, then its values
        std::uint64_t size = kNodeCost;          // expanded, without what it references
    };

    explicit BinaryPlist(std::string_view text)
        : m_Bytes(reinterpret_cast<const unsigned char*>(text.data())), m_Size(text.size()) {}

    // Reads and checks the trailer against the data's size.
    bool open() {
        if (m_Size < kHeaderSize + kTrailerSize) return false;
        const unsigned char* trailer = m_Bytes + m_Size - kTrailerSize;
        m_OffsetSize = trailer[6];
        m_RefSize = trailer[7];
        m_Count = bigEndian(trailer + 8, 8);
        m_Top = bigEndian(trailer + 16, 8);
        m_TableAt = bigEndian(trailer + 24, 8);
        const std::uint64_t tableEnd = m_Size - kTrailerSize;
        return isIntegerSize(m_OffsetSize) && isIntegerSize(m_RefSize) && m_Count > 0 && m_Top < m_Count &&
               m_TableAt >= kHeaderSize && m_TableAt <= tableEnd && m_Count <= (tableEnd - m_TableAt) / m_OffsetSize;
    }

    std::uint64_t count() const { return m_Count; }
    std::uint64_t top() const { return m_Top; }

    // The reference at `index` of a container's references; nothing when it
    // names no object.
    std::optional<std::uint64_t> ref(const Object& container, std::uint64_t index) const {
        const std::uint64_t object = bigEndian(m_Bytes + container.refsAt + index * m_RefSize, m_RefSize);
        return object < m_Count ? std::optional(object) : std::nullopt;
    }

    // Object `index` (below count()); nothing when it does not lie whole
    // between the header and the offset table.
    std::optional<Object> object(std::uint64_t index) const {
        const std::uint64_t at = bigEndian(m_Bytes + m_TableAt + index * m_OffsetSize, m_OffsetSize);
        if (at < kHeaderSize || at >= m_TableAt) return std::nullopt;
        const unsigned type = m_Bytes[at] >> 4;
        std::uint64_t length = m_Bytes[at] & 0xF, pos = at + 1;
        std::uint64_t unit = 0;  // bytes per counted item
        switch (type) {
            case kTypeData: case kTypeAscii: unit = 1; break;
            case kTypeUtf16: unit = 2; break;
            case kTypeArray: case kTypeSet: unit = m_RefSize; break;
            case kTypeDict: unit = 2 * m_RefSize; break;
            default: return Object{};  // a number, date, boolean, UID...: nothing counted
        }
        if (length == 0xF) {
            if (pos >= m_TableAt || (m_Bytes[pos] >> 4) != 0x1 || (m_Bytes[pos] & 0xF) > 3) return std::nullopt;
            const std::uint64_t lengthSize = std::uint64_t{1} << (m_Bytes[pos] & 0xF);
            if (m_TableAt - pos - 1 < lengthSize) return std::nullopt;
            length = bigEndian(m_Bytes + pos + 1, lengthSize);
            pos += 1 + lengthSize;
        }
        if (length > (m_TableAt - pos) / unit) return std::nullopt;
        Object object;
        if (type >= kTypeArray) {
            object.container = true;
            object.refsAt = pos;
            object.refCount = type == kTypeDict ? 2 * length : length;
        } else {
            // libplist turns UTF-16 into UTF-8: up to 3 bytes for each 2.
            object.size += type == kTypeUtf16 ? 3 * length : length;
        }
        return object;
    }

private:
    const unsigned char* m_Bytes;
    std::uint64_t m_Size;
    std::uint64_t m_OffsetSize = 0, m_RefSize = 0, m_Count = 0, m_Top = 0, m_TableAt = 0;
};

bool binaryWithinLimits(std::string_view text) {
    BinaryPlist plist(text);
    if (!text.starts_with("bplist00") || !plist.open()) return false;
    const std::optional<BinaryPlist::Object> top = plist.object(plist.top());
    if (!top) return false;
    if (!top->container) return true;

    // Per object: 0 not yet reached, kOpen on the walk's stack, else its height + 1.
    constexpr std::uint8_t kOpen = 0xFF;
    static_assert(kMaxPlistDepth + 1 < kOpen);
    std::vector<std::uint8_t> mark(plist.count(), 0);
    std::vector<std::uint32_t> expanded(plist.count(), 0);
    static_assert(kMaxExpandedSize <= UINT32_MAX);

    struct Step {
        std::uint64_t index;
        BinaryPlist::Object object;
        std::uint64_t next = 0;      // the next reference to follow
        std::uint64_t size;          // expanded so far
        std::size_t innerHeight = 0;  // the highest object referenced so far
    };
    std::vector<Step> path;
    path.reserve(kMaxPlistDepth);
    path.push_back({plist.top(), *top, 0, top->size});
    mark[plist.top()] = kOpen;
    while (true) {
        Step& step = path.back();
        std::uint64_t size = 0;
        std::size_t height = 0;
        if (step.next == step.object.refCount) {
            // Measured: hand the container's measures to the one referencing it.
            height = step.innerHeight + 1;
            size = step.size;
            if (height > kMaxPlistDepth) return false;
            mark[step.index] = static_cast<std::uint8_t>(height + 1);
            expanded[step.index] = static_cast<std::uint32_t>(size);
            path.pop_back();
            if (path.empty()) return true;
        } else {
            const std::optional<std::uint64_t> index = plist.ref(step.object, step.next++);
            if (!index || mark[*index] == kOpen) return false;  // no such object, or a cycle
            if (mark[*index] != 0) {
                height = mark[*index] - 1u;
                size = expanded[*index];
            } else {
                const std::optional<BinaryPlist::Object> object = plist.object(*index);
                if (!object) return false;
                if (object->container) {
                    if (path.size() == kMaxPlistDepth) return false;
                    mark[*index] = kOpen;
                    path.push_back({*index, *object, 0, object->size});
                    continue;
                }
                if (object->size > kMaxExpandedSize) return false;
                mark[*index] = 1;
                expanded[*index] = static_cast<std::uint32_t>(object->size);
                size = object->size;
            }
        }
        Step& parent = path.back();
        parent.innerHeight = std::max(parent.innerHeight, height);
        parent.size += size;
        if (parent.size > kMaxExpandedSize) return false;
    }
}

}  // namespace

bool plistWithinLimits(std::string_view data) {
    // libplist reads data starting "bplist00" as binary; any other "bplist" is refused.
    return data.starts_with("bplist") ? binaryWithinLimits(data) : xmlWithinLimits(data);
}
