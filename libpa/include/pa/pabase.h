#pragma once
// The reference-counted root of every framework object.

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

namespace pa {

// A framework object lives from its creation (count 1) until the release that
// brings the count to 0; it is released, never deleted directly. Framework
// classes derive from it virtually, so an object has one count.
class TBase {
public:
    TBase() = default;
    // A copy is a new object with a count of its own.
    TBase(const TBase&) {}
    TBase& operator=(const TBase&) { return *this; }

    virtual std::int32_t addRef();
    // Deletes the object when the count reaches 0 and returns 0 then.
    virtual std::int32_t release();

    // The run-time type name with everything up to the last ':' cut off:
    // "mi::TDataList" gives "TDataList".
    std::string className() const;

protected:
    virtual ~TBase() = default;

private:
    std::atomic<std::int32_t> count_{1};
};

// Holds one reference of a framework object and releases it when it goes, so
// that an exception leaving a scope never leaks the object.
template <class T> class Ref {
public:
    Ref() = default;
    // Takes over a reference the caller owns (e.g. a new object's first one).
    explicit Ref(T* adopted) : p_(adopted) {}
    Ref(const Ref& other) : p_(other.p_) {
        if (p_) {
            p_->addRef();
        }
    }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { reset(); }

    void reset() {
        if (T* p = std::exchange(p_, nullptr)) {
            p->release();
        }
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

} // namespace pa
