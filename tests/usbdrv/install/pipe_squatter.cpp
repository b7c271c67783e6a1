// Another program that creates the installer pipe's name before the tool does:
//   pipe_squatter <instances> <ready event> <milliseconds>
// creates the pipe with at most <instances> instances, sets the named event <ready event>, then
// serves one client for <milliseconds>: prints "connected" when one connects and, in hexadecimal,
// every message it receives. Exits with the number of bytes it received (0: nothing reached it).
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "base/installer_protocol.h"
#include "win/handles.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: pipe_squatter <instances> <ready event> <milliseconds>\n");
        return -1;
    }
    const DWORD instances = static_cast<DWORD>(atoi(argv[1]));
    const DWORD lifetime = static_cast<DWORD>(atoi(argv[3]));
    unique_pipe pipe(CreateNamedPipeA(kInstallerPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                      instances, 4096, 4096, 0, nullptr));
    if (!pipe) {
        fprintf(stderr, "pipe_squatter: could not create the pipe (%lu)\n", GetLastError());
        return -1;
    }
    unique_event ready(OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]));
    if (ready)
        SetEvent(ready.get());

    const DWORD start = GetTickCount();
    auto left = [&]() -> DWORD {
        DWORD spent = GetTickCount() - start;
        return spent >= lifetime ? 0 : lifetime - spent;
    };
    unique_event event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED io = {};
    io.hEvent = event.get();
    DWORD count = 0;
    if (!ConnectNamedPipe(pipe.get(), &io)) {
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            if (WaitForSingleObject(event.get(), left()) != WAIT_OBJECT_0) {
                CancelIo(pipe.get());
                GetOverlappedResult(pipe.get(), &io, &count, TRUE);
                return 0;
            }
        } else if (error != ERROR_PIPE_CONNECTED) {
            return 0;
        }
    }
    printf("connected\n");
    fflush(stdout);

    int received = 0;
    for (;;) {
        unsigned char buffer[4096];
        io = OVERLAPPED{};
        io.hEvent = event.get();
        BOOL done = ReadFile(pipe.get(), buffer, sizeof buffer, nullptr, &io);
        if (!done && GetLastError() == ERROR_IO_PENDING) {
            if (WaitForSingleObject(event.get(), left()) != WAIT_OBJECT_0) {
                CancelIo(pipe.get());
                GetOverlappedResult(pipe.get(), &io, &count, TRUE);
                break;
            }
        }
        if (!GetOverlappedResult(pipe.get(), &io, &count, FALSE) &&
            GetLastError() != ERROR_MORE_DATA) {
            break;
        }
        for (DWORD i = 0; i < count; i++)
            printf("%02X", buffer[i]);
        printf("\n");
        fflush(stdout);
        received += static_cast<int>(count);
    }
    return received;
}
