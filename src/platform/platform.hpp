// The thin layer over the operating system. One implementation per OS
// (posix.cpp, win32.cpp) stands behind this header; nothing else in the
// program includes an OS header.
//
// Every call that can fail returns its failure as data: a Failure carries the
// failure-table code and the place in the executable where the failing call
// was checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace platform {

// Codes of the checked I/O layer itself; lower codes are the host system's.
inline constexpr int kFileNotFound = 2;
inline constexpr int kInvalidFilename = 3;
inline constexpr int kTooManyOpenFiles = 4;
inline constexpr int kAccessDenied = 5;
inline constexpr int kReadBeyondEnd = 100;
inline constexpr int kDiskFull = 101;

struct Failure {
    int code = 0;
    std::uint32_t site = 0;  // offset of the checking call site in the executable
    // False for a system error number outside the table ("I/O error N"),
    // which may happen to equal a table code.
    bool in_table = true;
};

// Makes a Failure for the table code `code`, stamped with the caller's own location.
Failure FailHere(int code);
// The failure of an allocation: the system's own out-of-memory number,
// stamped with the caller's location.
Failure OutOfMemoryHere();

class [[nodiscard]] Status {
public:
    Status() = default;
    Status(Failure failure) : failure_(failure) {}  // NOLINT: implicit by design
    explicit operator bool() const { return !failure_; }
    const Failure& failure() const { return *failure_; }

private:
    std::optional<Failure> failure_;
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::move(value)) {}      // NOLINT: implicit by design
    Result(Failure failure) : state_(failure) {}       // NOLINT: implicit by design
    explicit operator bool() const { return state_.index() == 0; }
    T& value() { return std::get<0>(state_); }
    const Failure& failure() const { return std::get<1>(state_); }

private:
    std::variant<T, Failure> state_;
};

// Makes process-wide settings the run depends on (no death by SIGPIPE or
// SIGXFSZ: such writes fail and take the failure path instead).
Status PrepareProcess();

// ---- console ---------------------------------------------------------------

// Writes `text` to standard output at once (no buffering in between).
Status WriteStdout(std::string_view text);
// Writes `text` to standard error at once; the failure report has nowhere
// further to go, so this reports nothing.
void WriteStderr(std::string_view text);
// Reads and discards one line of standard input; the end of input (or no
// standard input at all) ends the line too.
Status SkipStdinLine();

// ---- the program's own place -----------------------------------------------

// Characters that end the folder part of a path, and the program's own
// file name when its path cannot be had.
#ifdef _WIN32
inline constexpr std::string_view kPathSeparators = "\\:/";
inline constexpr std::string_view kProgramFileName = "Vorendix.exe";
#else
inline constexpr std::string_view kPathSeparators = "/";
inline constexpr std::string_view kProgramFileName = "Vorendix";
#endif

// The folder part of a path, trailing separator included ("" when none).
inline std::string FolderPart(std::string_view path) {
    const std::size_t last = path.find_last_of(kPathSeparators);
    return last == std::string_view::npos ? std::string() : std::string(path.substr(0, last + 1));
}

// Full path of the running program, as it was started: through a link, the
// link's own path.
Result<std::string> ExecutablePath();
#ifdef _WIN32
// A wide command-line argument as the 8-bit text in the system's code page
// (what the patch file carries), and as a path (UTF-8, as paths go here).
std::string ArgumentText(const wchar_t* argument);
std::string ArgumentPath(const wchar_t* argument);
#endif

// Offset of a code address inside the executable image.
std::uint32_t CodeOffset(const void* address);

// ---- files -----------------------------------------------------------------

// True when a plain file (not a directory) exists at `path`.
bool IsPlainFile(const std::string& path);

// An input opened for reading; closed on destruction.
class InputFile {
public:
    static Result<InputFile> Open(const std::string& path);
    InputFile(InputFile&& other) noexcept;
    InputFile& operator=(InputFile&&) = delete;
    ~InputFile();

    Result<std::uint64_t> Size() const;
    // Fills `buffer` completely; a file that ends first is a failure.
    Status ReadExactly(std::span<std::uint8_t> buffer);
    Status Close();
    // Opaque identity of the file (device and file number, or the like).
    const std::string& identity() const { return identity_; }

private:
    InputFile(std::intptr_t handle, std::string identity);
    std::intptr_t handle_;
    std::string identity_;
};

// The patch file while it is written. Where a rename keeps everything the
// user set on an earlier file at `path` (its mode, owner, links), the new
// content goes into a temporary file in the same folder, which Commit()
// renames over the earlier one; dropped without Commit(), it vanishes and
// the earlier file stays as it was. Otherwise (an earlier file with more
// than one link, a folder that takes no new file, an owner that cannot be
// reproduced) the earlier file is written in place. A symbolic link at
// `path` is followed: the file it names is the one replaced.
class ReplacementFile {
public:
    // Fails with kAccessDenied when `path` is not a plain file, already names
    // the file whose identity is `protect`, or may not be written.
    static Result<ReplacementFile> Create(const std::string& path,
                                          const std::string& protect);
    ReplacementFile(ReplacementFile&& other) noexcept;
    ReplacementFile& operator=(ReplacementFile&&) = delete;
    ~ReplacementFile();

    Status Write(std::span<const char> bytes);
    // Makes the written content the file at `path`, and closes it.
    Status Commit();

private:
    enum class Way { Unnamed, Named, InPlace };
    ReplacementFile() = default;
    Status Open(const std::string& path, const std::string& protect);
    Status OpenTemporary(std::intptr_t earlier);

    std::intptr_t handle_ = -1;
    Way way_ = Way::Named;
    bool replacing_ = false;      // an earlier file is there
    std::uint64_t written_ = 0;
    std::string target_;          // the file replaced, links followed
    std::string temp_path_;       // a named temporary file while it exists
};

// ---- INI reader -------------------------------------------------------------

// Longest value a lookup returns; its buffer holds one more for the zero.
inline constexpr std::size_t kProfileValueMax = 2047;

// The value of `key` in `section` of the INI file at `path`, or `fallback`
// when the file, the section or the key is absent. At most 2047 characters.
std::string ReadProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::string_view fallback);

}  // namespace platform
