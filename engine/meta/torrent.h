// TTorrent: the parsed metainfo of one task - trackers, descriptive texts, the
// code page of the names, the info-hash, and the checked contents of the info
// dictionary. It is shared by reference count between the task and its piece map.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/ref_object.h"
#include "engine/meta/qelement.h"
#include "engine/meta/sha1.h"
#include "engine/meta/torrent_info.h"

namespace zl {

// Task status while the metainfo loads, and the task error of a refused torrent.
constexpr int kTaskStatusLoadingMetainfo = 3;
constexpr int kTaskStatusMetainfoLoaded = 4;
constexpr int kStatusMetainfoFailed = 20211;

// The task and piece-map side of a load. Every hook has a harmless default,
// so a TTorrent also works on its own (tools, tests).
class TorrentHost {
public:
    virtual ~TorrentHost() = default;
    virtual void SetTaskStatus(int /*status*/) {}
    virtual void SetTaskError(int /*code*/) {}
    virtual void RequestStop() {}
    // The piece map takes the checked info (carrying over progress from an
    // earlier piece map when it has one); false fails the load.
    virtual bool AcceptInfo(const TorrentInfo& /*info*/, const QDictionaryElement& /*info_dict*/) { return true; }
    // The piece map takes the contents of a task link text (a single file,
    // no piece hashes); false fails the load.
    virtual bool AcceptLinkText(const TorrentInfo& /*info*/) { return true; }
};

class TTorrent : public TRefObject {
public:
    explicit TTorrent(TorrentHost* host = nullptr) : host_(host) {}

    // --- loading ---
    void SetSource(std::string source) { source_ = std::move(source); }
    void SetTorrentData(std::string bytes) { torrent_data_ = std::move(bytes); }
    // The task's single entry: a link text, else the "file://" source when no
    // data was given, else the data.
    bool LoadMetainfo();
    bool LoadFromFileUrl(const std::string& source);
    bool LoadFromFile(const std::string& path);
    bool LoadFromData(const void* bytes, int64_t length);
    // Reads a task link text: the info hash and the one tracker; the info
    // holds a single file named "001.zlinfo" and no piece hashes.
    bool LoadLinkText(std::string_view text);
    // Clears everything read from a torrent; the code page stays.
    void ResetMetainfo();

    // Why the last load failed (0 / "" after a success).
    int ErrorCode() const { return error_code_; }
    const std::string& ErrorMessage() const { return error_message_; }

    // --- contents ---
    int CodePage() const { return code_page_; }
    void SetCodePage(int code_page) { code_page_ = code_page; }
    const std::string& Announce() const { return announce_; }
    const std::string& Publisher() const { return publisher_; }
    const std::string& PublisherUrl() const { return publisher_url_; }
    const std::string& Comment() const { return comment_; }
    int64_t CreationDate() const { return creation_date_; }
    const Sha1Digest& InfoHash() const { return info_hash_; }
    const std::string& EscapedInfoHash() const { return escaped_info_hash_; }
    const std::string& HexInfoHash() const { return hex_info_hash_; }
    // The announce URL first (also when empty), then the announce-list in order.
    const std::vector<std::string>& Trackers() const { return trackers_; }
    const std::string& TorrentData() const { return torrent_data_; }
    const std::string& Source() const { return source_; }
    bool Loaded() const { return loaded_; }
    const TorrentInfo& Info() const { return info_; }
    // Loaded from a task link text: the pieces cannot be verified.
    bool FromLinkText() const { return from_link_text_; }

protected:
    ~TTorrent() override = default;

private:
    bool ReadMetainfo(QElement& root);
    bool Refuse(std::string message);

    TorrentHost* host_;
    int code_page_ = 0;
    std::string announce_, publisher_, publisher_url_, comment_;
    int64_t creation_date_ = 0;
    Sha1Digest info_hash_{};
    std::string escaped_info_hash_, hex_info_hash_;
    std::vector<std::string> trackers_;
    std::string torrent_data_;
    std::string source_;
    TorrentInfo info_;
    bool loaded_ = false;
    bool from_link_text_ = false;
    int error_code_ = 0;
    std::string error_message_;
};

// Helpers of the metainfo texts.
int CodePageOfName(std::string_view name);     // "GBK" 936, "BIG5" 950, "KOR" 949, "Shift-JIS" 932, else 0
std::string TrimTrackerUrl(std::string_view text);

}  // namespace zl
