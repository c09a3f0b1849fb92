// Thin layer between the conversion job and the operating system: temporary folders,
// the embedded converter, files, the child process, the worker thread and sleeping.
// The job logic sees only these interfaces, so it runs against a fake in tests.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform.h"

// Returns a name the converter's platform layer made with malloc, freeing it; `fallback`
// when it made none.
inline std::string taken_name(char* name, const std::string& fallback) {
    std::string taken = name ? name : fallback;
    free(name);
    return taken;
}

// One started converter process. read_output and wait_exit are called by the worker
// thread only; terminate may be called from any thread at any time.
class ConverterProcess {
public:
    virtual ~ConverterProcess() = default;
    // Reads the next piece of the converter's standard output into buf; returns its
    // length, or 0 once the output is closed.
    virtual size_t read_output(char* buf, size_t size) = 0;
    // Waits without time limit until the process has ended and releases it; returns its
    // exit status, or 128 + the signal number when a signal ended it, or -1 when the status
    // could not be had.
    virtual int wait_exit() = 0;
    // Ends the process unless it has already been waited for (then its id may belong to
    // another process); returns true when a signal was sent.
    virtual bool terminate() = 0;
    // Returns the process id, which the converter puts in its temporary output's name.
    virtual unsigned long id() const = 0;
};

// A file opened for reading, as the verification reads the image and the CSO.
class FileReader {
public:
    virtual ~FileReader() = default;
    // Returns the file's size in bytes as it was when the file was opened.
    virtual uint64_t size() = 0;
    // Reads exactly `size` bytes at byte `offset` into buf; false when fewer could be
    // read (a read error, or a file that shrank meanwhile).
    virtual bool read_at(uint64_t offset, void* buf, size_t size) = 0;
};

// A started worker thread; join waits for its end.
class WorkerThread {
public:
    virtual ~WorkerThread() = default;
    // Waits until the thread's function has returned (at most once).
    virtual void join() = 0;
};

// The lock that marks a job folder as in use while its dialog lives: a lock file inside
// the folder, held open and locked. Dropping it without release() (a dialog that ends
// uncleanly does the same) leaves the file unlocked, so the folder reads as left over.
class FolderLock {
public:
    virtual ~FolderLock() = default;
    // Removes the lock file while still holding it, then lets go.
    virtual void release() = 0;
};

// The operating-system services of a conversion job.
class JobPlatform {
public:
    virtual ~JobPlatform() = default;
    // Returns the key the core compares names by: equal keys name one file. Where file
    // names ignore letter case ("A.cso" and "a.cso", "Ä.cso" and "ä.cso" are one file) the
    // key folds case as the file system does.
    virtual std::string path_key(const std::string& path) const = 0;
    // Returns the character that separates folders in names.
    virtual char path_separator() const = 0;
    // Returns true when `path` is an existing file (not a folder).
    virtual bool is_file(const std::string& path) = 0;
    // Returns true when `path` is an existing folder.
    virtual bool is_folder(const std::string& path) = 0;
    // Puts `path` made full (absolute), as a file dialog gives names, into `full`; false
    // when it cannot be made.
    virtual bool full_path(const std::string& path, std::string& full) = 0;
    // Returns the user's temporary folder with its trailing separator.
    virtual std::string temp_path() = 0;
    // Makes a new folder inside `parent` that only this user may enter (mode 0700);
    // returns it with its trailing separator, or "" on failure.
    virtual std::string make_private_folder(const std::string& parent) = 0;
    // Takes the lock of a job folder made by make_private_folder; nullptr on failure.
    virtual std::unique_ptr<FolderLock> lock_folder(const std::string& folder) = 0;
    // Removes the job folders in `parent` that a dialog which ended without cleaning up
    // left behind: those whose lock file exists and is not held. A folder without a lock
    // file (just being made, or being removed) and a held one stay. Returns how many went.
    virtual int remove_stale_folders(const std::string& parent) = 0;
    // Fetches the embedded converter program into bytes; returns false when it is missing.
    virtual bool converter_resource(std::string& bytes) = 0;
    // Creates the new file `path` (an existing one is an error), executable by its owner
    // only, holding exactly `bytes`; returns false on any failure.
    virtual bool write_program_file(const std::string& path, const std::string& bytes) = 0;
    // Returns the file a converter writing `path` replaces and writes its temporary file
    // beside: a symbolic link's target where it writes through links, else `path`. Every
    // system takes the converter's own rule from its platform layer.
    virtual std::string written_name(const std::string& path) {
        return taken_name(plat_output_target(path.c_str()), path);
    }
    // Returns the file's size in size; false when it cannot be measured or is a folder.
    virtual bool file_size(const std::string& path, uint64_t& size) = 0;
    // Removes a file; returns "" on success, else the platform's error text with the
    // file's full name in it.
    virtual std::string remove_file(const std::string& path) = 0;
    // Returns the names (without the folder) of the entries of `folder`; none when it
    // cannot be read.
    virtual std::vector<std::string> list_folder(const std::string& folder) = 0;
    // Removes an empty folder; returns "" on success, else the error text as above.
    virtual std::string remove_folder(const std::string& path) = 0;
    // Starts argv[0] with the arguments argv[1..] (no shell), its standard output into a
    // pipe that the returned process reads; returns nullptr when it cannot be started.
    virtual std::unique_ptr<ConverterProcess> start_process(const std::vector<std::string>& argv) = 0;
    // Runs fn on a new thread; returns nullptr when no thread can be made.
    virtual std::unique_ptr<WorkerThread> start_worker(std::function<void()> fn) = 0;
    // Opens an existing file for reading only (names are UTF-8; on Windows opened with the
    // wide-character calls), sharing it with other readers and writers, so that it can be
    // read from another thread while the dialog goes on; returns nullptr when it cannot be
    // opened. Used only by the verification, never to write.
    virtual std::unique_ptr<FileReader> open_read(const std::string& path) = 0;
    // Blocks the calling thread for ms milliseconds.
    virtual void sleep_ms(int ms) = 0;
};
