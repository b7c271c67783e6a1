// The portable half of the ownership kit (the Windows half, which includes this file, is
// win/handles.h): owners for memory from malloc and for C streams, and a scope guard. No
// Windows header, so that base code and the native tests and fuzzers use them too.
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
