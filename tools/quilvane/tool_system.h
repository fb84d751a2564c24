// What the tool needs of the operating system, behind one small interface so
// that every command reads the same on Linux and Windows: a stop on Ctrl-C,
// a pipe that catches the library's standard output, raw byte streams and
// terminals. Descriptors are C runtime file descriptors on both systems.
#pragma once

#include <cstddef>
#include <cstdio>

namespace tool_system {

// Calls `stop` on Ctrl-C (and SIGTERM, or Ctrl-Break on Windows); the second
// Ctrl-C ends the process at once, for when the library is stuck in a
// connection attempt. `stop` must be safe to call from a signal handler.
void onStopRequest(void (*stop)());

// Standard output and error pass bytes as they are: lines end in "\n" on
// both systems, so that logs and outputs are the same files everywhere.
void useRawStandardStreams();

// A second descriptor for standard output, not inherited by children; -1 on failure.
int duplicateStandardOutput();
// Writes go to `fd`; fdopen for the tool's own streams.
FILE* openWriteStream(int fd);
// A pipe whose ends children do not inherit; false on failure.
bool makePipe(int fds[2]);
// Standard output is now `fd` (a pipe's end, or standard error).
void redirectStandardOutput(int fd);
// Reads what is there, up to `size`; 0 at the end, -1 on error.
long readSome(int fd, char* buffer, std::size_t size);
void writeAll(int fd, const char* bytes, std::size_t count);
void closeDescriptor(int fd);

// Whether `fd` is a terminal that understands "\r" and "\x1b[K".
bool isTerminal(int fd);

}  // namespace tool_system
