// Parses arbitrary bytes as bencode; whatever parses must encode, and a
// re-parse of that encoding must encode to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/meta/bencode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto root = zl::ParseElement(data, int64_t(size));
    if (!root) return 0;
    if (root->GetEncodedLength() <= 0 || size_t(root->GetEncodedLength()) > size) std::abort();
    const std::string once = zl::Encode(*root);
    if (once.empty()) std::abort();
    auto again = zl::ParseElement(once);
    if (!again || zl::Encode(*again) != once) std::abort();
    // Lookups and texts on the parsed tree.
    if (auto* d = root->AsDictionary()) {
        d->FindValue("info");
        d->IntegerOf("length");
        d->GetText("/");
        d->SetCodePage(936);
        d->GetText("/");
    }
    return 0;
}
