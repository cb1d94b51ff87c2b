// What the studio needs from the operating system: stop requests, a child
// process with its output read through pipes, random bytes, the user's
// browser, folder locks and renames that never replace. Everything here has a
// POSIX and a Windows implementation.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace studio {

// The first call of main, before any thread starts: INT and TERM held in every
// thread for a StopHandler's thread to take, a closed pipe a failed write, not
// a signal; on Windows, lines on standard output and error end in "\n" alone.
void set_up_process();

// While it lives, the user's request to end the studio (INT or TERM; Ctrl-C or
// closing the console on Windows) calls stop once, on a thread of its own, and
// is answered, so that Windows may end the process, only once stop returns.
class StopHandler {
 public:
  explicit StopHandler(std::function<void()> stop);
  ~StopHandler();
  struct State;

 private:
  std::unique_ptr<State> state_;
};

// One running program. Standard input is the null device; standard output and
// standard error come back through pipes. The destructor ends the program if
// it still runs and waits for it, so no child outlives its owner.
class Child {
 public:
  Child(const std::filesystem::path& program, const std::vector<std::string>& args,
        const std::filesystem::path& folder);  // its working folder
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // One line of standard error without its line ending; false at its end.
  bool read_error_line(std::string& line);
  // All of standard output; call after standard error has ended.
  std::string read_output();
  // Asks the program to end (TERM on POSIX); safe from another thread.
  void terminate();
  // The exit status, or -1 when the program ended by a signal.
  int wait();

 private:
  // Bytes from standard error or output as they come; 0 at its end.
  std::size_t read_some(bool from_error, char* buffer, std::size_t size);
  struct Handles;
  std::unique_ptr<Handles> handles_;
  std::string error_buffer_;
};

std::string random_hex(std::size_t bytes);

// A page in a file only the user can read (the runtime or temporary folder)
// that forwards the browser to an address, so that the address never appears
// among any process's arguments. The file goes with this object.
class ForwardPage {
 public:
  explicit ForwardPage(const std::string& url);
  ~ForwardPage();
  ForwardPage(const ForwardPage&) = delete;
  ForwardPage& operator=(const ForwardPage&) = delete;
  // Opens the page in the user's browser without waiting for it.
  void open() const;

 private:
  std::filesystem::path path_;
};

// An exclusive lock on the file "lock" inside a folder, held while this
// object lives (flock on POSIX, LockFileEx on Windows). The file appears
// already locked, so no other process ever finds it free while its owner runs.
class FolderLock {
 public:
  explicit FolderLock(const std::filesystem::path& folder);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  struct Handle;
  std::unique_ptr<Handle> handle_;
};
// Removes the folder when its lock file exists and its lock can be taken, that
// is when the process that held it has ended, whatever namespace it ran in.
void remove_if_unlocked(const std::filesystem::path& folder);

// Renames a file unless the target name is taken by an entry of any kind;
// false when it is. Other failures throw.
bool rename_no_replace(const std::filesystem::path& from, const std::filesystem::path& to);
// True where a backslash separates folders in a file name (Windows).
bool backslash_separates_folders();

}  // namespace studio
