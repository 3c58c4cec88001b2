// JSON parse and builder. The input is JSON text (or not). A document that
// parses must answer every lookup as RapidJSON itself reads the text,
// serialise to text that parses back to the same text, and be rebuilt through
// the builder into the same text, even when the builder fills its values only
// after all their siblings were added (which moves values already added).
#include <rapidjson/document.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cf/COJson.h"
#include "fuzz_check.h"
#include "fuzz_oracles.h"

namespace {

using Value = rapidjson::Value;
using qai_fuzz::holdsInvalidUtf8;
using qai_fuzz::isValidUtf8;
using qai_fuzz::keyOf;
using qai_fuzz::withLoneSurrogatesReplaced;

/// Kind code the library must report for value.
int expectedType(const Value& value) {
    switch (value.GetType()) {
        case rapidjson::kObjectType:
            return COJsonTypeObject;
        case rapidjson::kArrayType:
            return COJsonTypeArray;
        case rapidjson::kStringType:
            return COJsonTypeString;
        case rapidjson::kNumberType:
            return value.IsInt64() || value.IsUint64() ? COJsonTypeInteger : COJsonTypeDouble;
        case rapidjson::kTrueType:
        case rapidjson::kFalseType:
            return COJsonTypeBoolean;
        default:
            return COJsonTypeNull;
    }
}

/// Equal, or within rounding when near is set. RapidJSON's default parse
/// (which the library uses) may miss the nearest double by a few units in
/// the last place, so a double read back from serialised text can move.
bool sameNumber(double expected, double actual, bool near) {
    if (expected == actual) return true;
    return near && std::fabs(expected - actual) <= 1e-12 * std::fmax(std::fabs(expected), std::fabs(actual));
}

/// Walks the reference and the library's document side by side.
void compareReads(const Value& reference, COJsonValue root, bool nearDoubles) {
    std::vector<std::pair<const Value*, COJsonValue>> pending{{&reference, root}};
    while (!pending.empty()) {
        const auto [expected, actual] = pending.back();
        pending.pop_back();
        FUZZ_CHECK(actual.exists() && actual.getIsValidJson());
        // A number beyond the double range parses as infinity; JSON text has
        // none, so it is written (and read back) as null.
        if (nearDoubles && expected->IsDouble() && !std::isfinite(expected->GetDouble())) {
            FUZZ_CHECK(actual.obtainType() == COJsonTypeNull);
            continue;
        }
        FUZZ_CHECK(actual.obtainType() == expectedType(*expected));
        if (expected->IsString()) {
            FUZZ_CHECK(actual.obtainStringView() == keyOf(*expected));
        } else {
            FUZZ_CHECK(actual.obtainStringView().empty());
        }
        if (expected->IsInt64()) FUZZ_CHECK(actual.obtainInt64() == expected->GetInt64());
        if (expected->IsBool()) FUZZ_CHECK(actual.obtainBool() == expected->GetBool());
        if (expected->IsNumber())
            FUZZ_CHECK(sameNumber(expected->GetDouble(), actual.obtainDouble(), nearDoubles));
        if (expected->IsArray()) {
            FUZZ_CHECK(actual.obtainArraySize() == static_cast<int32_t>(expected->Size()));
            FUZZ_CHECK(!actual.obtainArrayItem(-1).exists());
            FUZZ_CHECK(!actual.obtainArrayItem(static_cast<int32_t>(expected->Size())).exists());
            for (rapidjson::SizeType i = 0; i < expected->Size(); ++i)
                pending.emplace_back(&(*expected)[i], actual.obtainArrayItem(static_cast<int32_t>(i)));
        } else {
            FUZZ_CHECK(actual.obtainArraySize() == 0);
        }
        if (expected->IsObject()) {
            for (const auto& member : expected->GetObject()) {
                // A lookup finds the first of duplicate keys.
                if (&expected->FindMember(member.name)->value != &member.value) continue;
                pending.emplace_back(&member.value, actual.obtainMember(keyOf(member.name)));
            }
        } else {
            FUZZ_CHECK(!actual.obtainMember("").exists());
        }
    }
}

/// Fills out with a copy of value through the builder, breadth first: every
/// container gets all its children added before any child gets its value, so
/// handles made earlier must survive the moves that later adds cause.
void rebuild(const Value& value, COJsonValue out) {
    std::deque<std::pair<const Value*, COJsonValue>> pending{{&value, out}};
    while (!pending.empty()) {
        auto [source, target] = pending.front();
        pending.pop_front();
        switch (source->GetType()) {
            case rapidjson::kObjectType:
                target.makeObject();
                for (const auto& member : source->GetObject())
                    pending.emplace_back(&member.value, target.addKeyValue(keyOf(member.name)));
                break;
            case rapidjson::kArrayType:
                target.makeArray();
                for (const auto& item : source->GetArray())
                    pending.emplace_back(&item, target.addArrayItem());
                break;
            case rapidjson::kStringType:
                target.setString(keyOf(*source));
                // A string holds no members or items: adds give absent handles.
                FUZZ_CHECK(!target.addKeyValue("k").exists() && !target.addArrayItem().exists());
                break;
            case rapidjson::kNumberType:
                if (source->IsInt())
                    target.setInt(source->GetInt());
                else if (source->IsInt64())
                    target.setInt64(source->GetInt64());
                else
                    target.setDouble(source->GetDouble());
                break;
            case rapidjson::kTrueType:
            case rapidjson::kFalseType:
                target.setBool(source->GetBool());
                break;
            default:
                target.setNull();
                break;
        }
    }
}

bool isUint64Only(const Value& value) { return value.IsUint64() && !value.IsInt64(); }

/// True when the document holds a number above the signed 64-bit range, which
/// the builder has no setter for (it is written as a double then).
bool holdsHugeInteger(const Value& root) {
    std::vector<const Value*> pending{&root};
    while (!pending.empty()) {
        const Value* value = pending.back();
        pending.pop_back();
        if (isUint64Only(*value)) return true;
        if (value->IsArray())
            for (const auto& item : value->GetArray()) pending.push_back(&item);
        if (value->IsObject())
            for (const auto& member : value->GetObject()) pending.push_back(&member.value);
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    COJson document(text);

    rapidjson::Document reference;
    const std::string referenceText = withLoneSurrogatesReplaced(text);
    reference.Parse<rapidjson::kParseIterativeFlag>(referenceText.data(), referenceText.size());
    const bool valid =
        !text.empty() && std::memchr(text.data(), '\0', size) == nullptr && !reference.HasParseError();
    FUZZ_CHECK(document.getIsValidJson() == valid);
    if (!valid) {
        // An invalid document answers every read empty.
        COJsonValue root = document.obtainRoot();
        FUZZ_CHECK(!root.getIsValidJson());
        FUZZ_CHECK(!root.obtainMember("error").exists() && root.obtainArraySize() == 0);
        return 0;
    }

    compareReads(reference, document.obtainRoot(), false);

    // Serialised text is always well-formed UTF-8, and reads back as the same
    // document where the document's texts were well-formed already.
    const std::string serialised = document.obtainJsonString();
    FUZZ_CHECK(isValidUtf8(serialised));
    COJson reparsed(serialised);
    FUZZ_CHECK(reparsed.getIsValidJson());
    if (!holdsInvalidUtf8(reference)) compareReads(reference, reparsed.obtainRoot(), true);

    COJson built;
    rebuild(reference, built.obtainRoot());
    if (!holdsHugeInteger(reference)) FUZZ_CHECK(built.obtainJsonString() == serialised);
    return 0;
}
