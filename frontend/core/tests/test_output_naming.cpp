// Output naming and file titles, with the reference examples.
#include <gtest/gtest.h>

#include <cctype>

#include "output_naming.h"
#include "test_locale.h"

namespace {

// Returns the derived name and the mode it left, starting from `mode`.
std::pair<std::string, int32_t> derive(const std::string& path, int32_t mode) {
    std::string out = DeriveOutputName(path, mode);
    return {out, mode};
}

// The other extension replaces the ending; case as written is kept before it.
TEST(DeriveOutputNameTest, SwitchesExtensionAndMode) {
    EXPECT_EQ(derive("C:\\a\\game.iso", 1), std::make_pair(std::string("C:\\a\\game.cso"), 0));
    EXPECT_EQ(derive("C:\\a\\GAME.ISO", 1), std::make_pair(std::string("C:\\a\\GAME.cso"), 0));
    EXPECT_EQ(derive("C:\\a\\game.cso", 0), std::make_pair(std::string("C:\\a\\game.iso"), 1));
    EXPECT_EQ(derive("/home/u/Disc.CsO", 0), std::make_pair(std::string("/home/u/Disc.iso"), 1));
    EXPECT_EQ(derive("/home/u/游戏.iso", 1), std::make_pair(std::string("/home/u/游戏.cso"), 0));
    EXPECT_EQ(derive("/g/a.ZSO", 0), std::make_pair(std::string("/g/a.iso"), 1));
    EXPECT_EQ(derive("/g/a.dax", 0), std::make_pair(std::string("/g/a.iso"), 1));
}

// The removal takes every trailing character among the last three: it stops at the dot
// of iso.iso, and runs through the stem of mysoiso.
TEST(DeriveOutputNameTest, RemovalStopsAtFirstOtherCharacter) {
    EXPECT_EQ(derive("D:\\games\\iso.iso", 1).first, "D:\\games\\iso.cso");
    EXPECT_EQ(derive("D:\\games\\mysoiso", 1).first, "D:\\games\\mycso");
    EXPECT_EQ(derive("/g/xsoISO", 1).first, "/g/xsocso");  // case as written: o is not O
    EXPECT_EQ(derive("iso", 1).first, "cso");
}

// The endings are ASCII whatever the user's locale: in a Turkish one tolower leaves 'I'
// as it is (its lower case is a dotless i), and GAME.ISO must still become GAME.cso.
TEST(DeriveOutputNameTest, EndingsIgnoreTheLocalesLetterCase) {
    std::string source = "LC_CTYPE\ntolower ";
    for (int c = 'A'; c <= 'Z'; c++) {
        char pair[24];
        snprintf(pair, sizeof pair, "%s(<U%04X>,<U%04X>)", c == 'A' ? "" : ";", c, c == 'I' ? c : c + 32);
        source += pair;
    }
    TestLocale dotless_i(LC_CTYPE, source + "\nEND LC_CTYPE\n");
    int (*volatile lower)(int) = tolower;  // the compiler would take tolower for the C locale's
    ASSERT_EQ(lower('I'), 'I') << "the test's locale did not take effect";
    EXPECT_EQ(derive("/g/GAME.ISO", 1), std::make_pair(std::string("/g/GAME.cso"), 0));
}

// Any other ending gives "ERROR!" and keeps the mode.
TEST(DeriveOutputNameTest, OtherEndingsGiveError) {
    EXPECT_EQ(derive("C:\\a\\game.bin", 1), std::make_pair(std::string("ERROR!"), 1));
    EXPECT_EQ(derive("D:\\games\\noext", 0), std::make_pair(std::string("ERROR!"), 0));
    EXPECT_EQ(derive("so", 1), std::make_pair(std::string("ERROR!"), 1));
    EXPECT_EQ(derive("", 0).first, "ERROR!");
}

// The file name after the platform's last separator, with or without its extension: on
// Windows either slash, on POSIX '/' only (a backslash belongs to the name).
TEST(FileTitleOfTest, NameWithAndWithoutExtension) {
    EXPECT_EQ(FileTitleOf("D:\\games\\x.iso", false, '\\'), "x");
    EXPECT_EQ(FileTitleOf("D:\\games\\x.iso", true, '\\'), "x.iso");
    EXPECT_EQ(FileTitleOf("C:/a\\b/c.iso", false, '\\'), "c");
    EXPECT_EQ(FileTitleOf("/home/u/a.b.cso", false, '/'), "a.b");
    EXPECT_EQ(FileTitleOf("/q/a\\b.iso", true, '/'), "a\\b.iso");
    EXPECT_EQ(FileTitleOf("noext", false, '/'), "noext");
    EXPECT_EQ(FileTitleOf("/dir.d/noext", false, '/'), "noext");
}

// Files chosen together: the box text and each output beside its input or in a folder.
TEST(QueueNamingTest, BoxTextAndOutputs) {
    EXPECT_EQ(QueueBoxText("C:\\a\\a.iso", 3), "C:\\a\\a.iso (+2)");
    EXPECT_EQ(QueueBoxText("/a/a.iso", 1), "/a/a.iso");
    int32_t mode = 0;
    EXPECT_EQ(QueueOutputName("/in/b.cso", "", '/', mode), "/in/b.iso");
    EXPECT_EQ(mode, 1);
    EXPECT_EQ(QueueOutputName("/in/c.ISO", "/out/", '/', mode), "/out/c.cso");
    EXPECT_EQ(mode, 0);
    EXPECT_EQ(QueueOutputName("D:\\g\\x.iso", "E:\\o\\", '\\', mode), "E:\\o\\x.cso");
    EXPECT_EQ(QueueOutputName("/in/notes.txt", "/out/", '/', mode), "ERROR!");
    EXPECT_EQ(QueueOutputName("/q/a\\b.iso", "/out/", '/', mode), "/out/a\\b.cso");
}

}  // namespace

// A file chosen twice is kept once, in its first place; names repeat when their keys do.
TEST(DistinctPathsTest, RepeatsLeftOut) {
    std::vector<std::string> chosen = {"/g/a.iso", "/g/b.iso", "/g/a.iso", "/g/A.ISO"};
    auto same = [](const std::string& p) { return p; };
    auto folded = [](std::string p) {
        for (char& c : p) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        return p;
    };
    EXPECT_EQ(DistinctPaths(chosen, same), (std::vector<std::string>{"/g/a.iso", "/g/b.iso", "/g/A.ISO"}));
    EXPECT_EQ(DistinctPaths(chosen, folded), (std::vector<std::string>{"/g/a.iso", "/g/b.iso"}));
}
