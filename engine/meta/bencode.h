// Parsing, encoding and text conversion of bencoded values (see qelement.h).
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/meta/byte_buffer.h"
#include "engine/meta/qelement.h"

namespace zl {

// Parses the first complete element of the bytes: "d"/"D" a dictionary,
// "l"/"L" a list, a digit a string element; anything else (an integer on its
// own included) gives null, as does any malformed or over-deep input. Bytes
// after the element are ignored (the element's encoded length tells how many
// were used). *result, when given, receives the byte count or ParseResult.
std::unique_ptr<QElement> ParseElement(const void* bytes, int64_t length, const ParseLimits& limits = {});
std::unique_ptr<QElement> ParseElement(std::string_view bytes, int64_t* result = nullptr);
std::unique_ptr<QElement> ParseElement(const void* bytes, int64_t length, const ParseLimits& limits,
                                       int64_t* result);
// As above, with where a failure happened.
std::unique_ptr<QElement> ParseElement(const void* bytes, int64_t length, const ParseLimits& limits,
                                       ParseOutcome& outcome);
// A reader's description of a failed parse: what went wrong and at which byte.
std::string DescribeParseFailure(const ParseOutcome& outcome);

std::unique_ptr<QDictionaryElement> NewDictionary();
std::unique_ptr<QListElement> NewList();

// Bytes the encoding takes (the recorded length for strings); 0 for null or
// invalid elements anywhere in the tree.
int64_t EncodedSize(const QElement* element);
// Appends the encoding. False for a null element or an invalid element in the
// tree; what was appended before it stays in the buffer.
bool EncodeElement(const QElement* element, ByteBuffer& buffer);
// The encoding as a string, empty when the tree cannot be encoded.
std::string Encode(const QElement& element);

// The value of a string element converted from its code page to UTF-8 (the
// process's text encoding). Unchanged when the code page is 0 or every byte is
// printable ASCII; empty when the conversion fails.
std::string ConvertedText(const QElement& element);
// UTF-8 text converted to the code page (the same printable-ASCII shortcut);
// empty when the conversion fails.
std::string ToCodePage(std::string_view text, int code_page);
// The iconv name of a Windows code page number ("CP936" ...).
std::string IconvNameOfCodePage(int code_page);

}  // namespace zl
