// Database descriptions: the input is the JSON text a host assigns as
// db_structure. The same description is handed over three ways (as JSON
// text, as text in a host's own memory, and as nested variants), and all
// three must give the same combined instructions and the same catalog list.
#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "cf/CFAppFactory.h"
#include "cf/CMRest.h"
#include "cf/CMVariant.h"
#include "fuzz_check.h"
#include "qai.h"

namespace {

/// A host's memory: keeps the description as given, no conversation.
struct HostMemory final : IQAIAssistantMemory {
    void setSummary(const std::string& text) override { summary = text; }
    std::string obtainSummary() override { return summary; }
    void addMessage(int32_t, const std::string&) override {}
    std::vector<QAIMemoryRecord> obtainMessages(int32_t) override { return {}; }
    std::string summary;
};

/// The description as nested variants, read with RapidJSON rather than with
/// the library: objects become maps (the first of duplicate keys wins, as in
/// a member lookup), booleans and 32-bit numbers Int, other numbers Double.
/// Deeper than the harness's stack allows, tooDeep is set instead.
CMVariant toVariant(const rapidjson::Value& value, int depth, bool& tooDeep) {
    if (depth > 1000) tooDeep = true;
    if (tooDeep) return {};
    if (value.IsObject()) {
        CMVariantMap map;
        for (const auto& member : value.GetObject())
            map.emplace(qai_fuzz::textOf(member.name), toVariant(member.value, depth + 1, tooDeep));
        return CMVariant(std::move(map));
    }
    if (value.IsArray()) {
        CMVariantList list;
        for (const auto& item : value.GetArray()) list.push_back(toVariant(item, depth + 1, tooDeep));
        return CMVariant(std::move(list));
    }
    if (value.IsString()) return CMVariant(qai_fuzz::textOf(value));
    if (value.IsBool() || value.IsInt())
        return CMVariant(int32_t{value.IsBool() ? value.GetBool() : value.GetInt()});
    return value.IsNumber() ? CMVariant(value.GetDouble()) : CMVariant();
}

/// What an assistant makes of a description: accepted, combined text, catalog list.
std::tuple<bool, std::string, CMVariant> render(IQAIAssistant* assistant, const CMVariant& description) {
    std::tuple<bool, std::string, CMVariant> out;
    assistant->updateProperties([&](IQAIProperties* properties) {
        // A refused assignment keeps the previous description: start empty.
        FUZZ_CHECK(properties->setProperty("db_structure", CMVariant(CMVariantList{})));
        out = {properties->setProperty("db_structure", description),
               properties->obtainProperty("combined_instructions").stringValue(),
               properties->obtainProperty("db_structure")};
    });
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qai_fuzz::silenceDiagnostics();
    static HostMemory hostMemory;
    static IQAIAssistant* const ownMemory =
        QAICreateAssistant(QAIAssistantType_OPENAI, cfCreateHTTPPoolCenter(), "k", "", nullptr);
    static IQAIAssistant* const withHostMemory =
        QAICreateAssistant(QAIAssistantType_OPENAI, cfCreateHTTPPoolCenter(), "k", "", &hostMemory);
    const std::string text(reinterpret_cast<const char*>(data), size);
    rapidjson::Document reference;
    const bool valid = qai_fuzz::parseAsTheLibrary(text, reference);

    const auto asText = render(ownMemory, CMVariant(text));
    FUZZ_CHECK(std::get<0>(asText) == valid);
    FUZZ_CHECK(render(withHostMemory, CMVariant(text)) == asText);
    if (!valid) FUZZ_CHECK(std::get<1>(asText).empty());
    // A String is JSON text again, not the description itself. Variants are
    // stored as JSON text the library writes, which repairs ill-formed UTF-8
    // that text keeps: those are left out.
    rapidjson::Document strict;
    if (!valid || reference.IsString() || !qai_fuzz::parseAsTheLibrary<qai_fuzz::kWellFormed>(text, strict))
        return 0;
    bool tooDeep = false;
    const CMVariant variants = toVariant(reference, 0, tooDeep);
    if (tooDeep) return 0;
    const auto asVariants = render(ownMemory, variants);
    // Only a list is read as variants; any other kind is accepted and ignored.
    FUZZ_CHECK(std::get<0>(asVariants));
    FUZZ_CHECK(reference.IsArray() ? asVariants == asText
                                   : std::get<1>(asVariants).empty() && std::get<1>(asText).empty());
    return 0;
}
