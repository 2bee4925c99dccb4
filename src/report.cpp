#include "report.hpp"

#include <cstdio>

#include "patch/patch_file.hpp"

namespace vorendix {

std::string FailureText(const platform::Failure& failure) {
    if (!failure.in_table) return "I/O error " + std::to_string(failure.code);
    switch (failure.code) {
        case platform::kFileNotFound: return "File not found";
        case platform::kInvalidFilename: return "Invalid filename";
        case platform::kTooManyOpenFiles: return "Too many open files";
        case platform::kAccessDenied: return "File access denied";
        case platform::kReadBeyondEnd: return "Read beyond end of file";
        case platform::kDiskFull: return "Disk full";
        case 106: return "Invalid numeric input";
        default: return "I/O error " + std::to_string(failure.code);
    }
}

std::string FailureReport(const platform::Failure& failure, std::string_view module) {
    char site[9];
    std::snprintf(site, sizeof site, "%08X", static_cast<unsigned>(failure.site));
    std::string report = "Exception EInOutError in module ";
    report += module;
    report += " at ";
    report += site;
    report += '.';
    report += patch::LineEnd;
    report += FailureText(failure) + '.';
    report += patch::LineEnd;
    report += patch::LineEnd;
    return report;
}

std::string FileNamePart(std::string_view path) {
    return std::string(path.substr(platform::FolderPart(path).size()));
}

}  // namespace vorendix
