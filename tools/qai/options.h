#pragma once
// Command-line options of one subcommand: "--name VALUE", "--name=VALUE",
// flags, and positional arguments.
#include <map>
#include <string>
#include <vector>

namespace qai::cli {

struct OptionDefinition {
    std::string name;  ///< "--schema", or a short form such as "-m"
    bool takesValue = true;
};

struct Options {
    std::vector<std::string> positional;
    std::map<std::string, std::vector<std::string>> values;  ///< flags hold one empty value

    bool has(const std::string& name) const { return values.count(name) > 0; }
    /// The last value given, or fallback.
    std::string value(const std::string& name, const std::string& fallback = "") const;
    const std::vector<std::string>& all(const std::string& name) const;
};

/// Parses args against definitions; returns an error text, empty on success.
/// "--help" is always accepted as a flag.
std::string parseOptions(const std::vector<std::string>& args,
                         const std::vector<OptionDefinition>& definitions, Options& options);

/// A number within [low, high]; returns an error text naming the option.
std::string parseNumber(const Options& options, const std::string& name, double low, double high,
                        double& value);

}  // namespace qai::cli
