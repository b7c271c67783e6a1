// libFuzzer target for the installation host's read loop (host_read_loop.h) over a scripted pipe:
// messages of arbitrary sizes (up to three times the bound), read at once or waited for, clients
// of other processes that connect before the helper, silence, failed reads and waits, and what
// the system says about the client. Checked against the rules: no read is given more space than
// the bound allows, only the helper's messages reach the handler, each whole and in order, every
// message over the bound is refused with one log line, every other client is refused before
// anything of it is handled, and the loop ends.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "base/host_read_loop.h"
#include "base/installer_protocol.h"
#include "base/log.h"

namespace {

constexpr uint32_t kHelper = 4242;
constexpr uint32_t kIntruder = 666;

void check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "host_read_loop_fuzzer: %s\n", what);
        abort();
    }
}

using bytes = std::vector<uint8_t>;

struct event {
    enum kind_type { message, listening, silence, read_fails, wait_fails, helper_ends } kind;
    bytes data;
    size_t read = 0;  // of data, handed out so far
    bool async = false;
    uint32_t from = kHelper;
};

class scripted_pipe final : public host_read_port {
public:
    std::deque<event> script;
    pipe_client::kind_type client_kind = pipe_client::identified;
    uint32_t refuse_error = 0;
    std::vector<bytes> handled;
    std::vector<uint32_t> refused;
    uint32_t clock = 0;
    uint32_t timeout = kDefaultMessageTimeoutMs;

    pipe_read start_read(uint8_t* into, size_t space) override {
        check(space <= kReceiveBufferMax - 1, "a read was given more space than the bound");
        check(!pending_, "a read started while another one is pending");
        if (script.empty())
            return {pipe_read::broken_pipe, 0, 109};
        event& next = script.front();
        if (next.kind != event::listening)
            client_ = next.from;
        switch (next.kind) {
            case event::message:
                if (next.async) {
                    pending_ = true;
                    into_ = into;
                    space_ = space;
                    return {pipe_read::pending, 0, 997};
                }
                return deliver(into, space);
            case event::listening:
                script.pop_front();
                return {pipe_read::listening, 0, 536};
            case event::read_fails:
                script.pop_front();
                return {pipe_read::failed, 0, 6};
            default:
                pending_ = true;
                return {pipe_read::pending, 0, 997};
        }
    }
    pipe_wait wait_for_read(uint32_t) override {
        check(pending_, "a wait for a read that is not pending");
        if (script.empty())
            return {pipe_wait::helper_ended, 0};
        switch (script.front().kind) {
            case event::silence:
                script.pop_front();
                return {pipe_wait::timed_out, 0};
            case event::wait_fails:
                script.pop_front();
                return {pipe_wait::failed, 87};
            case event::helper_ends:
                script.pop_front();
                return {pipe_wait::helper_ended, 0};
            default:
                return {pipe_wait::read_ready, 0};
        }
    }
    pipe_read finish_read() override {
        pending_ = false;
        return deliver(into_, space_);
    }
    void cancel_read() override { pending_ = false; }
    pipe_wait wait_for_helper(uint32_t timeout_ms) override {
        clock += timeout_ms == kNoTimeLimit ? 0 : timeout_ms;
        return {script.empty() ? pipe_wait::helper_ended : pipe_wait::timed_out, 0};
    }
    bool cancel_requested() override { return false; }
    uint32_t helper_exit_code() override { return 0; }
    bool status_received() override { return true; }
    uint32_t now_ms() override { return clock; }
    uint32_t message_timeout_ms() override { return timeout; }
    pipe_client connected_client() override {
        return {client_kind, client_kind == pipe_client::identified ? client_ : 0, 5};
    }
    uint32_t served_process() override { return kHelper; }
    uint32_t refuse_client() override {
        check(!pending_, "a client refused while a read is pending");
        refused.push_back(client_);
        while (!script.empty() && script.front().kind != event::listening &&
               script.front().from == client_) {
            script.pop_front();
        }
        return refuse_error;
    }
    int handle_message(const uint8_t* message, size_t length) override {
        check(client_kind != pipe_client::failed, "a client that cannot be told was served");
        check(client_kind != pipe_client::identified || client_ == kHelper,
              "a message of another client was handled");
        check(length > 0 && length <= kMessageMax, "a message over the bound was handled");
        handled.emplace_back(message, message + length);
        return 0;
    }
    const char* error_text(uint32_t) override { return "[error]"; }

private:
    pipe_read deliver(uint8_t* into, size_t space) {
        event& next = script.front();
        const size_t left = next.data.size() - next.read;
        const size_t n = left < space ? left : space;
        if (n > 0)
            memcpy(into, next.data.data() + next.read, n);
        next.read += n;
        if (left <= space) {
            script.pop_front();
            return {pipe_read::complete, n, 0};
        }
        return {pipe_read::more_data, n, 234};
    }

    bool pending_ = false;
    uint8_t* into_ = nullptr;
    size_t space_ = 0;
    uint32_t client_ = kHelper;
};

std::vector<std::string> lines;

void record(int32_t, const char* line, void*) {
    lines.emplace_back(line);
}

size_t count(const std::string& text) {
    size_t n = 0;
    for (const std::string& line : lines)
        n += line.find(text) != std::string::npos;
    return n;
}

// Reads the input from its start: what each byte and its followers say.
class input {
public:
    input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool more() const { return at_ < size_; }
    uint8_t next() { return at_ < size_ ? data_[at_++] : 0; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    input in(data, size);
    scripted_pipe pipe;
    // The first byte: what the system says about clients, whether listening again fails, and
    // whether the helper asked for no time limit before.
    const uint8_t settings = in.next();
    pipe.client_kind = static_cast<pipe_client::kind_type>(settings % 3);
    pipe.refuse_error = settings & 4 ? 232 : 0;
    pipe.timeout = settings & 8 ? kNoTimeLimit : kDefaultMessageTimeoutMs;

    // The helper's messages that are within the bound, in the order it sends them; and how many
    // go over it.
    std::vector<bytes> expected;
    size_t oversize = 0;
    // Another process can connect only while the pipe listens: before the helper has.
    bool helper_connected = false;
    while (in.more() && pipe.script.size() < 64) {
        uint8_t op = in.next();
        if (op % 8 == 2 && helper_connected)
            op = 3;
        event e{event::message, {}};
        switch (op % 8) {
            case 0:
            case 1: {
                // A message of up to 196605 bytes: two bytes of length, scaled by 1 or 3.
                size_t length = in.next() | static_cast<size_t>(in.next()) << 8;
                if (op & 0x80)
                    length *= 3;
                if (length == 0)
                    length = 1;
                e.data.assign(length, static_cast<uint8_t>(op >> 3));
                e.data[0] = in.next();
                e.async = op % 8 == 1;
                if (length <= kMessageMax)
                    expected.push_back(e.data);
                else
                    oversize++;
                break;
            }
            case 2:
                e.data = {MSG_SET_STATUS, 0xF2};
                e.from = kIntruder;
                e.async = op & 0x80;
                pipe.script.push_back(e);
                e = event{event::listening, {}};
                break;
            case 3:
                e.kind = event::listening;
                break;
            case 4:
                e.kind = event::silence;
                break;
            case 5:
                e.kind = event::read_fails;
                break;
            case 6:
                e.kind = event::wait_fails;
                break;
            default:
                e.kind = event::helper_ends;
                break;
        }
        if (e.kind != event::listening && e.from == kHelper)
            helper_connected = true;
        pipe.script.push_back(e);
    }

    lines.clear();
    usbdrv_set_log_threshold(USBDRV_LOG_DEBUG);
    usbdrv_set_log_sink(record, nullptr);
    const read_loop_result outcome = run_read_loop(pipe);
    usbdrv_set_log_sink(nullptr, nullptr);

    switch (pipe.client_kind) {
        case pipe_client::identified:
            // What reached the handler is the start of the helper's messages within the bound,
            // each whole; only other processes were refused.
            check(pipe.handled.size() <= expected.size(), "more messages handled than were sent");
            for (size_t i = 0; i < pipe.handled.size(); i++)
                check(pipe.handled[i] == expected[i], "a message handled other than it was sent");
            for (uint32_t client : pipe.refused)
                check(client == kIntruder, "the helper was refused");
            break;
        case pipe_client::unverifiable:
            check(pipe.refused.empty(), "a client refused where none can be told");
            break;
        case pipe_client::failed:
            check(pipe.handled.empty(), "a client that cannot be told was served");
            check(count("refused as malformed") == 0, "a message of a refused client was read");
            break;
    }
    check(count("refused as malformed") <= oversize, "a message within the bound was refused");
    check(outcome.result != USBDRV_ERR_ACCESS ||
              static_cast<int>(pipe.refused.size()) == kRefusedClientLimit - 1,
          "ended as refused before the limit");
    for (const std::string& line : lines)
        check(line.find('\n') == std::string::npos, "a log line with a line break");
    return 0;
}
