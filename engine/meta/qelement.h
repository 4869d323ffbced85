// Bencoded values. An integer is an optional suffix of the string element
// before it, so '6:lengthi123e' is one element (the string "length" carrying
// 123) and '4:name3:abc' two. A dictionary is an ordered run of children in
// which keys and values alternate, except that a key whose value is an integer
// carries it and stands alone. Only where no string precedes it, at the start
// of a list or after another integer or container in a list (a DHT error
// reply's [201, "text"]), is an integer an element of its own
// (kElementInteger). Encoding keeps the stored order; keys are never sorted.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zl {

enum ElementType : int {
    kElementNone = 0,        // empty or failed element
    kElementSequence = 1,    // a bare run of elements, no brackets
    kElementString = 2,
    kElementDictionary = 3,
    kElementList = 4,
    kElementInteger = 5,     // a bare integer inside a list
};

// Parse results besides a positive byte count.
enum ParseResult : int {
    kParseNothing = 0,     // nothing to parse here
    kParseSyntax = -1,     // malformed
    kParseTooLong = -3,    // a declared length exceeds the bytes given or is negative
    kParseTooDeep = -4,    // nesting or element count beyond the limits
};

// How a parse ended: the byte count or ParseResult, and for a failure the
// offset (from the first byte given) of the element or byte where it failed.
struct ParseOutcome {
    int64_t result = kParseNothing;
    int64_t failed_at = -1;
};

// Bounds for untrusted input.
struct ParseLimits {
    int max_depth = 64;
    int64_t max_elements = int64_t(1) << 20;  // about 150,000 files in a torrent
};

class QMultiElement;
class QDictionaryElement;
class QListElement;
class QIntegerElement;

class QElement {
public:
    QElement(const QElement&) = delete;
    QElement& operator=(const QElement&) = delete;
    virtual ~QElement() = default;

    // Parses one element from the bytes; returns the bytes consumed or a ParseResult.
    int64_t Parse(const void* bytes, int64_t length);
    int64_t Parse(const void* bytes, int64_t length, const ParseLimits& limits);
    // As above; a failure also records where it happened.
    int64_t Parse(const void* bytes, int64_t length, const ParseLimits& limits, ParseOutcome& outcome);

    virtual int GetType() const { return type_; }
    virtual QElement* NextSibling(const QElement* child) const;
    virtual QElement* PrevSibling(const QElement* child) const;
    // Dictionary lookup at key positions only; see QMultiElement.
    virtual QElement* FindValue(std::string_view key) const;
    virtual QElement* FindChild(std::string_view text) const;
    virtual QElement* ChildAt(int64_t index) const;
    virtual QElement* Append(std::unique_ptr<QElement> element);
    virtual QElement* AppendString(std::string_view bytes, int64_t integer = 0, bool has_integer = false);
    virtual QElement* InsertAt(int64_t index, std::unique_ptr<QElement> element);
    virtual QElement* InsertStringAt(int64_t index, std::string_view bytes, int64_t integer = 0, bool has_integer = false);
    virtual bool RemoveAt(int64_t index);
    virtual bool Remove(QElement* child);
    // Detached children are handed back to the caller.
    virtual std::unique_ptr<QElement> DetachAt(int64_t index);
    virtual std::unique_ptr<QElement> Detach(QElement* child);
    virtual bool Clear();
    virtual int64_t ChildCount() const { return 0; }
    // A string's raw bytes; a container's children's converted texts joined by separator.
    virtual std::string GetText(std::string_view separator = {}) const;
    virtual int64_t SetCodePage(int code_page);
    virtual void Reset();

    bool IsValid() const { return type_ != kElementNone; }
    bool IsString() const { return type_ == kElementString; }
    bool IsDictionary() const { return type_ == kElementDictionary; }
    bool IsList() const { return type_ == kElementList; }
    bool IsBareInteger() const { return type_ == kElementInteger; }
    bool IsContainer() const {
        return type_ == kElementSequence || type_ == kElementDictionary || type_ == kElementList;
    }
    // The value bytes (empty when invalid).
    std::string_view GetBytes() const { return IsValid() ? std::string_view(value_) : std::string_view(); }
    int64_t GetLength() const { return IsValid() ? int64_t(value_.size()) : -1; }
    int64_t GetInteger() const { return IsValid() ? integer_ : 0; }
    // The flag or a non-zero integer: what decides whether an integer is written.
    bool HasInteger() const { return has_integer_ || integer_ != 0; }
    int64_t GetEncodedLength() const { return encoded_length_; }
    // The first byte of this element inside the buffer it was parsed from;
    // null for built elements. Valid only while that buffer lives.
    const uint8_t* GetSource() const { return IsValid() ? source_ : nullptr; }
    QMultiElement* GetParent() const { return parent_; }
    int GetCodePage() const { return code_page_; }

    QMultiElement* AsContainer();
    QDictionaryElement* AsDictionary();
    QListElement* AsList();
    const QDictionaryElement* AsDictionary() const;
    const QListElement* AsList() const;

protected:
    friend class QMultiElement;
    explicit QElement(int class_type) : class_type_(class_type) {}

    struct Budget {
        int depth_left;
        int64_t elements_left;
        const uint8_t* origin = nullptr;  // the first byte of the whole parse
        int64_t failed_at = -1;           // the innermost failure's offset
        void NoteFailure(const uint8_t* at) {
            if (failed_at < 0 && origin) failed_at = at - origin;
        }
    };
    virtual int64_t ParseImpl(const uint8_t* p, int64_t n, Budget& budget) = 0;
    void ResetFields();
    void AdjustEncodedLength(int64_t delta);  // this element and its ancestors

    bool has_integer_ = false;
    int code_page_ = 0;
    const uint8_t* source_ = nullptr;
    std::string value_;
    int class_type_;
    int type_ = kElementNone;
    int64_t integer_ = 0;
    int64_t encoded_length_ = 0;
    QMultiElement* parent_ = nullptr;
};

// The string element, optionally carrying an integer; inside a list also a
// bare integer ("i201e", no bytes).
class QIntegerElement : public QElement {
public:
    QIntegerElement() : QElement(kElementString) {}
    // A built string element, or null for an empty text that would carry an integer.
    static std::unique_ptr<QIntegerElement> Create(std::string_view bytes, int64_t integer = 0, bool has_integer = false);
    // A built bare integer, for a list.
    static std::unique_ptr<QIntegerElement> CreateBare(int64_t integer);
    int64_t SetCodePage(int code_page) override;

protected:
    int64_t ParseImpl(const uint8_t* p, int64_t n, Budget& budget) override;
};

class QMultiElement : public QElement {
public:
    // An empty, valid bare sequence. (Dictionaries and lists likewise start valid and empty.)
    QMultiElement() : QMultiElement(kElementSequence) {}
    ~QMultiElement() override;

    QElement* NextSibling(const QElement* child) const override;
    QElement* PrevSibling(const QElement* child) const override;
    // Walks the children as key/value pairs: a key carrying an integer stands
    // alone and is itself the answer; otherwise the value is the next child.
    // Only key positions are compared, so a value equal to a key's name is
    // never mistaken for that key.
    QElement* FindValue(std::string_view key) const override;
    QElement* FindChild(std::string_view text) const override;
    QElement* ChildAt(int64_t index) const override;
    QElement* Append(std::unique_ptr<QElement> element) override;
    QElement* AppendString(std::string_view bytes, int64_t integer = 0, bool has_integer = false) override;
    QElement* InsertAt(int64_t index, std::unique_ptr<QElement> element) override;
    QElement* InsertStringAt(int64_t index, std::string_view bytes, int64_t integer = 0, bool has_integer = false) override;
    bool RemoveAt(int64_t index) override;
    bool Remove(QElement* child) override;
    std::unique_ptr<QElement> DetachAt(int64_t index) override;
    std::unique_ptr<QElement> Detach(QElement* child) override;
    bool Clear() override;
    int64_t ChildCount() const override { return IsValid() ? int64_t(children_.size()) : 0; }
    std::string GetText(std::string_view separator = {}) const override;
    int64_t SetCodePage(int code_page) override;
    void Reset() override;
    virtual void OnContainerHook() {}

    // Moves an element here from wherever it was; the container takes ownership.
    // Null when the element is this container or one of its ancestors.
    QElement* Adopt(QElement* element);

    const std::vector<std::unique_ptr<QElement>>& Children() const { return children_; }

protected:
    explicit QMultiElement(int class_type);
    int64_t ParseImpl(const uint8_t* p, int64_t n, Budget& budget) override;
    int64_t IndexOf(const QElement* child) const;
    QElement* InsertOwned(int64_t index, std::unique_ptr<QElement> element);

    std::vector<std::unique_ptr<QElement>> children_;
};

class QDictionaryElement : public QMultiElement {
public:
    QDictionaryElement() : QMultiElement(kElementDictionary) {}

    // Building (appends at the end, in call order).
    QElement* SetInteger(std::string_view key, int64_t value);  // key carrying the integer
    QElement* AddString(std::string_view key, std::string_view value);
    QDictionaryElement* AddDictionary(std::string_view key);
    QListElement* AddList(std::string_view key);
    // Removes a key and its value (or a key carrying its integer); false when absent.
    bool RemoveKey(std::string_view key);

    // Reading. Absent keys and values of the wrong kind give nullopt / null.
    std::optional<int64_t> IntegerOf(std::string_view key) const;
    int64_t IntegerOr(std::string_view key, int64_t fallback) const { return IntegerOf(key).value_or(fallback); }
    std::optional<std::string_view> BytesOf(std::string_view key) const;
    QDictionaryElement* DictionaryOf(std::string_view key) const;
    QListElement* ListOf(std::string_view key) const;
};

class QListElement : public QMultiElement {
public:
    QListElement() : QMultiElement(kElementList) {}
    QDictionaryElement* AddDictionary();
    QListElement* AddList();
    // Appends a bare integer (written "i<value>e").
    QElement* AddInteger(int64_t value);
};

}  // namespace zl
