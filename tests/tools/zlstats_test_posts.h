// Posts as the statistics uploader forms them, for the zlstats tests.
#pragma once
#include <json/json.h>

#include <map>
#include <string>
#include <vector>

namespace zl::stats::test {

// The info members of a client's event; `overrides` replaces or adds members.
inline Json::Value ClientInfo(uint64_t sequence, const std::map<std::string, std::string>& overrides = {}) {
    Json::Value info(Json::objectValue);
    info["MachId"] = "0A1B2C3D4E5F6071";
    info["Mac"] = "02-00-00-00-00-01;02-00-00-00-00-02";
    info["OS"] = "610642";
    info["Sessionid"] = "";
    info["Sequence"] = std::to_string(sequence);
    info["DVersion"] = "1.8";
    info["GameID"] = "5";
    info["AppVersion"] = "0.1.0";
    info["GVersion"] = "v300";
    info["Dchannel"] = "zephyrloader";
    info["Totaltime"] = "0";
    info["Inhttptotalbytes"] = "0";
    info["Inp2ptotalbytes"] = "0";
    info["Errormsg"] = "";
    for (const auto& [k, v] : overrides) info[k] = v;
    return info;
}

inline std::string Compact(const Json::Value& v) {
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    w["emitUTF8"] = true;
    return Json::writeString(w, v);
}

inline std::string PercentEncode(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += char(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

// A form body "data=..." with one item per (code, info text).
inline std::string FormBody(const std::vector<std::pair<std::string, std::string>>& items) {
    Json::Value array(Json::arrayValue);
    for (const auto& [code, info] : items) {
        Json::Value item;
        item["code"] = code;
        item["info"] = info;
        array.append(item);
    }
    return "data=" + PercentEncode(Compact(array));
}

}  // namespace zl::stats::test
