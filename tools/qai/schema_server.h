#pragma once
// What the readers of database servers (PostgreSQL, MySQL) share: the parts
// of a connection URL, the password to send, one-line error texts that never
// hold the password, and the assembly of catalog query rows into schemas.
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "structure.h"

namespace qai::cli {

/// scheme://[USER[:PASSWORD]@][HOST][:PORT][/DATABASE][?NAME=VALUE&...], percent-decoded.
struct ServerUrl {
    std::string user, host, database;
    std::optional<std::string> password;
    unsigned port = 0;  ///< 0: the driver's default
    std::map<std::string, std::string> parameters;
};

/// Parses url into parsed; returns an error text, empty on success.
std::string parseServerUrl(const std::string& url, ServerUrl& parsed);

/// The password to send: the URL's, else the one read from --password-file,
/// else the value of the environment variable; none when none of them is set.
std::optional<std::string> choosePassword(const ServerUrl& url, const std::optional<std::string>& fromFile,
                                          const char* variable);

/// "cannot connect to ENGINE: DETAIL" on one line, the password (when any) masked.
std::string connectionError(const char* engine, const std::string& detail, const std::string& password);

/// "cannot read ENGINE WHAT: DETAIL" on one line, the password (when any) masked.
std::string readingError(const char* engine, const std::string& what, const std::string& detail,
                         const std::string& password);

using ServerRow = std::vector<std::string>;
/// Runs one query and calls its second argument with each row; false on failure.
using ServerQuery = std::function<bool(const std::string&, const std::function<void(const ServerRow&)>&)>;

/// The catalog queries of one engine. Each orders its rows by schema and
/// relation name, then by position, and gives these columns:
struct ServerQueries {
    std::string schemas;      ///< schema
    std::string relations;    ///< schema, name, kind ("t" table, "v" view, "m" materialized view)
    std::string columns;      ///< schema, relation, column, type
    std::string primaryKeys;  ///< schema, relation, column (in key order)
    /// schema, relation, constraint, column, referenced schema, relation and column (in pair order)
    std::string foreignKeys;
};

/// Runs the queries and assembles their rows into schemas, in name order;
/// false when a query fails.
bool readServerSchemas(const ServerQueries& queries, const ServerQuery& query, std::vector<Schema>& schemas);

}  // namespace qai::cli
