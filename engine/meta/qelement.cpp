#include "engine/meta/qelement.h"

#include <algorithm>
#include <cctype>

#include "engine/meta/bencode.h"

namespace zl {
namespace {

bool IsDigit(uint8_t b) { return b >= '0' && b <= '9'; }
bool IsOpenBracket(uint8_t b) { return b == 'd' || b == 'D' || b == 'l' || b == 'L'; }
bool IsEnd(uint8_t b) { return b == 'e' || b == 'E'; }

int64_t DecimalWidth(int64_t v) {
    uint64_t m = v < 0 ? 0 - uint64_t(v) : uint64_t(v);
    int64_t width = v < 0 ? 1 : 0;
    do {
        ++width;
        m /= 10;
    } while (m);
    return width;
}

// Bytes 1..0x39 (digits, blanks and punctuation below "9") that may sit
// between a number and its terminator.
int64_t SkipNumberBytes(const uint8_t* p, int64_t pos, int64_t n) {
    while (pos < n && p[pos] >= 1 && p[pos] <= 0x39) ++pos;
    return pos;
}

// "i<number>e" at `pos` (p[pos] is the "i"): the position after the "e", or
// kParseSyntax when the "e" is missing or the number does not fit 64 bits.
int64_t ParseIntegerSuffix(const uint8_t* p, int64_t pos, int64_t n, int64_t* value) {
    const int64_t end = SkipNumberBytes(p, pos + 1, n);
    if (end >= n || p[end] != 'e') return kParseSyntax;
    int64_t q = pos + 1;
    while (q < end && (p[q] == ' ' || p[q] == '\t')) ++q;
    bool negative = false;
    if (q < end && (p[q] == '-' || p[q] == '+')) negative = p[q++] == '-';
    uint64_t magnitude = 0;
    const uint64_t limit = negative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX);
    while (q < end && IsDigit(p[q])) {
        const unsigned d = p[q] - '0';
        if (magnitude > (limit - d) / 10) return kParseSyntax;  // does not fit 64 bits
        magnitude = magnitude * 10 + d;
        ++q;
    }
    *value = negative ? int64_t(0 - magnitude) : int64_t(magnitude);
    return end + 1;
}

}  // namespace

// ---------------------------------------------------------------- QElement

int64_t QElement::Parse(const void* bytes, int64_t length) { return Parse(bytes, length, ParseLimits{}); }

int64_t QElement::Parse(const void* bytes, int64_t length, const ParseLimits& limits) {
    ParseOutcome outcome;
    return Parse(bytes, length, limits, outcome);
}

int64_t QElement::Parse(const void* bytes, int64_t length, const ParseLimits& limits, ParseOutcome& outcome) {
    Reset();
    outcome = ParseOutcome{};
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    if (!p || length <= 0 || p[0] == 0) return kParseNothing;
    Budget budget{limits.max_depth, limits.max_elements, p};
    const int64_t before = encoded_length_;
    const int64_t r = ParseImpl(p, length, budget);
    outcome.result = r;
    if (r <= 0) {
        budget.NoteFailure(p);
        outcome.failed_at = budget.failed_at;
    }
    if (r > 0) {
        source_ = p;
        encoded_length_ = r;
        if (parent_) parent_->AdjustEncodedLength(r - before);
    } else {
        Reset();
    }
    return r;
}

QElement* QElement::NextSibling(const QElement*) const { return nullptr; }
QElement* QElement::PrevSibling(const QElement*) const { return nullptr; }
QElement* QElement::FindValue(std::string_view) const { return nullptr; }
QElement* QElement::FindChild(std::string_view) const { return nullptr; }
QElement* QElement::ChildAt(int64_t) const { return nullptr; }
QElement* QElement::Append(std::unique_ptr<QElement>) { return nullptr; }
QElement* QElement::AppendString(std::string_view, int64_t, bool) { return nullptr; }
QElement* QElement::InsertAt(int64_t, std::unique_ptr<QElement>) { return nullptr; }
QElement* QElement::InsertStringAt(int64_t, std::string_view, int64_t, bool) { return nullptr; }
bool QElement::RemoveAt(int64_t) { return false; }
bool QElement::Remove(QElement*) { return false; }
std::unique_ptr<QElement> QElement::DetachAt(int64_t) { return nullptr; }
std::unique_ptr<QElement> QElement::Detach(QElement*) { return nullptr; }
bool QElement::Clear() { return false; }
std::string QElement::GetText(std::string_view) const { return std::string(GetBytes()); }
int64_t QElement::SetCodePage(int code_page) {
    code_page_ = code_page;
    return 0;
}

void QElement::ResetFields() {
    const int64_t before = encoded_length_;
    has_integer_ = false;
    code_page_ = 0;
    source_ = nullptr;
    value_.clear();
    type_ = kElementNone;
    integer_ = 0;
    encoded_length_ = 0;
    if (parent_ && before) parent_->AdjustEncodedLength(-before);
}

// An element being reset stays where it is in its parent (its owner), so
// that nobody is left holding a pointer the tree no longer owns.
void QElement::Reset() { ResetFields(); }

void QElement::AdjustEncodedLength(int64_t delta) {
    for (QElement* e = this; e; e = e->parent_) e->encoded_length_ += delta;
}

QMultiElement* QElement::AsContainer() { return IsContainer() ? static_cast<QMultiElement*>(this) : nullptr; }
QDictionaryElement* QElement::AsDictionary() {
    return IsDictionary() ? static_cast<QDictionaryElement*>(this) : nullptr;
}
QListElement* QElement::AsList() { return IsList() ? static_cast<QListElement*>(this) : nullptr; }
const QDictionaryElement* QElement::AsDictionary() const {
    return IsDictionary() ? static_cast<const QDictionaryElement*>(this) : nullptr;
}
const QListElement* QElement::AsList() const { return IsList() ? static_cast<const QListElement*>(this) : nullptr; }

// ---------------------------------------------------------------- string element

std::unique_ptr<QIntegerElement> QIntegerElement::Create(std::string_view bytes, int64_t integer, bool has_integer) {
    if (bytes.empty() && (integer != 0 || has_integer)) return nullptr;
    auto e = std::make_unique<QIntegerElement>();
    e->value_.assign(bytes.data(), bytes.size());
    e->integer_ = integer;
    e->has_integer_ = has_integer;
    e->type_ = kElementString;
    e->encoded_length_ = DecimalWidth(int64_t(bytes.size())) + 1 + int64_t(bytes.size());
    if (e->HasInteger()) e->encoded_length_ += DecimalWidth(integer) + 2;
    return e;
}

int64_t QIntegerElement::SetCodePage(int code_page) {
    code_page_ = code_page;
    return 0;
}

std::unique_ptr<QIntegerElement> QIntegerElement::CreateBare(int64_t integer) {
    auto e = std::make_unique<QIntegerElement>();
    e->integer_ = integer;
    e->has_integer_ = true;
    e->type_ = kElementInteger;
    e->encoded_length_ = DecimalWidth(integer) + 2;
    return e;
}

int64_t QIntegerElement::ParseImpl(const uint8_t* p, int64_t n, Budget&) {
    if (p[0] == 'i' || p[0] == 'I') {
        // A bare integer (its container allows one): "i", the number, "e".
        const int64_t end = ParseIntegerSuffix(p, 0, n, &integer_);
        if (end < 0) return end;
        has_integer_ = true;
        type_ = kElementInteger;
        return end;
    }
    if (!IsDigit(p[0]) && p[0] != '-' && p[0] != '+') return kParseNothing;
    int64_t pos = 0;
    while (pos < n && (p[pos] == ' ' || p[pos] == '\t')) ++pos;
    // The declared length; anything that cannot fit 32 bits exceeds the bytes given.
    int64_t length = 0;
    if (pos + 1 < n && p[pos] == '0' && (p[pos + 1] == 'x' || p[pos + 1] == 'X')) {
        pos += 2;
        int digits = 0;
        while (pos < n && std::isxdigit(p[pos])) {
            const int v = IsDigit(p[pos]) ? p[pos] - '0' : (p[pos] | 0x20) - 'a' + 10;
            length = length * 16 + v;
            if (++digits > 8 || length > INT32_MAX) return kParseTooLong;
            ++pos;
        }
    } else {
        bool negative = false;
        if (pos < n && (p[pos] == '-' || p[pos] == '+')) negative = p[pos++] == '-';
        int digits = 0;
        while (pos < n && IsDigit(p[pos])) {
            length = length * 10 + (p[pos] - '0');
            if (++digits > 12 || length > INT32_MAX) return kParseTooLong;
            ++pos;
        }
        if (negative && length > 0) return kParseTooLong;
    }
    pos = SkipNumberBytes(p, pos, n);
    if (pos >= n || p[pos] != ':') return kParseSyntax;
    ++pos;
    if (n - pos < length) return kParseTooLong;
    value_.assign(reinterpret_cast<const char*>(p + pos), size_t(length));
    pos += length;
    if (pos < n && (p[pos] == 'i' || p[pos] == 'I')) {
        pos = ParseIntegerSuffix(p, pos, n, &integer_);
        if (pos < 0) return pos;
        has_integer_ = true;
    }
    type_ = kElementString;
    return pos;
}

// ---------------------------------------------------------------- containers

QMultiElement::QMultiElement(int class_type) : QElement(class_type) {
    type_ = class_type;
    encoded_length_ = class_type == kElementSequence ? 0 : 2;
}

QMultiElement::~QMultiElement() {
    for (auto& c : children_) c->parent_ = nullptr;
}

int64_t QMultiElement::ParseImpl(const uint8_t* p, int64_t n, Budget& budget) {
    const bool bracketed = class_type_ != kElementSequence;
    if (n < 2 || p[0] == 0) return kParseNothing;
    if (bracketed && !IsOpenBracket(p[0])) return kParseNothing;
    children_.clear();
    const int64_t start = bracketed ? 1 : 0;
    if (bracketed && IsEnd(p[1])) {
        type_ = class_type_;
        return 2;
    }
    // The closing bracket needs a byte of its own.
    const int64_t limit = bracketed ? n - 1 : n;
    int64_t pos = start;
    while (pos < limit && p[pos] != 0 && !IsEnd(p[pos])) {
        const uint8_t b = p[pos];
        std::unique_ptr<QElement> child;
        if (b == 'd' || b == 'D') child = std::make_unique<QDictionaryElement>();
        else if (b == 'l' || b == 'L') child = std::make_unique<QListElement>();
        else if (IsDigit(b)) child = std::make_unique<QIntegerElement>();
        // No string precedes it to carry it: in a list an integer stands alone.
        else if ((b == 'i' || b == 'I') && class_type_ == kElementList) child = std::make_unique<QIntegerElement>();
        else {
            budget.NoteFailure(p + pos);
            return kParseNothing;
        }
        const bool nested = child->class_type_ != kElementString;
        if (--budget.elements_left < 0 || (nested && --budget.depth_left < 0)) {
            budget.NoteFailure(p + pos);
            return kParseTooDeep;
        }
        child->type_ = kElementNone;
        const int64_t r = child->ParseImpl(p + pos, limit - pos, budget);
        if (nested) ++budget.depth_left;
        // Limits and impossible lengths keep their own result; anything else is a syntax error.
        if (r < 1) {
            budget.NoteFailure(p + pos);
            return r == kParseTooDeep || r == kParseTooLong ? r : int64_t(kParseSyntax);
        }
        child->source_ = p + pos;
        child->encoded_length_ = r;
        child->parent_ = this;
        children_.push_back(std::move(child));
        pos += r;
    }
    if (pos == start || (bracketed && (pos >= n || !IsEnd(p[pos])))) {
        budget.NoteFailure(p + pos);
        return kParseSyntax;
    }
    if (bracketed) ++pos;
    type_ = class_type_;
    return pos;
}

int64_t QMultiElement::IndexOf(const QElement* child) const {
    for (size_t i = 0; i < children_.size(); ++i)
        if (children_[i].get() == child) return int64_t(i);
    return -1;
}

QElement* QMultiElement::NextSibling(const QElement* child) const {
    const int64_t i = IndexOf(child);
    return i >= 0 && size_t(i + 1) < children_.size() ? children_[size_t(i + 1)].get() : nullptr;
}

QElement* QMultiElement::PrevSibling(const QElement* child) const {
    const int64_t i = IndexOf(child);
    return i > 0 ? children_[size_t(i - 1)].get() : nullptr;
}

QElement* QMultiElement::FindValue(std::string_view key) const {
    if (!IsValid()) return nullptr;
    size_t i = 0;
    while (i < children_.size()) {
        const QElement* c = children_[i].get();
        if (!c->IsValid()) {
            ++i;
            continue;
        }
        if (c->IsString() && c->value_ == key) {
            if (c->HasInteger()) return const_cast<QElement*>(c);
            if (i + 1 >= children_.size()) return nullptr;
            QElement* value = children_[i + 1].get();
            return value->HasInteger() ? nullptr : value;
        }
        i += c->HasInteger() ? 1 : 2;
    }
    return nullptr;
}

QElement* QMultiElement::FindChild(std::string_view text) const {
    if (!IsValid()) return nullptr;
    for (const auto& c : children_)
        if (c->IsString() && c->value_ == text) return c.get();
    return nullptr;
}

QElement* QMultiElement::ChildAt(int64_t index) const {
    if (!IsValid() || index < 0 || size_t(index) >= children_.size()) return nullptr;
    return children_[size_t(index)].get();
}

QElement* QMultiElement::InsertOwned(int64_t index, std::unique_ptr<QElement> element) {
    QElement* raw = element.get();
    raw->parent_ = this;
    const size_t at = index < 0 || size_t(index) > children_.size() ? children_.size() : size_t(index);
    children_.insert(children_.begin() + int64_t(at), std::move(element));
    AdjustEncodedLength(raw->encoded_length_);
    OnContainerHook();
    return raw;
}

QElement* QMultiElement::Adopt(QElement* element) {
    if (!element) return nullptr;
    for (const QElement* a = this; a; a = a->parent_)
        if (a == element) return nullptr;
    std::unique_ptr<QElement> owned;
    if (element->parent_) owned = element->parent_->Detach(element);
    else owned.reset(element);
    if (!owned) return nullptr;
    return InsertOwned(-1, std::move(owned));
}

QElement* QMultiElement::Append(std::unique_ptr<QElement> element) {
    return InsertAt(int64_t(children_.size()), std::move(element));
}

QElement* QMultiElement::InsertAt(int64_t index, std::unique_ptr<QElement> element) {
    if (!element) return nullptr;
    for (const QElement* a = this; a; a = a->parent_) {
        // Inserting an ancestor into itself: refuse, and leave it to the tree that owns it.
        if (a == element.get()) {
            element.release();
            return nullptr;
        }
    }
    if (element->parent_) {
        // Owned by another container: it moves from there.
        QElement* raw = element.release();
        std::unique_ptr<QElement> owned = raw->parent_->Detach(raw);
        if (!owned) return nullptr;
        return InsertOwned(index, std::move(owned));
    }
    return InsertOwned(index, std::move(element));
}

QElement* QMultiElement::AppendString(std::string_view bytes, int64_t integer, bool has_integer) {
    return InsertStringAt(int64_t(children_.size()), bytes, integer, has_integer);
}

QElement* QMultiElement::InsertStringAt(int64_t index, std::string_view bytes, int64_t integer, bool has_integer) {
    auto e = QIntegerElement::Create(bytes, integer, has_integer);
    if (!e) return nullptr;
    return InsertOwned(index, std::move(e));
}

std::unique_ptr<QElement> QMultiElement::Detach(QElement* child) {
    if (!child || child->parent_ != this) return nullptr;
    const int64_t i = IndexOf(child);
    if (i < 0) return nullptr;
    std::unique_ptr<QElement> owned = std::move(children_[size_t(i)]);
    children_.erase(children_.begin() + i);
    AdjustEncodedLength(-owned->encoded_length_);
    owned->parent_ = nullptr;
    return owned;
}

std::unique_ptr<QElement> QMultiElement::DetachAt(int64_t index) { return Detach(ChildAt(index)); }

bool QMultiElement::Remove(QElement* child) { return Detach(child) != nullptr; }

bool QMultiElement::RemoveAt(int64_t index) { return Remove(ChildAt(index)); }

bool QMultiElement::Clear() {
    int64_t removed = 0;
    for (auto& c : children_) {
        removed += c->encoded_length_;
        c->parent_ = nullptr;
    }
    children_.clear();
    AdjustEncodedLength(-removed);
    return true;
}

std::string QMultiElement::GetText(std::string_view separator) const {
    std::string text;
    if (!IsValid()) return text;
    for (const auto& c : children_) {
        const std::string part = c->IsString() ? ConvertedText(*c) : c->GetText(separator);
        if (text.empty()) text = part;
        else {
            text.append(separator);
            text.append(part);
        }
    }
    return text;
}

int64_t QMultiElement::SetCodePage(int code_page) {
    code_page_ = code_page;
    for (auto& c : children_) c->SetCodePage(code_page);
    return int64_t(children_.size());
}

void QMultiElement::Reset() {
    for (auto& c : children_) c->parent_ = nullptr;
    children_.clear();
    ResetFields();
}

// ---------------------------------------------------------------- dictionary helpers

QElement* QDictionaryElement::SetInteger(std::string_view key, int64_t value) {
    return AppendString(key, value, true);
}

QElement* QDictionaryElement::AddString(std::string_view key, std::string_view value) {
    if (!AppendString(key)) return nullptr;
    QElement* v = AppendString(value);
    if (!v) RemoveAt(ChildCount() - 1);
    return v;
}

QDictionaryElement* QDictionaryElement::AddDictionary(std::string_view key) {
    if (!AppendString(key)) return nullptr;
    return static_cast<QDictionaryElement*>(Append(std::make_unique<QDictionaryElement>()));
}

QListElement* QDictionaryElement::AddList(std::string_view key) {
    if (!AppendString(key)) return nullptr;
    return static_cast<QListElement*>(Append(std::make_unique<QListElement>()));
}

bool QDictionaryElement::RemoveKey(std::string_view key) {
    QElement* found = FindValue(key);
    if (!found) return false;
    if (found->IsString() && found->GetBytes() == key && found->HasInteger()) return Remove(found);
    QElement* k = PrevSibling(found);
    Remove(found);
    return Remove(k);
}

std::optional<int64_t> QDictionaryElement::IntegerOf(std::string_view key) const {
    const QElement* e = FindValue(key);
    // The key carries its integer; "i0e" keeps the flag so a stored 0 is found.
    if (!e || !e->IsString() || e->GetBytes() != key || !e->HasInteger()) return std::nullopt;
    return e->GetInteger();
}

std::optional<std::string_view> QDictionaryElement::BytesOf(std::string_view key) const {
    const QElement* e = FindValue(key);
    if (!e || !e->IsString() || e->HasInteger()) return std::nullopt;
    return e->GetBytes();
}

QDictionaryElement* QDictionaryElement::DictionaryOf(std::string_view key) const {
    QElement* e = FindValue(key);
    return e ? e->AsDictionary() : nullptr;
}

QListElement* QDictionaryElement::ListOf(std::string_view key) const {
    QElement* e = FindValue(key);
    return e ? e->AsList() : nullptr;
}

QDictionaryElement* QListElement::AddDictionary() {
    return static_cast<QDictionaryElement*>(Append(std::make_unique<QDictionaryElement>()));
}

QListElement* QListElement::AddList() { return static_cast<QListElement*>(Append(std::make_unique<QListElement>())); }

QElement* QListElement::AddInteger(int64_t value) { return Append(QIntegerElement::CreateBare(value)); }

}  // namespace zl
