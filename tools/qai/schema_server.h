#pragma once
// What the readers of database servers share: one-line error texts that
// never hold the password, and the assembly of catalog query rows into
// schemas.
#include <functional>
#include <string>
#include <vector>

#include "structure.h"

namespace qai::cli {

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
