// The OS layer on Windows, straight on the Win32 API. Paths are carried as
// UTF-8 and handed to the wide-character entry points, so that any folder
// and file name works, of any length. The texts the patch file carries
// (StartAdr, the Config.ini values) stay 8-bit text in the system's code
// page. Console output is raw bytes on the standard handles, so each line
// ends with exactly one CR LF.
#include <windows.h>

#include <algorithm>
#include <string_view>
#include <string>
#include <vector>

#include "platform/platform.hpp"

namespace platform {
namespace {

// Windows error codes 2 to 5 are the table's own; a few more have rows of theirs.
Failure ForError(DWORD error, std::uint32_t site) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND: case ERROR_TOO_MANY_OPEN_FILES:
        case ERROR_ACCESS_DENIED: return {static_cast<int>(error), site, true};
        case ERROR_DISK_FULL: case ERROR_HANDLE_DISK_FULL: return {kDiskFull, site, true};
        case ERROR_HANDLE_EOF: return {kReadBeyondEnd, site, true};
        default: return {static_cast<int>(error), site, false};
    }
}

// The failure for the last Win32 error, stamped with the caller's location.
[[gnu::noinline]] Failure FailLastError() {
    return ForError(::GetLastError(), CodeOffset(__builtin_return_address(0)));
}

HANDLE AsHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
std::intptr_t FromHandle(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }
constexpr std::intptr_t kNoHandle = -1;  // INVALID_HANDLE_VALUE

// Longest file name (one path component) that NTFS takes, in UTF-16 units.
constexpr std::size_t kLongestName = 255;

// Largest piece one ReadFile or WriteFile call takes.
constexpr std::size_t kMaxTransfer = 1u << 30;

// Writes all of `bytes`. False, with the last error set, when a write
// fails; one that takes nothing counts as a full disk. The caller reports
// the failure, so that each kind of write names its own place.
bool WriteAll(HANDLE handle, std::span<const char> bytes) {
    while (!bytes.empty()) {
        const auto piece = static_cast<DWORD>(std::min(bytes.size(), kMaxTransfer));
        DWORD written = 0;
        if (!::WriteFile(handle, bytes.data(), piece, &written, nullptr)) return false;
        if (written == 0) {
            ::SetLastError(ERROR_DISK_FULL);
            return false;
        }
        bytes = bytes.subspan(written);
    }
    return true;
}

std::wstring Widen(std::string_view text, UINT code_page) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int length = ::MultiByteToWideChar(code_page, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(code_page, 0, text.data(), size, wide.data(), length);
    return wide;
}

std::string Narrow(std::wstring_view wide, UINT code_page) {
    if (wide.empty()) return {};
    const int size = static_cast<int>(wide.size());
    const int length = ::WideCharToMultiByte(code_page, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(code_page, 0, wide.data(), size, text.data(), length, nullptr, nullptr);
    return text;
}

// A path for the wide file calls. One too long for the classic limit goes
// in the \\?\ form, which takes paths whole (up to 32,767 characters) but
// wants them full and with backslashes only.
std::wstring SystemPath(const std::string& path) {
    std::wstring wide = Widen(path, CP_UTF8);
    if (wide.size() < MAX_PATH - 12) return wide;  // 12: room for a short file name in a folder
    const DWORD needed = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return wide;  // the call that uses it reports the fault
    std::wstring full(needed, L'\0');
    const DWORD length = ::GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return wide;
    full.resize(length);
    if (full.starts_with(L"\\\\?\\")) return full;
    if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// The names Windows keeps for devices in every folder, with any extension.
bool IsDeviceName(std::string_view path) {
    std::string_view name = path.substr(FolderPart(path).size());
    name = name.substr(0, name.find('.'));
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    std::string upper(name);
    for (char& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL" || upper == "CONIN$" ||
        upper == "CONOUT$") {
        return true;
    }
    return upper.size() == 4 && (upper.starts_with("COM") || upper.starts_with("LPT")) && upper[3] >= '0' &&
           upper[3] <= '9';
}

// Volume serial number and file index: equal for two names of one file.
std::optional<std::string> Identity(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info)) return std::nullopt;
    return std::to_string(info.dwVolumeSerialNumber) + ':' + std::to_string(info.nFileIndexHigh) +
           ':' + std::to_string(info.nFileIndexLow);
}

}  // namespace

[[gnu::noinline]] Failure FailHere(int code) {
    return {code, CodeOffset(__builtin_return_address(0))};
}

[[gnu::noinline]] Failure OutOfMemoryHere() {
    return {ERROR_NOT_ENOUGH_MEMORY, CodeOffset(__builtin_return_address(0)), false};
}

Status PrepareProcess() {
    // Report failures instead of opening dialog boxes for them (this call cannot fail).
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    return {};
}

Status WriteStdout(std::string_view text) {
    if (!WriteAll(::GetStdHandle(STD_OUTPUT_HANDLE), text)) return FailLastError();
    return {};
}

void WriteStderr(std::string_view text) { (void)WriteAll(::GetStdHandle(STD_ERROR_HANDLE), text); }

Status SkipStdinLine() {
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) return {};  // no console to wait on
    char c = 0;
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(input, &c, 1, &got, nullptr)) {
            const DWORD error = ::GetLastError();
            // The end of input, or no usable standard input at all.
            if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF || error == ERROR_INVALID_HANDLE ||
                error == ERROR_INVALID_FUNCTION) {
                return {};
            }
            return FailLastError();
        }
        if (got == 0 || c == '\n') return {};
    }
}

Result<std::string> ExecutablePath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return FailLastError();
        if (length < buffer.size()) {
            std::wstring_view path(buffer.data(), length);
            if (path.starts_with(L"\\\\?\\")) path.remove_prefix(4);  // a long path: back to its plain form
            return Narrow(path, CP_UTF8);
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string ArgumentText(const wchar_t* argument) { return Narrow(argument, CP_ACP); }

std::string ArgumentPath(const wchar_t* argument) { return Narrow(argument, CP_UTF8); }

std::uint32_t CodeOffset(const void* address) {
    const auto base = reinterpret_cast<std::uintptr_t>(::GetModuleHandleA(nullptr));
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address) - base);
}

bool IsPlainFile(const std::string& path) {
    if (IsDeviceName(path)) return false;
    const DWORD attributes = ::GetFileAttributesW(SystemPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

// ---- InputFile ---------------------------------------------------------------

InputFile::InputFile(std::intptr_t handle, std::string identity)
    : handle_(handle), identity_(std::move(identity)) {}

InputFile::InputFile(InputFile&& other) noexcept
    : handle_(std::exchange(other.handle_, kNoHandle)), identity_(std::move(other.identity_)) {}

InputFile::~InputFile() {
    if (handle_ != kNoHandle) ::CloseHandle(AsHandle(handle_));
}

Result<InputFile> InputFile::Open(const std::string& path) {
    const HANDLE handle = ::CreateFileW(SystemPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return FailLastError();
    std::optional<std::string> identity = Identity(handle);
    if (!identity) {
        Failure failure = FailLastError();
        ::CloseHandle(handle);
        return failure;
    }
    return InputFile(FromHandle(handle), std::move(*identity));
}

Result<std::uint64_t> InputFile::Size() const {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(AsHandle(handle_), &size)) return FailLastError();
    return static_cast<std::uint64_t>(size.QuadPart);
}

Status InputFile::ReadExactly(std::span<std::uint8_t> buffer) {
    while (!buffer.empty()) {
        const auto piece = static_cast<DWORD>(std::min(buffer.size(), kMaxTransfer));
        DWORD got = 0;
        if (!::ReadFile(AsHandle(handle_), buffer.data(), piece, &got, nullptr)) return FailLastError();
        if (got == 0) return FailHere(kReadBeyondEnd);
        buffer = buffer.subspan(got);
    }
    return {};
}

Status InputFile::Close() {
    const HANDLE handle = AsHandle(std::exchange(handle_, kNoHandle));
    if (!::CloseHandle(handle)) return FailLastError();
    return {};
}

// ---- ReplacementFile ---------------------------------------------------------

namespace {

// Marks an open file for deletion when its last handle closes, or takes
// that mark back. A temporary file so marked vanishes however the process ends.
bool SetDeleteOnClose(HANDLE handle, bool remove) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = remove ? TRUE : FALSE;
    return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

}  // namespace

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : handle_(std::exchange(other.handle_, kNoHandle)),
      way_(other.way_),
      replacing_(other.replacing_),
      written_(other.written_),
      target_(std::move(other.target_)),
      temp_path_(std::exchange(other.temp_path_, {})) {}

ReplacementFile::~ReplacementFile() {
    if (handle_ != kNoHandle) ::CloseHandle(AsHandle(handle_));
    if (!temp_path_.empty()) ::DeleteFileW(SystemPath(temp_path_).c_str());
}

Result<ReplacementFile> ReplacementFile::Create(const std::string& path,
                                                const std::string& protect) {
    ReplacementFile file;
    if (Status opened = file.Open(path, protect); !opened) return opened.failure();
    return file;
}

Status ReplacementFile::Open(const std::string& path, const std::string& protect) {
    target_ = path;
    // A name longer than any file system takes fails here, before the header,
    // as it does on Linux; the system itself would say so only at the move.
    if (Widen(std::string_view(path).substr(FolderPart(path).size()), CP_UTF8).size() > kLongestName) {
        return FailHere(kInvalidFilename);
    }
    const DWORD attributes = ::GetFileAttributesW(SystemPath(path).c_str());
    // A folder, or a file with the read-only attribute, which the plain
    // create refuses whoever runs it.
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
        return FailHere(kAccessDenied);
    }
    // Opening the earlier file for writing, as the plain create would, is
    // the test: a read-only file, or one another program writes, fails here.
    const HANDLE earlier = ::CreateFileW(SystemPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (earlier == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return OpenTemporary(kNoHandle);
        return FailLastError();
    }
    replacing_ = true;
    handle_ = FromHandle(earlier);  // closed by the destructor from here on
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(earlier, &info)) return FailLastError();
    if (::GetFileType(earlier) != FILE_TYPE_DISK || Identity(earlier) == protect) return FailHere(kAccessDenied);
    if (info.nNumberOfLinks > 1) {
        way_ = Way::InPlace;  // a replacement would part the names of the file
        return {};
    }
    return OpenTemporary(FromHandle(earlier));
}

// Makes the temporary file beside the target, marked to vanish with the
// process; where the folder takes no new file, the earlier file is written
// in place instead.
Status ReplacementFile::OpenTemporary(std::intptr_t earlier) {
    way_ = Way::Named;
    const std::string stem = FolderPart(target_) + ".vorendix-" + std::to_string(::GetCurrentProcessId()) + '-';
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (int attempt = 0;; ++attempt) {
        std::string temp = stem + std::to_string(attempt) + ".tmp";
        handle = ::CreateFileW(SystemPath(temp).c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            temp_path_ = std::move(temp);
            break;
        }
        const DWORD error = ::GetLastError();
        if (error == ERROR_ACCESS_DENIED && earlier != kNoHandle) {
            way_ = Way::InPlace;
            return {};
        }
        if (error != ERROR_FILE_EXISTS || attempt >= 100) return FailLastError();
    }
    const HANDLE temp = handle;
    if (!SetDeleteOnClose(temp, true)) {
        const Failure failure = FailLastError();
        ::CloseHandle(temp);
        return failure;
    }
    handle_ = FromHandle(temp);
    // The earlier file is replaced by name; its handle is done with.
    if (earlier != kNoHandle && !::CloseHandle(AsHandle(earlier))) return FailLastError();
    return {};
}

Status ReplacementFile::Write(std::span<const char> bytes) {
    if (!WriteAll(AsHandle(handle_), bytes)) return FailLastError();
    written_ += bytes.size();
    return {};
}

Status ReplacementFile::Commit() {
    const HANDLE handle = AsHandle(handle_);
    if (way_ == Way::InPlace) {
        // Written from the start: what is left beyond the new end goes.
        if (!::SetEndOfFile(handle)) return FailLastError();
        handle_ = kNoHandle;
        if (!::CloseHandle(handle)) return FailLastError();
        return {};
    }
    if (replacing_ && !::FlushFileBuffers(handle)) return FailLastError();
    if (!SetDeleteOnClose(handle, false)) return FailLastError();
    handle_ = kNoHandle;
    if (!::CloseHandle(handle)) return FailLastError();
    // Replacing keeps the earlier file's attributes, security and creation time.
    const std::wstring target = SystemPath(target_);
    const std::wstring temp = SystemPath(temp_path_);
    const BOOL moved =
        replacing_ ? ::ReplaceFileW(target.c_str(), temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                                    nullptr, nullptr)
                   : ::MoveFileExW(temp.c_str(), target.c_str(), 0);
    if (!moved) return FailLastError();
    temp_path_.clear();
    return {};
}

// ---- INI reader --------------------------------------------------------------

std::string ReadProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::string_view fallback) {
    // The wide reader finds the file whatever its path holds and decodes
    // every encoding Windows reads; the value comes back in the code page,
    // as the 8-bit reader would give it.
    wchar_t value[kProfileValueMax + 1];
    const std::wstring wide_section = Widen(section, CP_ACP);
    const std::wstring wide_key = Widen(key, CP_ACP);
    const std::wstring wide_fallback = Widen(fallback, CP_ACP);
    const DWORD length = ::GetPrivateProfileStringW(wide_section.c_str(), wide_key.c_str(), wide_fallback.c_str(),
                                                    value, kProfileValueMax + 1, SystemPath(path).c_str());
    const std::wstring_view found(value, length);
    return Narrow(found.substr(0, found.find(L'\0')), CP_ACP);  // a NUL ends the value
}

}  // namespace platform
