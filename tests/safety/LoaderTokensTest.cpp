// The loader's tokens in a name holding a '/', expanded as the loader
// expands them: what the loader's judge judges and hands the loader back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "safety/LoaderTokens.h"

namespace {

TEST(LoaderTokens, TokensAreExpandedAsTheLoaderExpandsThemAndOtherDollarsStay) {
    const tLoaderTokens values{"/opt/zo", "lib/x86_64-linux-gnu", "x86_64"};
    const struct {
        const char* name;
        const char* expanded;
    } cases[] = {
        {"$ORIGIN/libp.so", "/opt/zo/libp.so"},
        {"${ORIGIN}/libp.so", "/opt/zo/libp.so"},
        {"/x/$LIB/libp.so", "/x/lib/x86_64-linux-gnu/libp.so"},
        {"/x/${LIB}/libp.so", "/x/lib/x86_64-linux-gnu/libp.so"},
        {"/x/$PLATFORM/libp.so", "/x/x86_64/libp.so"},
        {"/x/${PLATFORM}/$LIB", "/x/x86_64/lib/x86_64-linux-gnu"},
        // An unbraced token ends at a '/' or at the end; anything else stays.
        {"/x/$LIBRARY/libp.so", "/x/$LIBRARY/libp.so"},
        {"/x/$ORIGINAL", "/x/$ORIGINAL"},
        {"/x/${LIB/libp.so", "/x/${LIB/libp.so"},
        {"/x/$HOME/$", "/x/$HOME/$"},
        {"/x/lib$LIB.so", "/x/lib$LIB.so"},
    };
    for (const auto& expected : cases) {
        std::string expanded;
        EXPECT_TRUE(expandLoaderTokens(expected.name, values, expanded)) << expected.name;
        EXPECT_EQ(expected.expanded, expanded) << expected.name;
    }
    // A token without a value: the loader opens nothing by that name.
    std::string expanded;
    EXPECT_FALSE(expandLoaderTokens("/x/$PLATFORM/libp.so", {"/opt", "lib", ""}, expanded));
    EXPECT_TRUE(hasLoaderToken("/x/$LIB"));
    EXPECT_FALSE(hasLoaderToken("/x/lib"));
}

TEST(LoaderTokens, OriginIsTheDirectoryOfTheNameTheObjectWasOpenedBy) {
    EXPECT_EQ("/opt/zo/lib", loaderTokensFor("/opt/zo/lib/libp.so").origin);
    EXPECT_EQ("/", loaderTokensFor("/libp.so").origin);
    char buffer[4096];
    ASSERT_NE(nullptr, getcwd(buffer, sizeof buffer));
    EXPECT_EQ(std::string(buffer) + "/sub", loaderTokensFor("sub/libp.so").origin);
    // The program's own: where the kernel found its executable.
    char executable[4096];
    const ssize_t length = readlink("/proc/self/exe", executable, sizeof executable - 1);
    ASSERT_GT(length, 0);
    const std::string program(executable, static_cast<size_t>(length));
    EXPECT_EQ(program.substr(0, program.rfind('/')), loaderTokensFor("").origin);
    EXPECT_EQ(ZO_LOADER_LIB, loaderTokensFor("").lib);
}

}  // namespace
