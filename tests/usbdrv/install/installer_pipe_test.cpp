// The installer helper's end of the pipe (installer/pipe_client.h), in the scripted stand-in of
// the helper, with this test playing the tool: it creates the pipe as the host does, starts the
// helper, reads every message as it arrives and answers, or does not answer, as each case needs.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/installer_protocol.h"
#include "pipe_squatter.h"
#include "test_support.h"
#include "win/handles.h"
#include "win/overlapped_io.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes b(std::initializer_list<int> values) {
    bytes out;
    for (int v : values)
        out.push_back(static_cast<uint8_t>(v));
    return out;
}

bytes log_line(const std::string& text) {
    bytes out(text.size() + 2, 0);
    std::copy(text.begin(), text.end(), out.begin() + 1);
    return out;
}

// The tool's end, made as the installation host makes it.
class tool_end {
public:
    tool_end()
        : pipe_(CreateNamedPipeA(kInstallerPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096,
                                 4096, 0, nullptr)) {}

    bool ready() const { return pipe_.valid(); }

    // The next message, or nothing when the helper closed its end or `timeout_ms` ran out.
    std::optional<bytes> next(DWORD timeout_ms = 10000) {
        bytes message;
        for (;;) {
            unsigned char buffer[4096];
            overlapped_io read(pipe_.get());
            overlapped_io::state state = read.read(buffer, sizeof buffer);
            if (state == overlapped_io::state::failed && read.error() == ERROR_PIPE_LISTENING) {
                if (timeout_ms < 10)
                    return std::nullopt;
                Sleep(10);
                timeout_ms -= 10;
                continue;
            }
            if (state == overlapped_io::state::pending) {
                if (!read.wait(timeout_ms))
                    return std::nullopt;  // the read is cancelled as it goes
                state = read.take();
            }
            if (state == overlapped_io::state::failed && read.error() != ERROR_MORE_DATA)
                return std::nullopt;
            message.insert(message.end(), buffer, buffer + read.bytes());
            if (state == overlapped_io::state::complete)
                return message;
        }
    }

    // Drops the connected client and listens again, as the host does with one it refuses. The
    // connection stays pending until the next client comes.
    bool drop_client() {
        if (!DisconnectNamedPipe(pipe_.get()))
            return false;
        listening_ = std::make_unique<overlapped_io>(pipe_.get());
        return listening_->connect() != overlapped_io::state::failed;
    }

    void reply(const std::string& text) {
        overlapped_io write(pipe_.get());
        if (write.write(text.data(), static_cast<DWORD>(text.size())) ==
            overlapped_io::state::pending) {
            write.wait(INFINITE);
        }
    }

private:
    unique_pipe pipe_;
    std::unique_ptr<overlapped_io> listening_;  // over before the pipe goes
};

// The stand-in in a folder of its own with its script; its standard error goes to a file.
class scripted_helper {
public:
    explicit scripted_helper(const std::string& script) {
        std::ofstream(dir_.path() / "helper-script.txt", std::ios::binary) << script;
        SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
        output_.reset(CreateFileW((dir_.path() / "output.txt").c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ, &inherited, CREATE_ALWAYS, 0, nullptr));
        test::current_dir in(dir_.path());
        started_ = test::start_program(test::beside_me("scripted_helper.exe"), L"", output_.get(),
                                       process_);
    }

    bool started() const { return started_; }
    // Its exit code once it has ended (within 10 seconds), or STILL_ACTIVE.
    int exit_code() {
        process_.wait(10000);
        return static_cast<int>(process_.exit_code(STILL_ACTIVE));
    }
    std::string output() {
        exit_code();
        output_.reset();
        return test::read_file(dir_.path() / "output.txt");
    }

private:
    test::temp_dir dir_;
    unique_file_handle output_;
    child_process_guard process_;
    bool started_ = false;
};

class HelperEnd : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(tool.ready()) << GetLastError(); }
    tool_end tool;
};

TEST_F(HelperEnd, EachMessageIsOneWriteFramedAsTheHostReadsIt) {
    const std::string text_254(254, 'a');
    scripted_helper helper("log dropped before the pipe is open\nconnect\nlog " + text_254 +
                           "\nlog " + std::string(300, 'b') +
                           "\nlog %s%n\nsyslog abc\ncode 5\ncode 8\nstatus -13\nexit 0\n");
    ASSERT_TRUE(helper.started());
    const bytes expected[] = {
        log_line(text_254),
        log_line(std::string(254, 'b')),
        log_line("%s%n"),
        b({1, 'a', 'b', 'c', 0}),
        b({5}),
        b({8}),
        b({7, 0xF3}),
    };
    EXPECT_EQ(log_line(text_254).size(), 256u);
    for (const bytes& message : expected)
        EXPECT_EQ(tool.next(), message);
    EXPECT_EQ(tool.next(), std::nullopt) << "then the helper closed its end";
    EXPECT_EQ(helper.exit_code(), 0);
}

TEST_F(HelperEnd, RequestsAndTheirAnswers) {
    scripted_helper helper("connect\nrequest 2\nrequest 3\nrequest 4\nrequest 9\nexit 0\n");
    ASSERT_TRUE(helper.started());
    EXPECT_EQ(tool.next(), b({MSG_GET_DEVICE_ID}));
    tool.reply("USB\\VID_C04A&PID_0C02\\1");
    EXPECT_EQ(tool.next(), log_line("got device_id: 'USB\\VID_C04A&PID_0C02\\1'"));
    // No identifier: one zero byte.
    EXPECT_EQ(tool.next(), b({MSG_GET_HARDWARE_ID}));
    tool.reply(std::string(1, '\0'));
    EXPECT_EQ(tool.next(), log_line("got hardware_id: ''"));
    // The longest answer that the helper can take whole.
    EXPECT_EQ(tool.next(), b({MSG_GET_USER_SID}));
    tool.reply(std::string(kIdentifierMax, 'S'));
    const std::string got = "got user_sid: '";
    EXPECT_EQ(tool.next(), log_line(got + std::string(kLogTextMax - got.size(), 'S')))
        << "the log line is cut at 254 bytes";
    EXPECT_EQ(tool.next(), log_line("req_id: unknown ID requested")) << "and nothing requested";
    EXPECT_EQ(tool.next(), std::nullopt);
    EXPECT_EQ(helper.exit_code(), 0);
}

TEST_F(HelperEnd, DataThatNobodyAskedForFailsTheRequestUnsent) {
    scripted_helper helper("connect\nlog ready\npause 300\nrequest 2\nrequest 3\nexit 0\n");
    ASSERT_TRUE(helper.started());
    EXPECT_EQ(tool.next(), log_line("ready"));
    tool.reply("unasked");
    EXPECT_EQ(tool.next(), log_line("received unexpected data"));
    EXPECT_EQ(tool.next(), log_line("failed to read device_id")) << "no request was sent";
    EXPECT_EQ(tool.next(), b({MSG_GET_HARDWARE_ID}));
    tool.reply("HW");
    EXPECT_EQ(tool.next(), log_line("got hardware_id: 'HW'"));
    EXPECT_EQ(helper.exit_code(), 0);
}

// A request waits five seconds for its answer. An answer that comes later finds the request's
// read cancelled and over: it waits in the pipe, where the next request finds it as data that
// nobody asked for, and the request after that is answered as usual.
TEST_F(HelperEnd, AnAnswerAfterTheRequestTimedOutDoesNotLandInTheRequest) {
    scripted_helper helper("connect\nrequest 2\npause 1000\nrequest 3\nrequest 4\nexit 0\n");
    ASSERT_TRUE(helper.started());
    EXPECT_EQ(tool.next(), b({MSG_GET_DEVICE_ID}));
    EXPECT_EQ(tool.next(7000), log_line("message request: timed out"));
    EXPECT_EQ(tool.next(), log_line("failed to read device_id"));
    tool.reply("late");
    EXPECT_EQ(tool.next(), log_line("received unexpected data"));
    EXPECT_EQ(tool.next(), log_line("failed to read hardware_id"));
    EXPECT_EQ(tool.next(), b({MSG_GET_USER_SID}));
    tool.reply("S-1-5-18");
    EXPECT_EQ(tool.next(), log_line("got user_sid: 'S-1-5-18'"));
    EXPECT_EQ(helper.exit_code(), 0);
}

// Another process holds the pipe's one instance: the helper waits until the tool has dropped it
// and listens again, then connects as usual.
TEST_F(HelperEnd, ThePipeHeldByAnotherProcessIsWaitedFor) {
    test::pipe_intruder intruder;
    ASSERT_TRUE(intruder.start("hold", 10000));
    ASSERT_EQ(tool.next(), b({MSG_SET_TIMEOUT_INFINITE})) << "the intruder is connected";

    scripted_helper helper("connect\nlog waited\nexit 0\n");
    ASSERT_TRUE(helper.started());
    Sleep(500);  // the helper finds the pipe busy meanwhile
    ASSERT_TRUE(tool.drop_client());
    EXPECT_EQ(tool.next(), log_line("waited"));
    EXPECT_EQ(helper.exit_code(), 0) << helper.output();
    EXPECT_EQ(intruder.output(), "connected\r\ndropped\r\n");
}

TEST(HelperEndOpening, WithoutThePipeNothingIsSent) {
    scripted_helper helper("connect\nlog unheard\nexit 0\n");
    ASSERT_TRUE(helper.started());
    EXPECT_EQ(helper.exit_code(), USBDRV_ERR_NOT_FOUND);
}

// The pipe's name created first by another program: the helper connects, finds that the pipe is
// not served by the program that started it, and ends without writing a byte.
TEST(HelperEndOpening, APipeServedByAnotherProgramIsLeftAtOnce) {
    test::pipe_squatter squatter;
    ASSERT_TRUE(squatter.start(1, 3000));

    scripted_helper helper("connect\nlog secret\nrequest 2\nstatus 0\nexit 0\n");
    ASSERT_TRUE(helper.started());
    EXPECT_EQ(helper.exit_code(), USBDRV_ERR_ACCESS);
    const std::string said = helper.output();
    EXPECT_NE(said.find("the installer pipe is served by process " + std::to_string(squatter.id()) +
                        ", not by the program that started this installer (process " +
                        std::to_string(GetCurrentProcessId()) + ") - ending"),
              std::string::npos)
        << said;

    EXPECT_EQ(squatter.bytes_received(), 0u);
    EXPECT_EQ(squatter.output(), "connected\r\n") << "and received nothing";
}

}  // namespace
