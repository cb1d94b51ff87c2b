#include "queue.hpp"

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "numbers.hpp"
#include "platform.hpp"

namespace fs = std::filesystem;

namespace studio {

std::optional<Progress> parse_progress(const std::string& line) {
  Progress progress;
  progress.is_network = line.compare(0, 8, "network ") == 0;
  if (!progress.is_network && line.compare(0, 6, "chunk ") != 0) return std::nullopt;
  const std::string_view counts = std::string_view(line).substr(progress.is_network ? 8 : 6);
  // A network's path follows ": " and may hold anything, slashes and colons included.
  const std::size_t end = progress.is_network ? counts.find(": ") : counts.size();
  const std::size_t slash = counts.substr(0, end).find('/');
  if (end == std::string_view::npos || slash == std::string_view::npos) return std::nullopt;
  const std::optional<int> done = whole_number(counts.substr(0, slash), 1, INT32_MAX);
  const std::optional<int> total = whole_number(counts.substr(slash + 1, end - slash - 1), 1, INT32_MAX);
  if (!done || !total || *done > *total) return std::nullopt;
  progress.done = *done;
  progress.total = *total;
  return progress;
}

std::vector<std::string> duostem_arguments(const QueueSettings& settings, const std::string& song,
                                           const std::string& out_dir) {
  // A name that starts like an option reaches duostem through its folder.
  std::vector<std::string> args{!song.empty() && song[0] == '-' ? "./" + song : song};
  for (const auto& model : settings.models) {
    args.push_back("--model");
    args.push_back(model);
  }
  args.push_back("--out-dir");
  args.push_back(out_dir);
  if (settings.threads > 0) {
    args.push_back("--threads");
    args.push_back(std::to_string(settings.threads));
  }
  if (!settings.overlap.empty()) {
    args.push_back("--overlap");
    args.push_back(settings.overlap);
  }
  return args;
}

std::string song_stem(const std::string& file_name) {
  // A backslash is a character of a name on POSIX systems, a separator on Windows.
  const bool backslash_separates = backslash_separates_folders();
  std::string name = file_name.substr(file_name.find_last_of('/') + 1);
  std::string clean;
  for (unsigned char c : name)
    if (c == '\\' && backslash_separates)
      clean += '_';
    else if (c >= 0x20 && c != 0x7f && std::string_view("<>:\"|?*").find(static_cast<char>(c)) == std::string_view::npos)
      clean += static_cast<char>(c);
  auto dot = clean.find_last_of('.');
  if (dot != std::string::npos && dot > 0) clean.erase(dot);
  // Windows drops trailing dots and spaces; a leading dot would hide the file.
  while (!clean.empty() && (clean.back() == '.' || clean.back() == ' ')) clean.pop_back();
  while (!clean.empty() && (clean.front() == '.' || clean.front() == ' ')) clean.erase(0, 1);
  // Long enough for any title, short enough for every file system's name limit,
  // cut on a UTF-8 character boundary.
  if (clean.size() > 150) {
    std::size_t cut = 150;
    while (cut > 0 && (static_cast<unsigned char>(clean[cut]) & 0xC0) == 0x80) --cut;
    clean.erase(cut);
  }
  return clean.empty() ? "song" : clean;
}

Queue::Queue(QueueSettings settings) : settings_(std::move(settings)) {
  fs::create_directories(settings_.scratch);
  worker_ = std::thread([this] { run(); });
}

Queue::~Queue() { stop(); }

void Queue::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    if (running_) running_->terminate();
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
}

fs::path Queue::upload_folder(int& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  id = next_id_++;
  fs::path folder = settings_.scratch / std::to_string(id);
  fs::create_directories(folder);
  return folder;
}

void Queue::add(int id, const std::string& name, const fs::path& song) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Song entry;
    entry.id = id;
    entry.name = name;
    songs_.push_back(entry);
    pending_.emplace_back(id, song);
  }
  wake_.notify_all();
}

void Queue::discard(int id) {
  std::error_code ignored;
  fs::remove_all(settings_.scratch / std::to_string(id), ignored);
}

bool Queue::cancel(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto song = std::find_if(songs_.begin(), songs_.end(), [id](const Song& s) { return s.id == id; });
  if (song == songs_.end()) return false;
  if (song->state == "waiting") {
    song->state = "cancelled";
    pending_.erase(std::remove_if(pending_.begin(), pending_.end(), [id](const auto& p) { return p.first == id; }),
                   pending_.end());
    discard(id);
  } else if (song->state == "separating" && running_id_ == id && running_) {
    song->state = "cancelled";
    running_->terminate();
  }
  return true;
}

std::vector<Song> Queue::songs() {
  std::lock_guard<std::mutex> lock(mutex_);
  return {songs_.begin(), songs_.end()};
}

std::optional<Song> Queue::song(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& song : songs_)
    if (song.id == id) return song;
  return std::nullopt;
}

void Queue::run() {
  for (;;) {
    std::pair<int, fs::path> next;
    Song song;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
      if (stopping_) return;
      next = pending_.front();
      pending_.erase(pending_.begin());
      for (auto& s : songs_)
        if (s.id == next.first) {
          s.state = "separating";
          song = s;
        }
    }
    separate(song, next.second);
    discard(song.id);
  }
}

void Queue::separate(Song& song, const fs::path& file) {
  // Run in the song's folder with relative names, so that duostem's messages
  // name the song as the user knows it, not the scratch folder.
  const std::vector<std::string> args = duostem_arguments(settings_, file.filename().u8string(), "out");
  auto update = [&](auto change) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& s : songs_)
      if (s.id == song.id && s.state == "separating") change(s);
  };
  std::string last_line, output;
  int status = -1;
  try {
    Child child(settings_.duostem, args, file.parent_path());
    // Lets cancel() and stop() reach the child while it runs, and forgets it
    // before it is destroyed, however this block ends.
    struct Running {
      Queue& queue;
      Running(Queue& q, Child& child, int id) : queue(q) {
        std::lock_guard<std::mutex> lock(queue.mutex_);
        if (queue.stopping_) child.terminate();
        queue.running_ = &child;
        queue.running_id_ = id;
      }
      ~Running() {
        std::lock_guard<std::mutex> lock(queue.mutex_);
        queue.running_ = nullptr;
        queue.running_id_ = 0;
      }
    } running(*this, child, song.id);
    int network = 1, networks = 1;
    std::string line;
    while (child.read_error_line(line)) {
      if (auto progress = parse_progress(line)) {
        if (progress->is_network) {
          network = progress->done;
          networks = progress->total;
          update([&](Song& s) {
            s.network = network;
            s.networks = networks;
            s.progress = double(network - 1) / networks;
          });
        } else {
          double fraction = (network - 1 + double(progress->done) / progress->total) / networks;
          update([&](Song& s) { s.progress = fraction; });
        }
      } else if (!line.empty()) {
        last_line = line;
      }
    }
    output = child.read_output();
    status = child.wait();
  } catch (const std::exception& e) {
    last_line = std::string("duostem-studio: ") + e.what();
  }
  if (status == 0) {
    try {
      store(song, output);
      update([&](Song& s) {
        s.state = "done";
        s.progress = 1;
        s.vocals = song.vocals;
        s.instrumental = song.instrumental;
      });
      return;
    } catch (const std::exception& e) {
      last_line = std::string("duostem-studio: ") + e.what();
    }
  }
  if (last_line.empty()) last_line = "duostem ended without a message (status " + std::to_string(status) + ")";
  update([&](Song& s) {
    s.state = "failed";
    s.message = last_line;
  });
}

// Moves the two stems duostem wrote in the scratch folder into the output
// folder under the song's name, numbered when that name is taken. A rename
// inside one file system, so a stem appears there whole or not at all.
void Queue::store(Song& song, const std::string& output) {
  std::vector<std::string> lines;
  std::istringstream text(output);
  for (std::string line; std::getline(text, line); lines.push_back(line))
    if (!line.empty() && line.back() == '\r') line.pop_back();
  if (lines.size() != 2) throw std::runtime_error("duostem did not print the two stem paths");
  const fs::path folder = settings_.scratch / std::to_string(song.id);
  const fs::path instrumental = folder / fs::u8path(lines[0]), vocals = folder / fs::u8path(lines[1]);
  fs::create_directories(settings_.out_dir);
  // A name is taken by an entry of any kind, a dangling link included; the
  // renames themselves refuse to replace, so an entry made meanwhile by
  // anyone else stays too.
  const auto taken = [](const fs::path& path) { return fs::symlink_status(path).type() != fs::file_type::not_found; };
  std::lock_guard<std::mutex> lock(mutex_);
  for (int n = 1; n < 100000; ++n) {
    std::string base = n == 1 ? song.name : song.name + " (" + std::to_string(n) + ")";
    fs::path v = settings_.out_dir / fs::u8path(base + "_(Vocals).wav");
    fs::path i = settings_.out_dir / fs::u8path(base + "_(Instrumental).wav");
    if (taken(v) || taken(i) || !rename_no_replace(vocals, v)) continue;
    if (!rename_no_replace(instrumental, i)) {
      fs::rename(v, vocals);
      continue;
    }
    song.vocals = v.filename().u8string();
    song.instrumental = i.filename().u8string();
    return;
  }
  throw std::runtime_error("no free name for " + song.name + " in " + settings_.out_dir.u8string());
}

}  // namespace studio
