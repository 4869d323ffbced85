// Reference-counted base of shared engine objects (identities, piece maps,
// metainfo). Whoever stores a pointer calls AddRef, and Release when it lets go;
// nobody deletes such an object directly.
#pragma once
#include <atomic>
#include <utility>
#include <cstdint>

namespace zl {

class TRefObject {
public:
    TRefObject() = default;
    TRefObject(const TRefObject&) = delete;
    TRefObject& operator=(const TRefObject&) = delete;

    TRefObject* AddRef() {
        count_.fetch_add(1, std::memory_order_relaxed);
        return this;
    }
    // Returns the new count; at 0 the object deletes itself. On a null object returns 0.
    static int32_t Release(TRefObject* object) { return object ? object->ReleaseImpl() : 0; }
    int32_t Release() { return ReleaseImpl(); }
    int32_t RefCount() const { return count_.load(std::memory_order_acquire); }

protected:
    virtual ~TRefObject() = default;

private:
    int32_t ReleaseImpl() {
        const int32_t left = count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete this;
        return left;
    }
    std::atomic<int32_t> count_{1};
};

// Holds one reference and releases it on destruction (adopts the creation reference).
template <class T>
class RefPtr {
public:
    RefPtr() = default;
    static RefPtr Adopt(T* p) { RefPtr r; r.p_ = p; return r; }
    static RefPtr Share(T* p) { if (p) p->AddRef(); return Adopt(p); }
    RefPtr(const RefPtr& o) : p_(o.p_) { if (p_) p_->AddRef(); }
    RefPtr(RefPtr&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    RefPtr& operator=(RefPtr o) noexcept { std::swap(p_, o.p_); return *this; }
    ~RefPtr() { if (p_) p_->Release(); }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T* Detach() { T* p = p_; p_ = nullptr; return p; }

private:
    T* p_ = nullptr;
};

}  // namespace zl
