// What the studio needs from the operating system: a child process with its
// output read through pipes, the executable's folder, random bytes and the
// user's browser. Everything here has a POSIX and a Windows implementation.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace studio {

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
  struct Handles;
  std::unique_ptr<Handles> handles_;
  std::string error_buffer_;
};

std::filesystem::path executable_folder();
long process_id();
// False once the process has ended; true while it runs or when it cannot be told.
bool process_alive(long id);
std::string random_hex(std::size_t bytes);
// Opens the address in the user's browser without waiting for it.
void open_in_browser(const std::string& url);

}  // namespace studio
