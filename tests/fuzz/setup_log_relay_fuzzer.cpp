// libFuzzer target for the installer helper's setup-log relay: arbitrary bytes of one pass, in a
// heap block of exactly their size so that the sanitizers catch a read past it. The first byte
// picks which byte values the converter refuses. Checked against the rules: what is consumed ends
// just after a line break, every message is one framed line without a line break, a line is
// never sent twice, and relaying the rest again after its line break came sends what was held
// back.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/installer_protocol.h"
#include "base/setup_log_relay.h"

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "setup_log_relay_fuzzer: %s\n", what);
        abort();
    }
}

class checking_port final : public setup_log_port {
public:
    explicit checking_port(uint8_t refused) : refused_(refused) {}
    size_t messages = 0;

    bool to_utf8(const char* line, size_t length, std::string& utf8) override {
        check(length > 0, "an empty line was given to the converter");
        check(!memchr(line, '\r', length) && !memchr(line, '\n', length),
              "a line with a line break was given to the converter");
        check(!memchr(line, '\0', length), "a line with a zero byte was given to the converter");
        if (refused_ != 0 && memchr(line, refused_, length))
            return false;
        utf8.assign(line, length);
        return true;
    }
    void send(const uint8_t* message, size_t length) override {
        messages++;
        check(length >= 3, "a message shorter than code, one byte and zero");
        check(length <= kMessageMax, "a message the host would refuse");
        check(message[0] == MSG_SYSLOG_MESSAGE, "a message without its code");
        check(message[length - 1] == 0, "a message without its zero byte");
        const char* text = reinterpret_cast<const char*>(message + 1);
        check(strlen(text) == length - 2, "a zero byte inside a message");
        check(!strpbrk(text, "\r\n"), "a line break inside a message");
    }

private:
    uint8_t refused_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const uint8_t refused = data[0];
    const size_t length = size - 1;
    std::unique_ptr<char[]> buffer(new char[length ? length : 1]);
    memcpy(buffer.get(), data + 1, length);

    checking_port port(refused);
    const size_t consumed = relay_log_lines(length ? buffer.get() : nullptr, length, port);
    check(consumed <= length, "more consumed than there was");
    check(consumed == 0 || buffer[consumed - 1] == '\r' || buffer[consumed - 1] == '\n',
          "consumed up to a byte that is no line break");
    check(memcmp(buffer.get(), data + 1, length) == 0, "the buffer was changed");
    if (consumed == 0)
        check(port.messages == 0, "lines were sent but nothing was consumed");

    // The rest once a line break has come after it: what was held back goes now, and everything
    // is consumed unless the rest holds the marker line.
    std::string rest(buffer.get() + consumed, length - consumed);
    rest += "\n";
    std::unique_ptr<char[]> again(new char[rest.size()]);
    memcpy(again.get(), rest.data(), rest.size());
    checking_port later(refused);
    const size_t consumed_later = relay_log_lines(again.get(), rest.size(), later);
    if (rest.find(kInProgressMarker) == std::string::npos)
        check(consumed_later == rest.size(), "a finished rest was not consumed");
    return 0;
}
