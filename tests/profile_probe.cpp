// Asks the platform's own INI reader, for each section and key given after
// the file's path, and prints one line per lookup: "absent", or "value" and
// the value's bytes in hexadecimal.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string Lookup(const char* path, const char* section, const char* key, const char* fallback) {
    char value[2048];
    const DWORD length = GetPrivateProfileStringA(section, key, fallback, value, sizeof value, path);
    return std::string(value, length);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    for (int i = 2; i + 1 < argc; i += 2) {
        // Two different defaults coming back means the key is absent.
        const std::string first = Lookup(argv[1], argv[i], argv[i + 1], "\x01probe-a");
        const std::string second = Lookup(argv[1], argv[i], argv[i + 1], "\x01probe-b");
        if (first == "\x01probe-a" && second == "\x01probe-b") {
            std::printf("absent\n");
            continue;
        }
        std::printf("value ");
        for (const unsigned char c : first) std::printf("%02X", c);
        std::printf("\n");
    }
    return 0;
}
