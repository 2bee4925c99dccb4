// The OS layer on Linux and other POSIX systems.
#include <fcntl.h>
#include <poll.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
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

// A named temporary file that a signal handler removes before the signal
// ends the process. Only touched with the handled signals blocked.
char pending_temp[4096];
volatile std::sig_atomic_t pending_temp_set = 0;
constexpr int kCleanedSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void RemoveTempAndDie(int signal_number) {
    if (pending_temp_set) ::unlink(pending_temp);
    // The handler was reset on entry: the signal, raised again, ends the
    // process as it would have, once this handler returns.
    ::raise(signal_number);
}

// Blocks the handled signals while it lives.
class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t held;
        sigemptyset(&held);
        for (const int signal_number : kCleanedSignals) sigaddset(&held, signal_number);
        // Fails only for an unknown `how`, which these calls never pass.
        ::sigprocmask(SIG_BLOCK, &held, &previous_);
    }
    SignalsHeld(const SignalsHeld&) = delete;
    ~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }

private:
    sigset_t previous_;
};

void RegisterTemp(const std::string& path) {
    if (path.size() >= sizeof pending_temp) return;  // the create itself fails then
    path.copy(pending_temp, path.size());
    pending_temp[path.size()] = '\0';
    pending_temp_set = 1;
}

void UnregisterTemp() { pending_temp_set = 0; }

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
    // Ctrl-C, a kill or a closed terminal first remove a named temporary
    // file; a signal the caller ignores stays ignored.
    for (const int signal_number : kCleanedSignals) {
        struct sigaction current {};
        if (::sigaction(signal_number, nullptr, &current) != 0) return FailErrno();
        if (current.sa_handler == SIG_IGN) continue;
        struct sigaction cleanup {};
        cleanup.sa_handler = RemoveTempAndDie;
        cleanup.sa_flags = static_cast<int>(SA_RESETHAND);  // the flag is the sign bit
        sigemptyset(&cleanup.sa_mask);
        if (::sigaction(signal_number, &cleanup, nullptr) != 0) return FailErrno();
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
        if (got < 0 && errno == EAGAIN) {
            // A non-blocking standard input: wait until its line comes.
            pollfd ready{STDIN_FILENO, POLLIN, 0};
            if (::poll(&ready, 1, -1) < 0 && errno != EINTR) return FailErrno();
            continue;
        }
        if (got < 0) return FailErrno();
        if (got == 0 || c == '\n') return {};
    }
}

namespace {

Result<std::string> PathOfRunningImage() {
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

// The name the kernel was asked to run, made absolute against the starting
// directory, its folder part with links resolved; nothing if not to be had.
std::optional<std::string> PathStartedBy() {
    const auto* started = reinterpret_cast<const char*>(::getauxval(AT_EXECFN));
    if (started == nullptr || *started == '\0') return std::nullopt;
    std::string path = started;
    if (path.front() != '/') {
        char* current = ::getcwd(nullptr, 0);
        if (current == nullptr) return std::nullopt;
        path = std::string(current) + '/' + path;
        std::free(current);
    }
    std::string folder = FolderPart(path);
    const std::string name = path.substr(folder.size());
    if (char* resolved = ::realpath(folder.c_str(), nullptr)) {
        folder = resolved;
        std::free(resolved);
        if (folder.back() != '/') folder += '/';
    }
    return folder + name;
}

}  // namespace

Result<std::string> ExecutablePath() {
    // The name the program was started by, so that a link to it in another
    // folder makes that folder the program's; it needs no /proc either.
    if (std::optional<std::string> started = PathStartedBy()) return *started;
    return PathOfRunningImage();
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

namespace {

// The file a path names once every symbolic link at its end is followed; a
// dangling link gives the path its target would have.
Result<std::string> FollowLinks(std::string path) {
    for (int depth = 0; depth < 40; ++depth) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) {
            if (errno == ENOENT) return path;
            return FailErrno();
        }
        if (!S_ISLNK(info.st_mode)) return path;
        std::vector<char> target(static_cast<std::size_t>(info.st_size) + 1);
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length < 0) return FailErrno();
        if (static_cast<std::size_t>(length) >= target.size()) continue;  // changed meanwhile: look again
        std::string next(target.data(), static_cast<std::size_t>(length));
        path = next.front() == '/' ? next : FolderPart(path) + next;
    }
    errno = ELOOP;
    return FailErrno();
}

std::string FolderOf(const std::string& path) {
    const std::string folder = FolderPart(path);
    return folder.empty() ? std::string("./") : folder;
}

bool NoUnnamedFiles(int error) { return error == EOPNOTSUPP || error == EINVAL || error == EISDIR; }
bool FolderRefusesNewFile(int error) { return error == EACCES || error == EPERM; }

std::string ProcFdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Tries the names .vorendix-<process>-<n>.tmp in `folder` in turn: `make`
// says whether it made the file of that name. Gives the name made, or
// nothing with errno set. A short name of our own, so a long patch name
// leaves room for it.
template <class Make>
std::optional<std::string> MakeTemporaryName(const std::string& folder, Make make) {
    const std::string stem = folder + ".vorendix-" + std::to_string(::getpid()) + '-';
    for (int attempt = 0; attempt <= 100; ++attempt) {
        std::string name = stem + std::to_string(attempt) + ".tmp";
        if (make(name)) return name;
        if (errno != EEXIST) return std::nullopt;
    }
    return std::nullopt;  // errno is EEXIST
}

// Gives file `to` the extended attributes of file `from`, access control
// lists among them. False when one of them cannot be set here.
Result<bool> CopyExtendedAttributes(int from, int to) {
    ssize_t size = ::flistxattr(from, nullptr, 0);
    if (size < 0 && errno == ENOTSUP) return true;  // a file system without them
    if (size < 0) return FailErrno();
    std::vector<char> names(static_cast<std::size_t>(size));
    size = ::flistxattr(from, names.data(), names.size());
    if (size < 0) return FailErrno();
    for (std::size_t at = 0; at < static_cast<std::size_t>(size);) {
        const char* name = names.data() + at;
        at += std::strlen(name) + 1;
        ssize_t length = ::fgetxattr(from, name, nullptr, 0);
        if (length < 0) return FailErrno();
        std::vector<char> value(static_cast<std::size_t>(length));
        length = ::fgetxattr(from, name, value.data(), value.size());
        if (length < 0) return FailErrno();
        if (::fsetxattr(to, name, value.data(), static_cast<std::size_t>(length), 0) != 0) {
            if (errno == EPERM || errno == EACCES || errno == ENOTSUP) return false;
            return FailErrno();
        }
    }
    return true;
}

// Gives file `to` what the user set on file `from`: owner, group, mode and
// extended attributes. False when one of them cannot be given here.
Result<bool> CopyWhatTheUserSet(int from, int to) {
    struct stat wanted {};
    struct stat made {};
    if (::fstat(from, &wanted) != 0 || ::fstat(to, &made) != 0) return FailErrno();
    // Owner and group first: changing them clears the set-id bits.
    if ((made.st_uid != wanted.st_uid || made.st_gid != wanted.st_gid) &&
        ::fchown(to, wanted.st_uid, wanted.st_gid) != 0) {
        if (errno == EPERM) return false;
        return FailErrno();
    }
    if (::fchmod(to, wanted.st_mode & 07777) != 0) {
        if (errno == EPERM) return false;
        return FailErrno();
    }
    if (::fstat(to, &made) != 0) return FailErrno();
    if ((made.st_mode & 07777) != (wanted.st_mode & 07777)) return false;  // a set-id bit not kept
    return CopyExtendedAttributes(from, to);
}

}  // namespace

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)),
      way_(other.way_),
      replacing_(other.replacing_),
      written_(other.written_),
      target_(std::move(other.target_)),
      temp_path_(std::exchange(other.temp_path_, {})) {}

ReplacementFile::~ReplacementFile() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
    if (!temp_path_.empty()) {
        const SignalsHeld held;
        ::unlink(temp_path_.c_str());
        UnregisterTemp();
    }
}

Result<ReplacementFile> ReplacementFile::Create(const std::string& path,
                                                const std::string& protect) {
    ReplacementFile file;
    if (Status opened = file.Open(path, protect); !opened) return opened.failure();
    return file;
}

Status ReplacementFile::Open(const std::string& path, const std::string& protect) {
    Result<std::string> target = FollowLinks(path);
    if (!target) return target.failure();
    target_ = std::move(target.value());

    // Opening the earlier file for writing, without truncating it, is the
    // test of whether it may be written. Non-blocking, so that a FIFO
    // cannot hold the run.
    const int earlier = ::open(target_.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (earlier < 0 && errno != ENOENT) return FailErrno();
    if (earlier < 0) return OpenTemporary(-1);

    replacing_ = true;
    handle_ = earlier;  // closed by the destructor from here on
    struct stat info {};
    if (::fstat(earlier, &info) != 0) return FailErrno();
    if (!S_ISREG(info.st_mode) || Identity(info) == protect) return FailHere(kAccessDenied);
    if (info.st_nlink > 1) {
        way_ = Way::InPlace;  // a rename would part the names of the file
        return {};
    }
    return OpenTemporary(earlier);
}

// Makes the temporary file beside the target and gives it what the user
// set on the earlier file; where that cannot be done, the earlier file
// (descriptor `earlier`, or none) is written in place instead.
Status ReplacementFile::OpenTemporary(std::intptr_t earlier_handle) {
    const int earlier = static_cast<int>(earlier_handle);
    const std::string folder = FolderOf(target_);
    int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    way_ = Way::Unnamed;
    // The name is given later through /proc; without /proc, use a named file.
    if (fd >= 0 && ::access(ProcFdPath(fd).c_str(), F_OK) != 0) {
        ::close(fd);
        fd = -1;
        errno = EOPNOTSUPP;
    }
    if (fd < 0 && NoUnnamedFiles(errno)) {
        way_ = Way::Named;
        const SignalsHeld held;
        std::optional<std::string> name = MakeTemporaryName(folder, [&fd](const std::string& temp) {
            fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            return fd >= 0;
        });
        if (name) {
            temp_path_ = std::move(*name);  // moved: no allocation may fail while the name is unrecorded
            RegisterTemp(temp_path_);
        }
    }
    if (fd < 0) {
        if (earlier >= 0 && FolderRefusesNewFile(errno)) {
            way_ = Way::InPlace;
            return {};
        }
        return FailErrno();
    }
    if (earlier < 0) {
        handle_ = fd;
        return {};
    }
    Result<bool> kept = CopyWhatTheUserSet(earlier, fd);
    if (!kept || !kept.value()) {
        ::close(fd);
        if (!temp_path_.empty()) {
            const SignalsHeld held;
            ::unlink(temp_path_.c_str());
            UnregisterTemp();
            temp_path_.clear();
        }
        if (!kept) return kept.failure();
        way_ = Way::InPlace;
        return {};
    }
    // The earlier file is replaced by rename; its descriptor is done with.
    handle_ = fd;
    if (::close(earlier) != 0) return FailErrno();
    return {};
}

Status ReplacementFile::Write(std::span<const char> bytes) {
    if (!WriteAll(static_cast<int>(handle_), bytes)) return FailErrno();
    written_ += bytes.size();
    return {};
}

Status ReplacementFile::Commit() {
    const int fd = static_cast<int>(handle_);
    if (way_ == Way::InPlace) {
        if (::ftruncate(fd, static_cast<off_t>(written_)) != 0) return FailErrno();
        handle_ = -1;
        if (::close(fd) != 0) return FailErrno();
        return {};
    }
    // The moment an earlier patch could be lost to a power cut: the new
    // content reaches the disk before its name does.
    if (replacing_ && ::fsync(fd) != 0) return FailErrno();
    const SignalsHeld held;
    if (way_ == Way::Unnamed) {
        const std::string source = ProcFdPath(fd);
        std::optional<std::string> name = MakeTemporaryName(FolderOf(target_), [&](const std::string& temp) {
            return ::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) == 0;
        });
        if (!name) return FailErrno();
        temp_path_ = std::move(*name);  // moved: no allocation may fail while the name is unrecorded
        RegisterTemp(temp_path_);
    }
    handle_ = -1;
    if (::close(fd) != 0) return FailErrno();
    if (::rename(temp_path_.c_str(), target_.c_str()) != 0) return FailErrno();
    temp_path_.clear();
    UnregisterTemp();
    return {};
}

// ---- INI reader --------------------------------------------------------------

std::string ReadProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::string_view fallback) {
    // Non-blocking, so a FIFO of that name cannot hold the run; only a plain
    // file is read, and anything unreadable counts as absent. The file goes
    // through in pieces, so its size costs no memory.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::string(fallback);
    struct stat info {};
    bool readable = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ProfileScanner scanner(section, key);
    static char piece[64 * 1024];
    while (readable) {
        const ssize_t got = ::read(fd, piece, sizeof piece);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            readable = got == 0;
            break;
        }
        if (!scanner.Feed(std::string_view(piece, static_cast<std::size_t>(got)))) break;
    }
    ::close(fd);  // the bytes are in; a failed close cannot change them
    if (!readable) return std::string(fallback);
    return scanner.Finish().value_or(std::string(fallback));
}

}  // namespace platform
