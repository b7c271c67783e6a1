// Owning wrappers for Windows handles and system-allocated memory: one type per kind, each with
// its own invalid value and release function, so that every path gives back what it took.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

template <typename T, typename Traits>
class unique_resource {
public:
    unique_resource() = default;
    explicit unique_resource(T value) : value_(value) {}
    unique_resource(const unique_resource&) = delete;
    unique_resource& operator=(const unique_resource&) = delete;
    unique_resource(unique_resource&& other) noexcept : value_(other.release()) {}
    unique_resource& operator=(unique_resource&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~unique_resource() { reset(); }

    T get() const { return value_; }
    bool valid() const { return value_ != Traits::invalid(); }
    explicit operator bool() const { return valid(); }

    T release() { return std::exchange(value_, Traits::invalid()); }
    void reset(T value = Traits::invalid()) {
        T old = std::exchange(value_, value);
        if (old != Traits::invalid())
            Traits::close(old);
    }
    // For calls that return the resource through an out parameter.
    T* put() {
        reset();
        return &value_;
    }

private:
    T value_ = Traits::invalid();
};

struct handle_traits {
    static HANDLE invalid() { return nullptr; }
    static void close(HANDLE h) { CloseHandle(h); }
};
struct file_handle_traits {
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { CloseHandle(h); }
};
struct hkey_traits {
    static HKEY invalid() { return nullptr; }
    static void close(HKEY k) { RegCloseKey(k); }
};

// Process, thread, mutex, event and token handles (null when absent).
using unique_handle = unique_resource<HANDLE, handle_traits>;
// Handles from CreateFile and CreateNamedPipe (INVALID_HANDLE_VALUE when absent).
using unique_file_handle = unique_resource<HANDLE, file_handle_traits>;
using unique_hkey = unique_resource<HKEY, hkey_traits>;

struct local_free_deleter {
    void operator()(void* p) const { LocalFree(p); }
};
struct free_deleter {
    void operator()(void* p) const { free(p); }
};
struct file_closer {
    void operator()(FILE* f) const { fclose(f); }
};

// Memory from LocalAlloc and from the system calls that allocate with it (SIDs, SDDL texts).
template <typename T>
using unique_local = std::unique_ptr<T, local_free_deleter>;
// Memory from malloc/calloc, such as the texts of utf8_to_utf16 and utf16_to_utf8.
template <typename T>
using unique_malloc = std::unique_ptr<T, free_deleter>;
using unique_file = std::unique_ptr<FILE, file_closer>;

// Restores the thread's last error when leaving a scope, so that clean-up calls made after a
// failing system call do not hide its error from the caller.
class last_error_keeper {
public:
    last_error_keeper() : error_(GetLastError()) {}
    ~last_error_keeper() { SetLastError(error_); }
    void capture() { error_ = GetLastError(); }

private:
    DWORD error_;
};
