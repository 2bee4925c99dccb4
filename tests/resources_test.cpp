// The Windows program carries its manifest and its version resource.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "harness.hpp"

namespace {

TEST(Resources, ManifestAndVersionAreEmbedded) {
    const std::string exe = harness::ToolUnderTest().binary.string();
    const std::string table = harness::CommandOutput({"x86_64-w64-mingw32-objdump", "-p", exe});
    EXPECT_NE(table.find("Entry: ID: 0x000010"), std::string::npos) << "no version resource";
    EXPECT_NE(table.find("Entry: ID: 0x000018"), std::string::npos) << "no manifest";

    const harness::ScratchDir scratch("vorendix-rsrc");
    const std::string section = (scratch.path() / "rsrc").string();
    harness::CommandOutput({"x86_64-w64-mingw32-objcopy", "-O", "binary", "--only-section=.rsrc", exe, section});
    std::ifstream in(section, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    const std::string resources = bytes.str();
    for (const char* text : {"longPathAware", "asInvoker", "supportedOS"}) {
        EXPECT_NE(resources.find(text), std::string::npos) << text;
    }
    for (const char* text : {"Vorendix", VORENDIX_VERSION, "ProductName"}) {
        EXPECT_NE(resources.find(harness::Utf16(text, true).substr(2)), std::string::npos) << text;
    }
}

}  // namespace
