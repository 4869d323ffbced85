#include "tools/zlstats/post_parser.h"

#include <json/json.h>

#include <cctype>
#include <exception>
#include <memory>
#include <sstream>

namespace zl::stats {
namespace {

// Free texts (error messages, paths, versions) are kept whole up to this size.
constexpr size_t kMaxTextBytes = 4096;
// The info object holds texts and, for the inventory, objects of texts.
constexpr int kMaxDepth = 8;
constexpr uint64_t kMaxCount = uint64_t(1) << 48;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool PercentDecode(std::string_view in, std::string& out) {
    out.clear();
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%') {
            if (i + 2 >= in.size()) return false;
            const int hi = HexValue(in[i + 1]), lo = HexValue(in[i + 2]);
            if (hi < 0 || lo < 0) return false;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += c;
        }
    }
    return true;
}

std::unique_ptr<Json::CharReader> StrictReader() {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["stackLimit"] = kMaxDepth;
    return std::unique_ptr<Json::CharReader>(builder.newCharReader());
}

// Parses `text` as one JSON value; the reader refuses depth beyond its limit by throwing.
bool ParseJson(Json::CharReader& reader, const std::string& text, Json::Value& value, std::string& error) {
    try {
        return reader.parse(text.data(), text.data() + text.size(), &value, &error);
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}

bool AllOf(const std::string& s, size_t min, size_t max, int (*pred)(int)) {
    if (s.size() < min || s.size() > max) return false;
    for (unsigned char c : s)
        if (!pred(c)) return false;
    return true;
}

int IsIdChar(int c) { return std::isalnum(c) || c == '.' || c == '_' || c == '-' || c == ':'; }
int IsVersionChar(int c) { return std::isdigit(c) || c == '.'; }
int IsProgressChar(int c) { return std::isdigit(c) || c == '.' || c == '%'; }

bool MacList(const std::string& s) {
    if (s == "0" || s.empty()) return true;
    if (s.size() > 64 * 18) return false;
    size_t at = 0;
    while (true) {
        if (at + 17 > s.size()) return false;
        for (size_t i = 0; i < 17; ++i) {
            const char c = s[at + i];
            if (i % 3 == 2 ? c != '-' : HexValue(c) < 0) return false;
        }
        at += 17;
        if (at == s.size()) return true;
        if (s[at++] != ';') return false;
    }
}

// Every text inside `v` is well-formed UTF-8 without NUL and within the size limit.
bool CleanTexts(const Json::Value& v, std::string& error) {
    if (v.isString()) {
        const char* begin = nullptr;
        const char* end = nullptr;
        v.getString(&begin, &end);
        const std::string_view text(begin, size_t(end - begin));
        if (text.size() > kMaxTextBytes) return error = "a text is longer than 4096 bytes", false;
        if (text.find('\0') != std::string_view::npos) return error = "a text holds NUL", false;
        if (!ValidUtf8(text)) return error = "a text is not UTF-8", false;
        return true;
    }
    if (v.isObject()) {
        for (const std::string& name : v.getMemberNames()) {
            if (!ValidUtf8(name) || name.size() > 64) return error = "a member name is not a short UTF-8 text", false;
            if (!CleanTexts(v[name], error)) return false;
        }
        return true;
    }
    return error = "a member is neither a text nor an object of texts", false;
}

class InfoReader {
public:
    InfoReader(const Json::Value& info, std::string& error) : info_(info), error_(error) {}

    // A required text member matching `valid`.
    bool Text(const char* name, std::string& out, bool (*valid)(const std::string&), bool required = true) {
        const Json::Value& v = info_[name];
        if (v.isNull()) {
            if (!required) return true;
            return Fail(std::string("info lacks ") + name);
        }
        if (!v.isString()) return Fail(std::string(name) + " is not a text");
        out = v.asString();
        if (!valid(out)) return Fail(std::string(name) + " has a bad format");
        return true;
    }

    // An optional decimal member (a text of digits), 0 when absent.
    bool Number(const char* name, uint64_t& out) {
        std::string text;
        if (!Text(name, text, Decimal, false)) return false;
        out = text.empty() ? 0 : std::stoull(text);
        // Far beyond any download, and small enough that sums of many never overflow.
        if (out > kMaxCount) return Fail(std::string(name) + " is beyond 2^48");
        return true;
    }

    static bool Decimal(const std::string& s) {
        // Within a signed 64-bit column.
        return AllOf(s, 1, 19, [](int c) { return std::isdigit(c); }) &&
               (s.size() < 19 || s <= "9223372036854775807");
    }
    static bool AnyText(const std::string&) { return true; }

private:
    bool Fail(std::string text) {
        error_ = std::move(text);
        return false;
    }
    const Json::Value& info_;
    std::string& error_;
};

bool ReadEvent(Json::CharReader& reader, const Json::Value& item, StatEvent& e, std::string& error) {
    if (!item.isObject() || item.size() != 2 || !item.isMember("code") || !item.isMember("info"))
        return error = "an item is not {code, info}", false;
    if (!item["code"].isString() || !item["info"].isString()) return error = "code or info is not a text", false;
    e.code = item["code"].asString();
    if (!AllOf(e.code, 8, 8, [](int c) { return std::isdigit(c); })) return error = "code is not 8 digits", false;
    e.info = item["info"].asString();
    if (e.info.size() > 64 * 1024) return error = "info is longer than 64 KiB", false;
    if (!ValidUtf8(e.info)) return error = "info is not UTF-8", false;
    Json::Value info;
    if (!ParseJson(reader, e.info, info, error)) return error = "info is not JSON: " + error, false;
    if (!info.isObject()) return error = "info is not an object", false;
    if (!CleanTexts(info, error)) return false;

    InfoReader r(info, error);
    std::string sequence;
    if (!r.Text("MachId", e.mach_id, [](const std::string& s) { return AllOf(s, 16, 16, [](int c) { return std::isxdigit(c); }); }) ||
        !r.Text("Mac", e.mac, MacList) ||
        !r.Text("OS", e.os, [](const std::string& s) { return AllOf(s, 1, 16, [](int c) { return std::isdigit(c); }); }) ||
        !r.Text("Sessionid", e.session_id, [](const std::string& s) { return AllOf(s, 0, 64, IsIdChar); }) ||
        !r.Text("Sequence", sequence, InfoReader::Decimal) ||
        !r.Text("DVersion", e.dversion, [](const std::string& s) { return AllOf(s, 1, 16, IsVersionChar); }) ||
        !r.Text("GameID", e.game_id, [](const std::string& s) { return AllOf(s, 1, 32, IsIdChar); }) ||
        !r.Text("AppVersion", e.app_version, InfoReader::AnyText) ||
        !r.Text("GVersion", e.gversion, InfoReader::AnyText) ||
        !r.Text("Dchannel", e.dchannel, InfoReader::AnyText, false) ||
        !r.Text("Progress", e.progress, [](const std::string& s) { return AllOf(s, 0, 16, IsProgressChar); }, false) ||
        !r.Text("Errormsg", e.error_msg, InfoReader::AnyText, false) ||
        !r.Text("Filename", e.file_name, InfoReader::AnyText, false))
        return false;
    e.sequence = std::stoull(sequence);
    uint64_t unused = 0;
    if (!r.Number("Totaltime", e.total_time) || !r.Number("Totalbytes", e.total_bytes) ||
        !r.Number("Averagespeed", e.average_speed) || !r.Number("Httptotalbytes", e.http_bytes) ||
        !r.Number("P2ptotalbytes", e.p2p_bytes) || !r.Number("Inhttptotalbytes", e.in_http_bytes) ||
        !r.Number("Inp2ptotalbytes", e.in_p2p_bytes) || !r.Number("Intime", unused) ||
        !r.Number("Intotalbytes", unused) || !r.Number("Httpaveragespeed", unused) ||
        !r.Number("P2paveragespeed", unused) || !r.Number("Corruptpakid", unused))
        return false;
    const Json::Value& memory = info["Memory"];
    if (memory.isObject() && memory["Memory_Total_Capacity"].isString()) {
        const std::string total = memory["Memory_Total_Capacity"].asString();
        if (InfoReader::Decimal(total)) e.memory_total = total;
    }
    const Json::Value& cpu = info["CPU"];
    if (cpu.isObject() && cpu["CPU_Architecture"].isString()) e.cpu_arch = cpu["CPU_Architecture"].asString();
    return true;
}

}  // namespace

bool ValidUtf8(std::string_view text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        uint32_t cp;
        if ((c & 0xE0) == 0xC0) len = 2, cp = c & 0x1F;
        else if ((c & 0xF0) == 0xE0) len = 3, cp = c & 0x0F;
        else if ((c & 0xF8) == 0xF0) len = 4, cp = c & 0x07;
        else return false;
        if (i + len > n) return false;
        for (size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

bool FormField(std::string_view body, std::string_view name, std::string& value, std::string& error) {
    bool found = false;
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find('&', start);
        if (end == std::string_view::npos) end = body.size();
        const std::string_view pair = body.substr(start, end - start);
        const size_t eq = pair.find('=');
        std::string key;
        if (!PercentDecode(pair.substr(0, eq), key)) return error = "a field name is badly escaped", false;
        if (key == name) {
            if (found) return error = std::string("the ") + std::string(name) + " field is repeated", false;
            found = true;
            if (!PercentDecode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1), value))
                return error = std::string("the ") + std::string(name) + " field is badly escaped", false;
        }
        start = end + 1;
    }
    if (!found) error = std::string("no ") + std::string(name) + " field";
    return found;
}

std::variant<StatBatch, PostRefused> ParsePost(std::string_view form_body) {
    if (form_body.size() > kMaxPostBytes) return PostRefused{"the body is larger than 1 MiB"};
    std::string data, error;
    if (!FormField(form_body, "data", data, error)) return PostRefused{error};
    if (!ValidUtf8(data)) return PostRefused{"data is not UTF-8"};
    // Cheap bounds before the parser allocates anything for them.
    if (!data.empty() && data.front() != '[') return PostRefused{"data is not a JSON array"};
    const auto reader = StrictReader();
    Json::Value array;
    if (!ParseJson(*reader, data, array, error)) return PostRefused{"data is not JSON: " + error};
    if (!array.isArray() || array.empty()) return PostRefused{"data is not a non-empty JSON array"};
    if (array.size() > kMaxPostEvents) return PostRefused{"data holds more than 1000 events"};
    StatBatch batch;
    batch.reserve(array.size());
    for (const Json::Value& item : array) {
        StatEvent e;
        if (!ReadEvent(*reader, item, e, error))
            return PostRefused{"event " + std::to_string(batch.size()) + ": " + error};
        batch.push_back(std::move(e));
    }
    return batch;
}

}  // namespace zl::stats
