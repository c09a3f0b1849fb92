// The choosing and queueing of input files that both dialogs do: the Open and Save
// buttons, dropped files and the program's arguments, and what the input and output
// boxes show for one file or a queue. No display: the dialog is reached through
// InputView, the file system through the job platform.
#pragma once
#include <string>
#include <vector>

#include "conversion_job.h"
#include "job_platform.h"

// A file dialog that the input logic asks the dialog to show.
struct FileRequest {
    enum Kind {
        OPEN_FILES,  // Open: one or several existing files
        SAVE_FILE,   // Save for one file; asks before replacing an existing file
        FOLDER,      // Save for a queue: an existing folder for every output
    };
    Kind kind = OPEN_FILES;
    const char* filter = "";   // "description|patterns|...||"; "" for a folder
    std::string default_ext;   // SAVE_FILE: ".cso" or ".iso"
    std::string initial_name;  // SAVE_FILE: the proposed name, without folder
};

// What the input logic asks of the dialog window.
class InputView {
public:
    virtual ~InputView() = default;
    // Returns the input box's text as it is now (the user may have typed in it).
    virtual std::string input_box_text() = 0;
    // Copies the members into the boxes.
    virtual void show_members() = 0;
    // Puts `text` in the output box alone; the other boxes keep what the user typed.
    virtual void show_output(const std::string& text) = 0;
    // The output box takes typing, or not (a queue's outputs are named by Save's folder).
    virtual void set_output_typing(bool takes_typing) = 0;
    // After files were taken: enables Save and Start; the output box takes typing unless
    // `queue` (a queue's outputs are named by Save's folder only).
    virtual void show_chosen(bool queue) = 0;
    // Shows the file dialog asked for; returns the chosen full paths (a folder as the
    // system gives it), none when cancelled.
    virtual std::vector<std::string> choose_files(const FileRequest& request) = 0;
};

// The input side of the main dialog, over its members.
class InputChoice {
public:
    InputChoice(DialogMembers& dlg, InputView& view, JobPlatform& platform);
    // Open button: chooses one or several files and takes them.
    void OnOpenFile();
    // Save button: chooses the output of one file, or the folder of a queue's outputs.
    void OnSaveFile();
    // Takes path as the chosen input: derived output and mode, Save and Start enabled,
    // whatever the naming gave. Starts nothing.
    void OpenInput(const std::string& path);
    // One file opens as OpenInput does; several (a file named twice counts once, in the
    // platform's rule for letter case) make a queue, shown as the first name and the
    // count in both boxes, whose outputs go beside their inputs until Save names a folder.
    void OpenInputs(const std::vector<std::string>& paths);
    // The program's file arguments: existing folders are left out, the rest open (a
    // missing file too, the naming decides) with their names made full.
    void OpenArguments(const std::vector<std::string>& arguments);
    // Returns the dropped paths that would open: the existing files, in order; none
    // during a job (Open is disabled then).
    std::vector<std::string> DroppableFiles(const std::vector<std::string>& paths);
    // Opens the droppable files as Open would; returns false when there were none.
    bool OpenDropped(const std::vector<std::string>& paths);
    // Returns true while the input box shows the files chosen together as a queue.
    bool QueueShown();
    // The input box was edited: the output box takes typing unless a queue is shown. A
    // queue cut down in the box to its first file shows that file's output, and one
    // brought back shows the queue's again.
    void OnInputEdited();

private:
    // Shows the queue's first output (beside it or in the folder) and the count.
    void ShowQueueOutputs();
    // Save for a queue: chooses the folder for every output.
    void ChooseOutputFolder();

    DialogMembers& dlg_;
    InputView& view_;
    JobPlatform& platform_;
};
