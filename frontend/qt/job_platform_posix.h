// The conversion job's operating-system layer on POSIX systems.
#pragma once
#include <string>

#include "job_platform.h"

// Real temporary folders, files, child processes (started from an argument vector, never
// through a shell, and ended by the kernel when this process ends) and threads; the converter comes from the Qt resource ":/ComCore/<IDR_CONVERTER>".
class PosixJobPlatform : public JobPlatform {
public:
    // The name with its folder resolved (links, "." and ".."), as the converter resolves
    // it; letter case counts.
    std::string path_key(const std::string& path) const override;
    char path_separator() const override { return '/'; }
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
    std::unique_ptr<FileReader> open_read(const std::string& path) override;
    std::unique_ptr<WorkerThread> start_worker(std::function<void()> fn) override;
    void sleep_ms(int ms) override;
};

// Returns the platform's text for a file error (an errno value) with the file's name.
std::string file_error_text(int error, const std::string& path);
