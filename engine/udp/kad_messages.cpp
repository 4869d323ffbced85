#include "engine/udp/kad_messages.h"

#include "engine/meta/qelement.h"

namespace zl {

std::string TransactionBytes(uint64_t transaction) {
    std::string s(kKadTransactionSize, '\0');
    for (size_t i = 0; i < kKadTransactionSize; ++i) s[i] = char(uint8_t(transaction >> (8 * i)));
    return s;
}

std::optional<uint64_t> TransactionFromBytes(std::string_view bytes) {
    if (bytes.size() != kKadTransactionSize) return std::nullopt;
    uint64_t t = 0;
    for (size_t i = 0; i < kKadTransactionSize; ++i) t |= uint64_t(uint8_t(bytes[i])) << (8 * i);
    return t;
}

std::optional<std::string> BuildQuery(const KadId& own, std::string_view method, std::string_view arguments,
                                      uint64_t transaction) {
    if (arguments.size() + method.size() >= kKadMessageLimit) return std::nullopt;
    std::string m;
    m.reserve(64 + arguments.size() + method.size());
    m += "d1:ad2:id20:";
    m += own.Bytes();
    m += arguments;
    m += "e1:q";
    m += std::to_string(method.size());
    m += ':';
    m += method;
    m += "1:t8:";
    m += TransactionBytes(transaction);
    m += "1:y1:qe";
    return m;
}

std::optional<std::string> BuildResponse(const KadId& own, std::string_view body, std::string_view transaction) {
    if (body.size() >= kKadMessageLimit || transaction.size() != kKadTransactionSize) return std::nullopt;
    std::string m;
    m.reserve(48 + body.size());
    m += "d1:rd2:id20:";
    m += own.Bytes();
    m += body;
    m += "e1:t8:";
    m += transaction;
    m += "1:y1:re";
    return m;
}

std::string BuildInvalidTokenError(std::string_view transaction) {
    std::string m = "d1:e20:Invalid Write Token!1:t";
    m += std::to_string(transaction.size());
    m += ':';
    m += transaction;
    m += "1:y1:ee";
    return m;
}

std::optional<KadError> ReadKadError(const QDictionaryElement& message) {
    const QListElement* list = message.ListOf("e");
    const QElement* code = list ? list->ChildAt(0) : nullptr;
    if (!code || !code->IsBareInteger()) return std::nullopt;
    KadError error;
    error.code = code->GetInteger();
    const QElement* text = list->ChildAt(1);
    if (text && text->IsString() && !text->HasInteger()) error.text = std::string(text->GetBytes());
    return error;
}

std::string FindNodeArguments(const KadId& target) { return "6:target20:" + target.Bytes(); }

std::string GetPeersArguments(const KadId& info_hash) { return "9:info_hash20:" + info_hash.Bytes(); }

std::string AnnouncePeerArguments(const KadId& info_hash, uint16_t port, std::string_view token) {
    std::string a = GetPeersArguments(info_hash);
    a += "4:porti";
    a += std::to_string(port);
    a += "e5:token";
    a += std::to_string(token.size());
    a += ':';
    a += token;
    return a;
}

namespace {
void AppendToken(std::string& body, std::string_view token) {
    body += "5:token20:";
    body += token;
}
}  // namespace

std::string NodesBody(const std::vector<KadNode>& nodes, std::string_view token) {
    const size_t n = nodes.size() < 8 ? nodes.size() : 8;
    std::string body = "5:nodes";
    body += std::to_string(n * kCompactNodeSize);
    body += ':';
    for (size_t i = 0; i < n; ++i) AppendCompactNode(body, nodes[i]);
    AppendToken(body, token);
    return body;
}

std::string ValuesBody(std::string_view values_text, std::string_view token) {
    std::string body(values_text);
    AppendToken(body, token);
    return body;
}

}  // namespace zl
