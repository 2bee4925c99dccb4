// The OS layer on Linux and other POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include "platform/platform.hpp"
#include "platform/profile_text.hpp"

extern "C" char __executable_start;  // first byte of the loaded executable (GNU linkers)

namespace platform {
namespace {

std::optional<int> TableCodeForErrno(int error) {
    switch (error) {
        case ENOENT: return kFileNotFound;
        case ENOTDIR: case ENAMETOOLONG: case ELOOP: return kInvalidFilename;
        case EMFILE: case ENFILE: return kTooManyOpenFiles;
        case EACCES: case EPERM: case EROFS: case EISDIR: case ETXTBSY: return kAccessDenied;
        case ENOSPC: case EDQUOT: case EFBIG: return kDiskFull;
        default: return std::nullopt;
    }
}

// The failure for the current errno, stamped with the caller's location.
[[gnu::noinline]] Failure FailErrno() {
    const int error = errno;
    const std::uint32_t site = CodeOffset(__builtin_return_address(0));
    if (const auto code = TableCodeForErrno(error)) return {*code, site, true};
    return {error, site, false};
}

std::string Identity(const struct stat& info) {
    return std::to_string(info.st_dev) + ':' + std::to_string(info.st_ino);
}

// Writes all of `bytes`. False, with errno set, when a write fails; one
// that takes nothing counts as a full disk. The caller reports the failure,
// so that each kind of write names its own place.
bool WriteAll(int fd, std::span<const char> bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return false;
        if (written == 0) {
            errno = ENOSPC;
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace

[[gnu::noinline]] Failure FailHere(int code) {
    return {code, CodeOffset(__builtin_return_address(0))};
}

[[gnu::noinline]] Failure OutOfMemoryHere() {
    return {ENOMEM, CodeOffset(__builtin_return_address(0)), false};
}

Status PrepareProcess() {
    for (const int signal_number : {SIGPIPE, SIGXFSZ}) {
        if (std::signal(signal_number, SIG_IGN) == SIG_ERR) return FailErrno();
    }
    return {};
}

Status WriteStdout(std::string_view text) {
    if (!WriteAll(STDOUT_FILENO, text)) return FailErrno();
    return {};
}

void WriteStderr(std::string_view text) { (void)WriteAll(STDERR_FILENO, text); }

Status SkipStdinLine() {
    char c = 0;
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, &c, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == EBADF) return {};  // no standard input: nothing to wait for
        if (got < 0) return FailErrno();
        if (got == 0 || c == '\n') return {};
    }
}

Result<std::string> ExecutablePath() {
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) return FailErrno();
        if (static_cast<std::size_t>(length) < buffer.size()) {
            return std::string(buffer.data(), static_cast<std::size_t>(length));
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::uint32_t CodeOffset(const void* address) {
    const auto offset = reinterpret_cast<std::uintptr_t>(address) -
                        reinterpret_cast<std::uintptr_t>(&__executable_start);
    return static_cast<std::uint32_t>(offset);
}

bool IsPlainFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// ---- InputFile ---------------------------------------------------------------

InputFile::InputFile(std::intptr_t handle, std::string identity)
    : handle_(handle), identity_(std::move(identity)) {}

InputFile::InputFile(InputFile&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)), identity_(std::move(other.identity_)) {}

InputFile::~InputFile() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

Result<InputFile> InputFile::Open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FailErrno();
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        Failure failure = FailErrno();
        ::close(fd);
        return failure;
    }
    return InputFile(fd, Identity(info));
}

Result<std::uint64_t> InputFile::Size() const {
    struct stat info {};
    if (::fstat(static_cast<int>(handle_), &info) != 0) return FailErrno();
    return static_cast<std::uint64_t>(info.st_size);
}

Status InputFile::ReadExactly(std::span<std::uint8_t> buffer) {
    while (!buffer.empty()) {
        const ssize_t got = ::read(static_cast<int>(handle_), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return FailErrno();
        if (got == 0) return FailHere(kReadBeyondEnd);
        buffer = buffer.subspan(static_cast<std::size_t>(got));
    }
    return {};
}

Status InputFile::Close() {
    const int fd = static_cast<int>(std::exchange(handle_, -1));
    if (::close(fd) != 0) return FailErrno();
    return {};
}

// ---- ReplacementFile ---------------------------------------------------------

ReplacementFile::ReplacementFile(std::intptr_t handle, std::string temp, std::string path)
    : handle_(handle), temp_path_(std::move(temp)), final_path_(std::move(path)) {}

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)),
      temp_path_(std::exchange(other.temp_path_, {})),
      final_path_(std::move(other.final_path_)) {}

ReplacementFile::~ReplacementFile() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
    if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
}

Result<ReplacementFile> ReplacementFile::Create(const std::string& path,
                                                const std::string& protect) {
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0 &&
        (S_ISDIR(existing.st_mode) || Identity(existing) == protect)) {
        return FailHere(kAccessDenied);
    }
    // A short name of our own in the same folder, so the final rename stays
    // on one file system and long patch names leave room for it.
    const std::string stem = FolderPart(path) + ".vorendix-" + std::to_string(::getpid()) + '-';
    for (int attempt = 0;; ++attempt) {
        std::string temp = stem + std::to_string(attempt) + ".tmp";
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return ReplacementFile(fd, std::move(temp), path);
        if (errno != EEXIST || attempt >= 100) return FailErrno();
    }
}

Status ReplacementFile::Write(std::span<const char> bytes) {
    if (!WriteAll(static_cast<int>(handle_), bytes)) return FailErrno();
    return {};
}

Status ReplacementFile::Commit() {
    const int fd = static_cast<int>(std::exchange(handle_, -1));
    if (::close(fd) != 0) return FailErrno();
    if (::rename(temp_path_.c_str(), final_path_.c_str()) != 0) return FailErrno();
    temp_path_.clear();
    return {};
}

// ---- INI reader --------------------------------------------------------------

std::string ReadProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::string_view fallback) {
    // Non-blocking, so a FIFO of that name cannot hold the run; only a plain
    // file is read, and anything unreadable counts as absent.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::string(fallback);
    std::string text;
    struct stat info {};
    bool readable = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    char chunk[4096];
    while (readable) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            readable = got == 0;
            break;
        }
        text.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(fd);
    if (!readable) return std::string(fallback);
    return FindProfileValue(text, section, key).value_or(std::string(fallback));
}

}  // namespace platform
