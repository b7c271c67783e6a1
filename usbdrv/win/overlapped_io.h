// One overlapped read, write or pipe connection at a time on a handle opened for overlapped I/O
// (a pipe end), with an event and a record of its own. Until an operation is over, the system may
// still write into its buffer and its record: an operation still in flight when its owner goes,
// or when the owner stops waiting for it, is cancelled and waited for, so that nothing lands in
// memory that is gone, and a late answer stays in the pipe instead.
//
// Part of the ownership kit (handles.h): every overlapped operation of the host and the helper
// goes through this type, so no path finishes one by hand.
#pragma once

#include <windows.h>

#include "win/handles.h"
#include "win/runtime_imports.h"

class overlapped_io {
public:
    enum class state {
        complete,  // over, with bytes() transferred
        pending,   // in flight: wait(), or wait on event(), then take()
        failed     // over, with error(); a message read that did not fit is ERROR_MORE_DATA
                   // with the bytes() it placed
    };

    // `file` stays the caller's; it must outlive this object.
    explicit overlapped_io(HANDLE file)
        : file_(file), event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~overlapped_io() { finish(); }
    overlapped_io(const overlapped_io&) = delete;
    overlapped_io& operator=(const overlapped_io&) = delete;

    // False when its event could not be made: no operation can start.
    bool usable() const { return event_.valid(); }
    // Signalled when the pending operation is over.
    HANDLE event() const { return event_.get(); }
    bool pending() const { return pending_; }
    DWORD bytes() const { return bytes_; }
    DWORD error() const { return error_; }

    state read(void* into, DWORD size) {
        if (!begin())
            return state::failed;
        return started(ReadFile(file_, into, size, nullptr, &record_));
    }
    state write(const void* bytes, DWORD size) {
        if (!begin())
            return state::failed;
        return started(WriteFile(file_, bytes, size, nullptr, &record_));
    }

    // Listens for the next client on the server end of a pipe (ConnectNamedPipe): pending until
    // one connects. One that connected in between counts as complete.
    state connect() {
        if (!begin())
            return state::failed;
        if (!ConnectNamedPipe(file_, &record_)) {
            DWORD error = GetLastError();
            if (error == ERROR_IO_PENDING) {
                pending_ = true;
                return state::pending;
            }
            if (error != ERROR_PIPE_CONNECTED) {
                error_ = error;
                return state::failed;
            }
        }
        return state::complete;
    }

    // Waits at most timeout_ms for the pending operation; its outcome then comes from take().
    // False when it is still in flight.
    bool wait(DWORD timeout_ms) {
        return !pending_ || WaitForSingleObject(event_.get(), timeout_ms) == WAIT_OBJECT_0;
    }

    // The outcome of an operation that is over (its event is signalled).
    state take() {
        if (!pending_)
            return error_ == ERROR_SUCCESS ? state::complete : state::failed;
        pending_ = false;
        return outcome(GetOverlappedResult(file_, &record_, &bytes_, FALSE));
    }

    // Cancels the pending operation, if any, and waits until the system has let go of its
    // buffer and record. What it transferred before the cancellation is dropped.
    void finish() {
        if (!pending_)
            return;
        // CancelIoEx reaches an operation of any thread; without it (before Vista) CancelIo
        // reaches this thread's, and every operation here is finished by the thread that began it.
        if (auto cancel = imports.CancelIoEx.get_quietly())
            cancel(file_, &record_);
        else
            CancelIo(file_);
        DWORD ignored = 0;
        GetOverlappedResult(file_, &record_, &ignored, TRUE);
        pending_ = false;
        error_ = ERROR_OPERATION_ABORTED;
        bytes_ = 0;
    }

private:
    bool begin() {
        finish();
        bytes_ = 0;
        error_ = ERROR_SUCCESS;
        if (!event_) {
            error_ = ERROR_NOT_ENOUGH_MEMORY;
            return false;
        }
        record_ = OVERLAPPED{};
        record_.hEvent = event_.get();
        ResetEvent(event_.get());
        return true;
    }

    state started(BOOL done) {
        if (!done && GetLastError() == ERROR_IO_PENDING) {
            pending_ = true;
            return state::pending;
        }
        // Over at once, either way: the count (and a cut message's bytes) come from the record.
        DWORD error = done ? ERROR_SUCCESS : GetLastError();
        BOOL counted = GetOverlappedResult(file_, &record_, &bytes_, FALSE);
        if (!done) {
            error_ = error;
            if (!counted && error != ERROR_MORE_DATA)
                bytes_ = 0;
            return state::failed;
        }
        return outcome(counted);
    }

    state outcome(BOOL over) {
        if (over) {
            error_ = ERROR_SUCCESS;
            return state::complete;
        }
        error_ = GetLastError();
        return state::failed;
    }

    HANDLE file_;
    unique_event event_;
    OVERLAPPED record_ = {};
    bool pending_ = false;
    DWORD bytes_ = 0;
    DWORD error_ = ERROR_SUCCESS;
};
