// Files the host tools read and write, handled so that nothing is lost:
//  - inputs are checked before they are read whole (a regular file of a
//    bounded size, not a folder, FIFO or device), and remembered by identity;
//  - an output never replaces one of those inputs (same file, not just name);
//  - an output that is not a regular file (a device such as /dev/null, a
//    FIFO) is written straight through, and a failed write or close is an
//    error; a symbolic link is followed to the file it names;
//  - a regular output is written to a temporary file beside its (resolved)
//    target and renamed over it when complete, and the temporary file is
//    removed on failure, on destruction and on SIGINT/SIGTERM.
// Errors are thrown as std::runtime_error with a one-line message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

namespace pelrin_tools {

// Text safe to print or to write into a one-line comment: control bytes and
// bytes that are not UTF-8 become \xHH (a backslash becomes \\).
std::string printable(std::string_view text);

// Checks that path names a regular file of at most maxBytes and remembers it
// as an input; returns its size. Refuses folders, FIFOs, devices and larger
// files with a clear message. `what` names the file in messages ("an NSF file").
uint64_t checkInputFile(const std::filesystem::path &path, uint64_t maxBytes, const char *what = "a file");

// Reads up to `length` bytes at `offset` of a file checked as above.
std::vector<uint8_t> readInputFile(const std::filesystem::path &path, uint64_t maxBytes, uint64_t offset = 0,
                                   uint64_t length = UINT64_MAX, const char *what = "a file");

// Remembers a file as an input (by device and inode) without reading it.
void noteInput(const std::filesystem::path &path);

// Removes the temporary files of every open OutputFile on SIGINT and SIGTERM,
// then ends the process by the signal as it would have ended anyway.
void removeTemporaryFilesOnSignal();

// Adds a temporary file of the caller's to those removed on a signal; the
// handle (negative when the list is full) takes it off again.
int rememberTemporaryFile(const std::filesystem::path &path);
void forgetTemporaryFile(int handle);

class OutputFile {
public:
    // Opens the output; throws when it is a folder, an input file, or cannot
    // be created.
    explicit OutputFile(const std::filesystem::path &target);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    void write(const void *data, size_t bytes);
    // Whether the output can be rewritten in place (a regular file).
    bool seekable() const { return !direct_; }
    // Rewrites bytes at offset; only for a seekable output.
    void writeAt(uint64_t offset, const void *data, size_t bytes);
    // Reserves room for an output of `bytes` in all, where the system can
    // (Linux): a long render then fills blocks allocated at once instead of
    // one page at a time. Commit releases what was not written.
    void reserve(uint64_t bytes);
    // Flushes and closes, then renames the temporary file over the target.
    void commit();

    const std::filesystem::path &target() const { return target_; }
    const std::filesystem::path &tempPath() const { return temp_; }

private:
    [[noreturn]] void fail(const std::string &what) const;
    void discard();
    // Writes the bytes held back from the last large write; false (errno
    // set) when that fails.
    bool writeHeld();

    std::filesystem::path target_;   // as given, for messages
    std::filesystem::path resolved_; // the file a symbolic link names
    std::filesystem::path temp_;     // empty when written straight through
    std::FILE *file_ = nullptr;
    std::unique_ptr<char[]> buffer_; // the stream's buffer, for a regular file
    bool direct_ = false;
    bool reserved_ = false;
    // A large write to a regular file goes to it up to the last page
    // boundary it reaches; the rest (less than a page) waits here for the
    // next write. Writes that begin and end on page boundaries let the
    // system keep the file's pages in large blocks of memory, so that
    // writing the file and, later, removing it cost less.
    std::vector<char> held_;
    uint64_t end_ = 0; // bytes written so far, held ones included
    int slot_ = -1;                  // entry in the signal handler's list
};

// A std::ostream that writes into an OutputFile; errors surface at commit().
class OutputStream : public std::ostream {
public:
    explicit OutputStream(const std::filesystem::path &target);
    ~OutputStream() override;
    void commit();

private:
    class Buf : public std::streambuf {
    public:
        explicit Buf(OutputFile &f) : file_(f) { setp(buf_, buf_ + sizeof buf_); }
        int sync() override;
        int_type overflow(int_type c) override;
        std::string error; // the first failed write's message

    private:
        OutputFile &file_;
        char buf_[1 << 16];
    };
    OutputFile file_;
    Buf buf_;
};

} // namespace pelrin_tools
