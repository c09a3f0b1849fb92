// The choosing and queueing of input files, shared by both dialogs.
#include "input_choice.h"

#include "dialog_texts.h"
#include "output_naming.h"

InputChoice::InputChoice(DialogMembers& dlg, InputView& view, JobPlatform& platform)
    : dlg_(dlg), view_(view), platform_(platform) {}

// Chooses the input files with the open dialog; cancelling changes nothing.
void InputChoice::OnOpenFile() {
    FileRequest request;
    request.filter = OPEN_FILTER;
    std::vector<std::string> paths = view_.choose_files(request);
    if (!paths.empty()) OpenInputs(paths);
}

// Proposes the input's name without folder and extension, with the filter and default
// extension of the current mode (which stays as it is); a queue chooses a folder.
void InputChoice::OnSaveFile() {
    dlg_.input_path = view_.input_box_text();  // showing the members must keep what was typed
    if (QueueShown()) return ChooseOutputFolder();
    FileRequest request;
    request.kind = FileRequest::SAVE_FILE;
    request.filter = dlg_.mode == 0 ? CSO_FILTER : ISO_FILTER;
    request.default_ext = dlg_.mode == 0 ? ".cso" : ".iso";
    request.initial_name = FileTitleOf(dlg_.input_path, false, platform_.path_separator());
    std::vector<std::string> paths = view_.choose_files(request);
    if (paths.empty()) return;
    dlg_.output_path = paths[0];
    view_.show_members();
}

// Sets the input, derives the output name and mode, shows them.
void InputChoice::OpenInput(const std::string& path) {
    dlg_.input_path = path;
    dlg_.input_paths = {path};
    dlg_.output_folder.clear();
    dlg_.output_path = DeriveOutputName(dlg_.input_path, dlg_.mode);
    view_.show_members();
    view_.show_chosen(false);
}

// One file alone; several as a queue with its outputs beside the inputs.
void InputChoice::OpenInputs(const std::vector<std::string>& paths) {
    auto key = [this](const std::string& p) { return platform_.path_key(p); };
    std::vector<std::string> chosen = DistinctPaths(paths, key);
    if (chosen.empty()) return;
    if (chosen.size() == 1) return OpenInput(chosen[0]);
    dlg_.input_paths = chosen;
    dlg_.output_folder.clear();
    dlg_.input_path = QueueBoxText(chosen[0], chosen.size());
    ShowQueueOutputs();
    view_.show_chosen(true);
}

// Leaves out existing folders and names that cannot be made full.
void InputChoice::OpenArguments(const std::vector<std::string>& arguments) {
    std::vector<std::string> paths;
    std::string full;
    for (const std::string& argument : arguments)
        if (!platform_.is_folder(argument) && platform_.full_path(argument, full)) paths.push_back(full);
    if (!paths.empty()) OpenInputs(paths);
}

// Keeps the paths that are existing files, unless a job runs.
std::vector<std::string> InputChoice::DroppableFiles(const std::vector<std::string>& paths) {
    std::vector<std::string> files;
    if (dlg_.converting) return files;
    for (const std::string& path : paths)
        if (platform_.is_file(path)) files.push_back(path);
    return files;
}

// Opens what of a drop can open.
bool InputChoice::OpenDropped(const std::vector<std::string>& paths) {
    std::vector<std::string> files = DroppableFiles(paths);
    if (files.empty()) return false;
    OpenInputs(files);
    return true;
}

// A queue is shown while the input box still holds its text.
bool InputChoice::QueueShown() {
    return dlg_.shows_queue(view_.input_box_text());
}

// Only the transitions change the output box: whatever the user typed in it for one
// file stays while the input box is edited.
void InputChoice::OnInputEdited() {
    bool queue = QueueShown();
    view_.set_output_typing(!queue);
    if (dlg_.input_paths.size() < 2) return;
    std::string first = QueueOutputName(dlg_.input_paths[0], dlg_.output_folder,
                                        platform_.path_separator(), dlg_.mode);
    std::string queued = QueueBoxText(first, dlg_.input_paths.size());
    if (queue == (dlg_.output_path == queued)) return;
    dlg_.output_path = queue ? queued : first;
    view_.show_output(dlg_.output_path);
}

// The first output and the count; the mode is the first file's, as for one file, so a
// queue cut down to its first file in the boxes runs as that file would.
void InputChoice::ShowQueueOutputs() {
    dlg_.output_path = QueueBoxText(QueueOutputName(dlg_.input_paths[0], dlg_.output_folder,
                                                    platform_.path_separator(), dlg_.mode),
                                    dlg_.input_paths.size());
    view_.show_members();
}

// The chosen folder, with the platform's separator at its end, holds every output; the
// input box keeps what it shows.
void InputChoice::ChooseOutputFolder() {
    FileRequest request;
    request.kind = FileRequest::FOLDER;
    std::vector<std::string> folders = view_.choose_files(request);
    if (folders.empty() || folders[0].empty()) return;
    dlg_.output_folder = folders[0];
    if (dlg_.output_folder.back() != platform_.path_separator()) dlg_.output_folder += platform_.path_separator();
    ShowQueueOutputs();
}
