// One small owner type for every kind of handle: the destructor closes, copying is
// forbidden, moving hands the handle on.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <wininet.h>
#include <utility>

template <typename Traits>
class unique_any {
public:
    using pointer = typename Traits::type;

    unique_any() noexcept : value_(Traits::invalid()) {}
    explicit unique_any(pointer value) noexcept : value_(value) {}
    ~unique_any() { reset(); }

    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;
    unique_any(unique_any&& other) noexcept : value_(other.release()) {}
    unique_any& operator=(unique_any&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    pointer get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != Traits::invalid(); }

    void reset(pointer value = Traits::invalid()) noexcept {
        if (value_ != Traits::invalid()) Traits::close(value_);
        value_ = value;
    }
    pointer release() noexcept { return std::exchange(value_, Traits::invalid()); }
    // Address for APIs that hand a new handle out through a pointer.
    pointer* put() noexcept {
        reset();
        return &value_;
    }

private:
    pointer value_;
};

#define PW_HANDLE_TRAITS(NAME, TYPE, INVALID, CLOSE)             \
    struct NAME {                                                \
        using type = TYPE;                                       \
        static type invalid() noexcept { return INVALID; }       \
        static void close(type h) noexcept { CLOSE; }            \
    }

namespace handle_traits {
PW_HANDLE_TRAITS(kernel, HANDLE, nullptr, ::CloseHandle(h));
PW_HANDLE_TRAITS(file, HANDLE, INVALID_HANDLE_VALUE, ::CloseHandle(h));
PW_HANDLE_TRAITS(find, HANDLE, INVALID_HANDLE_VALUE, ::FindClose(h));
PW_HANDLE_TRAITS(snapshot, HANDLE, INVALID_HANDLE_VALUE, ::CloseHandle(h));
PW_HANDLE_TRAITS(hinternet, HINTERNET, nullptr, ::InternetCloseHandle(h));
PW_HANDLE_TRAITS(hkey, HKEY, nullptr, ::RegCloseKey(h));
PW_HANDLE_TRAITS(hmenu, HMENU, nullptr, ::DestroyMenu(h));
PW_HANDLE_TRAITS(hmodule, HMODULE, nullptr, ::FreeLibrary(h));
PW_HANDLE_TRAITS(hcryptprov, HCRYPTPROV, 0, ::CryptReleaseContext(h, 0));
PW_HANDLE_TRAITS(hcrypthash, HCRYPTHASH, 0, ::CryptDestroyHash(h));
PW_HANDLE_TRAITS(hcryptkey, HCRYPTKEY, 0, ::CryptDestroyKey(h));
}  // namespace handle_traits

using unique_handle = unique_any<handle_traits::kernel>;
using unique_hfile = unique_any<handle_traits::file>;
using unique_hfind = unique_any<handle_traits::find>;
using unique_snapshot = unique_any<handle_traits::snapshot>;
using unique_hinternet = unique_any<handle_traits::hinternet>;
using unique_hkey = unique_any<handle_traits::hkey>;
using unique_hmenu = unique_any<handle_traits::hmenu>;
using unique_hmodule = unique_any<handle_traits::hmodule>;
using unique_hcryptprov = unique_any<handle_traits::hcryptprov>;
using unique_hcrypthash = unique_any<handle_traits::hcrypthash>;
using unique_hcryptkey = unique_any<handle_traits::hcryptkey>;

// COM interface pointer: Release on destruction.
template <typename T>
class com_ptr {
public:
    com_ptr() noexcept = default;
    ~com_ptr() { reset(); }
    com_ptr(const com_ptr&) = delete;
    com_ptr& operator=(const com_ptr&) = delete;
    com_ptr(com_ptr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    com_ptr& operator=(com_ptr&& other) noexcept {
        if (this != &other) {
            reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept {
        if (p_) std::exchange(p_, nullptr)->Release();
    }
    T** put() noexcept {
        reset();
        return &p_;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

private:
    T* p_ = nullptr;
};

// Critical section owned for the life of the object; Lock() guards a scope.
class CriticalSection {
public:
    CriticalSection() noexcept { ::InitializeCriticalSection(&cs_); }
    ~CriticalSection() { ::DeleteCriticalSection(&cs_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    void Enter() noexcept { ::EnterCriticalSection(&cs_); }
    void Leave() noexcept { ::LeaveCriticalSection(&cs_); }

private:
    CRITICAL_SECTION cs_;
};
