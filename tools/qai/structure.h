#pragma once
// A database's structure as the library's description JSON (the
// db_structure property), read from a live database or from a file.
#include <optional>
#include <string>
#include <vector>

namespace qai::cli {

struct Column {
    std::string name;
    std::string type;
};

struct ForeignKey {
    std::vector<std::string> fields;
    std::string refSchema;
    std::string refTable;
    std::vector<std::string> refFields;
};

/// A table, view or materialized view.
struct Relation {
    std::string name;
    std::vector<Column> fields;
    std::vector<std::string> pkeys;
    std::vector<ForeignKey> fkeys;
};

struct Schema {
    std::string name;
    std::vector<Relation> tables, views, mviews;
};

struct Catalog {
    bool named = false;  ///< false: no catalog_name member, no catalog line
    std::string name;
    std::vector<Schema> schemas;
};

/// The description JSON, indented, ending with a line feed.
std::string writeStructureJson(const std::vector<Catalog>& catalogs);

/// How a source is read, beyond its name.
struct SourceOptions {
    std::optional<std::string> password;  ///< from --password-file
    std::vector<std::string> tables;      ///< --tables values: the tables and views to keep (all when empty)
};

/// True when source names a database rather than a JSON file: "sqlite:PATH",
/// a path ending in .db or .sqlite, a postgresql:// or a mysql:// URL.
bool isDatabaseSource(const std::string& source);

/// Reads a database's structure, only the tables options keep; returns an
/// error text, empty on success.
std::string readDatabaseStructure(const std::string& source, const SourceOptions& options,
                                  std::vector<Catalog>& catalogs);

/// The description JSON for source, only the tables options keep: a database
/// read now, or a file's text. Returns an error text, empty on success.
std::string loadStructureJson(const std::string& source, const SourceOptions& options, std::string& json);

// One reader per engine; each returns an error text, empty on success.
std::string readSqliteStructure(const std::string& path, std::vector<Catalog>& catalogs);
std::string readPostgresStructure(const std::string& url, const std::optional<std::string>& passwordFromFile,
                                  std::vector<Catalog>& catalogs);
std::string readMysqlStructure(const std::string& url, const std::optional<std::string>& passwordFromFile,
                               std::vector<Catalog>& catalogs);

}  // namespace qai::cli
