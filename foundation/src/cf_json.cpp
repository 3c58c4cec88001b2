// The document and value API: COJson and COJsonValue over RapidJSON, and documents built from variants.
#include <rapidjson/document.h>

#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cf/CMVariant.h"
#include "cf/COJson.h"
#include "cf_json_text.h"

namespace {

using Value = rapidjson::Value;
using Document = rapidjson::Document;
using rapidjson::SizeType;

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

}  // namespace

struct COJson::Impl {
    Document doc;
    bool valid = true;
    uint64_t generation = 1;    // bumped by every change; see ChildRef
    std::deque<ChildRef> refs;  // a deque keeps their addresses stable
};

COJson::COJson() : impl_(std::make_unique<Impl>()) {}

COJson::COJson(std::string_view text) : impl_(std::make_unique<Impl>()) {
    impl_->valid = cf_internal::parseJson(text, impl_->doc);
}

COJson::~COJson() = default;

bool COJson::getIsValidJson() const { return impl_->valid; }

COJsonValue COJson::obtainRoot() { return COJsonValue(static_cast<Value*>(&impl_->doc), this); }

std::string COJson::obtainJsonString() const { return cf_internal::serialise(impl_->doc); }

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
    return value != nullptr ? cf_internal::serialise(*value) : std::string();
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
