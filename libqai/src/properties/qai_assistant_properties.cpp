#include "properties/qai_assistant_properties.h"

#include <cstdint>
#include <memory>

#include "cf/CFText.h"
#include "cf/COJson.h"
#include "core/qai_diagnostics.h"
#include "core/qai_memory.h"
#include "properties/qai_ddl_text.h"

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

bool isKind(const COJsonValue& value, int kind) { return value.obtainType() == kind; }
/// Absent, or present with the given kind (a JSON null is present).
bool isAbsentOrKind(const COJsonValue& value, int kind) { return !value.exists() || isKind(value, kind); }

/// Reads a string value into text; false for any other kind. A non-empty view
/// can only come from a string, so the kind is asked only for an empty one.
bool readString(const COJsonValue& value, std::string_view& text) {
    text = value.obtainStringView();
    return !text.empty() || isKind(value, COJsonTypeString);
}

void appendQuoted(std::string& out, std::string_view name) {
    out += '`';
    out += name;
    out += '`';
}

/// Appends the items of a string array, each quoted, ", " between two.
/// False when an item is not a string.
bool appendQuotedList(std::string& out, const COJsonValue& names) {
    const int32_t count = names.obtainArraySize();
    std::string_view name;
    for (int32_t i = 0; i < count; ++i) {
        if (!readString(names.obtainArrayItem(i), name)) return false;
        if (i > 0) out += ", ";
        appendQuoted(out, name);
    }
    return true;
}

// In the checks below a value that is not an object needs no test of its own:
// its member lookups come back absent, and a required member that is absent
// fails the same way.

/// Writes the foreign keys' clauses; false when one fails a check.
bool appendForeignKeys(std::string& out, const COJsonValue& fkeys) {
    const int32_t count = fkeys.obtainArraySize();
    for (int32_t i = 0; i < count; ++i) {
        const COJsonValue fkey = fkeys.obtainArrayItem(i);
        const COJsonValue fields = fkey.obtainMember("fields");
        const COJsonValue refSchema = fkey.obtainMember("ref_schema");
        const COJsonValue refFields = fkey.obtainMember("ref_fields");
        std::string_view refTable;
        if (!isKind(fields, COJsonTypeArray) || !isAbsentOrKind(refSchema, COJsonTypeString) ||
            !readString(fkey.obtainMember("ref_table"), refTable) || !isKind(refFields, COJsonTypeArray)) {
            return false;
        }
        // A key without columns on either side says nothing; leave it out.
        if (fields.obtainArraySize() == 0 || refFields.obtainArraySize() == 0) continue;
        out += ", FOREIGN KEY(";
        if (!appendQuotedList(out, fields)) return false;
        out += ") REFERENCES ";
        if (refSchema.exists()) {
            appendQuoted(out, refSchema.obtainStringView());
            out += '.';
        }
        appendQuoted(out, refTable);
        out += '(';
        if (!appendQuotedList(out, refFields)) return false;
        out += ')';
    }
    return true;
}

/// Writes one statement; false when a check fails (out then holds a partial statement).
bool appendStatementBody(std::string& out, std::string_view schemaName, std::string_view kind,
                         const COJsonValue& object) {
    const COJsonValue fields = object.obtainMember("fields");
    const COJsonValue pkeys = object.obtainMember("pkeys");
    const COJsonValue fkeys = object.obtainMember("fkeys");
    std::string_view name;
    if (!readString(object.obtainMember("name"), name) || !isKind(fields, COJsonTypeArray) ||
        !isAbsentOrKind(pkeys, COJsonTypeArray) || !isAbsentOrKind(fkeys, COJsonTypeArray)) {
        return false;
    }
    out += "CREATE ";
    out += kind;
    out += ' ';
    if (!schemaName.empty()) {
        appendQuoted(out, schemaName);
        out += '.';
    }
    appendQuoted(out, name);
    out += " (";
    const int32_t fieldCount = fields.obtainArraySize();
    if (fieldCount == 0) {
        // Keys of an object without columns are not rendered.
        out += ')';
        return true;
    }
    std::string_view fieldName;
    std::string_view fieldType;
    for (int32_t i = 0; i < fieldCount; ++i) {
        const COJsonValue field = fields.obtainArrayItem(i);
        if (!readString(field.obtainMember("name"), fieldName) ||
            !readString(field.obtainMember("type"), fieldType)) {
            return false;
        }
        if (i > 0) out += ", ";
        appendQuoted(out, fieldName);
        out += ' ';
        out += fieldType;
    }
    if (pkeys.obtainArraySize() > 0) {
        out += ", PRIMARY KEY(";
        if (!appendQuotedList(out, pkeys)) return false;
        out += ')';
    }
    if (!appendForeignKeys(out, fkeys)) return false;
    out += ')';
    return true;
}

/// Appends one statement to out; on a failed check reports it and appends
/// nothing, whatever had been written.
void appendCreateStatement(std::string& out, std::string_view schemaName, std::string_view kind,
                           const COJsonValue& object) {
    const size_t start = out.size();
    if (!appendStatementBody(out, schemaName, kind, object)) {
        out.resize(start);
        QAI_DIAGNOSE("false");
    }
}

/// The statement for one table, view or materialized view; empty when it fails a check.
std::string obtainCreateStatement(const std::string& schemaName, const std::string& kind,
                                  const COJsonValue* object) {
    std::string statement;
    appendCreateStatement(statement, schemaName, kind, object ? *object : COJsonValue());
    return statement;
}

struct CatalogParts {
    COJsonValue id, name, schemas;
    bool isNameless() const { return !name.exists() || name.obtainStringView().empty(); }
};

struct SchemaParts {
    COJsonValue id, name, tables, views, mviews;
};

/// The object kinds of a schema, in rendering order.
struct ObjectList {
    COJsonValue SchemaParts::*member;
    const char* kind;
};
constexpr ObjectList kObjectLists[] = {
    {&SchemaParts::tables, "TABLE"},
    {&SchemaParts::views, "VIEW"},
    {&SchemaParts::mviews, "MATERIALIZED VIEW"},
};

/// Looks up a catalog's members; reports and returns false when it is malformed.
bool checkCatalog(const COJsonValue& element, CatalogParts& parts) {
    if (!isKind(element, COJsonTypeObject)) {
        QAI_DIAGNOSE("false");
        return false;
    }
    parts.id = element.obtainMember("catalog_id");
    parts.name = element.obtainMember("catalog_name");
    parts.schemas = element.obtainMember("schemas");
    if (!isAbsentOrKind(parts.id, COJsonTypeString) || !isAbsentOrKind(parts.name, COJsonTypeString) ||
        !isKind(parts.schemas, COJsonTypeArray)) {
        QAI_DIAGNOSE("false");
        return false;
    }
    return true;
}

/// Looks up a schema's members; reports and returns false when it is malformed.
bool checkSchema(const COJsonValue& element, SchemaParts& parts) {
    if (!isKind(element, COJsonTypeObject)) {
        QAI_DIAGNOSE("false");
        return false;
    }
    parts.id = element.obtainMember("schema_id");
    parts.name = element.obtainMember("schema_name");
    parts.tables = element.obtainMember("tables");
    parts.views = element.obtainMember("views");
    parts.mviews = element.obtainMember("mviews");
    if (!isAbsentOrKind(parts.id, COJsonTypeString) || !isAbsentOrKind(parts.name, COJsonTypeString) ||
        !isAbsentOrKind(parts.tables, COJsonTypeArray) || !isAbsentOrKind(parts.views, COJsonTypeArray) ||
        !isAbsentOrKind(parts.mviews, COJsonTypeArray)) {
        QAI_DIAGNOSE("false");
        return false;
    }
    return true;
}

/// Renders one checked catalog straight into out, a line feed after every line.
void appendCatalogLines(std::string& out, const CatalogParts& catalog) {
    if (catalog.name.exists()) {
        out += "USE CATALOG `";
        out += catalog.name.obtainStringView();
        out += "`\n";
    }
    const int32_t schemaCount = catalog.schemas.obtainArraySize();
    for (int32_t s = 0; s < schemaCount; ++s) {
        SchemaParts schema;
        if (!checkSchema(catalog.schemas.obtainArrayItem(s), schema)) continue;
        const std::string_view schemaName = schema.name.obtainStringView();
        for (const ObjectList& list : kObjectLists) {
            const COJsonValue& objects = schema.*list.member;
            const int32_t count = objects.obtainArraySize();
            for (int32_t i = 0; i < count; ++i) {
                appendCreateStatement(out, schemaName, list.kind, objects.obtainArrayItem(i));
                out += '\n';
            }
        }
    }
}

/// Appends every element's text and a line feed.
void writeInstructionLines(std::string& out, const CMVariant& lines) {
    for (const CMVariant& line : lines.listRef()) {
        out += line.stringValue();
        out += '\n';
    }
}

}  // namespace

void qaiAppendDDLText(std::string& out, std::string_view text, std::string* owner) {
    const size_t textSize = text.size();
    COJson json(text);
    // The document holds copies of all its strings; a copy of the text can go
    // before the output grows.
    if (owner != nullptr) std::string().swap(*owner);
    if (!json.getIsValidJson()) return;
    const COJsonValue root = json.obtainRoot();
    if (!isKind(root, COJsonTypeArray)) return;
    // Usual descriptions render to about 0.6 times their JSON size; larger
    // ones just let the text grow.
    out.reserve(out.size() + textSize / 4 * 3 + 1);
    // Nameless catalogs first, then named ones, each group in document order:
    // two passes over the checked catalogs, each catalog checked once.
    const int32_t count = root.obtainArraySize();
    enum : uint8_t { Skipped, Nameless, Named };
    std::vector<uint8_t> groups(static_cast<size_t>(count), Skipped);
    for (int32_t i = 0; i < count; ++i) {
        CatalogParts catalog;
        if (checkCatalog(root.obtainArrayItem(i), catalog))
            groups[i] = catalog.isNameless() ? Nameless : Named;
    }
    for (const uint8_t group : {Nameless, Named}) {
        for (int32_t i = 0; i < count; ++i) {
            if (groups[i] != group) continue;
            const COJsonValue element = root.obtainArrayItem(i);
            // Already checked above; this only looks the members up again.
            CatalogParts catalog{element.obtainMember("catalog_id"), element.obtainMember("catalog_name"),
                                 element.obtainMember("schemas")};
            appendCatalogLines(out, catalog);
        }
    }
}

CMVariantList qaiObtainDBStructure(std::string_view text) {
    COJson json(text);
    if (!json.getIsValidJson()) return {};
    const COJsonValue root = json.obtainRoot();
    if (!isKind(root, COJsonTypeArray)) return {};
    CMVariantList nameless;
    CMVariantList named;
    const int32_t count = root.obtainArraySize();
    for (int32_t c = 0; c < count; ++c) {
        CatalogParts catalog;
        if (!checkCatalog(root.obtainArrayItem(c), catalog)) continue;
        CMVariantMap catalogMap;
        CMVariantList catalogLines;
        if (catalog.id.exists()) catalogMap["catalog_id"] = CMVariant(catalog.id.obtainString());
        if (catalog.name.exists()) {
            catalogMap["catalog_name"] = CMVariant(catalog.name.obtainString());
            catalogLines.emplace_back("USE CATALOG `" + catalog.name.obtainString() + "`");
        }
        catalogMap["instructions"] = CMVariant(std::move(catalogLines));
        CMVariantList schemas;
        const int32_t schemaCount = catalog.schemas.obtainArraySize();
        for (int32_t s = 0; s < schemaCount; ++s) {
            SchemaParts schema;
            if (!checkSchema(catalog.schemas.obtainArrayItem(s), schema)) continue;
            CMVariantMap schemaMap;
            if (schema.id.exists()) schemaMap["schema_id"] = CMVariant(schema.id.obtainString());
            if (schema.name.exists()) schemaMap["schema_name"] = CMVariant(schema.name.obtainString());
            const std::string schemaName = schema.name.obtainString();
            CMVariantList statements;
            for (const ObjectList& list : kObjectLists) {
                const COJsonValue& objects = schema.*list.member;
                const int32_t objectCount = objects.obtainArraySize();
                for (int32_t i = 0; i < objectCount; ++i) {
                    const COJsonValue object = objects.obtainArrayItem(i);
                    statements.emplace_back(obtainCreateStatement(schemaName, list.kind, &object));
                }
            }
            schemaMap["instructions"] = CMVariant(std::move(statements));
            schemas.emplace_back(std::move(schemaMap));
        }
        catalogMap["schemas"] = CMVariant(std::move(schemas));
        (catalog.isNameless() ? nameless : named).emplace_back(std::move(catalogMap));
    }
    // The stable partition: nameless catalogs, then named ones, input order kept.
    for (CMVariant& catalog : named) nameless.push_back(std::move(catalog));
    return nameless;
}

std::string qaiObtainDDLTextFromStructure(const CMVariantList& catalogs) {
    std::string out;
    for (const CMVariant& catalog : catalogs) {
        const CMVariantMap catalogMap = catalog.mapValue();
        auto lines = catalogMap.find("instructions");
        if (lines != catalogMap.end() && !lines->second.isNull()) writeInstructionLines(out, lines->second);
        auto schemas = catalogMap.find("schemas");
        if (schemas == catalogMap.end()) continue;
        for (const CMVariant& schema : schemas->second.listRef()) {
            const CMVariantMap schemaMap = schema.mapValue();
            auto schemaLines = schemaMap.find("instructions");
            if (schemaLines != schemaMap.end() && !schemaLines->second.isNull()) {
                writeInstructionLines(out, schemaLines->second);
            }
        }
    }
    return out;
}

QAIAssistantProperties::QAIAssistantProperties(IQAIAssistantMemory* memory) : memory_(memory) {}

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
            if (memory_) memory_->setSummary(json->obtainJsonString());
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
            if (memory_) memory_->setSummary(text);
            return true;
        }
        default:
            // Accepted and recorded, but there is nothing to store.
            return true;
    }
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
    return memory_ ? memory_->obtainSummary() : std::string();
}

CMVariantList QAIAssistantProperties::obtainDBStructure() const {
    return qaiObtainDBStructure(obtainSummaryText());
}

void QAIAssistantProperties::appendDDLText(std::string& out) const {
    // The default memory's text is parsed in place; any other memory hands
    // out a copy, released once parsed.
    if (const auto* own = dynamic_cast<const QAIDefaultAssistantMemory*>(memory_)) {
        qaiAppendDDLText(out, own->obtainSummaryRef());
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

std::string QAIAssistantProperties::obtainCombinedInstructions() const {
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
    appendDDLText(out);
    if (out.size() > ddlStart) out += '\n';
    return out;
}
