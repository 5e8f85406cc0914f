#pragma once
// One owner template for every kind of handle: each kind is a traits type with
// Raw, Invalid(), IsValid(raw) and Close(raw).

#include <utility>

template <class Traits>
class UniqueResource {
public:
    using Raw = typename Traits::Raw;

    explicit UniqueResource(Raw value = Traits::Invalid()) noexcept : handle(value) {}
    UniqueResource(UniqueResource&& other) noexcept : handle(other.Release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    ~UniqueResource() { Reset(); }

    Raw Get() const noexcept { return handle; }
    Raw Release() noexcept { return std::exchange(handle, Traits::Invalid()); }
    void Reset(Raw value = Traits::Invalid()) noexcept {
        Raw old = std::exchange(handle, value);
        if (Traits::IsValid(old)) Traits::Close(old);
    }
    // For out-parameters: releases the old value and returns the slot.
    Raw* Put() noexcept {
        Reset();
        return &handle;
    }
    explicit operator bool() const noexcept { return Traits::IsValid(handle); }

private:
    Raw handle;
};

// Traits of a pointer-like handle whose empty value is null and which `Free`
// releases: UniqueResource<PointerTraits<HCERTSTORE, [](HCERTSTORE s) { ... }>>.
template <class Pointer, auto Free>
struct PointerTraits {
    using Raw = Pointer;
    static Raw Invalid() noexcept { return nullptr; }
    static bool IsValid(Raw p) noexcept { return p != nullptr; }
    static void Close(Raw p) noexcept { Free(p); }
};
