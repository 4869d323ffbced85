#include "engine/meta/torrent.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/base/text.h"
#include "engine/meta/bencode.h"
#include "engine/meta/block_info.h"
#include "engine/meta/link_text.h"

namespace zl {
namespace {

// The info hash as a tracker query takes it.
std::string EscapedHash(const Sha1Digest& hash) {
    return PercentEncode(std::string_view(reinterpret_cast<const char*>(hash.data()), hash.size()), PercentKeep::kAlnum);
}

// Reads a whole regular file of at most `limit` bytes.
bool ReadWholeFile(const std::string& path, int64_t limit, std::string* out, std::string* error) {
    // Non-blocking, so that a FIFO named instead of a file cannot hang the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = path + " is not a regular file";
        ::close(fd);
        return false;
    }
    if (st.st_size > limit) {
        *error = path + " is too large for a torrent (" + std::to_string(st.st_size) + " bytes)";
        ::close(fd);
        return false;
    }
    out->assign(size_t(st.st_size), '\0');
    size_t got = 0;
    while (got < out->size()) {
        const ssize_t r = ::read(fd, out->data() + got, out->size() - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            *error = "cannot read " + path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (r == 0) break;  // the file shrank while being read
        got += size_t(r);
    }
    out->resize(got);
    ::close(fd);
    return true;
}

std::string TrimControlBytes(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && uint8_t(s[b]) >= 1 && uint8_t(s[b]) <= 0x20) ++b;
    while (e > b && uint8_t(s[e - 1]) >= 1 && uint8_t(s[e - 1]) <= 0x20) --e;
    return std::string(s.substr(b, e - b));
}

// Walks an announce-list: "Tracker" entries are labels and skipped, a "Name"
// entry ends its container, nested lists and dictionaries are walked in turn.
void CollectTrackers(const QElement& container, std::vector<std::string>* out) {
    for (int64_t i = 0; i < container.ChildCount(); ++i) {
        const QElement* c = container.ChildAt(i);
        if (!c || !c->IsValid()) continue;
        if (c->IsString()) {
            const std::string_view text = c->GetBytes();
            if (text == "Tracker") continue;
            if (text == "Name") break;
            if (text.empty()) continue;
            std::string url = TrimTrackerUrl(text);
            if (!url.empty()) out->push_back(std::move(url));
        } else {
            CollectTrackers(*c, out);
        }
    }
}

std::string TextOf(const QDictionaryElement& d, std::string_view key) {
    const QElement* v = d.FindValue(key);
    if (!v || !v->IsString() || v->HasInteger()) return {};
    return ConvertedText(*v);
}

}  // namespace

int CodePageOfName(std::string_view name) {
    if (EqualsNoCase(name, "GBK")) return 936;
    if (EqualsNoCase(name, "BIG5")) return 950;
    if (EqualsNoCase(name, "KOR")) return 949;
    if (EqualsNoCase(name, "Shift-JIS")) return 932;
    return 0;
}

std::string TrimTrackerUrl(std::string_view text) {
    size_t start = 0;
    while (start < text.size()) {
        const char c = text[start];
        if (c == 'h' || c == 'H' || c == 'u' || c == 'U') break;
        ++start;
    }
    size_t end = text.size();
    while (end > start && text[end - 1] == '|') --end;
    if (end - start < 2) return {};
    return std::string(text.substr(start, end - start));
}

bool TTorrent::LoadMetainfo() {
    if (source_.find(kLinkEndMarker) != std::string::npos) return LoadLinkText(source_);
    if (torrent_data_.empty()) return LoadFromFileUrl(source_);
    return LoadFromData(torrent_data_.data(), int64_t(torrent_data_.size()));
}

bool TTorrent::LoadLinkText(std::string_view text) {
    if (host_) host_->SetTaskStatus(kTaskStatusLoadingMetainfo);
    ResetMetainfo();
    std::string error;
    const std::optional<LinkText> link = ParseLinkText(text, &error);
    bool ok = false;
    if (!link) {
        Refuse(error);
    } else {
        info_hash_ = link->info_hash;
        escaped_info_hash_ = EscapedHash(info_hash_);
        hex_info_hash_ = HexEncode(info_hash_);
        announce_ = link->tracker;
        trackers_.push_back(announce_);
        TorrentInfo info;
        info.single_file = true;
        info.piece_length = link->piece_length;
        info.total_size = link->size;
        info.piece_count = BlockInfo(link->size, link->piece_length).piece_count();
        info.info_hash = info_hash_;
        TorrentFile file;
        file.components.emplace_back(kLinkTextFileName);
        file.path = kLinkTextFileName;
        file.size = link->size;
        info.files.push_back(std::move(file));
        if (host_ && !host_->AcceptLinkText(info)) {
            Refuse("the piece map refused the link text");
        } else {
            info_ = std::move(info);
            loaded_ = from_link_text_ = ok = true;
        }
    }
    if (host_) host_->SetTaskStatus(kTaskStatusMetainfoLoaded);
    return ok;
}

bool TTorrent::LoadFromFileUrl(const std::string& source) {
    if (StartsWithNoCase(source, "http://Kademlia/")) {
        ResetMetainfo();
        error_code_ = kStatusMetainfoFailed;
        error_message_ = "metainfo from the DHT is not available";
        return false;
    }
    if (!StartsWithNoCase(source, "file://")) {
        ResetMetainfo();
        error_code_ = kStatusMetainfoFailed;
        error_message_ = "not a file:// location: " + source;
        return false;
    }
    return LoadFromFile(source.substr(7));
}

bool TTorrent::LoadFromFile(const std::string& path) {
    std::string bytes, error;
    bool ok = ReadWholeFile(path, kMaxTorrentFileSize, &bytes, &error);
    if (!ok) {
        ResetMetainfo();
        error_code_ = kStatusMetainfoFailed;
        error_message_ = error;
    } else if (bytes.size() <= 2 || (bytes[0] != 'd' && bytes[0] != 'D')) {
        ResetMetainfo();
        ok = false;
        error_code_ = kStatusMetainfoFailed;
        error_message_ = path + " is not a torrent (it does not hold a bencoded dictionary)";
    } else {
        ok = LoadFromData(bytes.data(), int64_t(bytes.size()));
        if (!ok) error_message_ = path + ": " + error_message_;
    }
    // A task cannot go on without its metainfo.
    if (!ok && host_) {
        host_->SetTaskError(kStatusMetainfoFailed);
        host_->RequestStop();
    }
    return ok;
}

bool TTorrent::Refuse(std::string message) {
    ResetMetainfo();
    error_code_ = kStatusMetainfoFailed;
    error_message_ = std::move(message);
    return false;
}

bool TTorrent::LoadFromData(const void* bytes, int64_t length) {
    if (!bytes || length <= 0) return Refuse("the torrent is empty");
    if (host_) host_->SetTaskStatus(kTaskStatusLoadingMetainfo);
    ResetMetainfo();
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    bool ok = false;
    if (p[0] != 'd' && p[0] != 'D') {
        Refuse("the torrent does not start with a dictionary");
    } else {
        ParseOutcome outcome;
        auto root = ParseElement(p, length, ParseLimits{}, outcome);
        if (!root) {
            Refuse("the torrent " + DescribeParseFailure(outcome));
        } else {
            ok = ReadMetainfo(*root);
        }
    }
    if (host_) host_->SetTaskStatus(kTaskStatusMetainfoLoaded);
    return ok;
}

void TTorrent::ResetMetainfo() {
    announce_.clear();
    publisher_.clear();
    publisher_url_.clear();
    comment_.clear();
    creation_date_ = 0;
    info_hash_ = {};
    escaped_info_hash_.clear();
    hex_info_hash_.clear();
    trackers_.clear();
    info_ = TorrentInfo{};
    loaded_ = false;
    from_link_text_ = false;
    error_code_ = 0;
    error_message_.clear();
}

bool TTorrent::ReadMetainfo(QElement& root_element) {
    QDictionaryElement* root = root_element.AsDictionary();
    if (!root) return Refuse("the torrent is not a dictionary");

    if (code_page_ == 0) {
        if (const auto cp = root->IntegerOf("codepage")) {
            if (*cp < 0 || *cp > 65535) return Refuse("code page " + std::to_string(*cp) + " is not valid");
            code_page_ = int(*cp);
        } else if (const auto name = root->BytesOf("encoding")) {
            code_page_ = CodePageOfName(*name);
        }
    }
    if (code_page_ != 0) root->SetCodePage(code_page_);

    const QElement* announce = root->FindValue("announce");
    if (announce && announce->IsString() && !announce->HasInteger())
        announce_ = TrimControlBytes(TrimTrackerUrl(announce->GetBytes()));
    trackers_.push_back(announce_);
    if (const QElement* list = root->FindValue("announce-list"); list && list->IsContainer())
        CollectTrackers(*list, &trackers_);

    comment_ = TextOf(*root, "comment");
    publisher_ = TextOf(*root, "publisher");
    publisher_url_ = TextOf(*root, "publisher-url");
    creation_date_ = root->IntegerOf("creation date").value_or(0);

    const QElement* info_element = root->FindValue("info");
    const QDictionaryElement* info = info_element ? info_element->AsDictionary() : nullptr;
    if (!info) return Refuse("the torrent has no info dictionary");
    if (!info->GetSource() || info->GetEncodedLength() <= 0) return Refuse("the info dictionary was not parsed");
    // The hash covers the info bytes exactly as they stand in the torrent,
    // whatever their key order.
    info_hash_ = Sha1Of(info->GetSource(), size_t(info->GetEncodedLength()));
    escaped_info_hash_ = EscapedHash(info_hash_);
    hex_info_hash_ = HexEncode(info_hash_);
    if (publisher_.empty()) publisher_ = TextOf(*info, "publisher");
    if (publisher_url_.empty()) publisher_url_ = TextOf(*info, "publisher-url");

    std::string error;
    TorrentInfo parsed;
    if (!ReadTorrentInfo(*info, &parsed, &error)) return Refuse(error);
    parsed.info_hash = info_hash_;
    if (host_ && !host_->AcceptInfo(parsed, *info)) return Refuse("the piece map refused the torrent's info");
    info_ = std::move(parsed);
    loaded_ = true;
    return true;
}

}  // namespace zl
