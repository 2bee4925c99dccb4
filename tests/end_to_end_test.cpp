// The tool run as a process, case by case. The table holds every case that a
// build of the tool must pass, whatever platform it was built for.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>

#include "harness.hpp"

namespace {

namespace fs = std::filesystem;
using harness::Run;
using harness::StdoutTo;
using harness::Tree;

const bool kWindows = harness::ToolUnderTest().IsWindows();

// A relative path in the form the build's own platform writes it.
std::string Native(std::string path) {
    if (kWindows) std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

using harness::kBanner;
using harness::kPrompt;
using namespace std::string_literals;
using harness::Utf16;

struct Header {
    std::string sw_ver = "Custom SW";
    std::string description = "Test";
    std::string author = "Vorendix by Kemrod";
};

std::string Echo(const Header& h = {}) {
    return "SW_Ver=" + h.sw_ver + "\r\nDescription=" + h.description + "\r\nAuthor=" + h.author + "\r\n";
}

std::string PatchText(const std::string& code_line, const Header& h = {}) {
    return ";This Patch Generated Vorendix by Kemrod\r\n[Patch_Info]\r\n" + Echo(h) +
           "[Patch_Code]\r\n" + code_line + "\r\n";
}

std::string Bytes(std::initializer_list<unsigned char> values) { return std::string(values.begin(), values.end()); }

// A deterministic input of `n` bytes and its code text.
std::string Image(std::size_t n) {
    std::string bytes(n, '\0');
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i * 131 + i / 256) & 0xFF);
    return bytes;
}
std::string Hex(const std::string& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string text;
    for (const unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    if (bytes.size() % 2) text += "00";
    return text;
}


Tree With(Tree tree, const Tree& more) {
    for (const auto& [path, bytes] : more) tree[path] = bytes;
    return tree;
}

struct Case {
    std::string name;
    Run run;
    int status = 0;
    std::string stdout_bytes;
    std::string failure_text;  // pattern of the second report line without ".", empty when no report
    Tree after;                // the program folder afterwards, binary left out
    std::function<void(const fs::path& program_dir)> verify = {};  // further checks
    bool root_only = false;    // shows what root may do
};

struct stat StatOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info;
}

// Hands the program folder and everything in it to the unprivileged user.
void GiveToNobody(const fs::path& dir) {
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        ASSERT_EQ(::lchown(entry.path().c_str(), harness::kNobody, harness::kNobody), 0);
    }
    ASSERT_EQ(::chown(dir.c_str(), harness::kNobody, harness::kNobody), 0);
}

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

const Tree kTestBin = {{"Test.bin", Bytes({0x12, 0x34})}};
const std::string kTestPatch = PatchText("03FC0000:1234");

std::vector<Case> Cases() {
    std::vector<Case> cases;
    auto add = [&](Case c) { cases.push_back(std::move(c)); };

    // Main paths.
    add({"NoArguments", {.args = {}}, 0, kBanner + kPrompt, "", {}});
    add({"OneArgumentOnly", {.args = {"03FC0000"}}, 0, kBanner + kPrompt, "", {}});
    add({"ConvertsWithDefaults", {.args = {"03FC0000", "Test.bin"}, .files = kTestBin, .stdin_bytes = "\n"},
         0, kBanner + Echo() + kPrompt, "", With(kTestBin, {{"Test.fpa", kTestPatch}})});
    {
        const Header h{"1.2.3", "a=b;c[d]", ""};
        const Tree files = With(kTestBin, {{"Config.ini",
            "[MAIN]\r\nSW_Ver=1.2.3\r\nDescription=a=b;c[d]\r\nAuthor=\r\nEnter=0\r\n"}});
        add({"ConvertsWithConfigValues", {.args = {"03FC0000", "Test.bin"}, .files = files},
             0, kBanner + Echo(h), "", With(files, {{"Test.fpa", PatchText("03FC0000:1234", h)}})});
    }
    {
        const Tree files = With(kTestBin, {{"Config.ini", "[OTHER]\nSW_Ver=x\nEnter=0\n"}});
        add({"OtherSectionIgnored", {.args = {"03FC0000", "Test.bin"}, .files = files},
             0, kBanner + Echo() + kPrompt, "", With(files, {{"Test.fpa", kTestPatch}})});
    }
    for (const auto& [value, prompt] : std::vector<std::pair<std::string, bool>>{
             {"0", false}, {"2", false}, {"-1", false}, {"1", true}, {"01", true}, {"+1", true},
             {"$1", true}, {"0x1", true}, {"x1", true}, {"yes", true}, {"", true}}) {
        const Tree files = {{"Config.ini", "[MAIN]\nEnter=" + value + "\n"}};
        add({"EnterIs_" + value, {.args = {}, .files = files}, 0, kBanner + (prompt ? kPrompt : ""), "", files});
    }

    // Code line contents.
    const auto convert = [&](const std::string& name, const std::string& start, const std::string& input) {
        const Tree files = {{"fw.bin", input}, {"Config.ini", "[MAIN]\nEnter=0\n"}};
        add({name, {.args = {start, "fw.bin"}, .files = files}, 0, kBanner + Echo(), "",
             With(files, {{"fw.fpa", PatchText(start + ":" + Hex(input))}})});
    };
    convert("EmptyInput", "03FC0000", "");
    convert("OneByteIsPadded", "03FC0000", Bytes({0x7F}));
    convert("ThreeBytesArePadded", "03FC0000", Bytes({0x01, 0xAB, 0xFF}));
    convert("StartAdrKeptAsTyped", "0x03fc", Bytes({0x00, 0x0A}));
    convert("EmptyStartAdr", "", Bytes({0xFF}));
    convert("OddInputOfTheOldBufferSize", "0", Image(131077));
    // Around the sizes where the input streams through in more than one piece.
    for (const std::size_t size : {(1u << 19) - 1, 1u << 19, (1u << 19) + 1, (1u << 20) + 1, 3u << 20}) {
        convert("LargeInput" + std::to_string(size), "0", Image(size));
    }

    // Where the input and the patch file are.
    add({"InputOnlyInCurrentDirectoryIsSilent",
         {.args = {"0", "Test.bin"}, .prepare = [](const fs::path& dir) {
              std::ofstream(dir.parent_path() / "elsewhere" / "Test.bin") << "x";
          }},
         0, kBanner + kPrompt, "", {}});
    // An existing file named by its absolute path, with a drive letter on Windows.
    add({"AbsoluteInputIsAppendedAndSilent",
         {.args = {"0", kWindows ? "Z:\\etc\\passwd" : "/etc/passwd"}}, 0, kBanner + kPrompt, "", {}});
    add({"DriveLetterInputIsSilent", {.args = {"0", "C:\\data\\fw.bin"}}, 0, kBanner + kPrompt, "", {}});
    add({"InputInSubfolder", {.args = {"1", Native("sub/Test.bin")}, .files = {{"sub/Test.bin", "\x01"}}},
         0, kBanner + Echo() + kPrompt, "",
         {{"sub/", ""}, {"sub/Test.bin", "\x01"}, {"sub/Test.fpa", PatchText("1:0100")}}});
    add({"DotInFolderNameEndsTheName",
         {.args = {"1", Native("data.new/fw.bin")}, .files = {{"data.new/fw.bin", "\x03"}}},
         0, kBanner + Echo() + kPrompt, "",
         {{"data.new/", ""}, {"data.new/fw.bin", "\x03"}, {"data.fpa", PatchText("1:0300")}}});
    add({"DotFolderGivesOutFile", {.args = {"1", Native("./Test.bin")}, .files = {{"Test.bin", "\x04"}}},
         0, kBanner + Echo() + kPrompt, "", {{"Test.bin", "\x04"}, {"OutFile.fpa", PatchText("1:0400")}}});
    add({"InputInParentGivesOutFile", {.args = {"1", Native("../fw.bin")}, .files = {{"../fw.bin", "\x02"}}},
         0, kBanner + Echo() + kPrompt, "", {{"OutFile.fpa", PatchText("1:0200")}}});
    add({"DirectoryAsInputIsSilent", {.args = {"1", "dir.bin"}, .files = {{"dir.bin/", ""}}},
         0, kBanner + kPrompt, "", {{"dir.bin/", ""}}});
    // Only a plain file is an input: a FIFO would hang the read, a device
    // would give no end or a wrong size.
    add({"FifoAsInputIsSilent",
         {.args = {"1", "pipe.bin"}, .prepare = [](const fs::path& dir) {
              ::mkfifo((dir / "pipe.bin").c_str(), 0644);
          }, .timeout_seconds = 20},
         0, kBanner + kPrompt, "", {{"pipe.bin", "fifo"}}});
    add({"DeviceAsInputIsSilent",
         {.args = {"1", "zero.bin"}, .prepare = [](const fs::path& dir) {
              fs::create_symlink("/dev/zero", dir / "zero.bin");
          }, .timeout_seconds = 20},
         0, kBanner + kPrompt, "", {{"zero.bin", "-> /dev/zero"}}});
    // The patch is made in its own folder, whatever the current directory is.
    add({"CurrentDirectoryOnAnotherFileSystem",
         {.args = {"03FC0000", "Test.bin"}, .files = kTestBin, .cwd_on_other_file_system = true},
         0, kBanner + Echo() + kPrompt, "", With(kTestBin, {{"Test.fpa", kTestPatch}})});
    add({"EarlierPatchReplaced",
         {.args = {"03FC0000", "Test.bin"}, .files = With(kTestBin, {{"Test.fpa", "old"}})},
         0, kBanner + Echo() + kPrompt, "", With(kTestBin, {{"Test.fpa", kTestPatch}})});
    add({"ReadOnlyInputConverts",
         {.args = {"03FC0000", "Test.bin"}, .files = kTestBin,
          .prepare = [](const fs::path& dir) { ::chmod((dir / "Test.bin").c_str(), 0444); }},
         0, kBanner + Echo() + kPrompt, "", With(kTestBin, {{"Test.fpa", kTestPatch}})});

    // An earlier patch keeps what the user set on it.
    const Tree old_patch = With(kTestBin, {{"Test.fpa", "old"}});
    const Tree new_patch = With(kTestBin, {{"Test.fpa", kTestPatch}});
    if (!kWindows) {
        add({"EarlierPatchKeepsItsMode",
             {.args = {"03FC0000", "Test.bin"}, .files = old_patch, .prepare = [](const fs::path& dir) {
                  GiveToNobody(dir);
                  ::chmod((dir / "Test.fpa").c_str(), 0600);
              }, .as_unprivileged_user = true},
             0, kBanner + Echo() + kPrompt, "", new_patch, [](const fs::path& dir) {
                 const struct stat info = StatOf(dir / "Test.fpa");
                 EXPECT_EQ(info.st_mode & 07777, 0600u);
                 EXPECT_EQ(info.st_uid, harness::kNobody);
             }});
        add({"EarlierPatchKeepsItsExtendedAttributes",
             {.args = {"03FC0000", "Test.bin"}, .files = old_patch, .prepare = [](const fs::path& dir) {
                  GiveToNobody(dir);
                  ASSERT_EQ(::setxattr((dir / "Test.fpa").c_str(), "user.origin", "mine", 4, 0), 0);
              }, .as_unprivileged_user = true},
             0, kBanner + Echo() + kPrompt, "", new_patch, [](const fs::path& dir) {
                 char value[16] = {};
                 EXPECT_EQ(::getxattr((dir / "Test.fpa").c_str(), "user.origin", value, sizeof value), 4);
                 EXPECT_STREQ(value, "mine");
             }});
        add({"ReadOnlyEarlierPatchRefused",
             {.args = {"03FC0000", "Test.bin"}, .files = old_patch, .prepare = [](const fs::path& dir) {
                  GiveToNobody(dir);
                  ::chmod((dir / "Test.fpa").c_str(), 0444);
              }, .as_unprivileged_user = true},
             1, kBanner, "File access denied", old_patch});
        // Root may write any file, as a plain open would; the mode stays.
        add({"ReadOnlyEarlierPatchReplacedByRoot",
             {.args = {"03FC0000", "Test.bin"}, .files = old_patch, .prepare = [](const fs::path& dir) {
                  ::chmod((dir / "Test.fpa").c_str(), 0444);
              }},
             0, kBanner + Echo() + kPrompt, "", new_patch, [](const fs::path& dir) {
                 EXPECT_EQ(StatOf(dir / "Test.fpa").st_mode & 07777, 0444u);
             }, true});
        add({"WritablePatchInUnwritableFolderWrittenInPlace",
             {.args = {"03FC0000", "Test.bin"}, .files = old_patch, .prepare = [](const fs::path& dir) {
                  ASSERT_EQ(::chown((dir / "Test.fpa").c_str(), harness::kNobody, harness::kNobody), 0);
              }, .as_unprivileged_user = true},
             0, kBanner + Echo() + kPrompt, "", new_patch});
        add({"FreshPatchInUnwritableFolderRefused",
             {.args = {"03FC0000", "Test.bin"}, .files = kTestBin, .as_unprivileged_user = true},
             1, kBanner, "File access denied", kTestBin});
        add({"OwnerThatCannotBeKeptWrittenInPlace",
             {.args = {"03FC0000", "Test.bin"}, .files = old_patch, .prepare = [](const fs::path& dir) {
                  GiveToNobody(dir);
                  ASSERT_EQ(::chown((dir / "Test.fpa").c_str(), 0, 0), 0);
                  ::chmod((dir / "Test.fpa").c_str(), 0666);
              }, .as_unprivileged_user = true},
             0, kBanner + Echo() + kPrompt, "", new_patch, [](const fs::path& dir) {
                 const struct stat info = StatOf(dir / "Test.fpa");
                 EXPECT_EQ(info.st_uid, 0u);
                 EXPECT_EQ(info.st_mode & 07777, 0666u);
             }});
        const Tree linked = With(kTestBin, {{"patches/", ""}, {"patches/real.fpa", "old"}});
        add({"SymbolicLinksToThePatchFollowed",
             {.args = {"03FC0000", "Test.bin"}, .files = linked, .prepare = [](const fs::path& dir) {
                  fs::create_symlink("patches/real.fpa", dir / "step.fpa");
                  fs::create_symlink("step.fpa", dir / "Test.fpa");
              }},
             0, kBanner + Echo() + kPrompt, "",
             With(linked, {{"patches/real.fpa", kTestPatch}, {"step.fpa", "-> patches/real.fpa"},
                           {"Test.fpa", "-> step.fpa"}})});
        add({"DanglingLinkGetsItsTarget",
             {.args = {"03FC0000", "Test.bin"}, .files = With(kTestBin, {{"patches/", ""}}),
              .prepare = [](const fs::path& dir) { fs::create_symlink("patches/new.fpa", dir / "Test.fpa"); }},
             0, kBanner + Echo() + kPrompt, "",
             With(kTestBin, {{"patches/", ""}, {"patches/new.fpa", kTestPatch}, {"Test.fpa", "-> patches/new.fpa"}})});
        // Only a plain file is replaced: never a device a link leads to.
        add({"LinkToADeviceRefused",
             {.args = {"03FC0000", "Test.bin"}, .files = kTestBin,
              .prepare = [](const fs::path& dir) { fs::create_symlink("/dev/null", dir / "Test.fpa"); }},
             1, kBanner, "File access denied", With(kTestBin, {{"Test.fpa", "-> /dev/null"}})});
        add({"LinkToAFolderRefused",
             {.args = {"03FC0000", "Test.bin"}, .files = With(kTestBin, {{"patches/", ""}}),
              .prepare = [](const fs::path& dir) { fs::create_symlink("patches", dir / "Test.fpa"); }},
             1, kBanner, "File access denied", With(kTestBin, {{"patches/", ""}, {"Test.fpa", "-> patches"}})});
    }
    if (kWindows) {
        // The read-only attribute refuses the patch to every user.
        add({"ReadOnlyEarlierPatchRefused",
             {.args = {"03FC0000", "Test.bin"}, .files = old_patch,
              .prepare = [](const fs::path& dir) { ::chmod((dir / "Test.fpa").c_str(), 0444); }},
             1, kBanner, "File access denied", old_patch});
    }
    add({"HardLinkedPatchWrittenInPlace",
         {.args = {"03FC0000", "Test.bin"}, .files = With(old_patch, {{"Test.fpa", std::string(1000, 'x')}}),
          .prepare = [](const fs::path& dir) { fs::create_hard_link(dir / "Test.fpa", dir / "other.fpa"); }},
         0, kBanner + Echo() + kPrompt, "", With(new_patch, {{"other.fpa", kTestPatch}})});

    // The input is never replaced.
    add({"PatchNameIsInputRefused", {.args = {"0", "Test.fpa"}, .files = {{"Test.fpa", "keep"}}},
         1, kBanner, "File access denied", {{"Test.fpa", "keep"}}});
    add({"HardLinkToInputRefused",
         {.args = {"0", "Test.bin"}, .files = kTestBin, .prepare = [](const fs::path& dir) {
              fs::create_hard_link(dir / "Test.bin", dir / "Test.fpa");
          }},
         1, kBanner, "File access denied", With(kTestBin, {{"Test.fpa", kTestBin.at("Test.bin")}})});
    add({"SymbolicLinkToInputRefused",
         {.args = {"0", "Test.bin"}, .files = kTestBin, .prepare = [](const fs::path& dir) {
              fs::create_symlink("Test.bin", dir / "Test.fpa");
          }},
         1, kBanner, "File access denied", With(kTestBin, {{"Test.fpa", "-> Test.bin"}})});
    add({"FolderWherePatchGoesRefused",
         {.args = {"0", "Test.bin"}, .files = With(kTestBin, {{"Test.fpa/", ""}})},
         1, kBanner, "File access denied", With(kTestBin, {{"Test.fpa/", ""}})});

    // Failures of the console and of writing.
    add({"StdoutOnFullDevice", {.args = {"0", "Test.bin"}, .files = kTestBin, .stdout_to = StdoutTo::DevFull},
         1, "", "Disk full", kTestBin});
    add({"StdoutReaderGone", {.args = {"0", "Test.bin"}, .files = kTestBin, .stdout_to = StdoutTo::ClosedPipe},
         1, "", "I/O error [0-9]+", kTestBin});  // each system's own number
    {
        const Tree files = {{"big.bin", Image(300000)}, {"big.fpa", "earlier patch"}};
        add({"FileSizeLimitKeepsEarlierPatch",
             {.args = {"0", "big.bin"}, .files = files, .file_size_limit = 200000},
             // Wine reports the limit as a general failure, not as a full disk.
             1, kBanner + Echo(), kWindows ? "I/O error [0-9]+" : "Disk full", files});
    }
    add({"InputShorterThanItsSize",
         {.args = {"0", "Test.bin"}, .prepare = [](const fs::path& dir) {
              // Kernel attribute files claim a whole page but deliver a few bytes.
              fs::create_symlink("/sys/devices/system/cpu/online", dir / "Test.bin");
          }},
         1, kBanner + Echo(), "Read beyond end of file", {{"Test.bin", "-> /sys/devices/system/cpu/online"}}});
    // Awkward surroundings.
    {
        const Tree files = With(kTestBin, {{"Config.ini/", ""}});
        add({"ConfigIsAFolder", {.args = {"03FC0000", "Test.bin"}, .files = files},
             0, kBanner + Echo() + kPrompt, "", With(files, {{"Test.fpa", kTestPatch}})});
    }
    add({"ConfigIsAFifoAndDoesNotHang",
         {.args = {"03FC0000", "Test.bin"}, .files = kTestBin, .prepare = [](const fs::path& dir) {
              ::mkfifo((dir / "Config.ini").c_str(), 0644);
          }},
         0, kBanner + Echo() + kPrompt, "", With(kTestBin, {{"Config.ini", "fifo"}, {"Test.fpa", kTestPatch}})});
    add({"NoStandardInputAtThePrompt", {.args = {}, .close_stdin = true}, 0, kBanner + kPrompt, "", {}});
    add({"ProgramFolderWithSpacesAndNonAsciiBytes",
         // Under Wine the folder's name must survive the ANSI code page: no stray bytes.
         {.args = {"03FC0000", "Test.bin"}, .files = kTestBin,
          .program_folder = kWindows ? "my tools \xC3\xA9" : "my tools \xC3\xA9\xFF"},
         0, kBanner + Echo() + kPrompt, "", With(kTestBin, {{"Test.fpa", kTestPatch}})});
    add({"InputNameTooLongIsSilent", {.args = {"0", std::string(300, 'n') + ".bin"}}, 0, kBanner + kPrompt, "", {}});
    {
        // The input's name fits; with ".fpa" added the patch name does not.
        const Tree files = {{std::string(255, 'n'), "\x05"}};
        add({"PatchNameTooLongFails", {.args = {"0", std::string(255, 'n')}, .files = files},
             1, kBanner, "Invalid filename", files});
    }
    {
        std::string every_byte;
        for (int b = 1; b < 256; ++b) every_byte += static_cast<char>(b);
        // Wine hands a Windows program its arguments through the ANSI code
        // page, so there only the ASCII bytes of an argument arrive as typed.
        const std::string start_adr = kWindows ? every_byte.substr(0, 0x7F) : every_byte;
        // Line ends cannot stand inside an INI value, nor blanks and quotes at its ends.
        std::string value = "<";
        for (const char c : every_byte) {
            if (c != '\r' && c != '\n') value += c;
        }
        value += ">";
        const Header h{value, value, value};
        const Tree files = {{"fw.bin", "\x10"},
                            {"Config.ini", "[MAIN]\r\nSW_Ver=" + value + "\r\nDescription=" + value +
                                               "\r\nAuthor=" + value + "\r\nEnter=0\r\n"}};
        add({"EveryByteValueCarriedThrough", {.args = {start_adr, "fw.bin"}, .files = files},
             0, kBanner + Echo(h), "", With(files, {{"fw.fpa", PatchText(start_adr + ":1000", h)}})});
    }
    // Both builds read the same Config.ini in UTF-16, with a NUL ending a value.
    for (const bool little : {true, false}) {
        const Header h{"2.0", "wide", "Someone"};
        const Tree files = With(kTestBin, {{"Config.ini", Utf16("[MAIN]\r\nSW_Ver=2.0\r\nDescription=wide\r\n"
                                                                "Author=Someone\r\nEnter=0\r\n", little)}});
        add({little ? "ConfigInUtf16LittleEndian" : "ConfigInUtf16BigEndian",
             {.args = {"03FC0000", "Test.bin"}, .files = files},
             0, kBanner + Echo(h), "", With(files, {{"Test.fpa", PatchText("03FC0000:1234", h)}})});
    }
    {
        const Header h{"1.0", "", "Me"};
        const Tree files = With(kTestBin, {{"Config.ini", "[MAIN]\r\nSW_Ver=1.0\0beta\r\n"
                                                          "Description=\0\r\nAuthor=Me\r\nEnter=0\r\n"s}});
        add({"NulEndsAConfigValue", {.args = {"03FC0000", "Test.bin"}, .files = files},
             0, kBanner + Echo(h), "", With(files, {{"Test.fpa", PatchText("03FC0000:1234", h)}})});
    }
    // A link to the program in another folder makes that folder the program's.
    add({"StartedThroughALink",
         {.args = {"03FC0000", "Test.bin"}, .files = kTestBin, .started_through_link = true},
         0, kBanner + Echo() + kPrompt, "", With(kTestBin, {{"Test.fpa", kTestPatch}})});
    // Names beyond any code page, and paths beyond 260 characters.
    add({"CyrillicProgramFolder",
         {.args = {"03FC0000", "Test.bin"}, .files = kTestBin, .program_folder = "\xD0\xBF\xD1\x80\xD0\xBE\xD0\xB3"},
         0, kBanner + Echo() + kPrompt, "", With(kTestBin, {{"Test.fpa", kTestPatch}})});
    {
        const std::string name = "\xD0\xBF\xD0\xB0\xD1\x82\xD1\x87";  // "патч"
        const Tree files = {{name + ".bin", "\x42"}};
        add({"CyrillicInputFile", {.args = {"1", name + ".bin"}, .files = files},
             0, kBanner + Echo() + kPrompt, "", With(files, {{name + ".fpa", PatchText("1:4200")}})});
    }
    {
        const std::string deep = std::string(100, 'a') + "/" + std::string(100, 'b') + "/" + std::string(100, 'c');
        add({"ProgramFolderBeyond260Characters",
             {.args = {"03FC0000", "Test.bin"}, .files = kTestBin, .program_folder = deep},
             0, kBanner + Echo() + kPrompt, "", With(kTestBin, {{"Test.fpa", kTestPatch}})});
        add({"InputPathBeyond260Characters",
             {.args = {"1", Native(deep + "/Test.bin")}, .files = {{deep + "/Test.bin", "\x43"}}},
             0, kBanner + Echo() + kPrompt, "",
             {{std::string(100, 'a') + "/", ""},
              {std::string(100, 'a') + "/" + std::string(100, 'b') + "/", ""},
              {deep + "/", ""},
              {deep + "/Test.bin", "\x43"},
              {deep + "/Test.fpa", PatchText("1:4300")}}});
    }
    // Device names are no input files, on either build.
    for (const std::string device : {"NUL", "nul.bin", "AUX", "Con", "con.txt", "PRN", "COM1", "lpt1.bin"}) {
        add({"DeviceName_" + device, {.args = {"0", device}}, 0, kBanner + kPrompt, "", {}});
    }
    return cases;
}

class EndToEnd : public testing::TestWithParam<Case> {};

TEST_P(EndToEnd, Run) {
    const Case& c = GetParam();
    if ((c.run.as_unprivileged_user || c.root_only) && ::geteuid() != 0) GTEST_SKIP() << "needs root";
    const harness::Outcome outcome = harness::Execute(c.run);
    EXPECT_EQ(outcome.status, c.status);
    if (c.run.stdout_to == StdoutTo::File) {
        EXPECT_EQ(outcome.stdout_bytes, c.stdout_bytes);
    }
    if (c.failure_text.empty()) {
        EXPECT_EQ(outcome.stderr_bytes, "");
    } else {
        const std::regex report("Exception EInOutError in module " + harness::ToolUnderTest().ModuleName() +
                                " at [0-9A-F]{8}\\.\r\n" + c.failure_text + "\\.\r\n\r\n");
        EXPECT_TRUE(std::regex_match(outcome.stderr_bytes, report)) << outcome.stderr_bytes;
    }
    EXPECT_FALSE(outcome.timed_out);
    EXPECT_EQ(outcome.program_dir, c.after);
    if (c.verify) c.verify(outcome.root / c.run.program_folder);
}

INSTANTIATE_TEST_SUITE_P(Table, EndToEnd, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<Case>& info) {
                             // Keeps names apart that differ only in punctuation ("-1", "+1").
                             std::string name;
                             for (const char ch : info.param.name) {
                                 if (std::isalnum(static_cast<unsigned char>(ch))) {
                                     name += ch;
                                 } else {
                                     name += "_" + std::to_string(static_cast<unsigned char>(ch));
                                 }
                             }
                             return name;
                         });

}  // namespace

namespace {

// Enter ends the prompt while standard input stays open, as at a terminal.
TEST(ExitPrompt, EndsAtTheLineEndWithInputStillOpen) {
    bool ended = false;
    harness::Run run{.args = {}, .converse = [&](int to_stdin, int from_stdout, int pid) {
        harness::ReadUntil(from_stdout, kPrompt);
        EXPECT_EQ(::write(to_stdin, "\n", 1), 1);
        for (int waited_ms = 0; waited_ms < 10000 && !ended; waited_ms += 10) {
            siginfo_t info{};
            ended = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                    info.si_pid == pid;  // left for the harness to reap
            if (!ended) ::usleep(10 * 1000);
        }
    }};
    const harness::Outcome outcome = harness::Execute(run);
    EXPECT_TRUE(ended) << "the tool still waited after the line end";
    EXPECT_EQ(outcome.status, 0);
}

// The function that addr2line names for a report's code location, by the
// recipe in the README: the location as it is for the Linux build, added to
// the image base for the Windows build.
std::string FunctionAt(const harness::Tool& tool, const std::string& report) {
    std::smatch found;
    if (!std::regex_search(report, found, std::regex(" at ([0-9A-F]{8})\\."))) return "(no location)";
    unsigned long long address = std::stoull(found[1].str(), nullptr, 16);
    std::string command = "addr2line";
    if (tool.IsWindows()) {
        command = "x86_64-w64-mingw32-addr2line";
        address += 0x140000000ull;
    }
    char hex[32];
    std::snprintf(hex, sizeof hex, "0x%llX", address);
    return harness::CommandOutput({command, "-f", "-C", "-i", "-e", tool.binary.string(), hex});
}

TEST(FailureReport, CodeLocationNamesTheStepThatFailed) {
    const harness::Tool tool = harness::ToolUnderTest();
    const struct {
        const char* function;
        harness::Run run;
    } cases[] = {
        {"WriteStdout", {.args = {}, .stdout_to = StdoutTo::DevFull}},
        {"ReplacementFile::Write",
         {.args = {"0", "big.bin"}, .files = {{"big.bin", Image(300000)}}, .file_size_limit = 200000}},
        {"InputFile::ReadExactly",
         {.args = {"0", "Test.bin"}, .prepare = [](const fs::path& dir) {
              fs::create_symlink("/sys/devices/system/cpu/online", dir / "Test.bin");
          }}},
    };
    for (const auto& c : cases) {
        const harness::Outcome outcome = harness::Execute(c.run, tool);
        EXPECT_EQ(outcome.status, 1) << c.function;
        const std::string names = FunctionAt(tool, outcome.stderr_bytes);
        EXPECT_NE(names.find(c.function), std::string::npos) << outcome.stderr_bytes << names;
    }
}

// Without /proc, the program still finds its folder and leaves nothing behind.
TEST(ProcessEnd, ConvertsWithoutProc) {
    if (::geteuid() != 0) GTEST_SKIP() << "hiding /proc needs root";
    if (kWindows) GTEST_SKIP() << "Wine itself needs /proc";
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers' run-time needs /proc";
#endif
    const harness::Run run{.args = {"03FC0000", "Test.bin"},
                           .files = {{"Test.bin", "\x12\x34"}, {"Test.fpa", "old"}},
                           .stdin_bytes = "\n",
                           .hide_proc = true};
    const harness::Outcome outcome = harness::Execute(run);
    if (outcome.status == 124) GTEST_SKIP() << "no mount namespace to be had here";
    EXPECT_EQ(outcome.status, 0) << outcome.stderr_bytes;
    EXPECT_EQ(outcome.stdout_bytes, kBanner + Echo() + kPrompt);
    EXPECT_EQ(outcome.program_dir, (Tree{{"Test.bin", "\x12\x34"}, {"Test.fpa", kTestPatch}}));
}

// A non-blocking standard input at the prompt: the tool waits for its line.
TEST(ExitPrompt, WaitsOnANonBlockingInput) {
    bool waited = false;
    harness::Run run{.args = {}, .converse = [&](int to_stdin, int from_stdout, int pid) {
        harness::ReadUntil(from_stdout, kPrompt);
        ::usleep(200 * 1000);
        waited = ::waitpid(pid, nullptr, WNOHANG) == 0;
        EXPECT_EQ(::write(to_stdin, "\n", 1), 1);
    }, .nonblocking_stdin = true};
    const harness::Outcome outcome = harness::Execute(run);
    EXPECT_TRUE(waited) << "the tool ended without waiting for Enter";
    EXPECT_EQ(outcome.status, 0) << outcome.stderr_bytes;
}

// A tool that is killed outright mid-conversion leaves no temporary file
// and the earlier patch as it was.
TEST(ProcessEnd, KilledDuringTheConversionLeavesNothing) {
    // Under Wine the deletion of a killed process's file is up to the Wine
    // server, which does not always get to it; only real Windows can tell.
    if (kWindows) GTEST_SKIP() << "not to be judged under Wine";
    harness::Run run{.args = {"0", "big.bin"}, .files = {{"Config.ini", "[MAIN]\nEnter=0\n"}, {"big.fpa", "old"}}};
    run.prepare = [](const fs::path& dir) {
        // Large but sparse, outside the folder that is compared afterwards.
        const fs::path input = dir.parent_path() / "big.bin";
        { std::ofstream create(input); }
        fs::resize_file(input, std::uintmax_t{2} << 30);
        fs::create_symlink(input, dir / "big.bin");
    };
    run.converse = [](int, int from_stdout, int pid) {
        harness::ReadUntil(from_stdout, "Author=Vorendix by Kemrod\r\n");
        ::usleep(300 * 1000);  // well into the code line
        ::kill(pid, SIGKILL);
    };
    const harness::Outcome outcome = harness::Execute(run);
    EXPECT_EQ(outcome.status, -SIGKILL);
    std::vector<std::string> names;
    for (const auto& [name, bytes] : outcome.program_dir) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"Config.ini", "big.bin", "big.fpa"}));
    EXPECT_EQ(outcome.program_dir.at("big.fpa"), "old");
}

TEST(ExitPrompt, WaitsForOneLineOfInput) {
    bool waited = false;
    std::string shown;
    harness::Run run{.args = {}, .converse = [&](int to_stdin, int from_stdout, int pid) {
        shown = harness::ReadUntil(from_stdout, kPrompt);
        ::usleep(200 * 1000);
        waited = ::waitpid(pid, nullptr, WNOHANG) == 0;
        EXPECT_EQ(::write(to_stdin, "\n", 1), 1);
    }};
    const harness::Outcome outcome = harness::Execute(run);
    EXPECT_EQ(shown, kBanner + kPrompt);
    EXPECT_TRUE(waited) << "the tool ended without waiting for Enter";
    EXPECT_EQ(outcome.status, 0);
}

}  // namespace
