// Database descriptions: the input is the JSON text a host assigns as
// db_structure. The same description is handed over three ways (as JSON text,
// as nested variants, and as text in a host's own memory), and all three must
// give the same combined instructions and the same catalog list; the combined
// text must also be exactly the lines of that catalog list.
#include <rapidjson/document.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cf/CFAppFactory.h"
#include "cf/CMRest.h"
#include "cf/CMVariant.h"
#include "fuzz_check.h"
#include "fuzz_oracles.h"
#include "qai.h"

namespace {

/// A host's memory: keeps the description as given, no conversation.
class HostMemory final : public IQAIAssistantMemory {
public:
    void setSummary(const std::string& text) override { summary_ = text; }
    std::string obtainSummary() override { return summary_; }
    void addMessage(int32_t /*role*/, const std::string& /*text*/) override {}
    std::vector<QAIMemoryRecord> obtainMessages(int32_t /*limit*/) override { return {}; }

private:
    std::string summary_;
};

struct FreeObject {
    void operator()(IQAIObject* object) const { QAIFreeObject(object); }
};

/// The description as nested variants, read with RapidJSON itself rather
/// than with the library: objects become maps (the first of duplicate keys
/// wins, as in a member lookup), booleans and 32-bit numbers Int, other
/// numbers Double. Iterative, so that any depth reaches the library.
CMVariant toVariant(const rapidjson::Value& root) {
    struct Frame {
        const rapidjson::Value* value;
        rapidjson::SizeType next;
        CMVariantList list;
        CMVariantMap map;
    };
    std::vector<Frame> stack;
    CMVariant result;
    // Hands a finished value to the container being filled, or returns it.
    auto finish = [&](CMVariant done) {
        if (stack.empty()) {
            result = std::move(done);
            return;
        }
        Frame& parent = stack.back();
        if (parent.value->IsArray()) {
            parent.list.push_back(std::move(done));
            return;
        }
        const rapidjson::Value& name = (parent.value->MemberBegin() + (parent.next - 1))->name;
        parent.map.emplace(std::string(name.GetString(), name.GetStringLength()), std::move(done));
    };
    auto visit = [&](const rapidjson::Value& value) {
        switch (value.GetType()) {
            case rapidjson::kObjectType:
            case rapidjson::kArrayType:
                stack.push_back({&value, 0, {}, {}});
                break;
            case rapidjson::kStringType:
                finish(CMVariant(std::string(value.GetString(), value.GetStringLength())));
                break;
            case rapidjson::kNumberType:
                finish(value.IsInt() ? CMVariant(int32_t{value.GetInt()}) : CMVariant(value.GetDouble()));
                break;
            case rapidjson::kTrueType:
            case rapidjson::kFalseType:
                finish(CMVariant(int32_t{value.GetBool() ? 1 : 0}));
                break;
            default:
                finish(CMVariant());
                break;
        }
    };
    visit(root);
    while (!stack.empty()) {
        Frame& top = stack.back();
        const bool isArray = top.value->IsArray();
        const rapidjson::SizeType size = isArray ? top.value->Size() : top.value->MemberCount();
        if (top.next < size) {
            const rapidjson::Value& child =
                isArray ? (*top.value)[top.next] : (top.value->MemberBegin() + top.next)->value;
            ++top.next;
            visit(child);  // may grow the stack: top is not used after this
            continue;
        }
        CMVariant done = isArray ? CMVariant(std::move(top.list)) : CMVariant(std::move(top.map));
        stack.pop_back();
        finish(std::move(done));
    }
    return result;
}

/// What one assistant gives back for its description.
struct Rendered {
    bool accepted = false;
    std::string combined;
    CMVariant structure;
};

Rendered render(IQAIAssistant* assistant, const CMVariant& description) {
    Rendered out;
    assistant->updateProperties([&](IQAIProperties* properties) {
        // A refused assignment keeps the previous description: start empty.
        FUZZ_CHECK(properties->setProperty("db_structure", CMVariant(CMVariantList{})));
        out.accepted = properties->setProperty("db_structure", description);
        out.combined = properties->obtainProperty("combined_instructions").stringValue();
        out.structure = properties->obtainProperty("db_structure");
    });
    return out;
}

/// The lines of a catalog list joined as the combined text holds them.
std::string joinLines(const CMVariant& structure) {
    std::string text;
    auto appendLines = [&text](const CMVariantMap& map) {
        const auto lines = map.find("instructions");
        FUZZ_CHECK(lines != map.end() && lines->second.getValueType() == CMVariant::ValueType::List);
        for (const CMVariant& line : lines->second.listRef()) {
            FUZZ_CHECK(line.getValueType() == CMVariant::ValueType::String);
            text += line.stringValue();
            text += '\n';
        }
    };
    FUZZ_CHECK(structure.getValueType() == CMVariant::ValueType::List);
    for (const CMVariant& catalog : structure.listRef()) {
        const CMVariantMap catalogMap = catalog.mapValue();
        appendLines(catalogMap);
        const auto schemas = catalogMap.find("schemas");
        FUZZ_CHECK(schemas != catalogMap.end());
        for (const CMVariant& schema : schemas->second.listRef()) appendLines(schema.mapValue());
    }
    if (!text.empty()) text += '\n';
    return text;
}

struct Assistants {
    std::unique_ptr<IQAIAssistant, FreeObject> ownMemory;
    HostMemory hostMemory;
    std::unique_ptr<IQAIAssistant, FreeObject> withHostMemory;

    Assistants() {
        ownMemory.reset(
            QAICreateAssistant(QAIAssistantType_OPENAI, cfCreateHTTPPoolCenter(), "k", "", nullptr));
        withHostMemory.reset(
            QAICreateAssistant(QAIAssistantType_OPENAI, cfCreateHTTPPoolCenter(), "k", "", &hostMemory));
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qai_fuzz::silenceDiagnostics();
    static Assistants* const assistants = new Assistants();
    const std::string text(reinterpret_cast<const char*>(data), size);

    // The library reads a lone surrogate escape as U+FFFD; RapidJSON itself
    // refuses a lone high one.
    rapidjson::Document reference;
    const std::string referenceText = qai_fuzz::withLoneSurrogatesReplaced(text);
    reference.Parse<rapidjson::kParseIterativeFlag>(referenceText.data(), referenceText.size());
    const bool valid =
        !text.empty() && std::memchr(text.data(), '\0', text.size()) == nullptr && !reference.HasParseError();

    const Rendered asText = render(assistants->ownMemory.get(), CMVariant(text));
    const Rendered inHostMemory = render(assistants->withHostMemory.get(), CMVariant(text));
    FUZZ_CHECK(asText.accepted == valid);
    FUZZ_CHECK(inHostMemory.accepted == valid);
    FUZZ_CHECK(asText.combined == inHostMemory.combined);
    FUZZ_CHECK(asText.structure == inHostMemory.structure);
    FUZZ_CHECK(asText.combined == joinLines(asText.structure));
    if (!valid) {
        FUZZ_CHECK(asText.combined.empty());
        return 0;
    }

    // A String value is JSON text again, not the description itself.
    if (reference.IsString()) return 0;
    // Only a list is read as variants; any other kind is accepted and ignored.
    const Rendered asVariants = render(assistants->ownMemory.get(), toVariant(reference));
    FUZZ_CHECK(asVariants.accepted);
    if (reference.IsArray() && qai_fuzz::holdsInvalidUtf8(reference)) {
        // Variants are stored as JSON text the library writes, which repairs
        // ill-formed UTF-8; text is stored as given.
        FUZZ_CHECK(qai_fuzz::isValidUtf8(asVariants.combined));
    } else if (reference.IsArray()) {
        FUZZ_CHECK(asVariants.combined == asText.combined);
        FUZZ_CHECK(asVariants.structure == asText.structure);
    } else {
        FUZZ_CHECK(asVariants.combined.empty());
        FUZZ_CHECK(asText.combined.empty());
    }
    return 0;
}
