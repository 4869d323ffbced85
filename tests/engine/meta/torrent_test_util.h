// Builds torrents for the metainfo tests with the bencode builder.
#pragma once
#include <functional>
#include <string>

#include "engine/meta/bencode.h"

namespace zl::testing {

// A valid multi-file torrent of two files (40000 + 10000 bytes, pieces of
// 16384: 4 pieces); `edit` may change the top level and the info dictionary
// before they are encoded.
inline std::string BuildTorrent(const std::function<void(QDictionaryElement& top, QDictionaryElement& info)>& edit = {}) {
    auto top = NewDictionary();
    top->AddString("announce", "http://127.0.0.2:6969/announce");
    auto info = NewDictionary();
    auto* files = info->AddList("files");
    auto* f1 = files->AddDictionary();
    f1->SetInteger("length", 40000);
    f1->AddList("path")->AppendString("a.bin");
    auto* f2 = files->AddDictionary();
    f2->SetInteger("length", 10000);
    auto* p2 = f2->AddList("path");
    p2->AppendString("sub");
    p2->AppendString("b.bin");
    info->AddString("name", "folder");
    info->SetInteger("piece length", 16384);
    info->AddString("pieces", std::string(4 * 20, 'h'));
    if (edit) edit(*top, *info);
    top->AppendString("info");
    top->Append(std::move(info));
    return Encode(*top);
}

}  // namespace zl::testing
