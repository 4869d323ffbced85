#include "tools/zlfetch/options.h"

#include <CLI/CLI.hpp>

namespace zlfetch {

std::optional<std::string> ParsedArgs::Value(const std::string& name) const {
    auto it = options.find(name);
    if (it == options.end() || it->second.empty()) return std::nullopt;
    return it->second.back();
}

std::vector<std::string> ParsedArgs::Values(const std::string& name) const {
    auto it = options.find(name);
    return it == options.end() ? std::vector<std::string>{} : it->second;
}

std::optional<ParsedArgs> ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs,
                                    std::string* error) {
    CLI::App app;
    app.set_help_flag();  // zlfetch prints its own help, for every command at once
    ParsedArgs parsed;
    app.add_option("arguments", parsed.positional);
    std::vector<std::pair<const OptionSpec*, CLI::Option*>> options;
    for (const OptionSpec& spec : specs) {
        CLI::Option* option = spec.takes_value ? app.add_option("--" + spec.name) : app.add_flag("--" + spec.name);
        if (!spec.takes_value) option->disable_flag_override();
        option->multi_option_policy(spec.repeatable ? CLI::MultiOptionPolicy::TakeAll : CLI::MultiOptionPolicy::Throw);
        options.emplace_back(&spec, option);
    }
    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        *error = e.what();
        return std::nullopt;
    }
    for (const auto& [spec, option] : options)
        if (option->count() > 0)
            parsed.options[spec->name] = spec->takes_value ? option->results() : std::vector<std::string>{};
    return parsed;
}

}  // namespace zlfetch
