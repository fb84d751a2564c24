// The library writes its progress and failures to standard output and
// standard error. The soak sends both into one file, in the order written,
// and reads back the lines written while a connection was open: the drop and
// overflow lines explain lost frames. The soak's own report goes to the
// original standard output.
#pragma once

#include <string>
#include <vector>

class LogCapture {
  public:
    explicit LogCapture(const std::string& path);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // The end of what was written so far; every line written before the call lies before it.
    long position() const;
    // Writes "soak: TEXT" into the log, to find one's way in it; the position after it.
    long mark(const std::string& text) const;
    std::string read(long from, long to) const;
    // A line to the original standard output.
    void report(const std::string& line) const;
    // Standard output and error back as they were (before exit, so that a leak report is seen).
    void restore();
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    int file_ = -1;
    int savedOut_ = -1;
    int savedErr_ = -1;
};

// Whether a "Bind failed" line was written after a position: a port found
// free a moment before was taken meanwhile (by any lane: a false alarm
// only costs a retry).
bool bindFailedSince(const LogCapture& log, long from);

// The whole lines written after a position, a few at a time.
class LogTail {
  public:
    LogTail(const LogCapture& log, long from) : log_(log), offset_(from) {}
    std::vector<std::string> newLines();
    long offset() const { return offset_; }

  private:
    const LogCapture& log_;
    long offset_;
};
