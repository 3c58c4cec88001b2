#include "options.h"

#include <cmath>
#include <cstdlib>

namespace qai::cli {

std::string Options::value(const std::string& name, const std::string& fallback) const {
    auto it = values.find(name);
    return it == values.end() || it->second.empty() ? fallback : it->second.back();
}

const std::vector<std::string>& Options::all(const std::string& name) const {
    static const std::vector<std::string> none;
    auto it = values.find(name);
    return it == values.end() ? none : it->second;
}

std::string parseOptions(const std::vector<std::string>& args,
                         const std::vector<OptionDefinition>& definitions, Options& options) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() < 2 || arg[0] != '-') {
            options.positional.push_back(arg);
            continue;
        }
        std::string name = arg, inlineValue;
        bool hasInline = false;
        if (size_t equals = arg.find('='); arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            inlineValue = arg.substr(equals + 1);
            hasInline = true;
        }
        if (name == "--help") {
            options.values[name].push_back("");
            continue;
        }
        const OptionDefinition* definition = nullptr;
        for (const OptionDefinition& candidate : definitions)
            if (candidate.name == name) definition = &candidate;
        if (!definition) return "unknown option " + name;
        if (!definition->takesValue) {
            if (hasInline) return "option " + name + " takes no value";
            options.values[name].push_back("");
        } else if (hasInline) {
            options.values[name].push_back(inlineValue);
        } else if (i + 1 < args.size()) {
            options.values[name].push_back(args[++i]);
        } else {
            return "option " + name + " needs a value";
        }
    }
    return "";
}

std::string parseNumber(const Options& options, const std::string& name, double low, double high,
                        double& value) {
    std::string text = options.value(name);
    char* end = nullptr;
    double parsed = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(parsed) || parsed < low || parsed > high)
        return "option " + name + " needs a number from " + std::to_string(static_cast<long long>(low)) +
               " to " + std::to_string(static_cast<long long>(high)) + ", not '" + text + "'";
    value = parsed;
    return "";
}

}  // namespace qai::cli
