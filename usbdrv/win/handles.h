// The ownership kit: one owning type per kind of handle, key and block of system memory that the
// program takes, each with its own invalid value and release function, so that every path gives
// back what it took; a lock guard for critical sections, a guard for child processes, and the
// keeper of the thread's last error. Its portable half (memory from malloc, C streams, the scope
// guard) is base/ownership.h, included here: code of the Windows layer and above includes this
// file only.
//
// Product and tests alike use these types. Nothing gives back a handle, key, lock or heap block
// by hand, except where a comment at the call says why (a close whose result is checked, for
// example).
//
// Header-only: a type costs a program nothing until it uses it. A program that uses a type links
// the system library of its release function: setupapi (device information sets, except the
// looked-up kind, and INF files), crypt32 (messages); kernel32 and advapi32 are linked anyway.
// Catalogs, certificate stores and contexts, signer contexts and looked-up device information
// sets are given back through the functions the library looks up at run time (runtime_imports.h),
// as it takes them: a program that uses these types links the Windows layer (usbdrv_win) and
// imports neither wintrust, crypt32, mssign32 nor, for these, setupapi.
#pragma once

#include <windows.h>
#include <mscat.h>
#include <setupapi.h>
#include <wincrypt.h>

#include <utility>

#include "ownership.h"
#include "runtime_imports.h"
#include "signer_api.h"

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

// Gives a value back through a function of the run-time import table. The value came from the same
// system library, so the lookup finds it there; if it did not, the value is left rather than
// given to nothing.
template <typename Fn, typename... Args>
void give_back_through(runtime_import<Fn>& function, Args... args) {
    if (Fn* release = function.get_quietly())
        release(args...);
}

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
// Modules from LoadLibrary (not from GetModuleHandle, which takes no reference).
struct module_traits {
    static HMODULE invalid() { return nullptr; }
    static bool absent(HMODULE m) { return m == nullptr; }
    static void close(HMODULE m) { FreeLibrary(m); }
};
// Device information sets: SetupDiGetClassDevs says INVALID_HANDLE_VALUE when it fails.
struct device_info_set_traits {
    static HDEVINFO invalid() { return INVALID_HANDLE_VALUE; }
    static bool absent(HDEVINFO s) { return s == INVALID_HANDLE_VALUE || s == nullptr; }
    static void close(HDEVINFO s) { SetupDiDestroyDeviceInfoList(s); }
};
// The same sets, given back through the run-time import table: for a program that looks setupapi
// up in the system folder instead of importing it (the installer helper).
struct looked_up_device_info_set_traits : device_info_set_traits {
    static void close(HDEVINFO s) { give_back_through(imports.SetupDiDestroyDeviceInfoList, s); }
};
// INF files: SetupOpenInfFile says INVALID_HANDLE_VALUE when it fails.
struct inf_traits {
    static HINF invalid() { return INVALID_HANDLE_VALUE; }
    static bool absent(HINF inf) { return inf == INVALID_HANDLE_VALUE || inf == nullptr; }
    static void close(HINF inf) { SetupCloseInfFile(inf); }
};
// Certificate stores (CertOpenStore: null when it fails), closed without forcing.
struct cert_store_traits {
    static HCERTSTORE invalid() { return nullptr; }
    static bool absent(HCERTSTORE s) { return s == nullptr; }
    static void close(HCERTSTORE s) { give_back_through(imports.CertCloseStore, s, 0); }
};
// Certificate contexts (CertCreateSelfSignCertificate, CertFindCertificateInStore, ...).
struct cert_context_traits {
    static PCCERT_CONTEXT invalid() { return nullptr; }
    static bool absent(PCCERT_CONTEXT c) { return c == nullptr; }
    static void close(PCCERT_CONTEXT c) {
        give_back_through(imports.CertFreeCertificateContext, c);
    }
};
// Cryptographic service providers (CryptAcquireContext: 0 when absent).
struct crypt_provider_traits {
    static HCRYPTPROV invalid() { return 0; }
    static bool absent(HCRYPTPROV p) { return p == 0; }
    static void close(HCRYPTPROV p) { CryptReleaseContext(p, 0); }
};
// Keys of a provider (CryptGenKey, CryptGetUserKey: 0 when absent).
struct crypt_key_traits {
    static HCRYPTKEY invalid() { return 0; }
    static bool absent(HCRYPTKEY k) { return k == 0; }
    static void close(HCRYPTKEY k) { CryptDestroyKey(k); }
};
// Catalogs: CryptCATOpen says INVALID_HANDLE_VALUE when it fails.
struct catalog_traits {
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
    static bool absent(HANDLE c) { return c == INVALID_HANDLE_VALUE || c == nullptr; }
    static void close(HANDLE c) { give_back_through(imports.CryptCATClose, c); }
};
// Cryptographic messages (CryptMsgOpenToEncode, CryptMsgOpenToDecode: null when they fail).
struct crypt_message_traits {
    static HCRYPTMSG invalid() { return nullptr; }
    static bool absent(HCRYPTMSG m) { return m == nullptr; }
    static void close(HCRYPTMSG m) { CryptMsgClose(m); }
};
// Signer contexts (SignerSignEx: null when it returns none).
struct signer_context_traits {
    static SIGNER_CONTEXT* invalid() { return nullptr; }
    static bool absent(SIGNER_CONTEXT* c) { return c == nullptr; }
    static void close(SIGNER_CONTEXT* c) { give_back_through(imports.SignerFreeSignerContext, c); }
};

// Fonts (CreateFont: null when it fails), deleted through gdi32's DeleteObject as looked up at run
// time, like CreateFont itself: a program that uses them does not import gdi32.
struct font_traits {
    static HFONT invalid() { return nullptr; }
    static bool absent(HFONT f) { return f == nullptr; }
    static void close(HFONT f) { give_back_through(imports.DeleteObject, f); }
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
using unique_module = unique_resource<HMODULE, handle_kit::module_traits>;
using unique_device_info_set = unique_resource<HDEVINFO, handle_kit::device_info_set_traits>;
using unique_looked_up_device_info_set =
    unique_resource<HDEVINFO, handle_kit::looked_up_device_info_set_traits>;
using unique_inf = unique_resource<HINF, handle_kit::inf_traits>;
using unique_cert_store = unique_resource<HCERTSTORE, handle_kit::cert_store_traits>;
using unique_cert_context = unique_resource<PCCERT_CONTEXT, handle_kit::cert_context_traits>;
using unique_crypt_provider = unique_resource<HCRYPTPROV, handle_kit::crypt_provider_traits>;
using unique_crypt_key = unique_resource<HCRYPTKEY, handle_kit::crypt_key_traits>;
using unique_catalog = unique_resource<HANDLE, handle_kit::catalog_traits>;
using unique_crypt_message = unique_resource<HCRYPTMSG, handle_kit::crypt_message_traits>;
using unique_signer_context = unique_resource<SIGNER_CONTEXT*, handle_kit::signer_context_traits>;
using unique_font = unique_resource<HFONT, handle_kit::font_traits>;

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
