// A path in one of the library's MAX_PATH (260-byte) buffers. Each append goes only as far as
// 259 characters and the terminator hold; cut() tells that something did not fit, which callers
// must check before they use the path: a cut path names some other file.
#pragma once

#include <cstddef>
#include <cstring>

class bounded_path {
public:
    static constexpr size_t kCapacity = 260;  // MAX_PATH, without <windows.h>

    bounded_path& append(const char* piece) {
        size_t length = piece ? strlen(piece) : 0;
        size_t room = kCapacity - 1 - length_;
        if (length > room) {
            length = room;
            cut_ = true;
        }
        if (length > 0)
            memcpy(text_ + length_, piece, length);
        length_ += length;
        text_[length_] = '\0';
        return *this;
    }

    const char* c_str() const { return text_; }
    size_t size() const { return length_; }
    bool cut() const { return cut_; }

private:
    char text_[kCapacity] = {};
    size_t length_ = 0;
    bool cut_ = false;
};
