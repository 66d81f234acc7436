// The run-time loader: the first name that loads wins, every failure is named,
// and a symbol is found or reported missing by name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "case_name.h"
#include "host/library.h"

namespace {

struct OpenCase {
    std::string name;
    std::vector<std::string> names;
    bool opens;
    std::string file;               // opened: the name it was opened by
    std::vector<std::string> said;  // failed: each appears, in this order
};

class LibraryOpen : public testing::TestWithParam<OpenCase> {};

TEST_P(LibraryOpen, FirstThatLoadsOrEveryFailureNamed) {
    const OpenCase& c = GetParam();
    HostLibrary library;
    std::string tried;
    ASSERT_EQ(library_open(c.names, library, tried), c.opens) << tried;
    if (c.opens) {
        EXPECT_EQ(library.file, c.file);
        EXPECT_NE(library.handle, nullptr);
        return;
    }
    EXPECT_EQ(library.handle, nullptr);
    std::size_t at = 0;
    for (const std::string& part : c.said) {
        std::size_t found = tried.find(part, at);
        ASSERT_NE(found, std::string::npos) << "'" << part << "' in: " << tried;
        at = found + part.size();
    }
    EXPECT_EQ(tried.find('\n'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LibraryOpen,
    testing::Values(
        OpenCase{"Present", {"libm.so.6"}, true, "libm.so.6", {}},
        OpenCase{
            "SecondAfterAMissingOne", {"/nonexistent/libx.so", "libm.so.6"}, true, "libm.so.6", {}},
        OpenCase{"Missing", {"/nonexistent/libx.so"}, false, "", {"/nonexistent/libx.so (", ")"}},
        OpenCase{"BothMissing",
                 {"/nonexistent/a.so", "/nonexistent/b.so"},
                 false,
                 "",
                 {"/nonexistent/a.so (", ") or /nonexistent/b.so (", ")"}},
        OpenCase{"NoName", {}, false, "", {"no library named"}}),
    case_name<OpenCase>);

TEST(LibraryResolve, FoundSymbolIsCallableAndAMissingOneIsNamed) {
    HostLibrary library;
    std::string tried;
    ASSERT_TRUE(library_open({"libm.so.6"}, library, tried)) << tried;
    double (*cosine)(double) = nullptr;
    std::string missing;
    ASSERT_TRUE(library_resolve(library, "cos", cosine, missing));
    EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
    EXPECT_TRUE(missing.empty());

    int (*absent)() = nullptr;
    EXPECT_FALSE(library_resolve(library, "no_such_function_here", absent, missing));
    EXPECT_EQ(absent, nullptr);
    EXPECT_EQ(missing, "no_such_function_here");
}

TEST(LibraryResolve, NothingFromALibraryNeverOpened) {
    HostLibrary none;
    EXPECT_EQ(library_symbol(none, "cos"), nullptr);
}

}  // namespace
