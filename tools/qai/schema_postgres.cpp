// PostgreSQL: the database is the catalog; every schema but the system ones,
// column types as format_type writes them, key columns in constraint order.
#include "schema_server.h"

#if defined(QAI_CLI_POSTGRES)
#include <libpq-fe.h>
#endif

namespace qai::cli {

#if !defined(QAI_CLI_POSTGRES)

std::string readPostgresStructure(const std::string&, const std::optional<std::string>&,
                                  std::vector<Catalog>&) {
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

// Runs sql and calls row with each row's texts; false on failure (see error).
bool query(PGconn* connection, const std::string& sql, const std::function<void(const ServerRow&)>& row,
           std::string& error) {
    PGresult* result = PQexec(connection, sql.c_str());
    bool ok = PQresultStatus(result) == PGRES_TUPLES_OK;
    if (ok) {
        ServerRow values(static_cast<size_t>(PQnfields(result)));
        for (int r = 0; r < PQntuples(result); ++r) {
            for (int f = 0; f < PQnfields(result); ++f)
                values[static_cast<size_t>(f)] = PQgetvalue(result, r, f);
            row(values);
        }
    } else {
        error = result ? PQresultErrorMessage(result) : PQerrorMessage(connection);
    }
    PQclear(result);
    return ok;
}

}  // namespace

std::string readPostgresStructure(const std::string& url, const std::optional<std::string>& passwordFromFile,
                                  std::vector<Catalog>& catalogs) {
    // libpq reads the URL, PGPASSWORD and ~/.pgpass itself; a password given in the URL wins over
    // one from --password-file, which comes first here.
    const char* keywords[] = {"password", "dbname", nullptr};
    const char* values[] = {passwordFromFile ? passwordFromFile->c_str() : nullptr, url.c_str(), nullptr};
    int first = passwordFromFile ? 0 : 1;
    PGconn* connection = PQconnectdbParams(keywords + first, values + first, 1);
    if (!connection) return "cannot connect to PostgreSQL: out of memory";
    std::string password = PQpass(connection) ? PQpass(connection) : "";
    if (PQstatus(connection) != CONNECTION_OK) {
        std::string error = connectionError("PostgreSQL", PQerrorMessage(connection), password);
        PQfinish(connection);
        return error;
    }
    Catalog catalog;
    catalog.named = true;
    catalog.name = PQdb(connection);
    std::string detail;
    bool ok = readServerSchemas(
        {kSchemasQuery, kRelationsQuery, kColumnsQuery, kPrimaryKeysQuery, kForeignKeysQuery},
        [&](const std::string& sql, const std::function<void(const ServerRow&)>& row) {
            return query(connection, sql, row, detail);
        },
        catalog.schemas);
    PQfinish(connection);
    if (!ok) return readingError("PostgreSQL", "database " + catalog.name, detail, password);
    catalogs.push_back(std::move(catalog));
    return "";
}

#endif

}  // namespace qai::cli
