// SQLite: one catalog without a name holding the schema "main". A foreign key
// written without target columns refers to the parent's primary key.
#include <map>

#include "structure.h"

#if defined(QAI_CLI_SQLITE)
#include <sqlite3.h>
#endif

namespace qai::cli {

#if !defined(QAI_CLI_SQLITE)

std::string readSqliteStructure(const std::string&, std::vector<Catalog>&) {
    return "this build of qai cannot read SQLite databases; give a JSON description instead";
}

#else

namespace {

std::string columnText(sqlite3_stmt* statement, int column) {
    const unsigned char* text = sqlite3_column_text(statement, column);
    return text ? reinterpret_cast<const char*>(text) : "";
}

class Reader {
public:
    explicit Reader(sqlite3* db) : db_(db) {}

    // Runs sql with one text parameter (when given) and calls row for each row.
    template <typename Row>
    bool query(const char* sql, const std::string* parameter, Row row) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK) return false;
        if (parameter) sqlite3_bind_text(statement, 1, parameter->c_str(), -1, SQLITE_TRANSIENT);
        int status;
        while ((status = sqlite3_step(statement)) == SQLITE_ROW) row(statement);
        sqlite3_finalize(statement);
        return status == SQLITE_DONE;
    }

    std::string error() const { return sqlite3_errmsg(db_); }

    // Columns and primary key (in key order) of a table or view.
    bool readColumns(Relation& relation) {
        std::map<int, std::string> keyOrder;
        bool ok = query("SELECT name, type, pk FROM pragma_table_info(?1) ORDER BY cid", &relation.name,
                        [&](sqlite3_stmt* row) {
                            relation.fields.push_back({columnText(row, 0), columnText(row, 1)});
                            if (int position = sqlite3_column_int(row, 2))
                                keyOrder[position] = columnText(row, 0);
                        });
        for (auto& entry : keyOrder) relation.pkeys.push_back(entry.second);
        return ok;
    }

    bool readForeignKeys(Relation& relation) {
        std::map<int, ForeignKey> keys;  // by constraint id
        bool ok =
            query("SELECT id, \"table\", \"from\", \"to\" FROM pragma_foreign_key_list(?1) ORDER BY id, seq",
                  &relation.name, [&](sqlite3_stmt* row) {
                      ForeignKey& key = keys[sqlite3_column_int(row, 0)];
                      key.refSchema = "main";
                      key.refTable = columnText(row, 1);
                      key.fields.push_back(columnText(row, 2));
                      if (sqlite3_column_type(row, 3) != SQLITE_NULL)
                          key.refFields.push_back(columnText(row, 3));
                  });
        // Ids count from the last declared key: the highest id was declared first.
        for (auto it = keys.rbegin(); it != keys.rend(); ++it) {
            ForeignKey& key = it->second;
            if (key.refFields.empty()) {
                Relation parent;
                parent.name = key.refTable;
                if (!readColumns(parent)) return false;
                key.refFields = parent.pkeys;
            }
            relation.fkeys.push_back(std::move(key));
        }
        return ok;
    }

private:
    sqlite3* db_;
};

}  // namespace

std::string readSqliteStructure(const std::string& path, std::vector<Catalog>& catalogs) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        std::string error =
            "cannot open SQLite database " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return error;
    }
    Reader reader(db);
    Schema schema;
    schema.name = "main";
    std::vector<std::pair<std::string, bool> > relations;  // name, is a view
    bool ok = reader.query(
        "SELECT name, type FROM sqlite_schema WHERE type IN ('table', 'view') AND name NOT LIKE 'sqlite\\_%' "
        "ESCAPE '\\' ORDER BY name",
        nullptr,
        [&](sqlite3_stmt* row) { relations.emplace_back(columnText(row, 0), columnText(row, 1) == "view"); });
    for (size_t i = 0; ok && i < relations.size(); ++i) {
        Relation relation;
        relation.name = relations[i].first;
        ok = reader.readColumns(relation);
        if (relations[i].second) {
            relation.pkeys.clear();
            if (ok) schema.views.push_back(std::move(relation));
        } else {
            ok = ok && reader.readForeignKeys(relation);
            if (ok) schema.tables.push_back(std::move(relation));
        }
    }
    std::string error = ok ? "" : "cannot read SQLite database " + path + ": " + reader.error();
    sqlite3_close(db);
    if (!error.empty()) return error;
    Catalog catalog;
    catalog.schemas.push_back(std::move(schema));
    catalogs.push_back(std::move(catalog));
    return "";
}

#endif

}  // namespace qai::cli
