#include "tables.h"

#include <algorithm>

#include "cf/COJson.h"

namespace qai::cli {
namespace {

// One character of text against the set that starts after pattern's '['; sets
// set to the set's ']', or returns false (and leaves it) when the set is not closed.
bool inSet(const char*& set, unsigned char c, bool& found) {
    const char* p = set;
    bool negated = *p == '!' || *p == '^';
    if (negated) ++p;
    found = false;
    for (const char* first = p; *p && (*p != ']' || p == first); ++p) {
        auto low = static_cast<unsigned char>(*p);
        if (p[1] == '-' && p[2] && p[2] != ']') {
            found = found || (c >= low && c <= static_cast<unsigned char>(p[2]));
            p += 2;
        } else {
            found = found || c == low;
        }
    }
    if (!*p) return false;
    found = found != negated;
    set = p;
    return true;
}

// Shell-style matching of the whole text; '*' also matches '.'.
bool matches(const char* pattern, const char* text) {
    for (; *pattern; ++pattern, ++text) {
        if (*pattern == '*') {
            for (const char* rest = text;; ++rest) {
                if (matches(pattern + 1, rest)) return true;
                if (!*rest) return false;
            }
        }
        if (!*text) return false;
        if (*pattern == '[') {
            const char* set = pattern + 1;
            bool found = false;
            if (inSet(set, static_cast<unsigned char>(*text), found)) {
                if (!found) return false;
                pattern = set;
                continue;
            }
            // An unclosed '[' is itself.
        }
        if (*pattern != '?' && *pattern != *text) return false;
    }
    return !*text;
}

// JSON text is put together by appending: items to comma-separated lists,
// then the lists enclosed.
void add(std::string& list, const std::string& item) {
    if (!list.empty()) list += ',';
    list += item;
}

void addNamed(std::string& members, const char* key, const std::string& value) {
    std::string text = "\"";
    text += key;
    text += "\":";
    text += value;
    add(members, text);
}

void addMember(std::string& members, const COJsonValue& object, const char* key) {
    if (COJsonValue value = object.obtainMember(key)) addNamed(members, key, value.obtainJsonString());
}

std::string enclosed(char open, const std::string& items, char close) {
    std::string text(1, open);
    text += items;
    text += close;
    return text;
}

}  // namespace

TableFilter::TableFilter(const std::vector<std::string>& values) {
    for (const std::string& value : values)
        for (size_t start = 0; start <= value.size();) {
            size_t comma = std::min(value.find(',', start), value.size());
            if (comma > start) patterns_.push_back(value.substr(start, comma - start));
            start = comma + 1;
        }
}

bool TableFilter::keeps(const std::string& schema, const std::string& name) const {
    std::string qualified = schema + "." + name;
    return patterns_.empty() || std::any_of(patterns_.begin(), patterns_.end(), [&](const std::string& p) {
               return matches(p.c_str(), name.c_str()) ||
                      (!schema.empty() && matches(p.c_str(), qualified.c_str()));
           });
}

void TableFilter::keepIn(std::vector<Catalog>& catalogs) const {
    for (Catalog& catalog : catalogs)
        for (Schema& schema : catalog.schemas)
            for (auto* list : {&schema.tables, &schema.views, &schema.mviews})
                list->erase(std::remove_if(list->begin(), list->end(),
                                           [&](const Relation& r) { return !keeps(schema.name, r.name); }),
                            list->end());
}

// Catalogs and schemas are written anew with the members the description
// knows; each kept relation is copied whole.
std::string TableFilter::keepIn(const std::string& json) const {
    COJson document(json);
    COJsonValue catalogs = document.obtainRoot();
    if (patterns_.empty() || !document.getIsValidJson() || catalogs.obtainType() != COJsonTypeArray)
        return json;
    std::string out;
    for (int32_t c = 0; c < catalogs.obtainArraySize(); ++c) {
        COJsonValue catalog = catalogs.obtainArrayItem(c), schemas = catalog.obtainMember("schemas");
        std::string members;
        addMember(members, catalog, "catalog_id");
        addMember(members, catalog, "catalog_name");
        std::string kept;
        for (int32_t s = 0; s < schemas.obtainArraySize(); ++s) {
            COJsonValue schema = schemas.obtainArrayItem(s);
            std::string name = schema.obtainMember("schema_name").obtainString(), lists;
            addMember(lists, schema, "schema_id");
            addMember(lists, schema, "schema_name");
            for (const char* key : {"tables", "views", "mviews"}) {
                COJsonValue relations = schema.obtainMember(key);
                if (relations.obtainType() != COJsonTypeArray) {
                    addMember(lists, schema, key);
                    continue;
                }
                std::string items;
                for (int32_t r = 0; r < relations.obtainArraySize(); ++r) {
                    COJsonValue relation = relations.obtainArrayItem(r);
                    if (keeps(name, relation.obtainMember("name").obtainString()))
                        add(items, relation.obtainJsonString());
                }
                addNamed(lists, key, enclosed('[', items, ']'));
            }
            add(kept, enclosed('{', lists, '}'));
        }
        if (schemas.obtainType() == COJsonTypeArray)
            addNamed(members, "schemas", enclosed('[', kept, ']'));
        else
            addMember(members, catalog, "schemas");
        add(out, enclosed('{', members, '}'));
    }
    return enclosed('[', out, ']');
}

}  // namespace qai::cli
