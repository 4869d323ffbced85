#include "tools/zlfetch/options.h"

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
    ParsedArgs parsed;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.rfind("--", 0) != 0 || arg == "--") {
            parsed.positional.push_back(arg);
            continue;
        }
        std::string name = arg.substr(2);
        std::optional<std::string> inline_value;
        if (auto eq = name.find('='); eq != std::string::npos) {
            inline_value = name.substr(eq + 1);
            name.resize(eq);
        }
        const OptionSpec* spec = nullptr;
        for (const auto& s : specs)
            if (s.name == name) spec = &s;
        if (!spec) {
            *error = "unknown option --" + name;
            return std::nullopt;
        }
        if (!spec->repeatable && parsed.Has(name)) {
            *error = "option --" + name + " given twice";
            return std::nullopt;
        }
        auto& values = parsed.options[name];
        if (!spec->takes_value) {
            if (inline_value) {
                *error = "option --" + name + " takes no value";
                return std::nullopt;
            }
            continue;
        }
        if (inline_value) {
            values.push_back(*inline_value);
        } else if (i + 1 < args.size()) {
            values.push_back(args[++i]);
        } else {
            *error = "option --" + name + " needs a value";
            return std::nullopt;
        }
    }
    return parsed;
}

}  // namespace zlfetch
