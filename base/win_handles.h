#pragma once
// RAII owners for Win32 handles and COM pointers.

#include <windows.h>
#include <shlobj.h>

#include <utility>

#include "base/unique_resource.h"

struct KernelHandleTraits {
    using Raw = HANDLE;
    static Raw Invalid() noexcept { return nullptr; }
    static bool IsValid(Raw h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Raw h) noexcept {
        const DWORD error = GetLastError();
        CloseHandle(h);
        SetLastError(error);
    }
};
// Handles whose failure value is INVALID_HANDLE_VALUE (CreateFileW and friends).
struct FileHandleTraits : KernelHandleTraits {
    static Raw Invalid() noexcept { return INVALID_HANDLE_VALUE; }
};
struct FindHandleTraits {
    using Raw = HANDLE;
    static Raw Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Raw h) noexcept { return h != INVALID_HANDLE_VALUE; }
    static void Close(Raw h) noexcept { FindClose(h); }
};
struct IconTraits {
    using Raw = HICON;
    static Raw Invalid() noexcept { return nullptr; }
    static bool IsValid(Raw h) noexcept { return h != nullptr; }
    static void Close(Raw h) noexcept { DestroyIcon(h); }
};
struct IdListTraits {
    using Raw = PIDLIST_ABSOLUTE;
    static Raw Invalid() noexcept { return nullptr; }
    static bool IsValid(Raw h) noexcept { return h != nullptr; }
    static void Close(Raw h) noexcept { CoTaskMemFree(h); }
};
struct TaskStringTraits {
    using Raw = PWSTR;
    static Raw Invalid() noexcept { return nullptr; }
    static bool IsValid(Raw h) noexcept { return h != nullptr; }
    static void Close(Raw h) noexcept { CoTaskMemFree(h); }
};
struct LocalMemTraits {
    using Raw = LPWSTR*;
    static Raw Invalid() noexcept { return nullptr; }
    static bool IsValid(Raw h) noexcept { return h != nullptr; }
    static void Close(Raw h) noexcept { LocalFree(h); }
};

using UniqueHandle = UniqueResource<KernelHandleTraits>;
using UniqueFileHandle = UniqueResource<FileHandleTraits>;
using UniqueFindHandle = UniqueResource<FindHandleTraits>;
using UniqueIcon = UniqueResource<IconTraits>;
using UniqueIdList = UniqueResource<IdListTraits>;
using UniqueTaskString = UniqueResource<TaskStringTraits>;
using UniqueArgv = UniqueResource<LocalMemTraits>;

// Owns one reference of a COM interface.
template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    // Takes a new reference of `raw`.
    static ComPtr Copy(T* raw) noexcept {
        ComPtr p;
        p.ptr = raw;
        if (raw) raw->AddRef();
        return p;
    }
    ComPtr(ComPtr&& other) noexcept : ptr(std::exchange(other.ptr, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            Reset();
            ptr = std::exchange(other.ptr, nullptr);
        }
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() { Reset(); }

    T* Get() const noexcept { return ptr; }
    T* operator->() const noexcept { return ptr; }
    explicit operator bool() const noexcept { return ptr != nullptr; }
    // Releases the current pointer and returns the slot for an out-parameter.
    T** Put() noexcept {
        Reset();
        return &ptr;
    }
    void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }
    T* Detach() noexcept { return std::exchange(ptr, nullptr); }
    void Reset() noexcept {
        if (T* old = std::exchange(ptr, nullptr)) old->Release();
    }

private:
    T* ptr = nullptr;
};
