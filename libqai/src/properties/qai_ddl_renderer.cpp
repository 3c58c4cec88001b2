// Renders the property store's database description (db_structure) as DDL.
#include "properties/qai_ddl_renderer.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cf/COJson.h"
#include "core/qai_diagnostics.h"

namespace {

// A malformed description is the store's input, so the reports name the
// store's source file (the one beside this file) rather than the renderer's.
constexpr std::string_view kThisSource = __FILE__;
constexpr std::string_view kStoreFileName = "qai_assistant_properties.cpp";
constexpr size_t kDirectoryLength = kThisSource.find_last_of("/\\") + 1;  // 0 without a directory
constexpr auto kStoreSource = [] {
    std::array<char, kDirectoryLength + kStoreFileName.size() + 1> path{};
    for (size_t i = 0; i < kDirectoryLength; ++i) path[i] = kThisSource[i];
    for (size_t i = 0; i < kStoreFileName.size(); ++i) path[kDirectoryLength + i] = kStoreFileName[i];
    return path;
}();

void diagnose(const char* condition) { ::qai::diag::report(condition, kStoreSource.data()); }

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
        diagnose("false");
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
        diagnose("false");
        return false;
    }
    parts.id = element.obtainMember("catalog_id");
    parts.name = element.obtainMember("catalog_name");
    parts.schemas = element.obtainMember("schemas");
    if (!isAbsentOrKind(parts.id, COJsonTypeString) || !isAbsentOrKind(parts.name, COJsonTypeString) ||
        !isKind(parts.schemas, COJsonTypeArray)) {
        diagnose("false");
        return false;
    }
    return true;
}

/// Looks up a schema's members; reports and returns false when it is malformed.
bool checkSchema(const COJsonValue& element, SchemaParts& parts) {
    if (!isKind(element, COJsonTypeObject)) {
        diagnose("false");
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
        diagnose("false");
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
        const CMVariantMap& catalogMap = catalog.mapRef();
        auto lines = catalogMap.find("instructions");
        if (lines != catalogMap.end() && !lines->second.isNull()) writeInstructionLines(out, lines->second);
        auto schemas = catalogMap.find("schemas");
        if (schemas == catalogMap.end()) continue;
        for (const CMVariant& schema : schemas->second.listRef()) {
            const CMVariantMap& schemaMap = schema.mapRef();
            auto schemaLines = schemaMap.find("instructions");
            if (schemaLines != schemaMap.end() && !schemaLines->second.isNull()) {
                writeInstructionLines(out, schemaLines->second);
            }
        }
    }
    return out;
}
