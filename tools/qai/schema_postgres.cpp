// PostgreSQL: the database is the catalog; every schema but the system ones,
// column types as format_type writes them, key columns in constraint order.
#include <map>
#include <tuple>

#include "structure.h"

#if defined(QAI_CLI_POSTGRES)
#include <libpq-fe.h>
#endif

namespace qai::cli {

#if !defined(QAI_CLI_POSTGRES)

std::string readPostgresStructure(const std::string&, std::vector<Catalog>&) {
    return "this build of qai cannot read PostgreSQL databases; give a JSON description instead";
}

#else

namespace {

constexpr const char* kUserSchemas =
    "n.nspname NOT IN ('pg_catalog', 'information_schema', 'pg_toast') "
    "AND n.nspname NOT LIKE 'pg\\_temp\\_%' AND n.nspname NOT LIKE 'pg\\_toast\\_temp\\_%'";

// Every query orders its rows by schema and relation name, then position.
const std::string kSchemasQuery =
    std::string("SELECT n.nspname FROM pg_namespace n WHERE ") + kUserSchemas + " ORDER BY 1";
const std::string kRelationsQuery =
    std::string("SELECT r.schema, r.name, r.kind FROM (") +
    "SELECT n.nspname AS schema, c.relname AS name, 't' AS kind FROM pg_class c "
    "JOIN pg_namespace n ON n.oid = c.relnamespace WHERE c.relkind IN ('r', 'p') AND NOT c.relispartition "
    "UNION ALL SELECT schemaname, viewname, 'v' FROM pg_views "
    "UNION ALL SELECT schemaname, matviewname, 'm' FROM pg_matviews) r "
    "JOIN pg_namespace n ON n.nspname = r.schema WHERE " +
    kUserSchemas + " ORDER BY 1, 2";
const std::string kColumnsQuery =
    std::string("SELECT n.nspname, c.relname, a.attname, format_type(a.atttypid, a.atttypmod) ") +
    "FROM pg_attribute a JOIN pg_class c ON c.oid = a.attrelid JOIN pg_namespace n ON n.oid = c.relnamespace "
    "WHERE a.attnum > 0 AND NOT a.attisdropped AND c.relkind IN ('r', 'p', 'v', 'm') AND " +
    kUserSchemas + " ORDER BY 1, 2, a.attnum";
const std::string kPrimaryKeysQuery =
    std::string("SELECT n.nspname, c.relname, a.attname ") +
    "FROM pg_constraint k JOIN pg_class c ON c.oid = k.conrelid JOIN pg_namespace n ON n.oid = "
    "c.relnamespace "
    "CROSS JOIN LATERAL unnest(k.conkey) WITH ORDINALITY AS u(attnum, position) "
    "JOIN pg_attribute a ON a.attrelid = k.conrelid AND a.attnum = u.attnum "
    "WHERE k.contype = 'p' AND " +
    kUserSchemas + " ORDER BY 1, 2, u.position";
const std::string kForeignKeysQuery =
    std::string("SELECT n.nspname, c.relname, k.conname, a.attname, rn.nspname, rc.relname, ra.attname ") +
    "FROM pg_constraint k JOIN pg_class c ON c.oid = k.conrelid JOIN pg_namespace n ON n.oid = "
    "c.relnamespace "
    "JOIN pg_class rc ON rc.oid = k.confrelid JOIN pg_namespace rn ON rn.oid = rc.relnamespace "
    "CROSS JOIN LATERAL unnest(k.conkey, k.confkey) WITH ORDINALITY AS u(attnum, refnum, position) "
    "JOIN pg_attribute a ON a.attrelid = k.conrelid AND a.attnum = u.attnum "
    "JOIN pg_attribute ra ON ra.attrelid = k.confrelid AND ra.attnum = u.refnum "
    "WHERE k.contype = 'f' AND " +
    kUserSchemas + " ORDER BY 1, 2, 3, u.position";

// libpq's texts span lines (a hint on an indented second line): one line here.
std::string oneLine(const char* message) {
    std::string text;
    bool blank = false;
    for (const char* c = message; *c; ++c) {
        bool space = *c == '\n' || *c == '\t' || *c == ' ';
        if (space)
            blank = !text.empty();
        else {
            if (blank) text += ' ';
            blank = false;
            text += *c;
        }
    }
    return text;
}

std::string trimmedError(PGconn* connection) { return oneLine(PQerrorMessage(connection)); }

class Reader {
public:
    explicit Reader(PGconn* connection) : connection_(connection) {}

    // Runs sql and calls row with each row's texts; false on failure (see error).
    template <typename Row>
    bool query(const std::string& sql, Row row) {
        PGresult* result = PQexec(connection_, sql.c_str());
        bool ok = PQresultStatus(result) == PGRES_TUPLES_OK;
        if (ok) {
            std::vector<std::string> values(static_cast<size_t>(PQnfields(result)));
            for (int r = 0; r < PQntuples(result); ++r) {
                for (int f = 0; f < PQnfields(result); ++f)
                    values[static_cast<size_t>(f)] = PQgetvalue(result, r, f);
                row(values);
            }
        } else {
            error_ = result ? oneLine(PQresultErrorMessage(result)) : trimmedError(connection_);
        }
        PQclear(result);
        return ok;
    }

    const std::string& error() const { return error_; }

private:
    PGconn* connection_;
    std::string error_;
};

}  // namespace

std::string readPostgresStructure(const std::string& connectionText, std::vector<Catalog>& catalogs) {
    PGconn* connection = PQconnectdb(connectionText.c_str());
    if (!connection) return "cannot connect to PostgreSQL: out of memory";
    if (PQstatus(connection) != CONNECTION_OK) {
        std::string error = "cannot connect to PostgreSQL: " + trimmedError(connection);
        PQfinish(connection);
        return error;
    }
    Reader reader(connection);
    Catalog catalog;
    catalog.named = true;
    catalog.name = PQdb(connection);
    // Relations by (schema, name); the schema map keeps the schemas in name order.
    std::map<std::string, Schema> schemas;
    std::map<std::pair<std::string, std::string>, Relation*> relations;
    using Row = std::vector<std::string>;
    bool ok = reader.query(kSchemasQuery, [&](const Row& row) { schemas[row[0]].name = row[0]; });
    std::vector<std::tuple<std::string, std::string, std::string> > listed;
    ok = ok &&
         reader.query(kRelationsQuery, [&](const Row& row) { listed.emplace_back(row[0], row[1], row[2]); });
    for (const auto& [schemaName, name, kind] : listed) {
        Schema& schema = schemas[schemaName];
        auto& list = kind == "t" ? schema.tables : kind == "v" ? schema.views : schema.mviews;
        list.push_back(Relation{name, {}, {}, {}});
    }
    // Pointers are taken once every list has its final size.
    for (auto& [schemaName, schema] : schemas)
        for (auto* list : {&schema.tables, &schema.views, &schema.mviews})
            for (Relation& relation : *list) relations[{schemaName, relation.name}] = &relation;
    auto find = [&](const Row& row) -> Relation* {
        auto it = relations.find({row[0], row[1]});
        return it == relations.end() ? nullptr : it->second;
    };
    ok = ok && reader.query(kColumnsQuery, [&](const Row& row) {
        if (Relation* relation = find(row)) relation->fields.push_back({row[2], row[3]});
    });
    ok = ok && reader.query(kPrimaryKeysQuery, [&](const Row& row) {
        if (Relation* relation = find(row)) relation->pkeys.push_back(row[2]);
    });
    std::string lastKey;
    ok = ok && reader.query(kForeignKeysQuery, [&](const Row& row) {
        Relation* relation = find(row);
        if (!relation) return;
        std::string key = row[0] + '\n' + row[1] + '\n' + row[2];
        if (key != lastKey || relation->fkeys.empty()) relation->fkeys.push_back({{}, row[4], row[5], {}});
        lastKey = key;
        relation->fkeys.back().fields.push_back(row[3]);
        relation->fkeys.back().refFields.push_back(row[6]);
    });
    std::string error = ok ? "" : "cannot read PostgreSQL database " + catalog.name + ": " + reader.error();
    PQfinish(connection);
    if (!error.empty()) return error;
    for (auto& [schemaName, schema] : schemas) catalog.schemas.push_back(std::move(schema));
    catalogs.push_back(std::move(catalog));
    return "";
}

#endif

}  // namespace qai::cli
