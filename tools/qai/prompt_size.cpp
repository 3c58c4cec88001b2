#include "prompt_size.h"

#include <algorithm>
#include <map>
#include <string_view>
#include <vector>

namespace qai::cli {
namespace {

constexpr size_t kDefaultMaxTokens = 100000;
constexpr size_t kSchemasNamed = 3;

size_t estimatedTokens(size_t bytes) { return (bytes + kBytesPerToken - 1) / kBytesPerToken; }

// The schema a DDL line creates something in, "catalog.schema" below a USE
// CATALOG line; false for a line that creates nothing.
bool schemaOf(std::string_view line, const std::string& catalog, std::string& schema) {
    for (std::string_view create : {"CREATE TABLE `", "CREATE VIEW `", "CREATE MATERIALIZED VIEW `"}) {
        if (line.substr(0, create.size()) != create) continue;
        line.remove_prefix(create.size());
        size_t dot = line.find("`.`"), open = line.find("` (");
        schema = dot < open ? std::string(line.substr(0, dot)) : "(no schema)";
        if (!catalog.empty()) schema = catalog + "." + schema;
        return true;
    }
    return false;
}

}  // namespace

std::string readMaxPromptTokens(const Options& options, size_t& tokens) {
    double value = kDefaultMaxTokens;
    if (options.has("--max-prompt-tokens"))
        if (std::string error = parseNumber(options, "--max-prompt-tokens", 1, 1e9, value); !error.empty())
            return error;
    tokens = static_cast<size_t>(value);
    return "";
}

std::string promptSizeWarning(const std::string& instructions, size_t maxTokens) {
    size_t tokens = estimatedTokens(instructions.size());
    if (tokens <= maxTokens) return "";
    std::map<std::string, size_t> bytes;  // by schema
    std::string catalog, schema;
    for (size_t start = 0; start < instructions.size();) {
        size_t end = std::min(instructions.find('\n', start), instructions.size());
        std::string_view line(instructions.data() + start, end - start);
        if (line.substr(0, 13) == "USE CATALOG `" && line.back() == '`')
            catalog = line.substr(13, line.size() - 14);
        else if (schemaOf(line, catalog, schema))
            bytes[schema] += line.size() + 1;
        start = end + 1;
    }
    std::vector<std::pair<size_t, std::string>> largest;
    for (const auto& [name, size] : bytes) largest.emplace_back(size, name);
    std::stable_sort(largest.begin(), largest.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    std::string text = "qai: warning: the instructions are about " + std::to_string(tokens) +
                       " tokens, more than --max-prompt-tokens " + std::to_string(maxTokens);
    for (size_t i = 0; i < largest.size() && i < kSchemasNamed; ++i)
        text += (i ? ", " : "; the largest schemas: ") + largest[i].second + " (about " +
                std::to_string(estimatedTokens(largest[i].first)) + " tokens)";
    return text + "; --tables sends fewer tables\n";
}

}  // namespace qai::cli
