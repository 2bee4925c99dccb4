// Preloaded into the tool (LD_PRELOAD) to make one chosen call fail.
//
//   VORENDIX_FAULT=kind:k:what   the k-th call of `kind` (see kKindNames)
//                                fails with the errno number `what`, or with
//                                "short" comes back with half the bytes done;
//                                for "new" any `what` makes the allocation fail
//   VORENDIX_FAULT_LOG=path      writes one line per call, "kind target", where
//                                target is the path the call names or the file
//                                behind its descriptor ("fd0".."fd2" for the
//                                standard streams)
//   VORENDIX_RESIZE=+N or -N     just before the first read of a ".bin" file
//                                (after its size was asked), the file grows
//                                or shrinks by N bytes
//   VORENDIX_NO_TMPFILE=1        every unnamed temporary file is refused (EOPNOTSUPP),
//                                as on a file system that has none
//   VORENDIX_SWAP=path           before Config.ini is opened a second time,
//                                `path` (relative to its folder) is renamed over it
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

enum Kind {
    kOpen, kRead, kWrite, kClose, kRename, kStat, kReadlink,
    kFsync, kFchmod, kFchown, kLinkat, kFtruncate, kNew, kKinds
};
constexpr std::array<const char*, kKinds> kKindNames = {
    "open", "read", "write", "close", "rename", "stat", "readlink",
    "fsync", "fchmod", "fchown", "linkat", "ftruncate", "new"};

template <class F>
F Real(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

struct Plan {
    int kind = -1;
    long k = 0;
    bool short_count = false;
    int error = 0;
};

Plan ReadPlan() {
    Plan plan;
    const char* text = std::getenv("VORENDIX_FAULT");
    if (!text) return plan;
    char kind[16] = {};
    char what[16] = {};
    if (std::sscanf(text, "%15[a-z]:%ld:%15s", kind, &plan.k, what) != 3) return plan;
    for (int i = 0; i < kKinds; ++i) {
        if (std::strcmp(kind, kKindNames[static_cast<std::size_t>(i)]) == 0) plan.kind = i;
    }
    plan.short_count = std::strcmp(what, "short") == 0;
    plan.error = plan.short_count ? 0 : std::atoi(what);
    return plan;
}

std::array<long, kKinds> counts{};
Plan plan;
bool ready = false;  // the plan is read on the first call, whenever that is
bool logging = false;

// Appends "kind target" to the call log. Uses no allocation of its own.
void Log(Kind kind, const char* target) {
    static int fd = -2;
    if (fd == -2) {
        const char* path = std::getenv("VORENDIX_FAULT_LOG");
        fd = path ? Real<int (*)(const char*, int, ...)>("open")(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)
                  : -1;
    }
    if (fd < 0) return;
    char line[4200];
    const int length = std::snprintf(line, sizeof line, "%s %s\n", kKindNames[kind], target);
    if (length > 0) {
        const auto size = static_cast<std::size_t>(std::min<int>(length, static_cast<int>(sizeof line) - 1));
        Real<ssize_t (*)(int, const void*, size_t)>("write")(fd, line, size);
    }
}

void DescribeFd(int fd, char* out, std::size_t size) {
    if (fd >= 0 && fd <= 2) {
        std::snprintf(out, size, "fd%d", fd);
        return;
    }
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t got = Real<ssize_t (*)(const char*, char*, size_t)>("readlink")(link, out, size - 1);
    out[got > 0 ? got : 0] = '\0';
}

enum class Action { Proceed, Fail, Short };

void Init() {
    if (ready) return;
    ready = true;
    plan = ReadPlan();
    logging = std::getenv("VORENDIX_FAULT_LOG") != nullptr;
}

// Counts one call of `kind` on `target` and says what to do with it.
Action Next(Kind kind, const char* target) {
    Init();
    const long n = ++counts[kind];
    if (logging) Log(kind, target);
    if (plan.kind != kind || plan.k != n) return Action::Proceed;
    if (plan.short_count) return Action::Short;
    errno = plan.error;
    return Action::Fail;
}

Action NextOnFd(Kind kind, int fd) {
    Init();
    char target[4096] = "";
    if (logging) DescribeFd(fd, target, sizeof target);
    return Next(kind, target);
}

bool EndsWith(const char* text, const char* end) {
    const std::size_t a = std::strlen(text), b = std::strlen(end);
    return a >= b && std::strcmp(text + a - b, end) == 0;
}

void ResizeOnce(int fd) {
    static bool done = false;
    const char* change = std::getenv("VORENDIX_RESIZE");
    if (done || !change) return;
    char path[4096] = {};
    DescribeFd(fd, path, sizeof path);
    if (!EndsWith(path, ".bin")) return;
    done = true;
    struct stat info {};
    Real<int (*)(int, struct stat*)>("fstat")(fd, &info);
    const long by = std::atol(change);
    ::truncate(path, info.st_size + by);  // growing pads with zero bytes
}

void SwapConfig(const char* path) {
    static int opened = 0;
    const char* replacement = std::getenv("VORENDIX_SWAP");
    if (!replacement || !EndsWith(path, "Config.ini")) return;
    if (++opened != 2) return;
    char from[4096];
    const char* slash = std::strrchr(path, '/');
    const int folder = slash ? static_cast<int>(slash - path + 1) : 0;
    std::snprintf(from, sizeof from, "%.*s%s", folder, path, replacement);
    Real<int (*)(const char*, const char*)>("rename")(from, path);
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    SwapConfig(path);
    if (Next(kOpen, path) == Action::Fail) return -1;
    if ((flags & O_TMPFILE) == O_TMPFILE && std::getenv("VORENDIX_NO_TMPFILE")) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return Real<int (*)(const char*, int, ...)>("open")(path, flags, mode);
}

ssize_t read(int fd, void* buffer, size_t count) {
    switch (NextOnFd(kRead, fd)) {
        case Action::Fail: return -1;
        case Action::Short: if (count > 1) count /= 2; break;
        case Action::Proceed: break;
    }
    ResizeOnce(fd);
    return Real<ssize_t (*)(int, void*, size_t)>("read")(fd, buffer, count);
}

ssize_t write(int fd, const void* buffer, size_t count) {
    switch (NextOnFd(kWrite, fd)) {
        case Action::Fail: return -1;
        case Action::Short: if (count > 1) count /= 2; break;
        case Action::Proceed: break;
    }
    return Real<ssize_t (*)(int, const void*, size_t)>("write")(fd, buffer, count);
}

int close(int fd) {
    // A failed close has still released the descriptor, as on Linux.
    const Action action = NextOnFd(kClose, fd);
    const int result = Real<int (*)(int)>("close")(fd);
    if (action == Action::Fail) return -1;
    return result;
}

int rename(const char* from, const char* to) {
    if (Next(kRename, to) == Action::Fail) return -1;
    return Real<int (*)(const char*, const char*)>("rename")(from, to);
}

int stat(const char* path, struct stat* info) {
    if (Next(kStat, path) == Action::Fail) return -1;
    return Real<int (*)(const char*, struct stat*)>("stat")(path, info);
}

int lstat(const char* path, struct stat* info) {
    if (Next(kStat, path) == Action::Fail) return -1;
    return Real<int (*)(const char*, struct stat*)>("lstat")(path, info);
}

int fstat(int fd, struct stat* info) {
    if (NextOnFd(kStat, fd) == Action::Fail) return -1;
    return Real<int (*)(int, struct stat*)>("fstat")(fd, info);
}

ssize_t readlink(const char* path, char* buffer, size_t size) {
    if (Next(kReadlink, path) == Action::Fail) return -1;
    return Real<ssize_t (*)(const char*, char*, size_t)>("readlink")(path, buffer, size);
}

int fsync(int fd) {
    if (NextOnFd(kFsync, fd) == Action::Fail) return -1;
    return Real<int (*)(int)>("fsync")(fd);
}

int fchmod(int fd, mode_t mode) {
    if (NextOnFd(kFchmod, fd) == Action::Fail) return -1;
    return Real<int (*)(int, mode_t)>("fchmod")(fd, mode);
}

int fchown(int fd, uid_t owner, gid_t group) {
    if (NextOnFd(kFchown, fd) == Action::Fail) return -1;
    return Real<int (*)(int, uid_t, gid_t)>("fchown")(fd, owner, group);
}

int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
    if (Next(kLinkat, to) == Action::Fail) return -1;
    return Real<int (*)(int, const char*, int, const char*, int)>("linkat")(from_dir, from, to_dir, to, flags);
}

int ftruncate(int fd, off_t length) {
    if (NextOnFd(kFtruncate, fd) == Action::Fail) return -1;
    return Real<int (*)(int, off_t)>("ftruncate")(fd, length);
}

}  // extern "C"

// The tool's own allocations; a chosen one fails as memory running out would.
void* operator new(std::size_t size) {
    if (Next(kNew, "") == Action::Fail) throw std::bad_alloc();
    if (void* block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
