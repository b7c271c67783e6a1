// The host's read loop over a scripted pipe: a message pipe that hands out queued messages in
// pieces no larger than the space of each read, and the helper's connection, end, silence and
// failures as the script says, with other processes connecting before it. The handler is the
// host's own.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "base/host_read_loop.h"
#include "base/installer_protocol.h"
#include "base/log.h"

namespace {

using bytes = std::vector<uint8_t>;

// The helper the host started, and another process.
constexpr uint32_t kHelper = 4242;
constexpr uint32_t kIntruder = 666;

// What the pipe does at the next read once the messages before it are read.
struct event {
    enum kind_type {
        message,          // a message, there at once (sync) or after a wait (async)
        listening,        // not connected yet; `ends` says whether the helper ends meanwhile
        broken_pipe,      // closed; `ends` says whether the helper ends within the time-out
        silence,          // the wait runs out
        helper_ends,      // the wait sees the helper end
        cancel,           // the caller cancels during the wait (the next wait of any kind)
        read_fails,       // the read fails at once
        wait_fails,       // the wait for a pending read fails
        async_read_fails  // the pending read completes with an error
    } kind;
    bytes data = {};
    bool async = false;
    bool ends = false;
    uint32_t from = kHelper;  // the client whose connection it is
};

event message(bytes data, bool async = false) {
    return {event::message, std::move(data), async};
}

event from_intruder(event e) {
    e.from = kIntruder;
    return e;
}

// A message of `head` followed by `tail` zero bytes.
bytes with_tail(bytes head, size_t tail) {
    head.resize(head.size() + tail, 0);
    return head;
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
    uint32_t exit_code = 0;
    uint32_t clock = 0;

    // What the loop asked.
    std::vector<uint32_t> waits;   // the time-out of each wait for a read
    std::vector<uint32_t> pauses;  // wait_for_helper
    std::vector<bytes> handled;
    int cancels = 0;
    std::vector<uint32_t> refused;  // the client of each refuse_client

    // What the system says about the client, and about listening again.
    pipe_client::kind_type client_kind = pipe_client::identified;
    uint32_t refuse_error = 0;
    int client_questions = 0;

    pipe_read start_read(uint8_t* into, size_t space) override {
        if (space_seen.empty() || space_seen.back() != space)
            space_seen.push_back(space);
        EXPECT_FALSE(pending_) << "a read started while another one is pending";
        if (script.empty()) {
            ADD_FAILURE() << "read past the end of the script";
            return {pipe_read::broken_pipe, 0, 109};
        }
        event& next = script.front();
        if (next.kind != event::listening)
            client_ = next.from;
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
            case event::cancel:
                script.pop_front();
                return {pipe_wait::cancelled, 0};
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
    pipe_wait wait_for_helper(uint32_t timeout_ms) override {
        pauses.push_back(timeout_ms);
        if (!script.empty() && script.front().kind == event::cancel) {
            script.pop_front();
            return {pipe_wait::cancelled, 0};
        }
        clock += timeout_ms == kNoTimeLimit ? 0 : timeout_ms;
        return {ended_ ? pipe_wait::helper_ended : pipe_wait::timed_out, 0};
    }
    // The caller cancels once this many messages were handled.
    size_t cancel_after = SIZE_MAX;
    bool cancel_requested() override { return handled.size() >= cancel_after; }
    uint32_t helper_exit_code() override { return exit_code; }
    bool status_received() override { return state.status_received || state.filter_installer; }
    uint32_t now_ms() override { return clock; }
    uint32_t message_timeout_ms() override { return state.message_timeout_ms; }
    pipe_client connected_client() override {
        client_questions++;
        return {client_kind, client_kind == pipe_client::identified ? client_ : 0,
                client_kind == pipe_client::failed ? 5u : 0u};
    }
    uint32_t served_process() override { return kHelper; }
    // The refused client's connection goes, with everything it would still have sent.
    uint32_t refuse_client() override {
        EXPECT_FALSE(pending_) << "a client refused while a read is pending";
        refused.push_back(client_);
        while (!script.empty() && script.front().kind != event::listening &&
               script.front().from == client_) {
            script.pop_front();
        }
        return refuse_error;
    }
    int handle_message(const uint8_t* data, size_t length) override {
        EXPECT_EQ(client_, kHelper) << "a message of another client was handled";
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
    uint32_t client_ = kHelper;
    std::string text_;
};

usbdrv_device_entry kDevice = {};

struct loop_run {
    usbdrv_result result;
    bool helper_finishing;
    std::string log;
};

loop_run run(scripted_pipe& pipe) {
    pipe.state.device = &kDevice;
    int saved = usbdrv_log_threshold;
    usbdrv_set_log_threshold(USBDRV_LOG_DEBUG);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    loop_run r;
    read_loop_result outcome = run_read_loop(pipe);
    r.result = outcome.result;
    r.helper_finishing = outcome.helper_finishing;
    r.log = testing::internal::GetCapturedStdout();
    r.log += testing::internal::GetCapturedStderr();
    usbdrv_set_log_threshold(saved);
    return r;
}

bool has(const std::string& log, const std::string& line) {
    return log.find(line) != std::string::npos;
}

size_t count(const std::string& log, const std::string& text) {
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
        n++;
    return n;
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

// The loop never ends the helper; it says whether the helper is still finishing its run (after
// the handler's result), so that the host may wait a while for its end.
TEST(HostReadLoop, HowTheHelpersEndGivesTheResult) {
    const uint32_t kExit99 = static_cast<uint32_t>(-99);
    const std::string no_status = kHost + "the installer ended with exit code ";
    const struct {
        const char* name;
        std::deque<event> script;
        uint32_t exit_code;
        usbdrv_result result;
        bool finishing;
        int cancels;
        std::string logged;
    } rows[] = {
        {"status other than 0 ends at once",
         {message({MSG_SET_STATUS, 0xF3}), message(text_message(0, "never read"))},
         0,
         USBDRV_ERR_EXISTS,
         true,
         0,
         ""},
        {"status 0, then the exit code 0",
         {message({MSG_INSTALLER_COMPLETED}),
          message({MSG_SET_STATUS, 0}),
          {event::broken_pipe, {}, false, true}},
         0,
         USBDRV_OK,
         false,
         0,
         ""},
        {"status 0, then an exit code of 3",
         {message({MSG_SET_STATUS, 0}), {event::broken_pipe, {}, false, true}},
         3,
         USBDRV_ERR_OTHER,
         false,
         0,
         ""},
        {"exit 1 without a status",
         {{event::broken_pipe, {}, false, true}},
         1,
         USBDRV_ERR_OTHER,
         false,
         0,
         no_status + "1 (0x1) without sending its status\n"},
        {"exit 0 without a status is no success",
         {message(text_message(0, "working")), {event::broken_pipe, {}, false, true}},
         0,
         USBDRV_ERR_OTHER,
         false,
         0,
         no_status + "0 (0x0) without sending its status\n"},
        {"closed its end but does not exit",
         {{event::broken_pipe, {}, false, false}},
         0,
         USBDRV_ERR_TIMEOUT,
         false,
         0,
         "usbdrv:warning [install_driver_internal] the installer closed the pipe but has not "
         "ended - it is left to end by itself\n"},
        {"ended from outside while a read was pending",
         {message({MSG_SET_TIMEOUT_INFINITE}), {event::helper_ends}},
         kExit99,
         USBDRV_ERR_OTHER,
         false,
         1,
         no_status + "-99 (0xFFFFFF9D) without sending its status\n"},
        {"ended from outside with exit code 0 while a read was pending",
         {{event::helper_ends}},
         0,
         USBDRV_ERR_OTHER,
         false,
         1,
         no_status + "0 (0x0) without sending its status\n"},
        {"a protocol error ends the loop",
         {message({9}), message({MSG_SET_STATUS, 0})},
         0,
         USBDRV_ERR_NOT_FOUND,
         true,
         0,
         ""},
        {"an empty message ends the loop", {message({})}, 0, USBDRV_ERR_INVALID_PARAM, true, 0, ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        scripted_pipe pipe;
        pipe.script = r.script;
        pipe.exit_code = r.exit_code;
        loop_run run_ = run(pipe);
        EXPECT_EQ(run_.result, r.result);
        EXPECT_EQ(run_.helper_finishing, r.finishing);
        EXPECT_EQ(pipe.cancels, r.cancels);
        if (!r.logged.empty())
            EXPECT_TRUE(has(run_.log, r.logged)) << run_.log;
        else
            EXPECT_FALSE(has(run_.log, "without sending its status")) << run_.log;
    }
}

// The filter installer has no status to send: its exit code is its result.
TEST(HostReadLoop, TheFilterInstallersExitCodeIsItsResult) {
    for (uint32_t code : {0u, 3u}) {
        scripted_pipe pipe;
        pipe.state.filter_installer = true;
        pipe.exit_code = code;
        pipe.script = {message(text_message('i', "nstalling")),
                       {event::broken_pipe, {}, false, true}};
        loop_run r = run(pipe);
        EXPECT_EQ(r.result, code == 0 ? USBDRV_OK : USBDRV_ERR_OTHER) << code;
        EXPECT_FALSE(has(r.log, "without sending its status")) << r.log;
    }
}

TEST(HostReadLoop, SilenceWithinTheMessageTimeOutStopsListeningButLeavesTheHelper) {
    scripted_pipe pipe;
    pipe.script = {message(text_message(0, "working")), {event::silence}};
    loop_run r = run(pipe);
    EXPECT_EQ(r.result, USBDRV_ERR_TIMEOUT);
    EXPECT_FALSE(r.helper_finishing) << "a helper that does not answer is not waited for";
    EXPECT_EQ(pipe.waits, (std::vector<uint32_t>{10000}));
    EXPECT_EQ(pipe.cancels, 1) << "the read is over before its buffer goes";
    EXPECT_TRUE(has(r.log, kHost + "installer failed to respond - aborting\n"));
}

// The caller's cancellation ends every kind of wait at once: the wait for a message (with or
// without a time limit), for a helper that closed its end, for one that has not connected yet.
TEST(HostReadLoop, TheCallersCancellationEndsEveryWait) {
    const struct {
        const char* name;
        std::deque<event> script;
        int cancels;
    } rows[] = {
        {"waiting for the next message", {message(text_message(0, "a")), {event::cancel}}, 1},
        {"waiting without a time limit", {message({MSG_SET_TIMEOUT_INFINITE}), {event::cancel}}, 1},
        {"waiting for the end of a helper that closed its end",
         {{event::broken_pipe, {}, false, false}, {event::cancel}},
         0},
        {"waiting for the helper to connect", {{event::listening}, {event::cancel}}, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        scripted_pipe pipe;
        pipe.script = r.script;
        loop_run run_ = run(pipe);
        EXPECT_EQ(run_.result, USBDRV_ERR_TIMEOUT);
        EXPECT_FALSE(run_.helper_finishing);
        EXPECT_EQ(pipe.cancels, r.cancels) << "a pending read is over before the loop returns";
        EXPECT_TRUE(pipe.script.empty());
        EXPECT_TRUE(has(run_.log, kHost + "installation cancelled: the installer is no longer "
                                          "waited for and ends by itself\n"))
            << run_.log;
    }
}

// Messages that are there at every read give the loop no wait in which to see the caller's
// cancellation: it is asked before each read.
TEST(HostReadLoop, TheCallersCancellationEndsAFloodThatNeverWaits) {
    scripted_pipe pipe;
    for (int i = 0; i < 50; i++)
        pipe.script.push_back(message(text_message(1, "flood")));
    pipe.script.push_back(message({MSG_SET_STATUS, 0}));
    pipe.cancel_after = 3;
    loop_run run_ = run(pipe);
    EXPECT_EQ(run_.result, USBDRV_ERR_TIMEOUT);
    EXPECT_FALSE(run_.helper_finishing);
    EXPECT_EQ(pipe.handled.size(), 3u);
    EXPECT_TRUE(has(run_.log, kHost + "installation cancelled: the installer is no longer "
                                      "waited for and ends by itself\n"))
        << run_.log;
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
        pipe.exit_code = 3;
        pipe.script = {{event::listening}, {event::listening, {}, false, true}, {event::listening}};
        EXPECT_EQ(run(pipe).result, USBDRV_ERR_OTHER);
        EXPECT_EQ(pipe.pauses.size(), 2u);
        EXPECT_TRUE(pipe.script.empty());
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
        EXPECT_FALSE(run_.helper_finishing);
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
}

// Any process may connect to the pipe. One that is not the helper is refused as soon as a read
// finds it connected: nothing it sent is handled or logged, a read of it that is pending is
// over, and the helper that connects after it is served as usual.
TEST(HostReadLoop, AClientThatIsNotTheHelperIsRefusedBeforeAnythingOfItIsRead) {
    const std::string kRefused =
        kHost +
        "refused a connection from process 666, which is not the installer (process 4242)\n";
    const struct {
        const char* name;
        std::deque<event> intruder;
        int cancels;
    } rows[] = {
        {"asks for the identifiers",
         {from_intruder(message({MSG_GET_DEVICE_ID})), from_intruder(message({MSG_GET_USER_SID}))},
         0},
        {"sends a log line and the status 0, waited for",
         {from_intruder(message(text_message(0, "intruder: installed OK"), true)),
          from_intruder(message({MSG_SET_STATUS, 0}))},
         1},
        {"sends a cancel", {from_intruder(message({MSG_SET_STATUS, 0xF2}))}, 0},
        {"asks for no time limit and holds the pipe silently",
         {from_intruder(message({MSG_SET_TIMEOUT_INFINITE})), from_intruder({event::silence})},
         0},
        {"connects and says nothing", {from_intruder({event::silence})}, 1},
        {"connects and leaves at once", {from_intruder({event::broken_pipe, {}, false, false})}, 0},
        {"sends a message longer than the buffer",
         {from_intruder(message(text_message(1, "intruder " + std::string(5000, 'x'))))},
         0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        scripted_pipe pipe;
        pipe.script = {{event::listening}};
        pipe.script.insert(pipe.script.end(), r.intruder.begin(), r.intruder.end());
        pipe.script.push_back({event::listening});
        pipe.script.push_back(message({MSG_GET_HARDWARE_ID}));
        pipe.script.push_back(message(text_message(0, "helper here"), true));
        pipe.script.push_back(message({MSG_SET_STATUS, 0xF3}));
        loop_run run_ = run(pipe);
        EXPECT_EQ(run_.result, USBDRV_ERR_EXISTS) << "the helper's status, and only its";
        EXPECT_EQ(pipe.refused, (std::vector<uint32_t>{kIntruder}));
        EXPECT_EQ(pipe.cancels, r.cancels);
        EXPECT_EQ(pipe.handled, (std::vector<bytes>{{MSG_GET_HARDWARE_ID},
                                                    text_message(0, "helper here"),
                                                    {MSG_SET_STATUS, 0xF3}}));
        EXPECT_EQ(pipe.client_questions, 2) << "once for each connection";
        EXPECT_EQ(pipe.state.message_timeout_ms, kDefaultMessageTimeoutMs);
        EXPECT_TRUE(has(run_.log, kRefused)) << run_.log;
        EXPECT_FALSE(has(run_.log, "intruder")) << run_.log;
        EXPECT_TRUE(has(run_.log, "[installer process] helper here\n")) << run_.log;
        // Nothing of the intruder's comes before its refusal.
        EXPECT_EQ(run_.log.find("usbdrv:"), run_.log.find(kRefused)) << run_.log;
    }
}

TEST(HostReadLoop, ClientsThatKeepComingBackEndTheInstallation) {
    {
        SCOPED_TRACE("the fifth refusal ends it");
        scripted_pipe pipe;
        for (int i = 0; i < kRefusedClientLimit; i++) {
            pipe.script.push_back(from_intruder(message(text_message(0, "intruder"))));
            pipe.script.push_back({event::listening});
        }
        pipe.script.push_back(message({MSG_SET_STATUS, 0xF3}));
        loop_run r = run(pipe);
        EXPECT_EQ(r.result, USBDRV_ERR_ACCESS);
        EXPECT_FALSE(r.helper_finishing);
        EXPECT_EQ(pipe.refused.size(), static_cast<size_t>(kRefusedClientLimit - 1))
            << "the last one goes with the pipe";
        EXPECT_TRUE(pipe.handled.empty());
        EXPECT_TRUE(has(r.log, kHost + "refused 5 connections of other processes to the installer "
                                       "pipe - aborting\n"))
            << r.log;
    }
    {
        SCOPED_TRACE("refusals do not restart the time the helper has to connect");
        scripted_pipe pipe;
        for (int i = 0; i < 60; i++)
            pipe.script.push_back({event::listening});
        pipe.script.push_back(from_intruder(message({MSG_SET_TIMEOUT_INFINITE})));
        for (int i = 0; i < 60; i++)
            pipe.script.push_back({event::listening});
        loop_run r = run(pipe);
        EXPECT_EQ(r.result, USBDRV_ERR_TIMEOUT);
        EXPECT_EQ(pipe.clock, 10000u);
        EXPECT_TRUE(has(r.log, kHost + "installer failed to respond - aborting\n"));
    }
}

TEST(HostReadLoop, WhatTheSystemSaysAboutTheClient) {
    {
        SCOPED_TRACE("a system that cannot tell serves the first client");
        scripted_pipe pipe;
        pipe.client_kind = pipe_client::unverifiable;
        pipe.script = {message(text_message(0, "helper here")), message({MSG_SET_STATUS, 0xF3})};
        loop_run r = run(pipe);
        EXPECT_EQ(r.result, USBDRV_ERR_EXISTS);
        EXPECT_EQ(pipe.handled.size(), 2u);
        EXPECT_TRUE(has(r.log,
                        "usbdrv:debug [install_driver_internal] this system cannot tell "
                        "which process connected to the installer pipe - it is served "
                        "unchecked\n"))
            << r.log;
    }
    {
        SCOPED_TRACE("a client that cannot be told is refused");
        scripted_pipe pipe;
        pipe.client_kind = pipe_client::failed;
        for (int i = 0; i < kRefusedClientLimit; i++) {
            pipe.script.push_back(message(text_message(0, "who")));
            pipe.script.push_back({event::listening});
        }
        loop_run r = run(pipe);
        EXPECT_EQ(r.result, USBDRV_ERR_ACCESS);
        EXPECT_TRUE(pipe.handled.empty());
        EXPECT_TRUE(has(r.log, kHost + "refused a connection to the installer pipe: could not "
                                       "tell which process made it: [error 5]\n"))
            << r.log;
    }
    {
        SCOPED_TRACE("a pipe that cannot listen again");
        scripted_pipe pipe;
        pipe.refuse_error = 232;
        pipe.script = {from_intruder(message({MSG_GET_DEVICE_ID})), {event::listening}};
        loop_run r = run(pipe);
        EXPECT_EQ(r.result, USBDRV_ERR_IO);
        EXPECT_TRUE(has(r.log, kHost + "the installer pipe cannot listen again: [error 232] - "
                                       "aborting\n"))
            << r.log;
    }
}

// A message over the bound is refused whole, whatever its code, and read to its end into the
// buffer it has grown to; the loop reads on.
TEST(HostReadLoop, AMessageOverTheBoundIsRefusedWithoutGrowingTheBuffer) {
    const std::string kRefused =
        "usbdrv:warning [install_driver_internal] message of more than "
        "65536 bytes refused as malformed (code 0x";
    const bytes longest = text_message(MSG_SYSLOG_MESSAGE, std::string(kSyslogTextMax, 'x'));
    ASSERT_EQ(longest.size(), kMessageMax);
    const struct {
        const char* name;
        bytes message;
        bool refused;
        std::string code;
    } rows[] = {
        {"the longest message", longest, false, ""},
        {"a byte over", text_message(MSG_SYSLOG_MESSAGE, std::string(kSyslogTextMax + 1, 'y')),
         true, "01"},
        {"far over", text_message(MSG_PRINT_MESSAGE, std::string(1 << 20, 'y')), true, "00"},
        {"a status far over is no status", with_tail({MSG_SET_STATUS, 0x00}, 200000), true, "07"},
    };
    for (bool async : {false, true}) {
        for (const auto& r : rows) {
            SCOPED_TRACE(std::string(r.name) + (async ? ", async" : ", sync"));
            scripted_pipe pipe;
            pipe.script = {message(r.message, async), message(text_message(0, "next"), async),
                           message({MSG_SET_STATUS, 0xF3})};
            loop_run run_ = run(pipe);
            EXPECT_EQ(run_.result, USBDRV_ERR_EXISTS);
            for (size_t space : pipe.space_seen)
                EXPECT_LE(space, kMessageMax);
            EXPECT_EQ(pipe.handled.size(), r.refused ? 2u : 3u);
            if (!r.refused) {
                EXPECT_EQ(pipe.handled[0], r.message);
            }
            ASSERT_GE(pipe.handled.size(), 2u);
            EXPECT_EQ(pipe.handled[pipe.handled.size() - 2], text_message(0, "next"));
            EXPECT_EQ(has(run_.log, kRefused), r.refused) << run_.log.substr(0, 2000);
            if (r.refused) {
                EXPECT_TRUE(has(run_.log, kRefused + r.code + ")\n"));
                EXPECT_FALSE(has(run_.log, "yyyy"));
                EXPECT_EQ(count(run_.log, "refused as malformed"), 1u) << "one line";
            }
            EXPECT_FALSE(has(run_.log, "131072")) << "the buffer never grows past the bound";
        }
    }
}

}  // namespace
