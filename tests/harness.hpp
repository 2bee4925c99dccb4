// Runs the tool as a user would: the binary copied into a fresh program
// folder with its fixtures, started from another current directory, with
// chosen arguments, standard streams and limits.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace harness {

namespace fs = std::filesystem;

// What every run prints first, and the exit prompt.
inline const std::string kBanner =
    "\r\n\r\nUse      Vorendix.exe StartAdr InputFile\r\nExample  Vorendix.exe 03FC0000 Test.bin\r\n\r\n";
inline const std::string kPrompt = "Press [Enter] to Exit\r\n";

// ASCII `text` in UTF-16 with its byte-order mark, little- or big-endian.
inline std::string Utf16(const std::string& text, bool little) {
    std::string bytes = little ? "\xFF\xFE" : "\xFE\xFF";
    for (const char c : text) {
        bytes += little ? c : '\0';
        bytes += little ? '\0' : c;
    }
    return bytes;
}

// Relative path (to the program folder) -> bytes. A path ending in "/" is a folder.
using Tree = std::map<std::string, std::string>;

enum class StdoutTo { File, DevFull, ClosedPipe };

// Talks to a running tool through pipes: its standard input and output.
using Conversation = std::function<void(int to_stdin, int from_stdout, int pid)>;

struct Run {
    std::vector<std::string> args;
    Tree files;                    // laid out before the run; "../x" lands beside the folder
    std::string stdin_bytes;
    std::function<void(const fs::path& program_dir)> prepare;  // links, modes, ...
    StdoutTo stdout_to = StdoutTo::File;
    std::optional<long> file_size_limit;  // RLIMIT_FSIZE in the child, bytes
    Conversation converse;                // when set, stdin and stdout are pipes to it
    bool close_stdin = false;             // the tool starts with no standard input at all
    std::vector<std::pair<std::string, std::string>> environment;  // set in the child
    std::string program_folder = "program";  // name of the folder that holds the binary
    bool cwd_on_other_file_system = false;   // start from a folder in /dev/shm
    bool as_unprivileged_user = false;       // run the tool as "nobody"
    bool started_through_link = false;       // binary in a folder of its own, linked from the program folder
    bool hide_proc = false;                  // /proc unmounted for the tool (needs root)
    bool nonblocking_stdin = false;          // with `converse`: the tool's stdin pipe is non-blocking
    int timeout_seconds = 60;                // then the tool is killed and the run fails
};

// The user an unprivileged run takes.
inline constexpr unsigned kNobody = 65534;

// What a run did. It owns the folders the run was made in and removes them
// when it goes, so no test leaves anything behind.
struct Outcome {
    Outcome() = default;
    Outcome(Outcome&& other) noexcept;
    Outcome& operator=(Outcome&&) = delete;
    ~Outcome();

    int status = -1;        // exit status, or -signal when killed by a signal
    bool timed_out = false;
    std::string stdout_bytes;
    std::string stderr_bytes;
    Tree program_dir;       // what the folder holds afterwards, binary left out
    fs::path root;          // parent of the program folder, for extra checks
    fs::path elsewhere;     // the current directory the tool started from
};

// A folder of its own under TMPDIR, removed with the object.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& stem);
    ScratchDir(const ScratchDir&) = delete;
    ~ScratchDir();
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// A build of the tool and what starts it (Wine for a Windows build).
struct Tool {
    fs::path binary;
    std::vector<std::string> emulator;
    bool IsWindows() const { return binary.extension() == ".exe"; }
    // The binary's own file name, as the failure report names it.
    std::string ModuleName() const { return binary.filename().string(); }
};

// The build under test: the one beside the tests, or the one that
// VORENDIX_BINARY names; a Windows build is started under Wine.
Tool ToolUnderTest();

Outcome Execute(const Run& run, const Tool& tool = ToolUnderTest());

// What a command run by the shell prints on its standard output, with each
// word quoted for the shell.
std::string CommandOutput(const std::vector<std::string>& words);

// Reads `fd` until what was read ends with `end`, or the input ends.
std::string ReadUntil(int fd, const std::string& end);

// Everything a folder holds, as a Tree.
Tree ReadTree(const fs::path& dir, const std::string& skip_name = "");

}  // namespace harness
