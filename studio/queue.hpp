// The songs the page has uploaded, separated one at a time by duostem in a
// thread of their own.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace studio {

class Child;

// Reads one of the progress lines duostem writes on standard error when that
// is not a terminal, exactly as it writes them: "chunk k/N" or "network I/K: FILE".
struct Progress {
  bool is_network = false;  // "network I/K" rather than "chunk k/N"
  int done = 0;             // k, or I
  int total = 0;            // N, or K
};
std::optional<Progress> parse_progress(const std::string& line);

struct QueueSettings;
// duostem's arguments for one song: the song and the output folder as the
// child's working folder names them (a song starting with '-' as "./NAME"),
// every model, a thread count only when given.
std::vector<std::string> duostem_arguments(const QueueSettings& settings, const std::string& song,
                                           const std::string& out_dir);

// A song's name on disk: the browser's file name without any folder, without
// characters no file system takes (a backslash is '_' on Windows, kept
// elsewhere), without its last extension, never empty.
std::string song_stem(const std::string& file_name);

struct Song {
  int id = 0;
  std::string name;  // the stem the stored files are named after
  std::string state = "waiting";  // waiting, separating, done, failed, cancelled
  double progress = 0;            // 0..1 over every network
  int network = 0, networks = 0;  // "network I/K" while several networks run
  std::string message;            // duostem's last line when it failed
  std::string vocals, instrumental;  // file names in the output folder once done
};

struct QueueSettings {
  std::filesystem::path duostem;
  std::vector<std::string> models;  // absolute: duostem runs in the song's own folder
  std::filesystem::path out_dir;
  std::filesystem::path scratch;  // inside out_dir, so stems move in by renaming
  int threads = 0;                // 0: duostem's own default, no --threads
  std::string overlap;            // empty: duostem's own default, no --overlap
};

class Queue {
 public:
  explicit Queue(QueueSettings settings);
  ~Queue();  // ends the running duostem and waits for it

  // A folder for one upload, under a name the queue chooses.
  std::filesystem::path upload_folder(int& id);
  // Queues the file written into the upload folder.
  void add(int id, const std::string& name, const std::filesystem::path& song);
  // Drops an upload that never completed.
  void discard(int id);
  bool cancel(int id);
  std::vector<Song> songs();
  std::optional<Song> song(int id);
  void stop();

 private:
  void run();
  void separate(Song& song, const std::filesystem::path& file);
  void store(Song& song, const std::string& output);

  QueueSettings settings_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Song> songs_;
  std::vector<std::pair<int, std::filesystem::path>> pending_;  // queued songs' files
  int next_id_ = 1;
  int running_id_ = 0;
  Child* running_ = nullptr;  // guarded by mutex_, owned by the worker thread
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace studio
