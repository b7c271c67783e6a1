// The installer helper's steps under Wine, in the test's own process: the setup-log reader
// following real files in a temporary folder that WINDIR names, with a recording port in place of
// the pipe.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/installer_protocol.h"
#include "setup_log_reader.h"
#include "test_support.h"
#include "win/handles.h"

namespace {

namespace fs = std::filesystem;

// What the reader sent and said, from its own thread.
class recording_port final : public setup_log_reader_port {
public:
    bool to_utf8(const char* line, size_t length, std::string& utf8) override {
        utf8.assign(line, length);
        return true;
    }
    void send(const uint8_t* message, size_t length) override {
        critical_section_lock hold(lock_);
        EXPECT_GE(length, 2u);
        EXPECT_EQ(message[0], MSG_SYSLOG_MESSAGE);
        EXPECT_EQ(message[length - 1], 0);
        lines_.emplace_back(reinterpret_cast<const char*>(message + 1), length - 2);
    }
    void log(const std::string& line) override {
        critical_section_lock hold(lock_);
        said_.push_back(line);
    }
    std::vector<std::string> lines() {
        critical_section_lock hold(lock_);
        return lines_;
    }
    std::vector<std::string> said() {
        critical_section_lock hold(lock_);
        return said_;
    }

private:
    critical_section lock_;
    std::vector<std::string> lines_;
    std::vector<std::string> said_;
};

bool eventually(const std::function<bool()>& condition, DWORD timeout_ms = 5000) {
    for (DWORD waited = 0; !condition(); waited += 20) {
        if (waited >= timeout_ms)
            return false;
        Sleep(20);
    }
    return true;
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    for (const std::string& l : lines) {
        if (l == line)
            return true;
    }
    return false;
}

// A WINDIR of the test's own for the reader, and the reader on a thread of its own.
class SetupLogReader : public testing::Test {
protected:
    void SetUp() override {
        saved_windir_ = getenv("WINDIR") ? getenv("WINDIR") : "";
        SetEnvironmentVariableW(L"WINDIR", windir_.path().c_str());
        fs::create_directory(windir_.path() / "inf");
        started_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }
    void TearDown() override {
        stop_reader();
        SetEnvironmentVariableA("WINDIR", saved_windir_.c_str());
    }

    fs::path log_path(const char* name) const { return windir_.path() / name; }

    void start_reader() {
        reader_ = std::thread([this] {
            run_setup_log_reader({started_.get(), stop_.get()}, port_);
            finished_ = true;
        });
    }
    bool reader_started() { return WaitForSingleObject(started_.get(), 5000) == WAIT_OBJECT_0; }
    void stop_reader() {
        SetEvent(stop_.get());
        if (reader_.joinable())
            reader_.join();
    }

    // Writes `text` at `offset` (or at the end), sharing the file as a log writer does.
    void write(const fs::path& path, const std::string& text, LONGLONG offset = -1) {
        unique_file_handle file(CreateFileW(path.c_str(), GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file.valid()) << GetLastError();
        LARGE_INTEGER at;
        at.QuadPart = offset < 0 ? 0 : offset;
        ASSERT_TRUE(SetFilePointerEx(file.get(), at, nullptr, offset < 0 ? FILE_END : FILE_BEGIN));
        DWORD written = 0;
        ASSERT_TRUE(
            WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
    }
    void truncate(const fs::path& path) {
        unique_file_handle file(CreateFileW(path.c_str(), GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file.valid()) << GetLastError();
    }

    test::temp_dir windir_;
    std::string saved_windir_;
    unique_event started_;
    unique_event stop_;
    recording_port port_;
    std::thread reader_;
    std::atomic<bool> finished_{false};
};

TEST_F(SetupLogReader, WithoutAnyLogItEndsWithoutStarting) {
    start_reader();
    ASSERT_TRUE(eventually([this] { return finished_.load(); }));
    EXPECT_EQ(WaitForSingleObject(started_.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(port_.said(), (std::vector<std::string>{"Could not open any syslog",
                                                      "syslog reader thread terminating"}));
    EXPECT_TRUE(port_.lines().empty());
}

TEST_F(SetupLogReader, TheFirstCandidateThatOpensIsFollowed) {
    const struct {
        std::vector<const char*> present;
        const char* used;
    } rows[] = {
        {{"setupact.log"}, "setupact.log"},
        {{"setupact.log", "setupapi.log"}, "setupapi.log"},
        {{"setupact.log", "setupapi.log", "inf\\setupapi.dev.log"}, "inf\\setupapi.dev.log"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.used);
        for (const char* name : r.present)
            write(log_path(name), "earlier\r\n");
        recording_port port;
        unique_event started(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        unique_event stop(CreateEventW(nullptr, TRUE, TRUE, nullptr));  // one pass at most
        run_setup_log_reader({started.get(), stop.get()}, port);
        EXPECT_EQ(port.said(),
                  (std::vector<std::string>{"using syslog '" + test::utf8(log_path(r.used)) + "'",
                                            "syslog reader thread started",
                                            "syslog reader thread terminating"}));
        EXPECT_EQ(WaitForSingleObject(started.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
        EXPECT_TRUE(port.lines().empty()) << "what was there before is not relayed";
    }
}

TEST_F(SetupLogReader, NewLinesAreRelayedAsTheyAreFinished) {
    const fs::path log = log_path("inf\\setupapi.dev.log");
    write(log, ">>>  [Device Install (earlier)]\r\n");
    start_reader();
    ASSERT_TRUE(reader_started());

    write(log, ">>>  [Device Install (UpdateDriverForPlugAndPlayDevices)]\r\n     ndv: one\r\n");
    ASSERT_TRUE(eventually([this] { return port_.lines().size() == 2; })) << port_.lines().size();

    // An unfinished line waits for its line break, across passes.
    write(log, "     ndv: unfin");
    Sleep(700);
    EXPECT_EQ(port_.lines().size(), 2u);
    write(log, "ished\r\n");
    ASSERT_TRUE(eventually([this] { return port_.lines().size() == 3; }));

    // A line the system is still writing: "<ins>" holds it and what follows back, until it is
    // overwritten in place.
    LARGE_INTEGER size;
    {
        unique_file_handle file(CreateFileW(log.c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(GetFileSizeEx(file.get(), &size));
    }
    write(log, "<ins>\r\n     ndv: after\r\n");
    Sleep(700);
    EXPECT_EQ(port_.lines().size(), 3u);
    write(log, "done!", size.QuadPart);
    ASSERT_TRUE(eventually([this] { return port_.lines().size() == 5; }));

    EXPECT_EQ(port_.lines(),
              (std::vector<std::string>{">>>  [Device Install (UpdateDriverForPlugAndPlayDevices)]",
                                        "     ndv: one", "     ndv: unfinished", "done!",
                                        "     ndv: after"}));
    stop_reader();
    EXPECT_EQ(port_.said().back(), "syslog reader thread terminating");
}

TEST_F(SetupLogReader, ALogThatShrinksIsReadAgainFromItsStart) {
    const fs::path log = log_path("inf\\setupapi.dev.log");
    write(log, "an old section that is long enough to be longer than what follows\r\n");
    start_reader();
    ASSERT_TRUE(reader_started());
    write(log, "before\r\n");
    ASSERT_TRUE(eventually([this] { return port_.lines().size() == 1; }));

    truncate(log);
    write(log, "after\r\n");
    ASSERT_TRUE(eventually([this] { return port_.lines().size() == 2; }));
    EXPECT_EQ(port_.lines(), (std::vector<std::string>{"before", "after"}));
    bool told = false;
    for (const std::string& line : port_.said())
        told = told || line.rfind("syslog became shorter (0 bytes, ", 0) == 0 ||
               line.rfind("syslog became shorter (7 bytes, ", 0) == 0;
    EXPECT_TRUE(told);

    // It goes on following the new file.
    write(log, "later\r\n");
    ASSERT_TRUE(eventually([this] { return port_.lines().size() == 3; }));
    EXPECT_FALSE(contains(port_.said(), "syslog reader thread terminating"));
}

TEST_F(SetupLogReader, AMegabyteWithoutALineBreakIsSkippedNotHeldForEver) {
    const fs::path log = log_path("inf\\setupapi.dev.log");
    write(log, "");
    start_reader();
    ASSERT_TRUE(reader_started());
    write(log, std::string((1 << 20) + 10, 'x') + "\r\nnext\r\n");
    ASSERT_TRUE(eventually([this] { return port_.lines().size() == 2; }));
    EXPECT_EQ(port_.lines(), (std::vector<std::string>{std::string(10, 'x'), "next"}));
    EXPECT_TRUE(contains(port_.said(), "skipped 1048576 bytes of syslog without a line break"));
}

}  // namespace
