// Preloaded into the tool (LD_PRELOAD) to make one chosen system call fail.
//
//   VORENDIX_FAULT=kind:k:what   the k-th call of `kind` (open, read, write,
//                                close, rename, stat, readlink) fails with the
//                                errno number `what`, or with "short" comes
//                                back with half the bytes done
//   VORENDIX_FAULT_COUNTS=path   at exit, writes "kind count" lines there
//   VORENDIX_RESIZE=+N or -N     just before the first read of a ".bin" file
//                                (after its size was asked), the file grows
//                                or shrinks by N bytes
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
#include <string>

namespace {

enum Kind { kOpen, kRead, kWrite, kClose, kRename, kStat, kReadlink, kKinds };
constexpr std::array<const char*, kKinds> kKindNames = {"open", "read", "write", "close",
                                                        "rename", "stat", "readlink"};

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
const Plan plan = ReadPlan();

enum class Action { Proceed, Fail, Short };

// Counts one call of `kind` and says what to do with it.
Action Next(Kind kind) {
    const long n = ++counts[kind];
    if (plan.kind != kind || plan.k != n) return Action::Proceed;
    if (plan.short_count) return Action::Short;
    errno = plan.error;
    return Action::Fail;
}

bool EndsWith(const char* text, const char* end) {
    const std::size_t a = std::strlen(text), b = std::strlen(end);
    return a >= b && std::strcmp(text + a - b, end) == 0;
}

void ResizeOnce(int fd) {
    static bool done = false;
    const char* change = std::getenv("VORENDIX_RESIZE");
    if (done || !change) return;
    char link[64], path[4096] = {};
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    if (Real<ssize_t (*)(const char*, char*, size_t)>("readlink")(link, path, sizeof path - 1) <= 0) return;
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
    std::string from = replacement;
    if (from.front() != '/') {  // beside Config.ini
        const std::string folder(path, std::strrchr(path, '/') ? std::strrchr(path, '/') + 1 : path);
        from = folder + from;
    }
    Real<int (*)(const char*, const char*)>("rename")(from.c_str(), path);
}

struct Reporter {
    ~Reporter() {
        const char* path = std::getenv("VORENDIX_FAULT_COUNTS");
        if (!path) return;
        std::string text;
        for (int i = 0; i < kKinds; ++i) {
            text += std::string(kKindNames[static_cast<std::size_t>(i)]) + " " +
                    std::to_string(counts[static_cast<std::size_t>(i)]) + "\n";
        }
        const int fd = Real<int (*)(const char*, int, ...)>("open")(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        Real<ssize_t (*)(int, const void*, size_t)>("write")(fd, text.data(), text.size());
        Real<int (*)(int)>("close")(fd);
    }
} reporter;

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if (flags & O_CREAT) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    SwapConfig(path);
    if (Next(kOpen) == Action::Fail) return -1;
    return Real<int (*)(const char*, int, ...)>("open")(path, flags, mode);
}

ssize_t read(int fd, void* buffer, size_t count) {
    switch (Next(kRead)) {
        case Action::Fail: return -1;
        case Action::Short: if (count > 1) count /= 2; break;
        case Action::Proceed: break;
    }
    ResizeOnce(fd);
    return Real<ssize_t (*)(int, void*, size_t)>("read")(fd, buffer, count);
}

ssize_t write(int fd, const void* buffer, size_t count) {
    switch (Next(kWrite)) {
        case Action::Fail: return -1;
        case Action::Short: if (count > 1) count /= 2; break;
        case Action::Proceed: break;
    }
    return Real<ssize_t (*)(int, const void*, size_t)>("write")(fd, buffer, count);
}

int close(int fd) {
    // A failed close has still released the descriptor, as on Linux.
    const int result = Real<int (*)(int)>("close")(fd);
    if (Next(kClose) == Action::Fail) return -1;
    return result;
}

int rename(const char* from, const char* to) {
    if (Next(kRename) == Action::Fail) return -1;
    return Real<int (*)(const char*, const char*)>("rename")(from, to);
}

int stat(const char* path, struct stat* info) {
    if (Next(kStat) == Action::Fail) return -1;
    return Real<int (*)(const char*, struct stat*)>("stat")(path, info);
}

int fstat(int fd, struct stat* info) {
    if (Next(kStat) == Action::Fail) return -1;
    return Real<int (*)(int, struct stat*)>("fstat")(fd, info);
}

ssize_t readlink(const char* path, char* buffer, size_t size) {
    if (Next(kReadlink) == Action::Fail) return -1;
    return Real<ssize_t (*)(const char*, char*, size_t)>("readlink")(path, buffer, size);
}

}  // extern "C"
