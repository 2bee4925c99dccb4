#include "run.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <string_view>

#include "config/config_file.hpp"
#include "patch/patch_file.hpp"
#include "platform/platform.hpp"
#include "report.hpp"

namespace vorendix {
namespace {

using platform::Result;
using platform::Status;

constexpr std::string_view kBanner[] = {
    "",
    "",
    "Use      Vorendix.exe StartAdr InputFile",
    "Example  Vorendix.exe 03FC0000 Test.bin",
    "",
};
constexpr std::string_view kExitPrompt = "Press [Enter] to Exit";

// The input streams through this buffer; its size is even so that byte
// pairs never straddle two chunks. Writes of a megabyte or so go through
// the page cache markedly faster here than smaller ones.
constexpr std::size_t kChunkBytes = 512 * 1024;
std::array<std::uint8_t, kChunkBytes> ImageBuffer;

Status WriteConsoleLine(std::string_view text) {
    std::string line(text);
    line += patch::LineEnd;
    return platform::WriteStdout(line);
}

// Collects the patch file's bytes and hands them to the file in large writes.
class PatchWriter {
public:
    explicit PatchWriter(platform::ReplacementFile& file) : file_(file) {}

    Status Write(std::string_view text) {
        Result<char*> space = Reserve(text.size());
        if (!space) return space.failure();
        std::copy(text.begin(), text.end(), space.value());
        Advance(text.size());
        return {};
    }

    Status WriteLine(std::string_view text) {
        if (Status written = Write(text); !written) return written;
        return Write(patch::LineEnd);
    }

    // Room for `count` more bytes, which Advance() then takes in.
    Result<char*> Reserve(std::size_t count) {
        if (used_ + count > capacity_) {
            if (Status flushed = Flush(); !flushed) return flushed.failure();
            if (count > capacity_) Grow(count);
        }
        return buffer_.get() + used_;
    }
    void Advance(std::size_t count) { used_ += count; }

    Status Flush() {
        const std::span<const char> pending(buffer_.get(), used_);
        used_ = 0;
        return file_.Write(pending);
    }

private:
    // Left uninitialised: pages a small patch never touches cost nothing.
    void Grow(std::size_t count) {
        capacity_ = count;
        buffer_ = std::make_unique_for_overwrite<char[]>(capacity_);
    }

    platform::ReplacementFile& file_;
    std::size_t capacity_ = 2 * kChunkBytes + 64 * 1024;
    std::unique_ptr<char[]> buffer_ = std::make_unique_for_overwrite<char[]>(capacity_);
    std::size_t used_ = 0;
};

Status WriteBanner() {
    for (const std::string_view line : kBanner) {
        if (Status written = WriteConsoleLine(line); !written) return written;
    }
    return {};
}

// Each header value is looked up when its turn comes, echoed, then written.
Status WriteHeader(const config::ConfigFile& config, PatchWriter& patch) {
    if (Status s = patch.WriteLine(patch::HeaderComment); !s) return s;
    if (Status s = patch.WriteLine(patch::InfoSection); !s) return s;
    for (const config::TextKey& key : config::HeaderKeys) {
        const std::string line = patch::HeaderLine(key.name, config.LookupText(key.name, key.fallback));
        if (Status s = WriteConsoleLine(line); !s) return s;
        if (Status s = patch.WriteLine(line); !s) return s;
    }
    return patch.WriteLine(patch::CodeSection);
}

// Streams `size` bytes of the input through ImageBuffer into hex digits.
Status WriteCodeText(platform::InputFile& input, std::uint64_t size, PatchWriter& patch) {
    for (std::uint64_t done = 0; done < size;) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkBytes, size - done));
        const std::span<std::uint8_t> chunk(ImageBuffer.data(), count);
        if (Status read = input.ReadExactly(chunk); !read) return read;
        Result<char*> digits = patch.Reserve(2 * count);
        if (!digits) return digits.failure();
        patch::RenderHex(chunk, digits.value());
        patch.Advance(2 * count);
        done += count;
    }
    if (size % 2 != 0) return patch.Write(patch::OddPad);
    return {};
}

Status Convert(const Arguments& arguments, const std::string& input_path,
               const std::string& patch_path, const config::ConfigFile& config) {
    Result<platform::InputFile> input = platform::InputFile::Open(input_path);
    if (!input) return input.failure();
    Result<platform::ReplacementFile> file =
        platform::ReplacementFile::Create(patch_path, input.value().identity());
    if (!file) return file.failure();
    PatchWriter patch(file.value());

    if (Status s = WriteHeader(config, patch); !s) return s;
    Result<std::uint64_t> size = input.value().Size();
    if (!size) return size.failure();
    if (Status s = patch.Write(arguments.StartAdr); !s) return s;
    if (Status s = patch.Write(":"); !s) return s;
    if (Status s = WriteCodeText(input.value(), size.value(), patch); !s) return s;
    if (Status s = patch.Write(patch::LineEnd); !s) return s;
    if (Status s = patch.Flush(); !s) return s;

    if (Status s = input.value().Close(); !s) return s;
    return file.value().Commit();
}

Status ExitPrompt(const config::ConfigFile& config) {
    if (config.LookupNumber(config::EnterKey, config::EnterDefault) != 1) return {};
    if (Status s = WriteConsoleLine(kExitPrompt); !s) return s;
    return platform::SkipStdinLine();
}

Status RunSteps(const Arguments& arguments) {
    if (Status s = platform::PrepareProcess(); !s) return s;
    if (Status s = WriteBanner(); !s) return s;

    Result<std::string> executable = platform::ExecutablePath();
    if (!executable) return executable.failure();
    const std::string ProgramDir = platform::FolderPart(executable.value());
    const config::ConfigFile config(ProgramDir + std::string(config::ConfigFileName));

    // A missing input is not an error: the run goes on to the prompt.
    const std::string InputPath = ProgramDir + arguments.InputFile;
    if (platform::IsPlainFile(InputPath)) {
        const std::string PatchPath = ProgramDir + patch::PatchFileName(arguments.InputFile);
        if (Status s = Convert(arguments, InputPath, PatchPath, config); !s) return s;
    }
    return ExitPrompt(config);
}

std::string ModuleName() {
    Result<std::string> executable = platform::ExecutablePath();
    return executable ? FileNamePart(executable.value()) : std::string(platform::kProgramFileName);
}

// The run with an allocation failure taken as a failure like any other. The
// unwinding closes the files, and a patch not yet committed goes with it.
// The module name for the report is taken first, so that the report names
// the program as it was started even if its file goes meanwhile.
Status RunStepsCatchingOutOfMemory(const Arguments& arguments, std::string& module) {
    try {
        module = ModuleName();
        return RunSteps(arguments);
    } catch (const std::bad_alloc&) {
        return platform::OutOfMemoryHere();
    }
}

}  // namespace

Arguments ReadArguments(int argc, const char* const* argv) {
    Arguments arguments;
    if (argc > 1) arguments.StartAdr = argv[1];
    if (argc > 2) arguments.InputFile = argv[2];
    return arguments;
}

#ifdef _WIN32
Arguments ReadArguments(int argc, const wchar_t* const* argv) {
    Arguments arguments;
    if (argc > 1) arguments.StartAdr = platform::ArgumentText(argv[1]);
    if (argc > 2) arguments.InputFile = platform::ArgumentPath(argv[2]);
    return arguments;
}
#endif

int Run(const Arguments& arguments) {
    std::string module(platform::kProgramFileName);
    const Status outcome = RunStepsCatchingOutOfMemory(arguments, module);
    if (outcome) return 0;
    // The single failure path: stdout is unbuffered, so only the report is left.
    platform::WriteStderr(FailureReport(outcome.failure(), module));
    return 1;
}

}  // namespace vorendix
