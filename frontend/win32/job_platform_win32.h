// The conversion job's operating-system layer on Windows, all through the wide calls.
#pragma once
#include <string>
#include <vector>

#include "job_platform.h"

// Real temporary folders, files, child processes (the extracted file started by its exact
// name, its standard output on a pipe, no console window, ended with this program) and
// threads; the converter
// comes from the resource of type "ComCore", number IDR_CONVERTER, of the running program.
class Win32JobPlatform : public JobPlatform {
public:
    std::string path_key(const std::string& path) const override;
    char path_separator() const override { return '\\'; }
    bool is_file(const std::string& path) override;
    bool is_folder(const std::string& path) override;
    bool full_path(const std::string& path, std::string& full) override;
    std::string temp_path() override;
    std::string make_private_folder(const std::string& parent) override;
    std::unique_ptr<FolderLock> lock_folder(const std::string& folder) override;
    int remove_stale_folders(const std::string& parent) override;
    bool converter_resource(std::string& bytes) override;
    bool write_program_file(const std::string& path, const std::string& bytes) override;
    bool file_size(const std::string& path, uint64_t& size) override;
    std::string remove_file(const std::string& path) override;
    std::vector<std::string> list_folder(const std::string& folder) override;
    std::string remove_folder(const std::string& path) override;
    std::unique_ptr<ConverterProcess> start_process(const std::vector<std::string>& argv) override;
    std::unique_ptr<WorkerThread> start_worker(std::function<void()> fn) override;
    std::unique_ptr<FileReader> open_read(const std::string& path) override;
    void sleep_ms(int ms) override;
};

// Returns the command line that gives a child exactly argv as its arguments: every
// argument in double quotes, with the backslash and quote rules of the C runtime.
std::wstring windows_command_line(const std::vector<std::string>& argv);

// Returns the system's text for a Win32 error code with the file's full name in it.
std::string file_error_text(unsigned long error, const std::string& path);
