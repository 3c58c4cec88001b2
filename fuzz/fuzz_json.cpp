// JSON read and write. The input is JSON text (or not). The library must find
// it valid exactly when RapidJSON does; a valid document must answer every
// lookup as RapidJSON reads the text, and so must the document read back from
// what the library writes, which is always well-formed UTF-8.
#include <cmath>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "cf/COJson.h"
#include "fuzz_check.h"

namespace {

using Value = rapidjson::Value;
using qai_fuzz::textOf;

/// Walks the reference and the library's document side by side. Written and
/// read back, a double may move by a few units in the last place (RapidJSON's
/// default parse, which the library uses, is not exact): near allows that.
void compare(const Value& reference, COJsonValue root, bool near) {
    constexpr int kKinds[] = {COJsonTypeNull,  COJsonTypeBoolean, COJsonTypeBoolean, COJsonTypeObject,
                              COJsonTypeArray, COJsonTypeString,  COJsonTypeDouble};
    std::vector<std::pair<const Value*, COJsonValue>> pending{{&reference, root}};
    while (!pending.empty()) {
        const auto [expected, actual] = pending.back();
        pending.pop_back();
        FUZZ_CHECK(actual.exists() && actual.getIsValidJson());
        // A number beyond the double range parses as infinity; JSON text has
        // none, so it is written (and read back) as null.
        if (near && expected->IsDouble() && !std::isfinite(expected->GetDouble())) {
            FUZZ_CHECK(actual.obtainType() == COJsonTypeNull);
            continue;
        }
        const bool integer = expected->IsInt64() || expected->IsUint64();
        FUZZ_CHECK(actual.obtainType() == (integer ? COJsonTypeInteger : kKinds[expected->GetType()]));
        FUZZ_CHECK(actual.obtainStringView() == (expected->IsString() ? textOf(*expected) : ""));
        if (expected->IsInt64()) FUZZ_CHECK(actual.obtainInt64() == expected->GetInt64());
        if (expected->IsBool()) FUZZ_CHECK(actual.obtainBool() == expected->GetBool());
        if (expected->IsNumber()) {
            const double want = expected->GetDouble(), got = actual.obtainDouble();
            FUZZ_CHECK(want == got ||
                       (near && std::fabs(want - got) <= 1e-12 * std::fmax(std::fabs(want), std::fabs(got))));
        }
        const auto size = static_cast<int32_t>(expected->IsArray() ? expected->Size() : 0);
        FUZZ_CHECK(actual.obtainArraySize() == size && !actual.obtainArrayItem(-1) &&
                   !actual.obtainArrayItem(size));
        for (int32_t i = 0; i < size; ++i) pending.emplace_back(&(*expected)[i], actual.obtainArrayItem(i));
        if (!expected->IsObject()) continue;
        for (const auto& member : expected->GetObject()) {
            // A lookup finds the first of duplicate keys.
            if (&expected->FindMember(member.name)->value == &member.value)
                pending.emplace_back(&member.value, actual.obtainMember(textOf(member.name)));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    rapidjson::Document reference;
    const bool valid = qai_fuzz::parseAsTheLibrary(text, reference);
    COJson document(text);
    FUZZ_CHECK(document.getIsValidJson() == valid);
    FUZZ_CHECK(valid || (!document.obtainRoot().getIsValidJson() && !document.obtainMember("error")));
    if (!valid) return 0;  // an invalid document answers every read empty, as checked
    compare(reference, document.obtainRoot(), false);
    // What is written is JSON in well-formed UTF-8; where every text of the
    // input was well-formed already, it reads back as the same document.
    const std::string written = document.obtainJsonString();
    rapidjson::Document strict;
    FUZZ_CHECK(qai_fuzz::parseAsTheLibrary<qai_fuzz::kWellFormed>(written, strict));
    if (qai_fuzz::parseAsTheLibrary<qai_fuzz::kWellFormed>(text, strict))
        compare(reference, COJson(written).obtainRoot(), true);
    return 0;
}
