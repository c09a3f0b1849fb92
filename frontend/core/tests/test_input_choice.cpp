// The choosing and queueing of inputs that both dialogs show: one file, several, the
// program's arguments, a drop, what the boxes show for a queue, and the Save dialog's
// proposals, against the fake platform in both rules for letter case.
#include <gtest/gtest.h>

#include <deque>

#include "dialog_texts.h"
#include "fake_job_platform.h"
#include "input_choice.h"

namespace {

// The dialog as the input logic sees it: the boxes, the buttons' state, file dialogs.
class FakeInputView : public InputView {
public:
    explicit FakeInputView(DialogMembers& dlg) : dlg_(dlg) {}
    std::string input_box, output_box;
    bool chosen = false, output_read_only = false;
    std::vector<FileRequest> requests;                 // file dialogs shown, in order
    std::deque<std::vector<std::string>> answers;      // what they answer ({} cancels)

    std::string input_box_text() override { return input_box; }
    void show_members() override {
        input_box = dlg_.input_path;
        output_box = dlg_.output_path;
    }
    void show_chosen(bool queue) override {
        chosen = true;
        output_read_only = queue;
    }
    void show_output(const std::string& text) override { output_box = text; }
    void set_output_typing(bool takes_typing) override { output_read_only = !takes_typing; }
    std::vector<std::string> choose_files(const FileRequest& request) override {
        requests.push_back(request);
        std::vector<std::string> answer = answers.empty() ? std::vector<std::string>{} : answers.front();
        if (!answers.empty()) answers.pop_front();
        return answer;
    }

private:
    DialogMembers& dlg_;
};

class InputChoiceTest : public ::testing::Test {
protected:
    InputChoiceTest() : platform(log), view(dlg), inputs(dlg, view, platform) {}
    // Opens through the Open button's dialog.
    void open(const std::vector<std::string>& answer) {
        view.answers = {answer};
        inputs.OnOpenFile();
    }

    EventLog log;
    FakePlatform platform;
    DialogMembers dlg;
    FakeInputView view;
    InputChoice inputs;
};

// What the boxes show after Open, and the mode: one file, a file chosen twice, a queue
// (its outputs beside the inputs, the output box taking no typing), names that differ
// only in case, and a cancelled dialog.
TEST_F(InputChoiceTest, OneFileOrAQueue) {
    struct Case {
        bool ignore_case;
        std::vector<std::string> chosen;
        const char *input, *output;
        int mode;
        bool queue;
    };
    const Case cases[] = {
        {false, {"/g/x.ISO"}, "/g/x.ISO", "/g/x.cso", 0, false},
        {false, {"/g/x.cso", "/g/x.cso"}, "/g/x.cso", "/g/x.iso", 1, false},
        {false, {"/g/noext"}, "/g/noext", "ERROR!", 1, false},  // the mode stays
        {false, {"/g/a.cso", "/g/b.iso", "/g/c.txt"}, "/g/a.cso (+2)", "/g/a.iso (+2)", 1, true},
        {false, {"/g/a.iso", "/g/A.ISO"}, "/g/a.iso (+1)", "/g/a.cso (+1)", 0, true},  // the first's mode
        {true, {"/g/a.iso", "/g/A.ISO"}, "/g/a.iso", "/g/a.cso", 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        platform.ignore_case = c.ignore_case;
        open(c.chosen);
        ASSERT_EQ(view.requests.size(), 1u);
        EXPECT_EQ(view.requests[0].kind, FileRequest::OPEN_FILES);
        EXPECT_STREQ(view.requests[0].filter, OPEN_FILTER);
        EXPECT_EQ(view.input_box, c.input);
        EXPECT_EQ(view.output_box, c.output);
        EXPECT_EQ(dlg.mode, c.mode);
        EXPECT_TRUE(view.chosen);
        EXPECT_EQ(view.output_read_only, c.queue);
        EXPECT_EQ(inputs.QueueShown(), c.queue);
        EXPECT_EQ(dlg.input_paths.size(), c.queue ? c.chosen.size() : 1u);
        view.requests.clear();
    }
    open({});  // cancelled: nothing changes
    EXPECT_EQ(view.input_box, "/g/a.iso");
    EXPECT_EQ(dlg.mode, 0);
}

// Save for one file proposes the input's name with the filter and extension of the mode
// and leaves the mode alone; for a queue it chooses the folder of every output, which
// gets the platform's separator once; once the input box is typed over, Save is the one
// file's again.
TEST_F(InputChoiceTest, SaveProposalsAndTheQueueFolder) {
    open({"/home/u/a.b.cso"});
    view.answers = {{"/chosen/back.iso"}};
    inputs.OnSaveFile();
    ASSERT_EQ(view.requests.size(), 2u);
    const FileRequest& save = view.requests[1];
    EXPECT_EQ(save.kind, FileRequest::SAVE_FILE);
    EXPECT_STREQ(save.filter, ISO_FILTER);
    EXPECT_EQ(save.default_ext, ".iso");
    EXPECT_EQ(save.initial_name, "a.b");
    EXPECT_EQ(view.output_box, "/chosen/back.iso");
    EXPECT_EQ(dlg.mode, 1);
    inputs.OnSaveFile();  // cancelled
    EXPECT_EQ(view.output_box, "/chosen/back.iso");

    open({"/g/a.iso", "/h/b.cso"});
    for (const char* folder : {"/out", "/out/"}) {
        view.answers = {{folder}};
        inputs.OnSaveFile();
        EXPECT_EQ(view.requests.back().kind, FileRequest::FOLDER);
        EXPECT_EQ(dlg.output_folder, "/out/");
        EXPECT_EQ(view.output_box, "/out/a.cso (+1)");
        EXPECT_EQ(view.input_box, "/g/a.iso (+1)");
    }
    view.input_box = "/g/typed.iso";
    view.answers = {{"/x/y.iso"}};
    inputs.OnSaveFile();
    EXPECT_EQ(view.requests.back().kind, FileRequest::SAVE_FILE);
    EXPECT_EQ(view.requests.back().initial_name, "typed");
    EXPECT_EQ(view.output_box, "/x/y.iso");
    EXPECT_EQ(view.input_box, "/g/typed.iso");
}

// A queue cut down in the input box to its first file names that file's output, in
// Save's folder if one was chosen, and takes typing; brought back, the queue's again.
// Typing in the input box of one file leaves what the user typed as the output.
TEST_F(InputChoiceTest, QueueCutDownInTheBox) {
    open({"/g/a.iso", "/h/b.cso"});
    const struct { const char *folder, *input, *output; bool read_only; } steps[] = {
        {nullptr, "/g/a.iso (+1", "/g/a.cso", false},
        {nullptr, "/g/a.iso", "/g/a.cso", false},
        {nullptr, "/g/a.iso (+1)", "/g/a.cso (+1)", true},
        {"/out", "/g/a.iso", "/out/a.cso", false},
        {nullptr, "/g/a.iso (+1)", "/out/a.cso (+1)", true},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.input);
        if (step.folder) {
            view.answers = {{step.folder}};
            inputs.OnSaveFile();
        }
        view.input_box = step.input;
        inputs.OnInputEdited();
        EXPECT_EQ(view.output_box, step.output);
        EXPECT_EQ(view.output_read_only, step.read_only);
    }
    open({"/g/c.iso"});
    view.output_box = "/typed.cso";
    view.input_box = "/g/d.iso";
    inputs.OnInputEdited();
    EXPECT_EQ(view.output_box, "/typed.cso");
    EXPECT_FALSE(view.output_read_only);
}

// Arguments: existing folders left out, names made full, a missing file still opens.
// Drops: only existing files open, and nothing during a job.
TEST_F(InputChoiceTest, ArgumentsAndDrops) {
    platform.folders.insert("/cwd/tree/");
    platform.set_file("/g/a.iso", 5);
    platform.set_file("/cwd/b.cso", 5);
    inputs.OpenArguments({"tree", "b.cso"});
    EXPECT_EQ(view.input_box, "/cwd/b.cso");
    inputs.OpenArguments({"/g/a.iso", "/cwd/tree", "gone.iso"});
    EXPECT_EQ(view.input_box, "/g/a.iso (+1)");
    EXPECT_EQ(dlg.input_paths, (std::vector<std::string>{"/g/a.iso", "/cwd/gone.iso"}));
    view.input_box.clear();
    inputs.OpenArguments({"/cwd/tree"});
    EXPECT_EQ(view.input_box, "");

    std::vector<std::string> drop = {"/cwd/tree", "/g/a.iso", "/g/gone.iso", "/cwd/b.cso"};
    EXPECT_EQ(inputs.DroppableFiles(drop), (std::vector<std::string>{"/g/a.iso", "/cwd/b.cso"}));
    EXPECT_FALSE(inputs.OpenDropped({"/cwd/tree", "/g/gone.iso"}));
    EXPECT_EQ(view.input_box, "");
    dlg.converting = 1;
    EXPECT_TRUE(inputs.DroppableFiles(drop).empty());
    EXPECT_FALSE(inputs.OpenDropped(drop));
    dlg.converting = 0;
    EXPECT_TRUE(inputs.OpenDropped(drop));
    EXPECT_EQ(view.input_box, "/g/a.iso (+1)");
}

}  // namespace
