// MySQL and MariaDB, read from information_schema: no catalog, one schema per
// database (the URL's, or every one but the system databases), column types
// as COLUMN_TYPE writes them, key columns in key order.
#include "schema_server.h"

#if defined(QAI_CLI_MYSQL)
#include <mysql.h>
#endif

namespace qai::cli {

#if !defined(QAI_CLI_MYSQL)

std::string readMysqlStructure(const std::string&, const std::optional<std::string>&, std::vector<Catalog>&) {
    return "this build of qai cannot read MySQL databases; give a JSON description instead";
}

#else

namespace {

// The queries for the databases that `column IN` (or NOT IN) a list.
ServerQueries mysqlQueries(const std::string& databases) {
    auto where = [&](const char* column) { return std::string(" WHERE ") + column + databases; };
    return {
        "SELECT SCHEMA_NAME FROM information_schema.SCHEMATA" + where("SCHEMA_NAME") + " ORDER BY 1",
        "SELECT TABLE_SCHEMA, TABLE_NAME, IF(TABLE_TYPE = 'VIEW', 'v', 't') FROM information_schema.TABLES" +
            where("TABLE_SCHEMA") +
            " AND TABLE_TYPE IN ('BASE TABLE', 'VIEW', 'SYSTEM VERSIONED') ORDER BY 1, 2",
        "SELECT TABLE_SCHEMA, TABLE_NAME, COLUMN_NAME, COLUMN_TYPE FROM information_schema.COLUMNS" +
            where("TABLE_SCHEMA") + " ORDER BY 1, 2, ORDINAL_POSITION",
        "SELECT TABLE_SCHEMA, TABLE_NAME, COLUMN_NAME FROM information_schema.KEY_COLUMN_USAGE" +
            where("TABLE_SCHEMA") + " AND CONSTRAINT_NAME = 'PRIMARY' ORDER BY 1, 2, ORDINAL_POSITION",
        "SELECT TABLE_SCHEMA, TABLE_NAME, CONSTRAINT_NAME, COLUMN_NAME, REFERENCED_TABLE_SCHEMA, "
        "REFERENCED_TABLE_NAME, REFERENCED_COLUMN_NAME FROM information_schema.KEY_COLUMN_USAGE" +
            where("TABLE_SCHEMA") +
            " AND REFERENCED_TABLE_NAME IS NOT NULL ORDER BY 1, 2, 3, ORDINAL_POSITION",
    };
}

// Runs sql and calls row with each row's texts (NULL as empty); false on failure.
bool query(MYSQL* connection, const std::string& sql, const std::function<void(const ServerRow&)>& row) {
    if (mysql_real_query(connection, sql.data(), sql.size()) != 0) return false;
    MYSQL_RES* result = mysql_use_result(connection);
    if (!result) return false;
    ServerRow values(mysql_num_fields(result));
    while (MYSQL_ROW fields = mysql_fetch_row(result)) {
        unsigned long* lengths = mysql_fetch_lengths(result);
        for (size_t f = 0; f < values.size(); ++f)
            values[f] = fields[f] ? std::string(fields[f], lengths[f]) : std::string();
        row(values);
    }
    bool ok = mysql_errno(connection) == 0;  // a row that failed to arrive ends the loop too
    mysql_free_result(result);
    return ok;
}

}  // namespace

std::string readMysqlStructure(const std::string& url, const std::optional<std::string>& passwordFromFile,
                               std::vector<Catalog>& catalogs) {
    ServerUrl parts;
    if (std::string error = parseServerUrl(url, parts); !error.empty())
        return connectionError("MySQL", error, "");
    for (const auto& parameter : parts.parameters)
        if (parameter.first != "socket")
            return connectionError(
                "MySQL", "unknown URL parameter '" + parameter.first + "' (socket=PATH is known)", "");
    std::optional<std::string> password = choosePassword(parts, passwordFromFile, "MYSQL_PWD");
    std::string secret = password.value_or("");
    auto valueOrNull = [](const std::string& text) { return text.empty() ? nullptr : text.c_str(); };
    MYSQL* connection = mysql_init(nullptr);
    if (!connection) return "cannot connect to MySQL: out of memory";
    unsigned int timeout = 30;
    mysql_options(connection, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    mysql_options(connection, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    auto socketPath = parts.parameters.find("socket");
    if (!mysql_real_connect(connection, valueOrNull(parts.host), valueOrNull(parts.user),
                            password ? secret.c_str() : nullptr, valueOrNull(parts.database), parts.port,
                            socketPath == parts.parameters.end() ? nullptr : socketPath->second.c_str(), 0)) {
        std::string error = connectionError("MySQL", mysql_error(connection), secret);
        mysql_close(connection);
        return error;
    }
    std::string databases = " NOT IN ('mysql', 'information_schema', 'performance_schema', 'sys')";
    if (!parts.database.empty()) {
        std::string escaped(parts.database.size() * 2 + 1, '\0');
        escaped.resize(mysql_real_escape_string(connection, escaped.data(), parts.database.data(),
                                                parts.database.size()));
        databases = " = '" + escaped + "'";
    }
    Catalog catalog;
    bool ok = readServerSchemas(
        mysqlQueries(databases),
        [&](const std::string& sql, const std::function<void(const ServerRow&)>& row) {
            return query(connection, sql, row);
        },
        catalog.schemas);
    std::string error =
        ok ? ""
           : readingError("MySQL", parts.database.empty() ? "databases" : "database " + parts.database,
                          mysql_error(connection), secret);
    mysql_close(connection);
    if (!error.empty()) return error;
    catalogs.push_back(std::move(catalog));
    return "";
}

#endif

}  // namespace qai::cli
