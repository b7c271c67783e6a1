// The host's read loop over a scripted pipe: a message pipe that hands out queued messages in
// pieces no larger than the space of each read, and the helper's connection, end, silence and
// failures as the script says. The handler is the host's own.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "host_read_loop.h"
#include "installer_protocol.h"
#include "log.h"

namespace {

using bytes = std::vector<uint8_t>;

// What the pipe does at the next read once the messages before it are read.
struct event {
    enum kind_type {
        message,          // a message, there at once (sync) or after a wait (async)
        listening,        // not connected yet; `ends` says whether the helper ends meanwhile
        broken_pipe,      // closed; `ends` says whether the helper ends within the time-out
        silence,          // the wait runs out
        helper_ends,      // the wait sees the helper end
        read_fails,       // the read fails at once
        wait_fails,       // the wait for a pending read fails
        async_read_fails  // the pending read completes with an error
    } kind;
    bytes data = {};
    bool async = false;
    bool ends = false;
};

event message(bytes data, bool async = false) {
    return {event::message, std::move(data), async};
}

bytes text_message(uint8_t code, const std::string& text) {
    bytes out(1 + text.size());
    out[0] = code;
    std::copy(text.begin(), text.end(), out.begin() + 1);
    out.push_back(0);
    return out;
}

class scripted_pipe final : public host_read_port {
public:
    std::deque<event> script;
    installer_host_state state;
    usbdrv_result exit_result = USBDRV_OK;
    uint32_t clock = 0;

    // What the loop asked.
    std::vector<uint32_t> waits;   // the time-out of each wait for a read
    std::vector<uint32_t> pauses;  // helper_ended_within
    std::vector<bytes> handled;
    int cancels = 0;
    int helper_ends = 0;

    pipe_read start_read(uint8_t* into, size_t space) override {
        if (space_seen.empty() || space_seen.back() != space)
            space_seen.push_back(space);
        EXPECT_FALSE(pending_) << "a read started while another one is pending";
        if (script.empty()) {
            ADD_FAILURE() << "read past the end of the script";
            return {pipe_read::broken_pipe, 0, 109};
        }
        event& next = script.front();
        switch (next.kind) {
            case event::message:
                if (next.async)
                    return start_pending(into, space);
                return deliver(into, space);
            case event::listening: {
                bool ends = next.ends;
                script.pop_front();
                ended_ = ends;
                return {pipe_read::listening, 0, 536};
            }
            case event::broken_pipe:
                ended_ = next.ends;
                script.pop_front();
                return {pipe_read::broken_pipe, 0, 109};
            case event::read_fails:
                script.pop_front();
                return {pipe_read::failed, 0, 6};
            default:
                return start_pending(into, space);
        }
    }

    pipe_wait wait_for_read(uint32_t timeout_ms) override {
        waits.push_back(timeout_ms);
        EXPECT_TRUE(pending_);
        event next = script.front();
        switch (next.kind) {
            case event::silence:
                script.pop_front();
                return {pipe_wait::timed_out, 0};
            case event::helper_ends:
                script.pop_front();
                return {pipe_wait::helper_ended, 0};
            case event::wait_fails:
                script.pop_front();
                return {pipe_wait::failed, 87};
            default:
                return {pipe_wait::read_ready, 0};
        }
    }

    pipe_read finish_read() override {
        pending_ = false;
        if (script.front().kind == event::async_read_fails) {
            script.pop_front();
            return {pipe_read::failed, 0, 31};
        }
        return deliver(pending_into_, pending_space_);
    }

    void cancel_read() override {
        cancels++;
        pending_ = false;
    }
    bool helper_ended_within(uint32_t timeout_ms) override {
        pauses.push_back(timeout_ms);
        clock += timeout_ms == kNoTimeLimit ? 0 : timeout_ms;
        return ended_;
    }
    usbdrv_result helper_result() override { return exit_result; }
    void end_helper() override { helper_ends++; }
    uint32_t now_ms() override { return clock; }
    uint32_t message_timeout_ms() override { return state.message_timeout_ms; }
    int handle_message(const uint8_t* data, size_t length) override {
        handled.emplace_back(data, data + length);
        struct no_replies final : installer_host_port {
            void write_reply(const void*, size_t) override {}
            bool user_sid(char*, size_t) override { return false; }
        } replies;
        return handle_installer_message(data, length, state, replies);
    }
    const char* error_text(uint32_t error) override {
        text_ = "[error " + std::to_string(error) + "]";
        return text_.c_str();
    }

    std::vector<size_t> space_seen;

private:
    pipe_read start_pending(uint8_t* into, size_t space) {
        pending_ = true;
        pending_into_ = into;
        pending_space_ = space;
        return {pipe_read::pending, 0, 997};
    }

    // Message mode: a read takes what fits; the rest stays for the next read.
    pipe_read deliver(uint8_t* into, size_t space) {
        event& next = script.front();
        size_t n = next.data.size() < space ? next.data.size() : space;
        std::copy(next.data.begin(), next.data.begin() + n, into);
        bool rest = next.data.size() > space;
        next.data.erase(next.data.begin(), next.data.begin() + n);
        if (!rest) {
            script.pop_front();
            return {pipe_read::complete, n, 0};
        }
        return {pipe_read::more_data, n, 234};
    }

    bool pending_ = false;
    uint8_t* pending_into_ = nullptr;
    size_t pending_space_ = 0;
    bool ended_ = false;
    std::string text_;
};

usbdrv_device_entry kDevice = {};

struct loop_run {
    usbdrv_result result;
    std::string log;
};

loop_run run(scripted_pipe& pipe) {
    pipe.state.device = &kDevice;
    int saved = usbdrv_log_threshold;
    usbdrv_set_log_threshold(USBDRV_LOG_DEBUG);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    receive_buffer buffer;
    loop_run r;
    r.result = run_read_loop(pipe, buffer);
    r.log = testing::internal::GetCapturedStdout();
    r.log += testing::internal::GetCapturedStderr();
    usbdrv_set_log_threshold(saved);
    return r;
}

bool has(const std::string& log, const std::string& line) {
    return log.find(line) != std::string::npos;
}

const std::string kHost = "usbdrv:error [install_driver_internal] ";

TEST(HostReadLoop, ALongSetupLogLineGrowsTheBufferByDoublingAndArrivesWhole) {
    for (bool async : {false, true}) {
        SCOPED_TRACE(async ? "async" : "sync");
        const bytes line = text_message(MSG_SYSLOG_MESSAGE, std::string(1998, 'x'));
        ASSERT_EQ(line.size(), 2000u);
        scripted_pipe pipe;
        pipe.script = {message(line, async), message({MSG_SET_STATUS, 0xF3})};
        loop_run r = run(pipe);
        EXPECT_EQ(r.result, USBDRV_ERR_EXISTS);
        ASSERT_EQ(pipe.handled.size(), 2u);
        EXPECT_EQ(pipe.handled[0], line) << "the handler gets the length of the whole message";
        // Each read leaves the buffer's last byte free; the grown buffer serves the next message.
        EXPECT_EQ(pipe.space_seen, (std::vector<size_t>{511, 512, 1024, 2047}));
        const std::string how = async ? "(async)" : "(sync)";
        const std::string grew = "usbdrv:debug [install_driver_internal] message overflow " + how +
                                 " - increasing buffer size to ";
        EXPECT_TRUE(has(r.log, grew + "1024 bytes\n" + grew + "2048 bytes\n")) << r.log;
        EXPECT_FALSE(has(r.log, "4096"));
        EXPECT_TRUE(has(r.log, "usbdrv:debug [syslog] " + std::string(1998, 'x') + "\n"));
    }
}

TEST(HostReadLoop, HowTheHelpersEndGivesTheResult) {
    const struct {
        const char* name;
        std::deque<event> script;
        usbdrv_result exit_result;
        usbdrv_result result;
        int helper_ends;
        int cancels;
    } rows[] = {
        {"status other than 0 ends at once",
         {message({MSG_SET_STATUS, 0xF3}), message(text_message(0, "never read"))},
         USBDRV_OK,
         USBDRV_ERR_EXISTS,
         0,
         0},
        {"status 0, then the exit code 0",
         {message({MSG_INSTALLER_COMPLETED}),
          message({MSG_SET_STATUS, 0}),
          {event::broken_pipe, {}, false, true}},
         USBDRV_OK,
         USBDRV_OK,
         0,
         0},
        {"exit 1 without a status",
         {{event::broken_pipe, {}, false, true}},
         USBDRV_ERR_OTHER,
         USBDRV_ERR_OTHER,
         0,
         0},
        {"closed its end but does not exit",
         {{event::broken_pipe, {}, false, false}},
         USBDRV_OK,
         USBDRV_ERR_TIMEOUT,
         1,
         0},
        {"ended while a read was pending",
         {{event::helper_ends}},
         USBDRV_ERR_OTHER,
         USBDRV_ERR_OTHER,
         0,
         1},
        {"a protocol error ends the loop",
         {message({9}), message({MSG_SET_STATUS, 0})},
         USBDRV_OK,
         USBDRV_ERR_NOT_FOUND,
         0,
         0},
        {"an empty message ends the loop",
         {message({})},
         USBDRV_OK,
         USBDRV_ERR_INVALID_PARAM,
         0,
         0},
    };
    for (const auto& r : rows) {
        scripted_pipe pipe;
        pipe.script = r.script;
        pipe.exit_result = r.exit_result;
        loop_run run_ = run(pipe);
        EXPECT_EQ(run_.result, r.result) << r.name;
        EXPECT_EQ(pipe.helper_ends, r.helper_ends) << r.name;
        EXPECT_EQ(pipe.cancels, r.cancels) << r.name;
    }
}

TEST(HostReadLoop, SilenceWithinTheMessageTimeOutEndsTheHelper) {
    scripted_pipe pipe;
    pipe.script = {message(text_message(0, "working")), {event::silence}};
    loop_run r = run(pipe);
    EXPECT_EQ(r.result, USBDRV_ERR_TIMEOUT);
    EXPECT_EQ(pipe.waits, (std::vector<uint32_t>{10000}));
    EXPECT_EQ(pipe.cancels, 1) << "the read is over before its buffer goes";
    EXPECT_EQ(pipe.helper_ends, 1);
    EXPECT_TRUE(has(r.log, kHost + "installer failed to respond - aborting\n"));
}

// The helper's hints reach the very next wait, and the value stays in the state that the host
// keeps from one installation to the next.
TEST(HostReadLoop, TheTimeOutHintsApplyToTheNextWaitAndOutliveTheLoop) {
    scripted_pipe pipe;
    pipe.script = {message({MSG_SET_TIMEOUT_INFINITE}, true), message(text_message(0, "a"), true),
                   message({MSG_SET_TIMEOUT_DEFAULT}, true),  message(text_message(0, "b"), true),
                   message({MSG_SET_TIMEOUT_INFINITE}, true), {event::helper_ends}};
    run(pipe);
    EXPECT_EQ(pipe.waits, (std::vector<uint32_t>{10000, kNoTimeLimit, kNoTimeLimit, 10000, 10000,
                                                 kNoTimeLimit}));
    EXPECT_EQ(pipe.state.message_timeout_ms, kNoTimeLimit);

    // The next installation's helper closes its end: the wait for its exit has no limit either.
    pipe.script = {{event::broken_pipe, {}, false, true}};
    pipe.pauses.clear();
    run(pipe);
    EXPECT_EQ(pipe.pauses, (std::vector<uint32_t>{kNoTimeLimit}));
}

TEST(HostReadLoop, BeforeTheHelperConnects) {
    {
        SCOPED_TRACE("connects after three polls");
        scripted_pipe pipe;
        pipe.script = {{event::listening},
                       {event::listening},
                       {event::listening},
                       message({MSG_SET_STATUS, 0xF3})};
        EXPECT_EQ(run(pipe).result, USBDRV_ERR_EXISTS);
        EXPECT_EQ(pipe.pauses, (std::vector<uint32_t>{100, 100, 100}));
    }
    {
        SCOPED_TRACE("ends without connecting: its exit code, after one more look");
        scripted_pipe pipe;
        pipe.exit_result = USBDRV_ERR_OTHER;
        pipe.script = {{event::listening}, {event::listening, {}, false, true}, {event::listening}};
        EXPECT_EQ(run(pipe).result, USBDRV_ERR_OTHER);
        EXPECT_EQ(pipe.pauses.size(), 2u);
        EXPECT_TRUE(pipe.script.empty());
        EXPECT_EQ(pipe.helper_ends, 0);
    }
    {
        SCOPED_TRACE("connected, wrote and ended between two polls: its messages still count");
        scripted_pipe pipe;
        pipe.script = {{event::listening, {}, false, true}, message({MSG_SET_STATUS, 0xF3})};
        EXPECT_EQ(run(pipe).result, USBDRV_ERR_EXISTS);
    }
    {
        SCOPED_TRACE("neither connects nor ends within the message time-out");
        scripted_pipe pipe;
        for (int i = 0; i < 200; i++)
            pipe.script.push_back({event::listening});
        loop_run r = run(pipe);
        EXPECT_EQ(r.result, USBDRV_ERR_TIMEOUT);
        EXPECT_EQ(pipe.clock, 10000u);
        EXPECT_EQ(pipe.helper_ends, 1);
        EXPECT_TRUE(has(r.log, kHost + "installer failed to respond - aborting\n"));
    }
}

TEST(HostReadLoop, APipeThatKeepsFailingEndsTheLoop) {
    const struct {
        const char* name;
        event failure;
        std::string line;
        int cancels;
    } rows[] = {
        {"read", {event::read_fails}, "could not read from pipe (sync): [error 6]\n", 0},
        {"wait", {event::wait_fails}, "could not read from pipe (wait): [error 87]\n", 10},
        {"pending read",
         {event::async_read_fails},
         "could not read from pipe (async): [error 31]\n",
         0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        scripted_pipe pipe;
        for (int i = 0; i < 20; i++)
            pipe.script.push_back(r.failure);
        loop_run run_ = run(pipe);
        EXPECT_EQ(run_.result, USBDRV_ERR_IO);
        EXPECT_EQ(pipe.script.size(), 10u) << "ten failures in a row, then no further read";
        EXPECT_EQ(pipe.cancels, r.cancels);
        EXPECT_EQ(pipe.helper_ends, 1);
        std::string expected;
        for (int i = 0; i < 10; i++)
            expected += kHost + r.line;
        expected += kHost + "could not read from pipe 10 times in a row - aborting\n";
        EXPECT_EQ(run_.log, expected);
    }
}

TEST(HostReadLoop, FailuresBetweenMessagesAreRetried) {
    scripted_pipe pipe;
    for (int round = 0; round < 3; round++) {
        for (int i = 0; i < 9; i++)
            pipe.script.push_back({event::read_fails});
        pipe.script.push_back(message(text_message(0, "still here")));
    }
    pipe.script.push_back(message({MSG_SET_STATUS, 0xF3}));
    EXPECT_EQ(run(pipe).result, USBDRV_ERR_EXISTS);
    EXPECT_EQ(pipe.helper_ends, 0);
}

}  // namespace
