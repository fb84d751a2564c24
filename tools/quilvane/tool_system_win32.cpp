#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "tool_system.h"

namespace tool_system {

namespace {

void (*stopCallback)() = nullptr;
volatile LONG stopsSeen = 0;

BOOL WINAPI onConsoleEvent(DWORD event) {
    // A closed console window ends the process whatever a handler returns:
    // only Ctrl-C and Ctrl-Break can end a command with its summary.
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
        return FALSE;
    }
    // Returning FALSE hands the second Ctrl-C to the default handler, which
    // ends the process, as the POSIX build does.
    if (InterlockedIncrement(&stopsSeen) > 1) {
        return FALSE;
    }
    stopCallback();
    return TRUE;
}

}  // namespace

void onStopRequest(void (*stop)()) {
    stopCallback = stop;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void useRawStandardStreams() {
    _setmode(1, _O_BINARY);
    _setmode(2, _O_BINARY);
}

int duplicateStandardOutput() {
    const int fd = _dup(1);
    if (fd >= 0) {
        SetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), HANDLE_FLAG_INHERIT, 0);
    }
    return fd;
}

FILE* openWriteStream(int fd) {
    return _fdopen(fd, "wb");
}

bool makePipe(int fds[2]) {
    return _pipe(fds, 64 * 1024, _O_BINARY | _O_NOINHERIT) == 0;
}

void redirectStandardOutput(int fd) {
    // The C runtime is shared with the DLL, so its std::cout follows fd 1.
    _dup2(fd, 1);
}

long readSome(int fd, char* buffer, std::size_t size) {
    const int n = _read(fd, buffer, static_cast<unsigned>(size));
    return n;
}

void writeAll(int fd, const char* bytes, std::size_t count) {
    while (count > 0) {
        const int n = _write(fd, bytes, static_cast<unsigned>(count));
        if (n <= 0) {
            return;
        }
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
}

void closeDescriptor(int fd) {
    _close(fd);
}

bool isTerminal(int fd) {
    if (!_isatty(fd)) {
        return false;
    }
    // A console draws "\x1b[K" only with its escape sequences turned on.
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        SetConsoleMode(handle, mode | 0x0004 /* ENABLE_VIRTUAL_TERMINAL_PROCESSING */);
    }
    return true;
}

}  // namespace tool_system
