#include "structure.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tables.h"

namespace qai::cli {
namespace {

void writeString(std::string& out, const std::string& text) {
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

void writeNames(std::string& out, const std::vector<std::string>& names) {
    out += '[';
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) out += ", ";
        writeString(out, names[i]);
    }
    out += ']';
}

// One relation per line group: name and keys on the first line, one column a line.
void writeRelation(std::string& out, const Relation& relation, const std::string& indent) {
    out += indent + "{\"name\": ";
    writeString(out, relation.name);
    out += ", \"fields\": [";
    for (size_t i = 0; i < relation.fields.size(); ++i) {
        out += i ? ",\n" : "\n";
        out += indent + "  {\"name\": ";
        writeString(out, relation.fields[i].name);
        out += ", \"type\": ";
        writeString(out, relation.fields[i].type);
        out += '}';
    }
    out += relation.fields.empty() ? "]" : "\n" + indent + "]";
    if (!relation.pkeys.empty()) {
        out += ",\n" + indent + "  \"pkeys\": ";
        writeNames(out, relation.pkeys);
    }
    if (!relation.fkeys.empty()) {
        out += ",\n" + indent + "  \"fkeys\": [";
        for (size_t i = 0; i < relation.fkeys.size(); ++i) {
            const ForeignKey& key = relation.fkeys[i];
            out += i ? ",\n" : "\n";
            out += indent + "    {\"fields\": ";
            writeNames(out, key.fields);
            out += ", \"ref_schema\": ";
            writeString(out, key.refSchema);
            out += ", \"ref_table\": ";
            writeString(out, key.refTable);
            out += ", \"ref_fields\": ";
            writeNames(out, key.refFields);
            out += '}';
        }
        out += "\n" + indent + "  ]";
    }
    out += '}';
}

void writeRelations(std::string& out, const char* member, const std::vector<Relation>& relations) {
    if (relations.empty()) return;
    out += ",\n      \"";
    out += member;
    out += "\": [\n";
    for (size_t i = 0; i < relations.size(); ++i) {
        if (i) out += ",\n";
        writeRelation(out, relations[i], "        ");
    }
    out += "\n      ]";
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool endsWith(const std::string& text, const char* suffix) {
    size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

}  // namespace

std::string writeStructureJson(const std::vector<Catalog>& catalogs) {
    std::string out = "[";
    for (size_t c = 0; c < catalogs.size(); ++c) {
        const Catalog& catalog = catalogs[c];
        out += c ? ",\n  {" : "\n  {";
        if (catalog.named) {
            out += "\"catalog_name\": ";
            writeString(out, catalog.name);
            out += ", ";
        }
        out += "\"schemas\": [";
        for (size_t s = 0; s < catalog.schemas.size(); ++s) {
            const Schema& schema = catalog.schemas[s];
            out += s ? ",\n    {" : "\n    {";
            out += "\"schema_name\": ";
            writeString(out, schema.name);
            writeRelations(out, "tables", schema.tables);
            writeRelations(out, "views", schema.views);
            writeRelations(out, "mviews", schema.mviews);
            out += '}';
        }
        out += catalog.schemas.empty() ? "]}" : "\n  ]}";
    }
    out += catalogs.empty() ? "]\n" : "\n]\n";
    return out;
}

bool isDatabaseSource(const std::string& source) {
    return startsWith(source, "sqlite:") || startsWith(source, "postgresql://") ||
           startsWith(source, "postgres://") || startsWith(source, "mysql://") ||
           startsWith(source, "mariadb://") || endsWith(source, ".db") || endsWith(source, ".sqlite");
}

std::string readDatabaseStructure(const std::string& source, const SourceOptions& options,
                                  std::vector<Catalog>& catalogs) {
    std::string error;
    if (startsWith(source, "postgresql://") || startsWith(source, "postgres://"))
        error = readPostgresStructure(source, options.password, catalogs);
    else if (startsWith(source, "mysql://") || startsWith(source, "mariadb://"))
        error = readMysqlStructure(source, options.password, catalogs);
    else
        error = readSqliteStructure(startsWith(source, "sqlite:") ? source.substr(7) : source, catalogs);
    TableFilter(options.tables).keepIn(catalogs);
    return error;
}

std::string loadStructureJson(const std::string& source, const SourceOptions& options, std::string& json) {
    if (isDatabaseSource(source)) {
        std::vector<Catalog> catalogs;
        std::string error = readDatabaseStructure(source, options, catalogs);
        if (error.empty()) json = writeStructureJson(catalogs);
        return error;
    }
    std::ifstream in(source, std::ios::binary);
    if (!in) return "cannot read " + source + ": " + std::strerror(errno);
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return "cannot read " + source;
    json = TableFilter(options.tables).keepIn(text.str());
    return "";
}

}  // namespace qai::cli
