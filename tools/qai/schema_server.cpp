#include "schema_server.h"

#include <cstdlib>
#include <tuple>

namespace qai::cli {
namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes %XX escapes; false on a broken one. The text is never echoed: it may be a password.
bool decode(const std::string& text, std::string& decoded) {
    decoded.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        int high = i + 2 < text.size() ? hexDigit(text[i + 1]) : -1;
        int low = high < 0 ? -1 : hexDigit(text[i + 2]);
        if (low < 0) return false;
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

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

std::string parseServerUrl(const std::string& url, ServerUrl& parsed) {
    size_t start = url.find("://");
    if (start == std::string::npos) return "not a URL";
    start += 3;
    size_t end = url.find_first_of("/?", start);
    std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::string rest = end == std::string::npos ? "" : url.substr(end);
    bool ok = true;
    if (size_t at = authority.rfind('@'); at != std::string::npos) {
        std::string user = authority.substr(0, at);
        authority.erase(0, at + 1);
        size_t colon = user.find(':');
        ok = decode(user.substr(0, colon), parsed.user);
        if (colon != std::string::npos) {
            std::string password;
            ok = decode(user.substr(colon + 1), password) && ok;
            parsed.password = password;
        }
    }
    // HOST, [IPV6] or nothing, then :PORT.
    size_t portColon = authority.rfind(':');
    if (portColon != std::string::npos && authority.find(']', portColon) == std::string::npos) {
        std::string port = authority.substr(portColon + 1);
        authority.erase(portColon);
        char* stop = nullptr;
        long number = std::strtol(port.c_str(), &stop, 10);
        if (port.empty() || *stop || number < 1 || number > 65535)
            return "the port '" + port + "' is not a number from 1 to 65535";
        parsed.port = static_cast<unsigned>(number);
    }
    if (authority.size() > 1 && authority.front() == '[' && authority.back() == ']')
        authority = authority.substr(1, authority.size() - 2);
    ok = decode(authority, parsed.host) && ok;
    size_t query = rest.find('?');
    if (!rest.empty() && rest[0] == '/') ok = decode(rest.substr(1, query - 1), parsed.database) && ok;
    while (query != std::string::npos) {
        size_t next = rest.find('&', query + 1);
        std::string pair = rest.substr(query + 1, next == std::string::npos ? next : next - query - 1);
        size_t equals = pair.find('=');
        std::string name, value;
        ok = decode(pair.substr(0, equals), name) && ok;
        if (equals != std::string::npos) ok = decode(pair.substr(equals + 1), value) && ok;
        if (!name.empty()) parsed.parameters[name] = value;
        query = next;
    }
    return ok ? "" : "the URL has a broken %-escape";
}

std::optional<std::string> choosePassword(const ServerUrl& url, const std::optional<std::string>& fromFile,
                                          const char* variable) {
    if (url.password) return url.password;
    if (fromFile) return fromFile;
    if (const char* value = std::getenv(variable)) return std::string(value);
    return std::nullopt;
}

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
