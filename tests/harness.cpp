#include "harness.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace harness {
namespace {

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void Spit(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

fs::path MakeDir(const fs::path& base, const std::string& stem) {
    std::string pattern = (base / (stem + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed in " + base.string());
    return pattern;
}

// Waits for the child at most `seconds`; kills it when that runs out.
int WaitFor(pid_t child, int seconds, bool& timed_out) {
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
    if (pidfd >= 0) {
        pollfd ready{pidfd, POLLIN, 0};
        int polled = 0;
        do {
            polled = ::poll(&ready, 1, seconds * 1000);
        } while (polled < 0 && errno == EINTR);
        ::close(pidfd);
        if (polled == 0) {
            timed_out = true;
            ::kill(child, SIGKILL);
        }
    }
    int wait_status = 0;
    while (::waitpid(child, &wait_status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -WTERMSIG(wait_status);
}

// A mount namespace of the child's own, without /proc.
void HideProc() {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::umount2("/proc", MNT_DETACH) != 0) {
        ::_exit(124);
    }
}

void DropPrivileges() {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(125);
}

void Redirect(int fd, const char* path, int flags) {
    const int opened = ::open(path, flags, 0666);
    if (opened < 0 || ::dup2(opened, fd) < 0) ::_exit(126);
    ::close(opened);
}

}  // namespace

ScratchDir::ScratchDir(const std::string& stem) : path_(MakeDir(fs::temp_directory_path(), stem)) {}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

Outcome::Outcome(Outcome&& other) noexcept
    : status(other.status),
      timed_out(other.timed_out),
      stdout_bytes(std::move(other.stdout_bytes)),
      stderr_bytes(std::move(other.stderr_bytes)),
      program_dir(std::move(other.program_dir)),
      root(std::exchange(other.root, {})),
      elsewhere(std::exchange(other.elsewhere, {})) {}

Outcome::~Outcome() {
    std::error_code ignored;
    if (!root.empty()) fs::remove_all(root, ignored);
    if (!elsewhere.empty()) fs::remove_all(elsewhere, ignored);
}

Tool ToolUnderTest() {
    Tool tool{VORENDIX_DEFAULT_BINARY, {}};
    if (const char* chosen = std::getenv("VORENDIX_BINARY")) tool.binary = chosen;
    if (tool.IsWindows()) tool.emulator = {VORENDIX_WINE};
    return tool;
}

std::string CommandOutput(const std::vector<std::string>& words) {
    std::string command;
    for (const auto& word : words) {
        std::string quoted = "'";
        for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += quoted + "' ";
    }
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return "";
    std::string output;
    char buffer[4096];
    while (const std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, got);
    ::pclose(pipe);
    return output;
}

std::string ReadUntil(int fd, const std::string& end) {
    std::string text;
    char c = 0;
    while (!text.ends_with(end) && ::read(fd, &c, 1) == 1) text += c;
    return text;
}

Tree ReadTree(const fs::path& dir, const std::string& skip_name) {
    Tree tree;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
        const std::string relative = it->path().lexically_relative(dir).generic_string();
        if (relative == skip_name) continue;
        if (it->is_symlink()) {
            tree[relative] = "-> " + fs::read_symlink(it->path()).string();
            it.disable_recursion_pending();
        } else if (it->is_directory()) {
            tree[relative + "/"] = "";
        } else if (it->is_fifo()) {
            tree[relative] = "fifo";
        } else {
            tree[relative] = Slurp(it->path());
        }
    }
    return tree;
}

Outcome Execute(const Run& run, const Tool& tool) {
    // A tool that is gone before a conversation's write must fail the test, not kill it.
    ::signal(SIGPIPE, SIG_IGN);
    Outcome outcome;
    outcome.root = MakeDir(fs::temp_directory_path(), "vorendix-e2e");
    const fs::path program_dir = outcome.root / run.program_folder;
    fs::create_directories(program_dir);
    fs::path elsewhere = outcome.root / "elsewhere";
    if (run.cwd_on_other_file_system) {
        elsewhere = outcome.elsewhere = MakeDir("/dev/shm", "vorendix-cwd");
    } else {
        fs::create_directories(elsewhere);
    }
    if (run.as_unprivileged_user) {
        fs::permissions(outcome.root, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        fs::permissions(elsewhere, fs::perms::all);
    }
    const fs::path binary = program_dir / tool.binary.filename();
    if (run.started_through_link) {
        const fs::path real = outcome.root / "real" / tool.binary.filename();
        fs::create_directories(real.parent_path());
        fs::copy_file(tool.binary, real);
        fs::create_symlink(real, binary);
    } else {
        fs::copy_file(tool.binary, binary);
    }

    for (const auto& [path, bytes] : run.files) {
        if (!path.empty() && path.back() == '/') {
            fs::create_directories(program_dir / path);
        } else {
            Spit(program_dir / path, bytes);
        }
    }
    if (run.prepare) run.prepare(program_dir);

    const fs::path stdin_path = outcome.root / "stdin";
    const fs::path stdout_path = outcome.root / "stdout";
    const fs::path stderr_path = outcome.root / "stderr";
    Spit(stdin_path, run.stdin_bytes);

    int closed_pipe[2] = {-1, -1};
    int to_stdin[2] = {-1, -1};
    int from_stdout[2] = {-1, -1};
    if (run.stdout_to == StdoutTo::ClosedPipe && ::pipe(closed_pipe) != 0) {
        throw std::runtime_error("pipe failed");
    }
    if (run.converse && (::pipe(to_stdin) != 0 || ::pipe(from_stdout) != 0)) {
        throw std::runtime_error("pipe failed");
    }

    std::vector<std::string> words = tool.emulator;
    words.push_back(binary.string());
    words.insert(words.end(), run.args.begin(), run.args.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    const pid_t child = ::fork();
    if (child == 0) {
        if (::chdir(elsewhere.c_str()) != 0) ::_exit(126);
        Redirect(STDIN_FILENO, stdin_path.c_str(), O_RDONLY);
        if (run.close_stdin) ::close(STDIN_FILENO);
        for (const auto& [name, value] : run.environment) ::setenv(name.c_str(), value.c_str(), 1);
        Redirect(STDERR_FILENO, stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
        switch (run.stdout_to) {
            case StdoutTo::File: Redirect(STDOUT_FILENO, stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC); break;
            case StdoutTo::DevFull: Redirect(STDOUT_FILENO, "/dev/full", O_WRONLY); break;
            case StdoutTo::ClosedPipe:
                ::close(closed_pipe[0]);
                if (::dup2(closed_pipe[1], STDOUT_FILENO) < 0) ::_exit(126);
                break;
        }
        if (run.converse) {
            if (::dup2(to_stdin[0], STDIN_FILENO) < 0 || ::dup2(from_stdout[1], STDOUT_FILENO) < 0) ::_exit(126);
            for (const int fd : {to_stdin[0], to_stdin[1], from_stdout[0], from_stdout[1]}) ::close(fd);
        }
        if (run.nonblocking_stdin && ::fcntl(STDIN_FILENO, F_SETFL, O_NONBLOCK) != 0) ::_exit(126);
        if (run.hide_proc) HideProc();
        if (run.file_size_limit) {
            const auto limit = static_cast<rlim_t>(*run.file_size_limit);
            const rlimit bound{limit, limit};
            if (::setrlimit(RLIMIT_FSIZE, &bound) != 0) ::_exit(126);
        }
        // A file-size limit must fail the write, not kill the emulator.
        if (!tool.emulator.empty()) ::signal(SIGXFSZ, SIG_IGN);
        if (run.as_unprivileged_user) DropPrivileges();
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (run.stdout_to == StdoutTo::ClosedPipe) {
        ::close(closed_pipe[0]);  // the reader is gone before the tool writes
        ::close(closed_pipe[1]);
    }
    if (run.converse) {
        ::close(to_stdin[0]);
        ::close(from_stdout[1]);
        run.converse(to_stdin[1], from_stdout[0], child);
        ::close(to_stdin[1]);
        ::close(from_stdout[0]);
    }
    outcome.status = WaitFor(child, run.timeout_seconds, outcome.timed_out);
    outcome.stdout_bytes = Slurp(stdout_path);
    outcome.stderr_bytes = Slurp(stderr_path);
    outcome.program_dir = ReadTree(program_dir, binary.filename().string());
    return outcome;
}

}  // namespace harness
