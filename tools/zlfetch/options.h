// Command-line parsing for zlfetch (with CLI11): one subcommand, positional
// arguments and "--name value" / "--name=value" / "--flag" options, checked
// against what the subcommand accepts; after "--" every argument is positional.
#pragma once
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zlfetch {

struct OptionSpec {
    std::string name;        // without the leading "--"
    bool takes_value = false;
    bool repeatable = false;
    std::string help;        // "VALUE  what it does"
};

struct ParsedArgs {
    std::vector<std::string> positional;
    std::map<std::string, std::vector<std::string>> options;

    bool Has(const std::string& name) const { return options.count(name) != 0; }
    std::optional<std::string> Value(const std::string& name) const;
    std::vector<std::string> Values(const std::string& name) const;
};

// Parses args (after the subcommand). On error returns nullopt and sets *error:
// an unknown option, a missing value, a value given to a flag, or an option
// that is not repeatable given twice.
std::optional<ParsedArgs> ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs,
                                    std::string* error);

}  // namespace zlfetch
