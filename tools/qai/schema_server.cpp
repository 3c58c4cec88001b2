#include "schema_server.h"

#include <map>
#include <tuple>

namespace qai::cli {
namespace {

// Drivers' texts may span lines (a hint on an indented second line): one line here.
std::string oneLine(const std::string& message) {
    std::string text;
    bool blank = false;
    for (char c : message) {
        if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
            blank = !text.empty();
        } else {
            if (blank) text += ' ';
            blank = false;
            text += c;
        }
    }
    return text;
}

std::string masked(std::string text, const std::string& password) {
    for (size_t at; !password.empty() && (at = text.find(password)) != std::string::npos;)
        text.replace(at, password.size(), "***");
    return text;
}

// Query rows assembled into schemas; relations are found by schema and name.
class Assembly {
public:
    void addSchema(const ServerRow& row) { schemas_[row[0]].name = row[0]; }

    void addRelation(const ServerRow& row) {
        Schema& schema = schemas_[row[0]];
        schema.name = row[0];
        auto& list = listOf(schema, row[2][0]);
        relations_[{row[0], row[1]}] = {row[2][0], list.size()};
        list.push_back(Relation{row[1], {}, {}, {}});
    }

    void addColumn(const ServerRow& row) {
        if (Relation* relation = find(row)) relation->fields.push_back({row[2], row[3]});
    }

    void addPrimaryKey(const ServerRow& row) {
        if (Relation* relation = find(row)) relation->pkeys.push_back(row[2]);
    }

    // A key's column pairs come on consecutive rows.
    void addForeignKey(const ServerRow& row) {
        Relation* relation = find(row);
        if (!relation) return;
        std::string key = row[0] + '\n' + row[1] + '\n' + row[2];
        if (key != lastKey_ || relation->fkeys.empty()) relation->fkeys.push_back({{}, row[4], row[5], {}});
        lastKey_ = key;
        relation->fkeys.back().fields.push_back(row[3]);
        relation->fkeys.back().refFields.push_back(row[6]);
    }

    std::vector<Schema> take() {
        std::vector<Schema> schemas;
        for (auto& entry : schemas_) schemas.push_back(std::move(entry.second));
        return schemas;
    }

private:
    static std::vector<Relation>& listOf(Schema& schema, char kind) {
        return kind == 't' ? schema.tables : kind == 'v' ? schema.views : schema.mviews;
    }

    Relation* find(const ServerRow& row) {
        auto it = relations_.find({row[0], row[1]});
        if (it == relations_.end()) return nullptr;
        return &listOf(schemas_[row[0]], it->second.first)[it->second.second];
    }

    std::map<std::string, Schema> schemas_;
    std::map<std::pair<std::string, std::string>, std::pair<char, size_t>> relations_;  // kind, index
    std::string lastKey_;
};

}  // namespace

std::string connectionError(const char* engine, const std::string& detail, const std::string& password) {
    return std::string("cannot connect to ") + engine + ": " + masked(oneLine(detail), password);
}

std::string readingError(const char* engine, const std::string& what, const std::string& detail,
                         const std::string& password) {
    return std::string("cannot read ") + engine + " " + what + ": " + masked(oneLine(detail), password);
}

bool readServerSchemas(const ServerQueries& queries, const ServerQuery& query, std::vector<Schema>& schemas) {
    Assembly assembly;
    using Add = void (Assembly::*)(const ServerRow&);
    const std::tuple<const std::string*, Add> steps[] = {
        {&queries.schemas, &Assembly::addSchema},         {&queries.relations, &Assembly::addRelation},
        {&queries.columns, &Assembly::addColumn},         {&queries.primaryKeys, &Assembly::addPrimaryKey},
        {&queries.foreignKeys, &Assembly::addForeignKey},
    };
    for (const auto& [sql, add] : steps)
        if (!query(*sql, [&assembly, step = add](const ServerRow& row) { (assembly.*step)(row); }))
            return false;
    schemas = assembly.take();
    return true;
}

}  // namespace qai::cli
