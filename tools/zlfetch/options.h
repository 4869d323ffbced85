// Command-line parsing for zlfetch: one subcommand, positional arguments and
// "--name value" / "--flag" options, checked against what the subcommand accepts.
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

// Parses args (after the subcommand). On error returns nullopt and sets *error.
std::optional<ParsedArgs> ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs,
                                    std::string* error);

}  // namespace zlfetch
