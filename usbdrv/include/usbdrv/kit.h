// The ownership kit: one owning type per kind of handle, key and block of system memory that a
// program takes, each with its own invalid value and release function, so that every path gives
// back what it took; a scope guard, a lock guard for critical sections, a guard for child
// processes, the keeper of the thread's last error, and the UTF-8/UTF-16 conversions of texts
// that a program hands to the system.
//
// The library, its installer helper, the programs over it and the tests all use these types:
// nothing gives back a handle, key, lock or heap block by hand, except where a comment at the
// call says why (a close whose result is checked, for example). The library adds, in
// win/handles.h, the owners of what it takes through functions it looks up at run time
// (device information sets, certificate stores, catalogs...).
//
// Header-only. The first part is portable (no Windows header), for the code that is also built
// natively; the rest is for Windows builds.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

struct free_deleter {
    void operator()(void* p) const { free(p); }
};
struct file_closer {
    void operator()(FILE* f) const { fclose(f); }
};

// Memory from malloc, calloc, realloc and strdup, such as the texts of utf8_to_utf16 and
// utf16_to_utf8 and the output of the token engine.
template <typename T>
using unique_malloc = std::unique_ptr<T, free_deleter>;
// A C stream. Its close writes what the stream still buffers; where that result matters, the
// caller closes by hand (fclose(stream.release())) and checks it.
using unique_file = std::unique_ptr<FILE, file_closer>;

// Runs a clean-up when leaving a scope, unless dismissed; release() runs it at once (once).
//     scope_guard restore([&] { SetCurrentDirectoryW(saved); });
template <typename F>
class scope_guard {
public:
    explicit scope_guard(F clean_up) : clean_up_(std::move(clean_up)) {}
    scope_guard(scope_guard&& other) noexcept
        : clean_up_(std::move(other.clean_up_)), armed_(std::exchange(other.armed_, false)) {}
    scope_guard(const scope_guard&) = delete;
    scope_guard& operator=(const scope_guard&) = delete;
    scope_guard& operator=(scope_guard&&) = delete;
    ~scope_guard() { release(); }

    // The clean-up will not run.
    void dismiss() noexcept { armed_ = false; }
    // Runs the clean-up now, if it has not run and was not dismissed.
    void release() {
        if (std::exchange(armed_, false))
            clean_up_();
    }
    bool armed() const noexcept { return armed_; }

private:
    F clean_up_;
    bool armed_ = true;
};

#ifdef _WIN32

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

// An owner of one value of type T. Traits give the value an empty owner holds (invalid()), tell
// whether a value holds nothing (absent(): the invalid value, or another that some call returns
// for "nothing"), and give a value back (close()). An absent value is never closed.
template <typename T, typename Traits>
class unique_resource {
public:
    using value_type = T;

    unique_resource() noexcept = default;
    explicit unique_resource(T value) noexcept : value_(normal(value)) {}
    unique_resource(const unique_resource&) = delete;
    unique_resource& operator=(const unique_resource&) = delete;
    unique_resource(unique_resource&& other) noexcept : value_(other.release()) {}
    unique_resource& operator=(unique_resource&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~unique_resource() { reset(); }

    T get() const noexcept { return value_; }
    bool valid() const noexcept { return !Traits::absent(value_); }
    explicit operator bool() const noexcept { return valid(); }

    // Hands the value over; the owner is empty afterwards.
    T release() noexcept { return std::exchange(value_, Traits::invalid()); }
    // Gives back the value held, if any, and takes `value`.
    void reset(T value = Traits::invalid()) noexcept {
        T old = std::exchange(value_, normal(value));
        if (!Traits::absent(old))
            Traits::close(old);
    }
    // For calls that return the resource through an out parameter: gives back the value held
    // and lets the call write the new one.
    T* put() noexcept {
        reset();
        return &value_;
    }

private:
    static T normal(T value) noexcept { return Traits::absent(value) ? Traits::invalid() : value; }

    T value_ = Traits::invalid();
};

namespace handle_kit {

// Kernel objects (null when absent). One tag per kind, so that a process handle cannot be
// given where a thread handle is meant.
template <typename Tag>
struct kernel_handle_traits {
    static HANDLE invalid() { return nullptr; }
    static bool absent(HANDLE h) { return h == nullptr; }
    static void close(HANDLE h) { CloseHandle(h); }
};
// Files and pipes: CreateFile and CreateNamedPipe say INVALID_HANDLE_VALUE when they fail; null
// is no file either.
template <typename Tag>
struct file_handle_traits {
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
    static bool absent(HANDLE h) { return h == INVALID_HANDLE_VALUE || h == nullptr; }
    static void close(HANDLE h) { CloseHandle(h); }
};

struct any_kernel_object;
struct process;
struct thread;
struct event;
struct mutex;
struct token;
struct file;
struct pipe;

// Registry keys. RegOpenKeyEx and its kin give null when they fail, but SetupDiOpenDevRegKey and
// SetupDiCreateDevRegKey give INVALID_HANDLE_VALUE: both mean "no key" and neither is closed, so
// the result of any of them can be taken as it comes.
struct hkey_traits {
    static HKEY invalid() { return nullptr; }
    static bool absent(HKEY k) {
        return k == nullptr || k == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    static void close(HKEY k) { RegCloseKey(k); }
};
// Searches from FindFirstFile, which says INVALID_HANDLE_VALUE when it fails; FindClose ends them.
struct find_traits {
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
    static bool absent(HANDLE h) { return h == INVALID_HANDLE_VALUE || h == nullptr; }
    static void close(HANDLE h) { FindClose(h); }
};
// Modules from LoadLibrary (not from GetModuleHandle, which takes no reference).
struct module_traits {
    static HMODULE invalid() { return nullptr; }
    static bool absent(HMODULE m) { return m == nullptr; }
    static void close(HMODULE m) { FreeLibrary(m); }
};

}  // namespace handle_kit

// Any other kernel object (null when absent), such as a file mapping or a job.
using unique_handle =
    unique_resource<HANDLE, handle_kit::kernel_handle_traits<handle_kit::any_kernel_object>>;
using unique_process =
    unique_resource<HANDLE, handle_kit::kernel_handle_traits<handle_kit::process>>;
using unique_thread = unique_resource<HANDLE, handle_kit::kernel_handle_traits<handle_kit::thread>>;
using unique_event = unique_resource<HANDLE, handle_kit::kernel_handle_traits<handle_kit::event>>;
// A mutex handle. Closing it does not release a mutex the thread holds: a ReleaseMutex that
// pairs with a wait stays with the wait.
using unique_mutex = unique_resource<HANDLE, handle_kit::kernel_handle_traits<handle_kit::mutex>>;
using unique_token = unique_resource<HANDLE, handle_kit::kernel_handle_traits<handle_kit::token>>;
// Handles from CreateFile (INVALID_HANDLE_VALUE when absent).
using unique_file_handle =
    unique_resource<HANDLE, handle_kit::file_handle_traits<handle_kit::file>>;
// Pipe ends from CreatePipe and CreateNamedPipe (INVALID_HANDLE_VALUE when absent).
using unique_pipe = unique_resource<HANDLE, handle_kit::file_handle_traits<handle_kit::pipe>>;
using unique_hkey = unique_resource<HKEY, handle_kit::hkey_traits>;
using unique_find = unique_resource<HANDLE, handle_kit::find_traits>;
using unique_module = unique_resource<HMODULE, handle_kit::module_traits>;

struct local_free_deleter {
    void operator()(void* p) const { LocalFree(p); }
};
struct heap_free_deleter {
    void operator()(void* p) const { HeapFree(GetProcessHeap(), 0, p); }
};

// Memory from LocalAlloc and from the system calls that allocate with it (SIDs, SDDL texts,
// security descriptors, FormatMessage's texts).
template <typename T>
using unique_local = std::unique_ptr<T, local_free_deleter>;
// Memory from the process heap (HeapAlloc(GetProcessHeap(), ...)).
template <typename T>
using unique_heap = std::unique_ptr<T, heap_free_deleter>;

// A critical section, initialised and deleted with its owner.
class critical_section {
public:
    critical_section() { InitializeCriticalSection(&section_); }
    ~critical_section() { DeleteCriticalSection(&section_); }
    critical_section(const critical_section&) = delete;
    critical_section& operator=(const critical_section&) = delete;

    CRITICAL_SECTION* get() { return &section_; }

private:
    CRITICAL_SECTION section_;
};

// Holds a critical section for a scope.
class critical_section_lock {
public:
    explicit critical_section_lock(CRITICAL_SECTION& section) : section_(&section) {
        EnterCriticalSection(section_);
    }
    explicit critical_section_lock(critical_section& section)
        : critical_section_lock(*section.get()) {}
    ~critical_section_lock() { LeaveCriticalSection(section_); }
    critical_section_lock(const critical_section_lock&) = delete;
    critical_section_lock& operator=(const critical_section_lock&) = delete;

private:
    CRITICAL_SECTION* section_;
};

// A child process this program started, with its process and thread handles. A child that still
// runs when the guard ends (or is given another child) is ended with exit code 1 and waited for:
// a test that fails half-way leaves no process behind.
class child_process_guard {
public:
    child_process_guard() = default;
    // What CreateProcess filled in; the guard takes both handles.
    explicit child_process_guard(const PROCESS_INFORMATION& info) { adopt(info); }
    child_process_guard(child_process_guard&& other) noexcept
        : process_(std::move(other.process_)),
          thread_(std::move(other.thread_)),
          id_(std::exchange(other.id_, 0)) {}
    child_process_guard& operator=(child_process_guard&& other) noexcept {
        if (this != &other) {
            end();
            process_ = std::move(other.process_);
            thread_ = std::move(other.thread_);
            id_ = std::exchange(other.id_, 0);
        }
        return *this;
    }
    ~child_process_guard() { end(); }

    void adopt(const PROCESS_INFORMATION& info) {
        end();
        process_.reset(info.hProcess);
        thread_.reset(info.hThread);
        id_ = info.dwProcessId;
    }
    // A process handle alone, as ShellExecuteEx gives it.
    void adopt(HANDLE process) {
        end();
        process_.reset(process);
        id_ = process ? GetProcessId(process) : 0;
    }

    bool started() const { return process_.valid(); }
    HANDLE process() const { return process_.get(); }
    HANDLE thread() const { return thread_.get(); }
    DWORD id() const { return id_; }

    // True when the child has ended within timeout_ms.
    bool wait(DWORD timeout_ms) const {
        return process_ && WaitForSingleObject(process_.get(), timeout_ms) == WAIT_OBJECT_0;
    }
    // GetExitCodeProcess's answer (STILL_ACTIVE while it runs); fallback without a child.
    DWORD exit_code(DWORD fallback = 0) const {
        DWORD code = fallback;
        if (!process_ || !GetExitCodeProcess(process_.get(), &code))
            return fallback;
        return code;
    }
    // Ends the child if it still runs, waits up to timeout_ms for it, and gives back both
    // handles.
    void end(DWORD timeout_ms = 5000) {
        if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_.get(), 1);
            WaitForSingleObject(process_.get(), timeout_ms);
        }
        thread_.reset();
        process_.reset();
        id_ = 0;
    }

private:
    unique_process process_;
    unique_thread thread_;
    DWORD id_ = 0;
};

// Restores the thread's last error when leaving a scope, so that clean-up calls made after a
// failing system call do not hide its error from the caller. It restores last of all only when
// it is declared before every owner whose clean-up it shields.
class last_error_keeper {
public:
    last_error_keeper() : error_(GetLastError()) {}
    ~last_error_keeper() { SetLastError(error_); }
    last_error_keeper(const last_error_keeper&) = delete;
    last_error_keeper& operator=(const last_error_keeper&) = delete;

    // Keeps the error the last call left (read at once after the call).
    void capture() { error_ = GetLastError(); }
    // Keeps an error of the caller's choosing.
    void set(DWORD error) { error_ = error; }

private:
    DWORD error_;
};

// A text in UTF-8 as UTF-16, for a system call; invalid sequences become the system's
// replacement character. Empty for an empty text.
inline std::wstring widen(const std::string& utf8) {
    int length = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    if (length <= 1)
        return std::wstring();
    std::vector<wchar_t> wide(static_cast<size_t>(length));
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), length);
    return std::wstring(wide.data());
}

// A text from the system in UTF-16 as UTF-8; empty for null or an empty text.
inline std::string narrow(const wchar_t* utf16) {
    if (!utf16)
        return std::string();
    int length = WideCharToMultiByte(CP_UTF8, 0, utf16, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1)
        return std::string();
    std::vector<char> utf8(static_cast<size_t>(length));
    WideCharToMultiByte(CP_UTF8, 0, utf16, -1, utf8.data(), length, nullptr, nullptr);
    return std::string(utf8.data());
}

// The same for a text already held in a string.
inline std::string narrow(const std::wstring& utf16) {
    return narrow(utf16.c_str());
}

// An environment variable as the system holds it (UTF-16); nothing when it is not set. Callers
// that must refuse what is not text convert it strictly themselves.
inline std::optional<std::u16string> environment_utf16(const wchar_t* name) {
    std::vector<wchar_t> value(MAX_PATH + 1);
    DWORD length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (length >= value.size()) {  // too small: the size it needs, with the terminator
        value.resize(length);
        length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    }
    if (length == 0 || length >= value.size())
        return std::nullopt;
    return std::u16string(value.data(), value.data() + length);
}

// An environment variable in UTF-8; empty when it is not set or empty. Read wide, so that a
// folder the code page cannot spell arrives whole.
inline std::string environment_utf8(const wchar_t* name) {
    std::optional<std::u16string> value = environment_utf16(name);
    return value ? narrow(reinterpret_cast<const wchar_t*>(value->c_str())) : std::string();
}

#endif  // _WIN32
