// What a patch file holds: its name, its lines and the hex rendering of the
// code line. Everything here is pure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace patch {

inline constexpr std::string_view HexDigits = "0123456789ABCDEF";
inline constexpr std::string_view LineEnd = "\r\n";

inline constexpr std::string_view HeaderComment = ";This Patch Generated Vorendix by Kemrod";
inline constexpr std::string_view InfoSection = "[Patch_Info]";
inline constexpr std::string_view CodeSection = "[Patch_Code]";

// Upper-case hexadecimal digits of `value`, at least two of them.
std::string HexByte(std::uint64_t value);

// The patch file's name for an input name: the text before its first "."
// plus ".fpa", or "OutFile.fpa" when that text is empty.
std::string PatchFileName(std::string_view input_name);

// A header line without its line end: key, "=", value.
std::string HeaderLine(std::string_view key, std::string_view value);

// Length of the code text for n input bytes: the bytes go in pairs, so an
// odd count is completed with one zero byte.
constexpr std::uint64_t CodeTextLength(std::uint64_t n) { return 2 * (n + n % 2); }

// The code text's tail for an odd count: the zero byte that completes the last pair.
inline constexpr std::string_view OddPad = "00";

// Writes two digits per byte of `bytes` to `out`, which holds 2 * bytes.size(),
// with the fastest rendering this CPU runs.
void RenderHex(std::span<const std::uint8_t> bytes, char* out);

// The whole code text of `bytes`, pad included.
std::string CodeText(std::span<const std::uint8_t> bytes);

}  // namespace patch
