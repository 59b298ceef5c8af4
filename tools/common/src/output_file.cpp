#include "output_file.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <system_error>

#if defined(_WIN32)
#include <process.h>
#define OUTPUT_GETPID _getpid
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#define OUTPUT_GETPID getpid
#endif

namespace fs = std::filesystem;

namespace pelrin_tools {

namespace {

std::string quoted(const fs::path &p) { return "'" + printable(p.string()) + "'"; }
std::string errnoText() { return std::strerror(errno); }

// Held while the lists of inputs and outputs below, or the slots of the
// signal handler's list, are read or changed: files are opened on several
// threads at once.
std::mutex &filesLock() {
    static std::mutex lock;
    return lock;
}

// Inputs read so far, and outputs open now, as absolute paths.
std::vector<fs::path> &inputs() {
    static std::vector<fs::path> list;
    return list;
}
std::vector<fs::path> &openOutputs() {
    static std::vector<fs::path> list;
    return list;
}

fs::path absoluteNormal(const fs::path &p) {
    std::error_code ec;
    fs::path a = fs::absolute(p, ec);
    return (ec ? p : a).lexically_normal();
}

// The file a chain of symbolic links ends at (the path itself when it is none).
fs::path resolveLinks(fs::path p) {
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(p, ec))) return p;
        fs::path next = fs::read_symlink(p, ec);
        if (ec) return p;
        p = next.is_absolute() ? next : p.parent_path() / next;
    }
    throw std::runtime_error("too many levels of symbolic links at " + quoted(p));
}

// Temporary files to remove when a signal ends the process: fixed storage,
// touched by the handler with async-signal-safe calls only (the flags are
// lock-free atomics, so a name is complete before its flag is seen set).
constexpr int kSlots = 8;
char gTempNames[kSlots][4096];
std::atomic<int> gTempUsed[kSlots];
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the flags");

// Takes a free slot for p; the caller holds filesLock().
int registerTemp(const fs::path &p) {
    const std::string s = p.string();
    if (s.size() >= sizeof gTempNames[0]) return -1;
    for (int i = 0; i < kSlots; ++i) {
        if (gTempUsed[i]) continue;
        std::memcpy(gTempNames[i], s.c_str(), s.size() + 1);
        gTempUsed[i] = 1;
        return i;
    }
    return -1;
}

extern "C" void removeTempsAndExit(int sig) {
    for (int i = 0; i < kSlots; ++i) {
        if (!gTempUsed[i]) continue;
#if defined(_WIN32)
        std::remove(gTempNames[i]);
#else
        ::unlink(gTempNames[i]);
#endif
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// Puts a finished temporary file in the place of an existing regular file:
// the two are exchanged in one step, so that readers find the old file or
// the new one and never none, and the old file, now under the temporary
// name, is removed. (A rename over an existing file makes some file systems,
// ext4 among them, allocate and start writing every block of the new file
// before the rename returns, which for a long render costs about as much
// again as removing the old file.) Returns false where this cannot be done
// (no such target, or a system or file system without the exchange): a
// plain rename then does the work.
bool exchangeWithTarget(const fs::path &temp, const fs::path &target) {
#if defined(__linux__) && defined(RENAME_EXCHANGE)
    std::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(target, ec))) return false;
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) != 0) return false;
    fs::remove(temp, ec);  // the old file
    return true;
#else
    (void)temp;
    (void)target;
    return false;
#endif
}

} // namespace

std::string printable(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        // A whole UTF-8 sequence for a printable character passes as it is.
        size_t len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        if (len && i + len <= s.size()) {
            uint32_t cp = c & (0x7F >> len);
            bool ok = true;
            for (size_t k = 1; k < len && ok; ++k) {
                const auto d = static_cast<unsigned char>(s[i + k]);
                ok = (d & 0xC0) == 0x80;
                cp = (cp << 6) | (d & 0x3F);
            }
            static const uint32_t kMin[5] = {0, 0, 0xA0, 0x800, 0x10000}; // below 0xA0: C1 controls
            if (ok && cp >= kMin[len] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF)) {
                out.append(s.substr(i, len));
                i += len;
                continue;
            }
        }
        static const char kHex[] = "0123456789ABCDEF";
        out += "\\x";
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 15]);
        ++i;
    }
    return out;
}

void noteInput(const fs::path &path) {
    std::error_code ec;
    if (!fs::exists(path, ec)) return;
    fs::path a = absoluteNormal(path);
    const std::lock_guard<std::mutex> hold(filesLock());
    inputs().push_back(std::move(a));
}

uint64_t checkInputFile(const fs::path &path, uint64_t maxBytes, const char *what) {
    if (path.empty()) throw std::runtime_error("empty file name");
    if (path.string().find('\0') != std::string::npos)
        throw std::runtime_error(quoted(path) + ": a file name cannot contain a NUL byte");
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (!fs::exists(st)) {
        if (ec && ec != std::errc::no_such_file_or_directory)
            throw std::runtime_error("cannot open " + quoted(path) + ": " + ec.message());
        throw std::runtime_error("cannot open " + quoted(path));
    }
    if (fs::is_directory(st)) throw std::runtime_error(quoted(path) + " is a directory, not " + what);
    if (!fs::is_regular_file(st))
        throw std::runtime_error(quoted(path) + " is not a regular file (a device, FIFO or socket cannot be read as " +
                                 what + ")");
    const uint64_t size = fs::file_size(path, ec);
    if (ec) throw std::runtime_error("cannot read " + quoted(path) + ": " + ec.message());
    if (size > maxBytes)
        throw std::runtime_error(quoted(path) + " is too large for " + what + " (" + std::to_string(size) +
                                 " bytes, at most " + std::to_string(maxBytes) + ")");
    noteInput(path);
    return size;
}

std::vector<uint8_t> readInputFile(const fs::path &path, uint64_t maxBytes, uint64_t offset, uint64_t length,
                                   const char *what) {
    const uint64_t size = checkInputFile(path, maxBytes, what);
    if (offset > size) offset = size;
    if (length > size - offset) length = size - offset;
    std::vector<uint8_t> data(static_cast<size_t>(length));
    std::FILE *f = std::fopen(path.string().c_str(), "rb");
    if (!f) throw std::runtime_error("cannot open " + quoted(path) + ": " + errnoText());
    bool ok = offset == 0 || std::fseek(f, static_cast<long>(offset), SEEK_SET) == 0;
    size_t got = ok && length ? std::fread(data.data(), 1, data.size(), f) : 0;
    ok = ok && !std::ferror(f);
    const std::string err = ok ? "" : errnoText();
    std::fclose(f);
    if (!ok) throw std::runtime_error("cannot read " + quoted(path) + ": " + err);
    data.resize(got); // the file shrank meanwhile
    return data;
}

void removeTemporaryFilesOnSignal() {
    std::signal(SIGINT, removeTempsAndExit);
    std::signal(SIGTERM, removeTempsAndExit);
}

int rememberTemporaryFile(const fs::path &path) {
    const std::lock_guard<std::mutex> hold(filesLock());
    return registerTemp(path);
}

void forgetTemporaryFile(int handle) {
    if (handle >= 0 && handle < kSlots) gTempUsed[handle] = 0;
}

OutputFile::OutputFile(const fs::path &target) : target_(target) {
    if (target.empty()) throw std::runtime_error("empty output file name");
    // From the checks against the other files to the entry in the list of
    // outputs, so that two threads cannot both take one target.
    const std::lock_guard<std::mutex> hold(filesLock());
    // What the name ends at, links followed by the system (this also covers
    // links such as /dev/stdout whose text is no path).
    std::error_code ec;
    const fs::file_status st = fs::status(target, ec);
    if (fs::is_directory(st)) throw std::runtime_error(quoted(target) + " is a directory");
    const bool device = fs::exists(st) && !fs::is_regular_file(st);
    // A regular file or a new one: the rename goes to the file a link names.
    resolved_ = device ? target : resolveLinks(target);
    if (fs::exists(st)) {
        for (const fs::path &in : inputs())
            if (fs::equivalent(target, in, ec))
                throw std::runtime_error("refusing to write over the input file " + quoted(target));
    }
    // Two outputs into one file would spoil both; a device such as /dev/null may take several.
    const fs::path key = absoluteNormal(resolved_);
    for (const fs::path &out : openOutputs())
        if (!device && (out == key || (fs::exists(st) && fs::equivalent(out, key, ec))))
            throw std::runtime_error(quoted(target) + " is given as two outputs");

    if (device) {
        // A device or FIFO: no rename over it, write straight into it.
        direct_ = true;
        file_ = std::fopen(resolved_.string().c_str(), "wb");
        if (!file_) throw std::runtime_error("cannot write " + quoted(target) + ": " + errnoText());
    } else {
        // A name of our own beside the target, so the rename stays on one file system.
        const auto stamp = static_cast<unsigned long long>(
            std::chrono::steady_clock::now().time_since_epoch().count() % 1000000007);
        for (int attempt = 0; attempt < 100 && !file_; ++attempt) {
            fs::path candidate = resolved_;
            candidate += ".part-" + std::to_string(OUTPUT_GETPID()) + "-" + std::to_string(stamp + attempt);
#if defined(_WIN32)
            if (fs::exists(candidate, ec)) continue;
            file_ = std::fopen(candidate.string().c_str(), "wb");
#else
            file_ = std::fopen(candidate.string().c_str(), "wbx"); // exclusive: never an existing file
            if (!file_ && errno == EEXIST) continue;
#endif
            if (!file_) throw std::runtime_error("cannot write " + quoted(target) + ": " + errnoText());
            temp_ = candidate;
        }
        if (!file_) throw std::runtime_error("cannot create a temporary file beside " + quoted(target));
        // A large buffer: a long render is written in a few hundred system
        // calls instead of one per 4 KiB. (A device or FIFO keeps the
        // default, so what reads it is not kept waiting.)
        constexpr size_t kBufferBytes = size_t{1} << 20;
        buffer_ = std::make_unique_for_overwrite<char[]>(kBufferBytes); // not zeroed: stdio fills it
        std::setvbuf(file_, buffer_.get(), _IOFBF, kBufferBytes);
        slot_ = registerTemp(temp_);
    }
    openOutputs().push_back(key);
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() {
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (!temp_.empty()) {
        std::error_code ec;
        fs::remove(temp_, ec);
        temp_.clear();
    }
    if (slot_ >= 0) gTempUsed[slot_] = 0;
    slot_ = -1;
    const std::lock_guard<std::mutex> hold(filesLock());
    auto &outs = openOutputs();
    const fs::path key = absoluteNormal(resolved_);
    for (auto it = outs.begin(); it != outs.end(); ++it)
        if (*it == key) {
            outs.erase(it);
            break;
        }
}

void OutputFile::fail(const std::string &err) const {
    throw std::runtime_error("cannot write " + quoted(target_) + ": " + err);
}

#if !defined(_WIN32)
namespace {

// Writes a and then b to fd, all of both; false (errno set) on an error.
bool writeBoth(int fd, const char *a, size_t aBytes, const char *b, size_t bBytes) {
    while (aBytes + bBytes != 0) {
        iovec parts[2] = {{const_cast<char *>(a), aBytes}, {const_cast<char *>(b), bBytes}};
        const ssize_t n = aBytes != 0 ? ::writev(fd, parts, 2) : ::write(fd, b, bBytes);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        size_t done = static_cast<size_t>(n);
        const size_t fromA = std::min(done, aBytes);
        a += fromA;
        aBytes -= fromA;
        done -= fromA;
        b += done;
        bBytes -= done;
    }
    return true;
}

} // namespace
#endif

bool OutputFile::writeHeld() {
#if !defined(_WIN32)
    if (held_.empty()) return true;
    if (!writeBoth(fileno(file_), held_.data(), held_.size(), nullptr, 0)) return false;
    held_.clear();
#endif
    return true;
}

void OutputFile::write(const void *data, size_t bytes) {
    if (!file_) throw std::logic_error("write after commit");
#if !defined(_WIN32)
    // A large write to a regular file goes straight to it after what the
    // stream holds: copying it into the stream's buffer first would cost a
    // pass over every byte. (The stream only writes, so it may go on after.)
    constexpr size_t kStraightBytes = size_t{1} << 16;
    constexpr uint64_t kPage = 4096;
    if (bytes >= kStraightBytes && !direct_) {
        if (std::fflush(file_) != 0) fail(errnoText());
        const char *p = static_cast<const char *>(data);
        // Up to the last page boundary (the write is longer than a page).
        const uint64_t end = end_ + bytes;
        const auto now = static_cast<size_t>((end & ~(kPage - 1)) - end_);
        if (!writeBoth(fileno(file_), held_.data(), held_.size(), p, now)) fail(errnoText());
        held_.assign(p + now, p + bytes);
        end_ = end;
        return;
    }
#endif
    if (!writeHeld()) fail(errnoText());
    if (bytes && std::fwrite(data, 1, bytes, file_) != bytes) fail(errnoText());
    end_ += bytes;
}

void OutputFile::writeAt(uint64_t offset, const void *data, size_t bytes) {
    if (!file_ || direct_) throw std::logic_error("rewrite of an output that cannot seek");
    if (!writeHeld()) fail(errnoText());
    if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0) fail(errnoText());
    // Through the stream, whatever the size: large writes line up with the
    // end of the file, not with offset.
    if (bytes && std::fwrite(data, 1, bytes, file_) != bytes) fail(errnoText());
    if (std::fseek(file_, 0, SEEK_END) != 0) fail(errnoText());
    end_ = std::max(end_, offset + bytes);
}

void OutputFile::reserve(uint64_t bytes) {
#if defined(__linux__)
    // Not a failure where the file system cannot: the writes allocate then.
    if (file_ && !direct_ && bytes > 0 &&
        bytes <= static_cast<uint64_t>(std::numeric_limits<off_t>::max()))
        reserved_ = fallocate(fileno(file_), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes)) == 0 || reserved_;
#else
    (void)bytes;
#endif
}

void OutputFile::commit() {
    if (!file_) throw std::logic_error("commit twice");
    bool flushed = writeHeld() && std::fflush(file_) == 0 && !std::ferror(file_);
#if defined(__linux__)
    // The room reserved past the end: a truncation to the file's own size frees it.
    struct stat st;
    if (flushed && reserved_)
        flushed = fstat(fileno(file_), &st) == 0 && ftruncate(fileno(file_), st.st_size) == 0;
#endif
    const std::string flushErr = flushed ? "" : errnoText();
    const int closed = std::fclose(file_);
    const std::string closeErr = closed == 0 ? "" : errnoText();
    file_ = nullptr;
    if (!flushed || closed != 0) {
        const std::string err = flushed ? closeErr : flushErr;
        discard();
        fail(err);
    }
    if (!temp_.empty()) {
        std::error_code ec;
        if (!exchangeWithTarget(temp_, resolved_)) fs::rename(temp_, resolved_, ec);
        if (ec) {
            discard();
            throw std::runtime_error("cannot create " + quoted(target_) + ": " + ec.message());
        }
        temp_.clear();
    }
    discard();
}

OutputStream::OutputStream(const fs::path &target) : std::ostream(nullptr), file_(target), buf_(file_) {
    rdbuf(&buf_);
}

OutputStream::~OutputStream() { rdbuf(nullptr); }

int OutputStream::Buf::sync() {
    const auto n = static_cast<size_t>(pptr() - pbase());
    try {
        file_.write(pbase(), n);
    } catch (const std::exception &e) {
        if (error.empty()) error = e.what();
        return -1;
    }
    setp(buf_, buf_ + sizeof buf_);
    return 0;
}

OutputStream::Buf::int_type OutputStream::Buf::overflow(int_type c) {
    if (sync() != 0) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

void OutputStream::commit() {
    if (buf_.pubsync() != 0 || !good())
        throw std::runtime_error(buf_.error.empty() ? "cannot write " + quoted(file_.target()) : buf_.error);
    file_.commit();
}

} // namespace pelrin_tools
