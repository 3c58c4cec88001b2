// COJson and COJsonValue over RapidJSON. Parsing is iterative and reports
// invalid text instead of throwing; serialising walks the tree with an
// explicit stack, so the depth of a document never bounds the call stack.
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cf/CMVariant.h"
#include "cf/COJson.h"

namespace {

using Value = rapidjson::Value;
using Document = rapidjson::Document;
using rapidjson::SizeType;

constexpr unsigned kParseFlags = rapidjson::kParseIterativeFlag;

// A value added by a builder is addressed by (parent, position) rather than by
// its address: appending to an array or object moves its elements, and a handle
// kept from an earlier add must still reach its value afterwards. Such handles
// carry a pointer to a ChildRef with the low bit set; lookups hand out the
// value's address directly and allocate nothing.
//
// Every change that may move or drop values (an add, or a reset of a non-empty
// container) bumps the document's generation; a ChildRef remembers the address
// it resolved to and reuses it while the generation is unchanged, so a handle
// used right after it was made resolves in constant time.
struct ChildRef {
    void* parent;  // tagged like a handle
    SizeType index;
    bool inArray;
    const uint64_t* documentGeneration;
    uint64_t generation;  // of `cached`
    Value* cached;
};

constexpr uintptr_t kRefTag = 1;

void* tagRef(ChildRef* ref) { return reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(ref) | kRefTag); }

ChildRef* asRef(void* handle) {
    const auto bits = reinterpret_cast<uintptr_t>(handle);
    return (bits & kRefTag) != 0 ? reinterpret_cast<ChildRef*>(bits & ~kRefTag) : nullptr;
}

bool isCurrent(const ChildRef& ref) { return ref.generation == *ref.documentGeneration; }

/// The value ref stands for, found from its parent's value (null: gone); cached.
Value* refresh(ChildRef& ref, Value* parent) {
    Value* child = nullptr;
    // The parent may have been reset or changed kind since: then the child is gone.
    if (parent != nullptr && ref.inArray && parent->IsArray() && ref.index < parent->Size())
        child = &(*parent)[ref.index];
    else if (parent != nullptr && !ref.inArray && parent->IsObject() && ref.index < parent->MemberCount())
        child = &(parent->MemberBegin() + ref.index)->value;
    ref.cached = child;
    ref.generation = *ref.documentGeneration;
    return child;
}

Value* resolve(void* handle) {
    ChildRef* ref = asRef(handle);
    if (ref == nullptr) return static_cast<Value*>(handle);
    if (isCurrent(*ref)) return ref->cached;
    // Up the chain of stale handles to a current one or a plain address, then
    // back down refreshing each: a loop, as a chain may be as deep as the
    // document. Short chains, the usual ones, need no heap.
    constexpr size_t kInline = 16;
    ChildRef* shortChain[kInline];
    std::vector<ChildRef*> longChain;
    size_t count = 0;
    void* above = handle;
    for (ChildRef* stale = ref; stale != nullptr && !isCurrent(*stale); stale = asRef(above)) {
        if (count < kInline)
            shortChain[count] = stale;
        else
            longChain.push_back(stale);
        ++count;
        above = stale->parent;
    }
    const ChildRef* top = asRef(above);
    Value* value = top != nullptr ? top->cached : static_cast<Value*>(above);
    while (count > 0) {
        --count;
        value = refresh(*(count < kInline ? shortChain[count] : longChain[count - kInline]), value);
    }
    return value;
}

// Called before a value is replaced: handles into its children go stale.
void willOverwrite(const Value& value, uint64_t& generation) {
    if ((value.IsArray() && !value.Empty()) || (value.IsObject() && value.MemberCount() > 0)) ++generation;
}

// RapidJSON asserts on a null pointer even for an empty string.
const char* nonNull(std::string_view text) { return text.data() != nullptr ? text.data() : ""; }

bool fitsSizeType(std::string_view text) { return text.size() <= std::numeric_limits<SizeType>::max(); }

// ---- UTF-8 at the edges ----------------------------------------------------
// Text is kept as it came, whatever its bytes; what goes out as JSON is always
// valid UTF-8, and a lone surrogate escape coming in is no reason to refuse a
// whole document. Both become U+FFFD.

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

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/// The code unit of the \uXXXX escape at text[at]; -1 when there is none.
long escapedUnit(std::string_view text, size_t at) {
    if (at > text.size() || text.size() - at < 6 || text[at] != '\\' || text[at + 1] != 'u') return -1;
    long unit = 0;
    for (size_t i = at + 2; i < at + 6; ++i) {
        const int digit = hexDigit(text[i]);
        if (digit < 0) return -1;
        unit = unit * 16 + digit;
    }
    return unit;
}

/// Position of the first backslash in text from `from` on; text.size() when
/// none, also for a `from` past the end (an escape cut by the end of text).
size_t findBackslash(std::string_view text, size_t from) {
    if (from >= text.size()) return text.size();
    constexpr uint64_t kOnes = 0x0101010101010101u;
    constexpr uint64_t kHighBits = 0x8080808080808080u;
    constexpr uint64_t kBackslashes = 0x5C5C5C5C5C5C5C5Cu;
    // Flags the backslashes among eight bytes; the lowest flag is always one.
    const auto flags = [&](size_t at) {
        uint64_t bytes;
        std::memcpy(&bytes, text.data() + at, 8);
        const uint64_t other = bytes ^ kBackslashes;
        return (other - kOnes) & ~other & kHighBits;
    };
    size_t at = from;
    if constexpr (std::endian::native == std::endian::little) {
        for (; text.size() - at >= 32; at += 32) {
            const uint64_t found[] = {flags(at), flags(at + 8), flags(at + 16), flags(at + 24)};
            if ((found[0] | found[1] | found[2] | found[3]) == 0) continue;
            for (size_t word = 0;; ++word) {
                if (found[word] != 0)
                    return at + word * 8 + static_cast<size_t>(std::countr_zero(found[word])) / 8;
            }
        }
    }
    while (at < text.size() && text[at] != '\\') ++at;
    return at;
}

/// text with every lone surrogate escape (a high one not followed by a low
/// one, or a low one alone) turned into \uFFFD; empty when there is none.
/// Backslashes occur in valid JSON only in strings, each starting an escape.
std::string replaceLoneSurrogates(std::string_view text) {
    std::string out;
    for (size_t at = findBackslash(text, 0); at < text.size(); at = findBackslash(text, at)) {
        // Most escapes are no surrogate (\n, \", \u00e9): one look decides.
        if (text.size() - at < 6 || text[at + 1] != 'u' || (text[at + 2] != 'd' && text[at + 2] != 'D')) {
            at += 2;
            continue;
        }
        const long unit = escapedUnit(text, at);
        if (unit < 0xD800 || unit > 0xDFFF) {  // another escape, or none
            at += 2;
            continue;
        }
        const long next = unit <= 0xDBFF ? escapedUnit(text, at + 6) : -1;
        if (next >= 0xDC00 && next <= 0xDFFF) {
            at += 12;  // a pair
            continue;
        }
        if (out.empty()) out.assign(text);
        out.replace(at + 2, 4, "FFFD");
        at += 6;
    }
    return out;
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

}  // namespace

struct COJson::Impl {
    Document doc;
    bool valid = true;
    uint64_t generation = 1;    // bumped by every change; see ChildRef
    std::deque<ChildRef> refs;  // a deque keeps their addresses stable
};

COJson::COJson() : impl_(std::make_unique<Impl>()) {}

COJson::COJson(std::string_view text) : impl_(std::make_unique<Impl>()) {
    // A raw NUL byte cannot occur in valid JSON; RapidJSON would take it for the end.
    if (text.empty() || std::memchr(text.data(), '\0', text.size()) != nullptr) {
        impl_->valid = false;
        return;
    }
    const std::string repaired = replaceLoneSurrogates(text);
    if (!repaired.empty()) text = repaired;
    impl_->doc.Parse<kParseFlags>(text.data(), text.size());
    if (impl_->doc.HasParseError()) {
        impl_->doc.SetNull();
        impl_->valid = false;
    }
}

COJson::~COJson() = default;

bool COJson::getIsValidJson() const { return impl_->valid; }

COJsonValue COJson::obtainRoot() { return COJsonValue(static_cast<Value*>(&impl_->doc), this); }

std::string COJson::obtainJsonString() const { return serialise(impl_->doc); }

bool COJsonValue::getIsValidJson() const {
    return doc_ != nullptr && resolve(value_) != nullptr && doc_->impl_->valid;
}

int COJsonValue::obtainType() const {
    const Value* value = resolve(value_);
    if (value == nullptr) return COJsonTypeNone;
    switch (value->GetType()) {
        case rapidjson::kObjectType:
            return COJsonTypeObject;
        case rapidjson::kArrayType:
            return COJsonTypeArray;
        case rapidjson::kStringType:
            return COJsonTypeString;
        case rapidjson::kNumberType:
            return value->IsInt64() || value->IsUint64() ? COJsonTypeInteger : COJsonTypeDouble;
        case rapidjson::kTrueType:
        case rapidjson::kFalseType:
            return COJsonTypeBoolean;
        default:
            return COJsonTypeNull;
    }
}

COJsonValue COJsonValue::obtainMember(std::string_view key) const {
    Value* value = resolve(value_);
    if (value == nullptr || !value->IsObject() || !fitsSizeType(key)) return {};
    const Value name(rapidjson::StringRef(nonNull(key), static_cast<SizeType>(key.size())));
    const auto found = value->FindMember(name);
    if (found == value->MemberEnd()) return {};
    return COJsonValue(&found->value, doc_);
}

int32_t COJsonValue::obtainArraySize() const {
    const Value* value = resolve(value_);
    if (value == nullptr || !value->IsArray()) return 0;
    const SizeType size = value->Size();
    return size > static_cast<SizeType>(std::numeric_limits<int32_t>::max())
               ? std::numeric_limits<int32_t>::max()
               : static_cast<int32_t>(size);
}

COJsonValue COJsonValue::obtainArrayItem(int32_t index) const {
    Value* value = resolve(value_);
    if (value == nullptr || !value->IsArray() || index < 0 || static_cast<SizeType>(index) >= value->Size())
        return {};
    return COJsonValue(&(*value)[static_cast<SizeType>(index)], doc_);
}

std::string COJsonValue::obtainString() const { return std::string(obtainStringView()); }

std::string_view COJsonValue::obtainStringView() const {
    const Value* value = resolve(value_);
    if (value == nullptr || !value->IsString()) return {};
    return std::string_view(value->GetString(), value->GetStringLength());
}

int32_t COJsonValue::obtainInt() const {
    const int64_t wide = obtainInt64();
    if (wide > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (wide < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(wide);
}

int64_t COJsonValue::obtainInt64() const {
    const Value* value = resolve(value_);
    if (value == nullptr) return 0;
    if (value->IsInt64()) return value->GetInt64();
    if (value->IsUint64()) return std::numeric_limits<int64_t>::max();  // above the signed range
    return 0;
}

double COJsonValue::obtainDouble() const {
    const Value* value = resolve(value_);
    return value != nullptr && value->IsNumber() ? value->GetDouble() : 0.0;
}

bool COJsonValue::obtainBool() const {
    const Value* value = resolve(value_);
    return value != nullptr && value->IsBool() && value->GetBool();
}

COJsonValue COJsonValue::addKeyValue(std::string_view key) {
    Value* value = resolve(value_);
    if (value == nullptr || !fitsSizeType(key)) return {};
    if (value->IsNull()) value->SetObject();
    if (!value->IsObject()) return {};
    auto& impl = *doc_->impl_;
    auto& allocator = impl.doc.GetAllocator();
    Value name(nonNull(key), static_cast<SizeType>(key.size()), allocator);
    value->AddMember(name, Value(), allocator);
    ++impl.generation;
    Value* added = &(value->MemberEnd() - 1)->value;
    impl.refs.push_back({value_, value->MemberCount() - 1, false, &impl.generation, impl.generation, added});
    return COJsonValue(tagRef(&impl.refs.back()), doc_);
}

COJsonValue COJsonValue::addArrayItem() {
    Value* value = resolve(value_);
    if (value == nullptr) return {};
    if (value->IsNull()) value->SetArray();
    if (!value->IsArray()) return {};
    auto& impl = *doc_->impl_;
    value->PushBack(Value(), impl.doc.GetAllocator());
    ++impl.generation;
    Value* added = &(*value)[value->Size() - 1];
    impl.refs.push_back({value_, value->Size() - 1, true, &impl.generation, impl.generation, added});
    return COJsonValue(tagRef(&impl.refs.back()), doc_);
}

void COJsonValue::makeArray() {
    if (Value* value = resolve(value_)) {
        willOverwrite(*value, doc_->impl_->generation);
        value->SetArray();
    }
}

void COJsonValue::makeObject() {
    if (Value* value = resolve(value_)) {
        willOverwrite(*value, doc_->impl_->generation);
        value->SetObject();
    }
}

void COJsonValue::setString(std::string_view text) {
    Value* value = resolve(value_);
    if (value == nullptr || !fitsSizeType(text)) return;
    willOverwrite(*value, doc_->impl_->generation);
    value->SetString(nonNull(text), static_cast<SizeType>(text.size()), doc_->impl_->doc.GetAllocator());
}

void COJsonValue::setInt(int32_t number) {
    if (Value* value = resolve(value_)) {
        willOverwrite(*value, doc_->impl_->generation);
        value->SetInt(number);
    }
}

void COJsonValue::setInt64(int64_t number) {
    if (Value* value = resolve(value_)) {
        willOverwrite(*value, doc_->impl_->generation);
        value->SetInt64(number);
    }
}

void COJsonValue::setDouble(double number) {
    Value* value = resolve(value_);
    if (value == nullptr) return;
    willOverwrite(*value, doc_->impl_->generation);
    if (std::isfinite(number))
        value->SetDouble(number);
    else
        value->SetNull();  // JSON has no text for NaN or infinity
}

void COJsonValue::setBool(bool flag) {
    if (Value* value = resolve(value_)) {
        willOverwrite(*value, doc_->impl_->generation);
        value->SetBool(flag);
    }
}

void COJsonValue::setNull() {
    if (Value* value = resolve(value_)) {
        willOverwrite(*value, doc_->impl_->generation);
        value->SetNull();
    }
}

std::string COJsonValue::obtainJsonString() const {
    const Value* value = resolve(value_);
    return value != nullptr ? serialise(*value) : std::string();
}

/// The document inside a COJson, for builders in this file that are not its members.
struct COJsonAccess {
    static Document& document(COJson& json) { return json.impl_->doc; }
};

std::unique_ptr<COJson> cfCreateCOJsonFromCMVariant(const CMVariant& variant) {
    auto json = std::make_unique<COJson>();
    Document& document = COJsonAccess::document(*json);
    auto& allocator = document.GetAllocator();
    // Built top-down with a work list. A container gets all its members or
    // items (null) before any of them is filled, so the places handed to the
    // work list never move.
    std::vector<std::pair<const CMVariant*, Value*>> pending{{&variant, &document}};
    while (!pending.empty()) {
        const auto [from, to] = pending.back();
        pending.pop_back();
        switch (from->getValueType()) {
            case CMVariant::ValueType::String: {
                const std::string text = from->stringValue();
                if (fitsSizeType(text))
                    to->SetString(nonNull(text), static_cast<SizeType>(text.size()), allocator);
                break;
            }
            case CMVariant::ValueType::Int:
                to->SetInt(from->intValue());
                break;
            case CMVariant::ValueType::Double:
                if (std::isfinite(from->doubleValue())) to->SetDouble(from->doubleValue());  // else null
                break;
            case CMVariant::ValueType::Map: {
                const CMVariantMap& map = from->mapRef();
                to->SetObject();
                for (const auto& entry : map) {
                    if (!fitsSizeType(entry.first)) continue;  // no JSON text could hold it
                    to->AddMember(
                        Value(nonNull(entry.first), static_cast<SizeType>(entry.first.size()), allocator),
                        Value(), allocator);
                }
                auto member = to->MemberBegin();
                for (const auto& entry : map) {
                    if (fitsSizeType(entry.first)) pending.emplace_back(&entry.second, &(member++)->value);
                }
                break;
            }
            case CMVariant::ValueType::List: {
                const CMVariantList& list = from->listRef();
                to->SetArray();
                to->Reserve(static_cast<SizeType>(list.size()), allocator);
                for (size_t i = 0; i < list.size(); ++i) to->PushBack(Value(), allocator);
                for (SizeType i = 0; i < list.size(); ++i) pending.emplace_back(&list[i], &(*to)[i]);
                break;
            }
            default:
                break;  // null
        }
    }
    return json;
}
