// Nothing a user already has is lost: a file under the output's name is replaced only by
// a whole, successful result. Each mistake a user makes on the command line, each input
// that can't be converted whole and two runs at once, through the built converter (this
// machine's or the Windows build under Wine); a full disk has a test program of its own.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <thread>

#include "test_util.h"

namespace {

namespace fs = std::filesystem;

// A mixed image of `blocks` blocks: text and noise.
std::string image_of(size_t blocks) {
    std::string img;
    for (size_t b = 0; b < blocks; b++)
        img += b % 3 == 1 ? random_bytes(2048, static_cast<uint32_t>(b)) : text_bytes(2048, b);
    return img;
}

// One mistake: the command ("D/" stands for the folder), its status and a line it prints.
struct Row {
    std::vector<std::string> args;
    int status;
    std::string line;
};

// Returns args with "D/" at the start of an argument (or after -log) replaced by dir/.
std::vector<std::string> in_folder(std::vector<std::string> args, const std::string& dir) {
    for (auto& a : args) {
        size_t at = a.find("D/");
        if (at == 0 || (at == 4 && a.rfind("-log", 0) == 0)) a.replace(at, 1, dir);
    }
    return args;
}

// Fills the folder: an image, its CSO, an old image and an old CSO the user keeps, an
// image cut short, an empty one and one over the size limit (sparse).
void fill_folder(const std::string& dir) {
    write_file(dir + "/a.iso", image_of(16));
    ASSERT_EQ(run_native_vellicor({"-com", dir + "/a.iso", dir + "/game.cso"}).status, 0);
    write_file(dir + "/game.iso", "the user's old image");
    write_file(dir + "/old.cso", "the user's old CSO");
    write_file(dir + "/short.iso", text_bytes(5000, 1));
    write_file(dir + "/empty.iso", "");
    write_file(dir + "/big.iso", "");
    fs::resize_file(dir + "/big.iso", 3000000000ull);
}

TEST(Replace, NoMistakeOnTheCommandLineChangesAnyFile) {
    const std::string usage = "Convert PSP-ISO file in compressed CSO format\n";
    const std::vector<Row> rows = {
        {{"D/game.cso", "D/game.iso"}, 0, usage},  // forgot -dec: full help
        {{"-help", "D/a.iso", "D/game.iso"}, 0, usage},
        {{"-com", "-est", "D/a.iso", "D/old.cso"}, 0, "Ciso estimation completed"},
        {{"-opt", "D/a.iso", "D/old.cso"}, 1, "Time: "},  // reaches no engine
        {{"-MT", "D/a.iso", "D/old.cso"}, 1, "Time: "},
        {{"-dec", "D/a.iso", "D/old.cso"}, 1, "ciso file format error\n"},  // names swapped
        {{"-com", "D/big.iso", "D/old.cso"}, 1, "Input is larger than 2100000000 bytes\n"},
        {{"-com", "-opt", "-vid", "-logD/none/x.log", "D/a.iso", "D/old.cso"}, 1,
         "Unable to write log file (D/none/x.log)\n"},
        // An empty name is refused before the summary and the scan, not after the run.
        {{"-com", "-opt", "-vid", "-log", "D/a.iso", "D/old.cso"}, 1,
         kBanner + "Unable to write log file ()\n"},
        {{"-com", "D/a.iso", ""}, 1, kBanner + "Can't create \n"},
        // Runs that write nothing refuse an output they could not write too, before all else.
        {{"-est", "D/a.iso", "D/none/x"}, 1, kBanner + "Can't create D/none/x\n"},
        {{"D/a.iso", "D/none/x"}, 1, kBanner + "Can't create D/none/x\n"},
        {{"-com", "-MT", "D/short.iso", "D/old.cso"}, 1,
         "Input size 5000 bytes is not a whole number of 2048-byte sectors: D/short.iso\n"},
        {{"-com", "D/empty.iso", "D/old.cso"}, 1, "Input is empty: D/empty.iso\n"},
        {{"-dec", "-opt", "D/empty.iso", "D/game.iso"}, 1, "file read error\n"},
    };
    std::string dir = make_temp_dir();
    fill_folder(dir);
    std::map<std::string, std::string> before = snapshot(dir);
    for (const Row& row : rows) {
        std::vector<std::string> args = in_folder(row.args, dir);
        RunResult r = run_vellicor(args);
        std::string what = row.args[0] + " " + row.args[1];
        EXPECT_EQ(r.status, row.status) << what << "\n" << r.out;
        std::string line = row.line;
        // One pass, past each inserted folder: its random name may itself hold "D/".
        for (size_t at = 0; (at = line.find("D/", at)) != std::string::npos; at += dir.size())
            line.replace(at, 1, dir);
        EXPECT_NE((r.out + r.err).find(line), std::string::npos) << what << "\n" << r.out << r.err;
        EXPECT_TRUE(snapshot(dir) == before) << what << ": a file was created or changed";
    }
}

TEST(Replace, ASuccessfulRunReplacesTheOutputAndItsLogWhole) {
    std::string dir = make_temp_dir();
    fill_folder(dir);
    std::string img = read_file(dir + "/a.iso");
    write_file(dir + "/scan.log", "old log");
    for (const char* engine : {"-opt", "-MT"}) {
        RunResult r = run_vellicor({"-com", engine, "-vid", "-log" + dir + "/scan.log", dir + "/a.iso",
                                    dir + "/old.cso"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(read_file(dir + "/old.cso") == read_file(dir + "/game.cso")) << engine;
        EXPECT_EQ(read_text_file(dir + "/scan.log"), "0 file found\n");
        write_file(dir + "/old.cso", "the user's old CSO");
    }
    EXPECT_EQ(run_vellicor({"-dec", dir + "/game.cso", dir + "/game.iso"}).status, 0);
    EXPECT_TRUE(read_file(dir + "/game.iso") == img);
    // A name of 250 characters, or of 250 bytes in UTF-8 (which a file system may count),
    // still leaves room for the temporary one beside it.
    std::string han;
    for (int i = 0; i < 82; i++) han += "\xe6\xb8\xb8";
    for (const std::string& name : {std::string(246, 'x'), han}) {
        std::string longest = dir + "/" + name + ".cso";
        EXPECT_EQ(run_vellicor({"-com", dir + "/a.iso", longest}).status, 0) << name.size();
        EXPECT_TRUE(read_file(longest) == read_file(dir + "/game.cso")) << name.size();
    }
    EXPECT_EQ(snapshot(dir).size(), 10u) << "a temporary file was left behind";
}

// A file the user may not write is refused as before, also where the folder would let a
// rename replace it. Root may write any file, so the converter runs as an ordinary user.
TEST(Replace, AFileTheUserMayNotWriteIsRefusedWhereARenameWouldReplaceIt) {
    if (testing_windows_build()) GTEST_SKIP() << "the Windows build has a test of its own";
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the converter as another user";
    std::string dir = make_temp_dir();
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);  // the user may add files here
    write_file(dir + "/in.iso", image_of(4));
    write_file(dir + "/roots.cso", "root's file");
    write_file(dir + "/locked.cso", "the user's read-only file");
    ASSERT_EQ(chown((dir + "/locked.cso").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod((dir + "/locked.cso").c_str(), 0444), 0);
    std::map<std::string, std::string> before = snapshot(dir);
    auto run_as_user = [](const std::vector<std::string>& args) {
        std::vector<std::string> as_user{"--reuid=65534", "--regid=65534", "--clear-groups"};
        for (const std::string& a : converter_command(args)) as_user.push_back(a);
        return run_tool("/usr/bin/setpriv", as_user);
    };
    if (run_as_user({"-help"}).status != 0)
        GTEST_SKIP() << "the built converter lies in a folder other users cannot enter";
    for (const char* name : {"/roots.cso", "/locked.cso"}) {
        for (const char* mode : {"-com", "-dec"}) {
            RunResult r = run_as_user({mode, dir + "/in.iso", dir + name});
            EXPECT_EQ(r.status, 1) << name;
            EXPECT_EQ(r.out, kBanner + "Can't create " + dir + name + "\n") << mode;
        }
    }
    EXPECT_TRUE(snapshot(dir) == before);
    // Root may replace it; the file keeps its owner and mode.
    ASSERT_EQ(run_vellicor({"-com", dir + "/in.iso", dir + "/locked.cso"}).status, 0);
    struct stat st;
    ASSERT_EQ(stat((dir + "/locked.cso").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
}

// An output that is a symbolic link is written where it points and the link stays, also
// when it dangles (the file it names is made, as opening it would); one whose target's
// folder is missing is refused, and nothing changes.
TEST(Replace, AnOutputThatIsALinkIsWrittenThroughIt) {
    if (testing_windows_build()) GTEST_SKIP() << "links are followed by the POSIX build only";
    std::string dir = make_temp_dir();
    write_file(dir + "/in.iso", image_of(4));
    ASSERT_EQ(run_vellicor({"-com", dir + "/in.iso", dir + "/want.cso"}).status, 0);
    write_file(dir + "/old.cso", "the user's old CSO");
    fs::create_directory(dir + "/sub");
    struct Case { const char *link, *points_to, *written; };
    for (const Case& c : {Case{"/to-old.cso", "old.cso", "/old.cso"},
                          Case{"/dangling.cso", "sub/new.cso", "/sub/new.cso"},
                          Case{"/chain.cso", "dangling2.cso", "/sub/end.cso"}}) {
        if (std::string(c.link) == "/chain.cso") fs::create_symlink(dir + "/sub/end.cso", dir + "/dangling2.cso");
        fs::create_symlink(c.points_to, dir + c.link);
        EXPECT_EQ(run_vellicor({"-com", dir + "/in.iso", dir + c.link}).status, 0) << c.link;
        EXPECT_TRUE(fs::is_symlink(dir + c.link)) << c.link;
        EXPECT_TRUE(read_file(dir + c.written) == read_file(dir + "/want.cso")) << c.link;
    }
    fs::create_symlink("missing/x.cso", dir + "/nowhere.cso");
    auto entries = [&] { return std::distance(fs::directory_iterator(dir), fs::directory_iterator()); };
    auto before = entries();
    RunResult r = run_vellicor({"-com", dir + "/in.iso", dir + "/nowhere.cso"});
    EXPECT_EQ(r.out, kBanner + "Can't create " + dir + "/nowhere.cso\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(entries() == before && fs::is_symlink(dir + "/nowhere.cso"));
}

// Two runs writing one output at once: each result is whole or absent, never a mix.
TEST(Replace, TwoRunsWritingOneOutputLeaveOneWholeResult) {
    std::string dir = make_temp_dir();
    write_file(dir + "/a.iso", image_of(3000));
    write_file(dir + "/b.iso", random_bytes(3000 * 2048, 77));
    ASSERT_EQ(run_native_vellicor({"-com", dir + "/a.iso", dir + "/a.cso"}).status, 0);
    ASSERT_EQ(run_native_vellicor({"-com", dir + "/b.iso", dir + "/b.cso"}).status, 0);
    RunResult ra, rb;
    std::thread t([&] { ra = run_vellicor({"-com", dir + "/a.iso", dir + "/out.cso"}); });
    rb = run_vellicor({"-com", dir + "/b.iso", dir + "/out.cso"});
    t.join();
    EXPECT_EQ(ra.status, 0);
    EXPECT_EQ(rb.status, 0);
    std::string out = read_file(dir + "/out.cso");
    EXPECT_TRUE(out == read_file(dir + "/a.cso") || out == read_file(dir + "/b.cso"));
    EXPECT_EQ(snapshot(dir).size(), 5u) << "a temporary file was left behind";
}

}  // namespace
