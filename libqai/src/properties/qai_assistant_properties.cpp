#include "properties/qai_assistant_properties.h"

#include <cstdint>
#include <memory>

#include "cf/CFText.h"
#include "cf/COJson.h"
#include "core/qai_diagnostics.h"
#include "core/qai_memory.h"
#include "properties/qai_ddl_renderer.h"

namespace {

const std::string kApiHost = QAIPropertyKey_ApiHost;
const std::string kModel = QAIPropertyKey_Model;
const std::string kUseTemperature = QAIPropertyKey_UseTemperature;
const std::string kTemperature = QAIPropertyKey_Temperature;
const std::string kUserInstructions = QAIPropertyKey_UserInstructions;
const std::string kSystemInstructions = QAIPropertyKey_SystemInstructions;
const std::string kDBStructure = QAIPropertyKey_DBStructure;
const std::string kCombinedInstructions = QAIPropertyKey_CombinedInstructions;

/// The shape of a db_structure document, shown to the host in the key's description.
std::string obtainDBStructureTemplate() {
    COJson json;
    COJsonValue catalog = json.addArrayItem();
    // Each subtree is filled completely before its next sibling is added:
    // adding a member may move the earlier members of the same object.
    catalog.addKeyValue("catalog_id").setString("optional");
    catalog.addKeyValue("catalog_name").setString("optional");
    COJsonValue schema = catalog.addKeyValue("schemas").addArrayItem();
    schema.addKeyValue("schema_id").setString("optional");
    schema.addKeyValue("schema_name").setString("optional");
    COJsonValue table = schema.addKeyValue("tables").addArrayItem();
    table.addKeyValue("name").setString("");
    COJsonValue field = table.addKeyValue("fields").addArrayItem();
    field.addKeyValue("name").setString("");
    field.addKeyValue("type").setString("");
    table.addKeyValue("pkeys").addArrayItem().setString("optional");
    COJsonValue fkey = table.addKeyValue("fkeys").addArrayItem();
    fkey.addKeyValue("fields").addArrayItem().setString("");
    fkey.addKeyValue("ref_schema").setString("optional");
    fkey.addKeyValue("ref_table").setString("");
    fkey.addKeyValue("ref_fields").addArrayItem().setString("");
    schema.addKeyValue("views").addArrayItem();
    schema.addKeyValue("mviews").addArrayItem();
    return json.obtainJsonString();
}

}  // namespace

QAIAssistantProperties::QAIAssistantProperties(IQAIAssistantMemory* memory) { setMemory(memory); }

QAIAssistantProperties::QAIAssistantProperties(const QAIAssistantProperties& other) = default;

QAIAssistantProperties::~QAIAssistantProperties() = default;

std::vector<std::pair<std::string, std::string>> QAIAssistantProperties::obtainPropertyDescriptions() {
    return {
        {kApiHost, "string"},
        {kModel, "string"},
        {kUseTemperature, "boolean"},
        {kTemperature, "double"},
        {kUserInstructions, "string"},
        {kSystemInstructions, "CMVariantMap(string, string)"},
        {kDBStructure, "CMVariant - " + obtainDBStructureTemplate()},
        {kCombinedInstructions, "string - read only"},
    };
}

CMVariant QAIAssistantProperties::obtainProperty(const std::string& key) {
    if (key == kApiHost) return CMVariant(apiHost_);
    if (key == kModel) return CMVariant(model_);
    if (key == kUseTemperature) return CMVariant(int32_t{useTemperature_ ? 1 : 0});
    if (key == kTemperature) return CMVariant(temperature_);
    if (key == kUserInstructions) return CMVariant(userInstructions_);
    if (key == kSystemInstructions) return CMVariant(systemInstructions_);
    if (key == kDBStructure) return CMVariant(obtainDBStructure());
    if (key == kCombinedInstructions) return CMVariant(obtainCombinedInstructions());
    return CMVariant();
}

bool QAIAssistantProperties::setProperty(const std::string& key, const CMVariant& value) {
    const CMVariant::ValueType type = value.getValueType();
    if (key == kApiHost || key == kModel || key == kUserInstructions) {
        if (type != CMVariant::ValueType::String) {
            QAI_DIAGNOSE("value.getValueType() == CMVariant::ValueType::String");
            return false;
        }
        if (key == kApiHost) {
            setApiHost(cfTrimAsString(value.stringValue()), std::string());
        } else {
            (key == kModel ? model_ : userInstructions_) = value.stringValue();
        }
    } else if (key == kUseTemperature) {
        if (type != CMVariant::ValueType::Int) {
            QAI_DIAGNOSE("value.getValueType() == CMVariant::ValueType::Int");
            return false;
        }
        useTemperature_ = value.intValue() != 0;
    } else if (key == kTemperature) {
        if (type != CMVariant::ValueType::Double) {
            QAI_DIAGNOSE("value.getValueType() == CMVariant::ValueType::Double");
            return false;
        }
        temperature_ = value.doubleValue();
    } else if (key == kSystemInstructions) {
        if (type != CMVariant::ValueType::Map) {
            QAI_DIAGNOSE("value.getValueType() == CMVariant::ValueType::Map");
            return false;
        }
        mergeSystemInstructions(value.mapValue());
    } else if (key == kDBStructure) {
        if (!setDBStructure(value)) return false;
    } else if (key == kCombinedInstructions) {
        QAI_DIAGNOSE("false");
        return false;
    } else {
        return false;
    }
    recordAssigned(key);
    return true;
}

void QAIAssistantProperties::mergeSystemInstructions(const CMVariantMap& entries) {
    for (const auto& kv : entries) {
        if (kv.second.getValueType() != CMVariant::ValueType::String) {
            QAI_DIAGNOSE("kv.second.getValueType() == CMVariant::ValueType::String");
            continue;
        }
        std::string text = kv.second.stringValue();
        if (text.empty()) {
            systemInstructions_.erase(kv.first);
        } else {
            systemInstructions_[kv.first] = CMVariant(std::move(text));
        }
    }
}

bool QAIAssistantProperties::setDBStructure(const CMVariant& value) {
    switch (value.getValueType()) {
        case CMVariant::ValueType::List: {
            const std::unique_ptr<COJson> json = cfCreateCOJsonFromCMVariant(value);
            if (IQAIAssistantMemory* memory = obtainMemory()) memory->setSummary(json->obtainJsonString());
            return true;
        }
        case CMVariant::ValueType::String: {
            const std::string text = value.stringValue();
            if (text.empty()) return false;
            COJson json(text);
            if (!json.getIsValidJson()) {
                QAI_DIAGNOSE("json.getIsValidJson()");
                return false;
            }
            // The text is kept as given, not re-serialised.
            if (IQAIAssistantMemory* memory = obtainMemory()) memory->setSummary(text);
            return true;
        }
        default:
            // Accepted and recorded, but there is nothing to store.
            return true;
    }
}

void QAIAssistantProperties::setMemory(IQAIAssistantMemory* memory) {
    // The library's own memory may end while a copy of the store lives on (the
    // assistant released, or its memory replaced): it is held weakly.
    if (auto* own = dynamic_cast<QAIDefaultAssistantMemory*>(memory)) {
        memory_ = nullptr;
        ownMemory_ = own->obtainWeakReference();
    } else {
        memory_ = memory;
        ownMemory_.reset();
    }
}

IQAIAssistantMemory* QAIAssistantProperties::obtainMemory() const {
    // The pointer stays valid after the lock is dropped: the lock owns nothing.
    return memory_ != nullptr ? memory_ : ownMemory_.lock().get();
}

void QAIAssistantProperties::setApiHost(const std::string& host, const std::string& fallback) {
    std::string candidate = cfTrimAsString(host);
    if (candidate.empty()) candidate = fallback;
    // The same test as std::regex("^https?://", ECMAScript | icase), without
    // compiling a pattern on every call: http, an optional s, "://", any case.
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    auto startsWithScheme = [&](std::string_view text) {
        if (text.size() < 7) return false;
        if (lower(text[0]) != 'h' || lower(text[1]) != 't' || lower(text[2]) != 't' ||
            lower(text[3]) != 'p') {
            return false;
        }
        const size_t rest = lower(text[4]) == 's' ? 5 : 4;
        return text.substr(rest, 3) == "://";
    };
    if (!startsWithScheme(candidate)) candidate.insert(0, "https://");
    apiHost_ = std::move(candidate);
}

bool QAIAssistantProperties::isAssigned(std::string_view key) const {
    return assignedKeys_.count(std::string(key)) > 0;
}

bool QAIAssistantProperties::sendsTemperature() const {
    return useTemperature_ && isAssigned(kTemperature) && isAssigned(kUseTemperature);
}

std::string QAIAssistantProperties::obtainSummaryText() const {
    IQAIAssistantMemory* memory = obtainMemory();
    return memory ? memory->obtainSummary() : std::string();
}

CMVariantList QAIAssistantProperties::obtainDBStructure() const {
    return qaiObtainDBStructure(obtainSummaryText());
}

void QAIAssistantProperties::appendDDLText(std::string& out) const {
    // The library's own memory's text is parsed in place; any other memory
    // hands out a copy, released once parsed.
    if (memory_ == nullptr) {
        if (const auto own = ownMemory_.lock()) qaiAppendDDLText(out, own->obtainSummaryRef());
        return;
    }
    std::string text = obtainSummaryText();
    qaiAppendDDLText(out, text, &text);
}

std::string QAIAssistantProperties::obtainDDLText() const {
    std::string out;
    appendDDLText(out);
    return out;
}

const std::string& QAIAssistantProperties::obtainCombinedInstructions() const {
    // The library's own memory is known by its text's revision; a host's
    // memory may change its text behind the library's back, so the text
    // itself is compared.
    const std::shared_ptr<QAIDefaultAssistantMemory> own = memory_ ? nullptr : ownMemory_.lock();
    std::string hostText = memory_ ? memory_->obtainSummary() : std::string();
    const uint64_t revision = own ? own->obtainSummaryRevision() : 0;
    // A new store's empty record stands for what it renders: no memory, no instructions, no text.
    if (rendered_.revision == revision && rendered_.summary == hostText &&
        rendered_.userInstructions == userInstructions_ &&
        rendered_.systemInstructions == systemInstructions_)
        return rendered_.text;

    std::string out;
    if (!userInstructions_.empty()) {
        out += userInstructions_;
        out += "\n\n";
    }
    // std::map keeps the keys in ascending byte order.
    for (const auto& kv : systemInstructions_) {
        out += kv.second.stringValue();
        out += '\n';
    }
    // The DDL is rendered straight after the instructions; it gets one more
    // line feed when there is any.
    const size_t ddlStart = out.size();
    qaiAppendDDLText(out, own ? std::string_view(own->obtainSummaryRef()) : std::string_view(hostText));
    if (out.size() > ddlStart) out += '\n';
    rendered_ = {revision, std::move(hostText), userInstructions_, systemInstructions_, std::move(out)};
    return rendered_.text;
}
