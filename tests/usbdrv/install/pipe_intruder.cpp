// A hostile client of the installer pipe: another process that connects to the tool's pipe
// before the installer helper does and plays the helper's part.
//   pipe_intruder <behaviour> <milliseconds>
// polls for the pipe every millisecond for up to <milliseconds>, connects as soon as it exists,
// behaves as told, and exits with the number of bytes it received (0: the tool told it nothing).
// It prints "connected" at each connection, "dropped" when the tool ends it, and every answer it
// receives in hexadecimal. Behaviours:
//   ask        asks for the device ID, the hardware ID and the user SID, waiting for each answer
//   status-0   sends a log line and the status 0
//   cancel     sends a log line and the status -14 (cancelled by the user)
//   hold       asks for no time limit (MSG_SET_TIMEOUT_INFINITE) and holds the pipe silently
//   flood      sends log lines as fast as it can
//   reconnect  sends a log line and connects again whenever it is dropped, until the pipe is gone
// Every text it sends holds "intruder", so a test sees whether any of it reached the log.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/installer_protocol.h"
#include "win/handles.h"
#include "win/overlapped_io.h"

namespace {

class intruder {
public:
    explicit intruder(DWORD lifetime_ms) : start_(GetTickCount()), lifetime_ms_(lifetime_ms) {}

    DWORD left() const {
        DWORD spent = GetTickCount() - start_;
        return spent >= lifetime_ms_ ? 0 : lifetime_ms_ - spent;
    }

    // Polls until the pipe can be opened; false when the time is up, or when the pipe is gone
    // after a connection (the installation is over).
    bool connect() {
        for (;;) {
            pipe_.reset(CreateFileA(kInstallerPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
            if (pipe_) {
                connections_++;
                say("connected");
                return true;
            }
            if ((connections_ > 0 && GetLastError() == ERROR_FILE_NOT_FOUND) || left() == 0)
                return false;
            Sleep(1);
        }
    }

    // One message, in one write; false once the tool has dropped the connection.
    bool send(const std::string& message) {
        if (!pipe_)
            return false;
        overlapped_io write(pipe_.get());
        overlapped_io::state state =
            write.write(message.data(), static_cast<DWORD>(message.size()));
        if (state == overlapped_io::state::pending && write.wait(left()))
            state = write.take();
        if (state != overlapped_io::state::complete)
            return dropped();
        return true;
    }
    bool send_text(const std::string& text) {
        return send(std::string(1, MSG_PRINT_MESSAGE) + text + std::string(1, '\0'));
    }

    // Reads what comes within timeout_ms; false once the tool has dropped the connection.
    bool receive(DWORD timeout_ms) {
        if (!pipe_)
            return false;
        unsigned char buffer[1024];
        overlapped_io read(pipe_.get());
        overlapped_io::state state = read.read(buffer, sizeof buffer);
        if (state == overlapped_io::state::pending) {
            if (!read.wait(timeout_ms))
                return true;  // nothing came; the read is cancelled as it goes
            state = read.take();
        }
        if (read.bytes() > 0) {
            std::string hex;
            for (DWORD i = 0; i < read.bytes(); i++) {
                char digits[3];
                snprintf(digits, sizeof digits, "%02X", buffer[i]);
                hex += digits;
            }
            say(hex.c_str());
            received_ += static_cast<int>(read.bytes());
        }
        if (state == overlapped_io::state::failed && read.error() != ERROR_MORE_DATA)
            return dropped();
        return true;
    }

    // Holds the connection until the tool drops it or the time is up.
    void hold() {
        while (pipe_ && left() > 0 && receive(left())) {
        }
    }

    int received() const { return received_; }

private:
    bool dropped() {
        say("dropped");
        pipe_.reset();
        return false;
    }
    static void say(const char* text) {
        printf("%s\n", text);
        fflush(stdout);
    }

    DWORD start_;
    DWORD lifetime_ms_;
    unique_file_handle pipe_;
    int connections_ = 0;
    int received_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: pipe_intruder <behaviour> <milliseconds>\n");
        return -1;
    }
    const std::string behaviour = argv[1];
    intruder client(static_cast<DWORD>(atoi(argv[2])));
    if (!client.connect())
        return client.received();

    if (behaviour == "ask") {
        for (uint8_t request : {MSG_GET_DEVICE_ID, MSG_GET_HARDWARE_ID, MSG_GET_USER_SID}) {
            if (!client.send(std::string(1, static_cast<char>(request))) || !client.receive(500))
                break;
        }
    } else if (behaviour == "status-0" || behaviour == "cancel") {
        const char status = behaviour == "cancel" ? static_cast<char>(USBDRV_ERR_USER_CANCEL) : 0;
        if (client.send_text("intruder: installed OK"))
            client.send(std::string(1, MSG_SET_STATUS) + status);
    } else if (behaviour == "hold") {
        if (client.send(std::string(1, MSG_SET_TIMEOUT_INFINITE)))
            client.hold();
        return client.received();
    } else if (behaviour == "flood") {
        for (int n = 0; client.left() > 0; n++) {
            if (!client.send_text("intruder floods " + std::to_string(n)))
                break;
        }
    } else if (behaviour == "reconnect") {
        do {
            if (client.send_text("intruder is back"))
                client.hold();
        } while (client.left() > 0 && client.connect());
        return client.received();
    } else {
        fprintf(stderr, "pipe_intruder: unknown behaviour '%s'\n", behaviour.c_str());
        return -1;
    }
    client.hold();
    return client.received();
}
