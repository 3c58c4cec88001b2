// Writing JSON text: compact, any depth, always valid UTF-8 (U+FFFD for each ill-formed sequence).
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "cf_json_text.h"

namespace cf_internal {

namespace {

using Value = rapidjson::Value;
using rapidjson::SizeType;

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

/// Length of the well-formed UTF-8 sequence at text (before end), or 0 when
/// it is ill-formed; `skip` then holds the length of its maximal ill-formed
/// part, which one U+FFFD replaces.
size_t sequenceLength(const unsigned char* text, const unsigned char* end, size_t& skip) {
    const unsigned char lead = text[0];
    if (lead < 0x80) return 1;
    size_t trailing = 0;
    unsigned char low = 0x80;  // range of the first trailing byte
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trailing = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trailing = 2;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trailing = 3;
        if (lead == 0xF0) low = 0x90;   // no overlong forms
        if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        skip = 1;  // a trailing byte alone, or a lead that never starts a valid sequence
        return 0;
    }
    for (size_t i = 1; i <= trailing; ++i) {
        if (text + i == end || text[i] < low || text[i] > high) {
            skip = i;
            return 0;
        }
        low = 0x80;
        high = 0xBF;
    }
    return trailing + 1;
}

/// Offset of the first ill-formed sequence in text; text.size() when there is none.
size_t findIllFormed(std::string_view text) {
    constexpr uint64_t kHighBits = 0x8080808080808080u;
    const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = begin + text.size();
    const auto* at = begin;
    while (at != end) {
        // ASCII a block at a time (the usual text is mostly ASCII), then eight
        // bytes up to the first byte with its high bit set.
        while (end - at >= 32) {
            uint64_t words[4];
            std::memcpy(words, at, sizeof words);
            if (((words[0] | words[1] | words[2] | words[3]) & kHighBits) != 0) break;
            at += 32;
        }
        if (at == end) break;
        if (end - at >= 8) {
            uint64_t word;
            std::memcpy(&word, at, 8);
            const uint64_t high = word & kHighBits;
            if (high == 0) {
                at += 8;
                continue;
            }
            if constexpr (std::endian::native == std::endian::little) at += std::countr_zero(high) / 8;
        }
        if (*at < 0x80) {
            ++at;
            continue;
        }
        size_t skip = 0;
        const size_t length = sequenceLength(at, end, skip);
        if (length == 0) return static_cast<size_t>(at - begin);
        at += length;
    }
    return text.size();
}

/// text with every ill-formed sequence, from offset first on, replaced by U+FFFD.
std::string repairUtf8(std::string_view text, size_t first) {
    std::string out(text.substr(0, first));
    const auto* at = reinterpret_cast<const unsigned char*>(text.data()) + first;
    const auto* const end = reinterpret_cast<const unsigned char*>(text.data()) + text.size();
    while (at != end) {
        size_t skip = 0;
        const size_t length = sequenceLength(at, end, skip);
        if (length == 0) {
            out += kReplacement;
            at += skip;
        } else {
            out.append(reinterpret_cast<const char*>(at), length);
            at += length;
        }
    }
    return out;
}

/// Writes a string or a key as valid UTF-8.
template <typename Writer>
void writeText(Writer& writer, const char* data, SizeType size, bool isKey) {
    const std::string_view text(data, size);
    const size_t first = findIllFormed(text);
    std::string repaired;
    if (first != text.size()) {
        repaired = repairUtf8(text, first);
        size_t length = std::min<size_t>(repaired.size(), std::numeric_limits<SizeType>::max());
        // Past the length a JSON string can have (gigabytes): cut at a character's start.
        while (length < repaired.size() && (static_cast<unsigned char>(repaired[length]) & 0xC0) == 0x80)
            --length;
        data = repaired.data();
        size = static_cast<SizeType>(length);
    }
    if (isKey)
        writer.Key(data, size);
    else
        writer.String(data, size);
}

template <typename Writer>
void writeScalar(const Value& value, Writer& writer) {
    switch (value.GetType()) {
        case rapidjson::kStringType:
            writeText(writer, value.GetString(), value.GetStringLength(), false);
            break;
        case rapidjson::kNumberType:
            if (value.IsInt64())
                writer.Int64(value.GetInt64());
            else if (value.IsUint64())
                writer.Uint64(value.GetUint64());
            else if (std::isfinite(value.GetDouble()))
                writer.Double(value.GetDouble());
            else
                writer.Null();  // JSON has no text for NaN or infinity
            break;
        case rapidjson::kTrueType:
            writer.Bool(true);
            break;
        case rapidjson::kFalseType:
            writer.Bool(false);
            break;
        default:
            writer.Null();
            break;
    }
}

}  // namespace

/// Walks the tree with an explicit stack, so the depth of a document never
/// bounds the call stack.
std::string serialise(const Value& root) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    struct Frame {
        const Value* container;
        SizeType next;
    };
    std::vector<Frame> stack;
    auto open = [&](const Value& value) {
        if (value.IsObject()) {
            writer.StartObject();
            stack.push_back({&value, 0});
        } else if (value.IsArray()) {
            writer.StartArray();
            stack.push_back({&value, 0});
        } else {
            writeScalar(value, writer);
        }
    };
    open(root);
    while (!stack.empty()) {
        const Value& container = *stack.back().container;
        const SizeType index = stack.back().next++;
        if (container.IsObject()) {
            if (index < container.MemberCount()) {
                const auto& member = *(container.MemberBegin() + index);
                writeText(writer, member.name.GetString(), member.name.GetStringLength(), true);
                open(member.value);
            } else {
                writer.EndObject();
                stack.pop_back();
            }
        } else if (index < container.Size()) {
            open(container[index]);
        } else {
            writer.EndArray();
            stack.pop_back();
        }
    }
    return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace cf_internal
