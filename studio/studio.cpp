// duostem-studio: a page on the user's own machine that separates songs with
// the duostem executable beside it, one at a time.
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "assets.hpp"
#include "bounded_server.hpp"
#include "locate.hpp"
#include "numbers.hpp"
#include "platform.hpp"
#include "queue.hpp"

namespace fs = std::filesystem;

namespace {

const char USAGE[] =
    "usage: duostem-studio [--port N] [--model model.onnx]... [--out-dir dir] [--max-upload bytes] [--threads N] "
    "[--overlap R] [--no-browser]\n";

struct Settings {
  int port = 0;  // any free port
  std::vector<std::string> models;
  std::string out_dir = "separated";
  std::uint64_t max_upload = std::uint64_t{2} << 30;
  int threads = 0;  // duostem's default
  std::string overlap;  // empty: duostem's default
  bool open_browser = true;
};

// Fills settings from the arguments; returns the exit status when the scan ends the run.
std::optional<int> scan_arguments(int argc, char** argv, Settings& settings) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    std::optional<std::uint64_t> number;
    if (a == "--help" || a == "-h") {
      std::fputs(USAGE, stderr);
      return 0;
    } else if (a == "--no-browser") {
      settings.open_browser = false;
    } else if (a == "--model" && has_value) {
      settings.models.push_back(argv[++i]);
    } else if (a == "--out-dir" && has_value && argv[i + 1][0] != '\0') {
      settings.out_dir = argv[++i];
    } else if (a == "--port" && has_value && (number = whole_number<std::uint64_t>(argv[i + 1], 0, 65535))) {
      settings.port = static_cast<int>(*number);
      ++i;
    } else if (a == "--max-upload" && has_value && (number = whole_number<std::uint64_t>(argv[i + 1], 1, UINT64_MAX >> 1))) {
      settings.max_upload = *number;
      ++i;
    } else if (a == "--threads" && has_value && (number = whole_number<std::uint64_t>(argv[i + 1], 1, 1024))) {
      settings.threads = static_cast<int>(*number);
      ++i;
    } else if (a == "--overlap" && has_value && overlap_thousandths(argv[i + 1])) {
      settings.overlap = argv[++i];
    } else {
      if (a != "--model" && a != "--out-dir" && a != "--port" && a != "--max-upload" && a != "--threads" &&
          a != "--overlap")
        std::fprintf(stderr, "unknown argument %s\n", a.c_str());
      std::fputs(USAGE, stderr);
      return 2;
    }
  }
  return std::nullopt;
}

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string json_song(const studio::Song& s) {
  char progress[32];
  std::snprintf(progress, sizeof(progress), "%.4f", s.progress);
  return "{\"id\":" + std::to_string(s.id) + ",\"name\":" + json_string(s.name) + ",\"state\":" +
         json_string(s.state) + ",\"progress\":" + progress + ",\"network\":" + std::to_string(s.network) +
         ",\"networks\":" + std::to_string(s.networks) + ",\"message\":" + json_string(s.message) +
         ",\"vocals\":" + json_string(s.vocals) + ",\"instrumental\":" + json_string(s.instrumental) + "}";
}

// Compares without stopping at the first difference, so the time taken says
// nothing about how much of a guessed token was right.
bool same_secret(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

// True when any pair of the Cookie header is name=secret: a page elsewhere on
// this host may set cookies of the same name, which the browser sends too.
bool has_cookie(const std::string& header, const std::string& name, const std::string& secret) {
  bool found = false;
  std::size_t start = 0;
  while (start < header.size()) {
    std::size_t end = std::min(header.find(';', start), header.size());
    std::string pair = header.substr(start, end - start);
    pair.erase(0, std::min(pair.find_first_not_of(' '), pair.size()));
    if (pair.compare(0, name.size() + 1, name + "=") == 0 && same_secret(pair.substr(name.size() + 1), secret))
      found = true;
    start = end + 1;
  }
  return found;
}

// Content-Disposition for a download, with the UTF-8 name percent-encoded.
std::string attachment(const std::string& name) {
  std::string ascii, encoded;
  for (unsigned char c : name) {
    ascii += (c < 0x80 && c >= 0x20 && c != '"' && c != '\\') ? static_cast<char>(c) : '_';
    if (std::isalnum(c) || std::string_view("-._~()").find(static_cast<char>(c)) != std::string_view::npos) {
      encoded += static_cast<char>(c);
    } else {
      char escape[4];
      std::snprintf(escape, sizeof(escape), "%%%02X", c);
      encoded += escape;
    }
  }
  return "attachment; filename=\"" + ascii + "\"; filename*=UTF-8''" + encoded;
}

// Each studio's scratch folder holds a locked file while the studio runs, so
// that one left by a studio killed outright is found and removed by the next,
// and a live one never is, whatever process namespace its studio runs in.
const char SCRATCH_PREFIX[] = ".duostem-studio-";

void remove_abandoned_scratch(const fs::path& out_dir) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(out_dir, error)) {
    const std::string name = entry.path().filename().u8string();
    if (name.compare(0, sizeof(SCRATCH_PREFIX) - 1, SCRATCH_PREFIX) == 0) studio::remove_if_unlocked(entry.path());
  }
}

// The studio's own names for itself: its address with and without the port
// (a browser leaves out port 80), and its page's origin.
bool own_host(const std::string& host, int port) {
  const std::string port_text = ":" + std::to_string(port);
  return host == "127.0.0.1" + port_text || host == "localhost" + port_text ||
         (port == 80 && (host == "127.0.0.1" || host == "localhost"));
}

// The studio's address and secrets, fixed once it listens.
struct Site {
  int port;
  std::string token;   // in the start address, and the cookie's value
  std::string cookie;  // the cookie's name
  std::string prefix;  // the folder of every other address, and the cookie's Path
};

// Every request passes here before its route. The answers never stop the
// server; an error answer ends its connection. Everything but the start
// address lives under the secret prefix, which is also the cookie's Path, so
// the browser sends the cookie to no other server on this host.
httplib::Server::HandlerResponse guard(const httplib::Request& req, httplib::Response& res, const Site& site,
                                       std::uint64_t max_upload) {
  using Handled = httplib::Server::HandlerResponse;
  const auto& [port, token, cookie, prefix] = site;
  // A page elsewhere that rebinds its own name to 127.0.0.1 still sends its name here.
  if (!own_host(req.get_header_value("Host"), port)) {
    res.status = 403;
    return Handled::Handled;
  }
  const bool start = req.path == "/" && req.method == "GET" && req.has_param("token") &&
                     same_secret(req.get_param_value("token"), token);
  const bool inside = req.path.compare(0, prefix.size(), prefix) == 0 &&
                      has_cookie(req.get_header_value("Cookie"), cookie, token);
  if (!start && !inside) {
    res.status = 403;
    return Handled::Handled;
  }
  if (req.method != "GET" && req.method != "HEAD") {
    const std::string origin = req.get_header_value("Origin");
    if (!own_host(origin.compare(0, 7, "http://") == 0 ? origin.substr(7) : "", port)) {
      res.status = 403;
      return Handled::Handled;
    }
  }
  // Only an upload has a body worth the name; every other request's must be small.
  const bool upload = req.method == "POST" && req.path == prefix + "api/songs";
  const std::string length = req.get_header_value("Content-Length");
  const std::optional<std::uint64_t> size = whole_number<std::uint64_t>(length, 0, UINT64_MAX);
  if ((upload && length.empty()) || req.has_header("Transfer-Encoding") || (!length.empty() && !size)) {
    res.status = 400;
    return Handled::Handled;
  }
  if (size && *size > (upload ? max_upload : 65536)) {
    res.status = 413;
    return Handled::Handled;
  }
  // A song goes up as the file's own bytes; a form would be stored as it is.
  std::string type = req.get_header_value("Content-Type").substr(0, 10);
  std::transform(type.begin(), type.end(), type.begin(), [](unsigned char c) { return std::tolower(c); });
  if (upload && type == "multipart/") {
    res.status = 415;
    return Handled::Handled;
  }
  return Handled::Unhandled;
}

void add_routes(studio::BoundedServer& server, const Site& site, const Settings& settings,
                const studio::QueueSettings& queue_settings, studio::Queue& queue) {
  server.set_pre_routing_handler([&site, &settings](const httplib::Request& req, httplib::Response& res) {
    return guard(req, res, site, settings.max_upload);
  });
  // A client that waits for "100 Continue" before sending its body hears the
  // refusal instead, and sends nothing.
  server.set_expect_100_continue_handler([&site, &settings](const httplib::Request& req, httplib::Response& res) {
    return guard(req, res, site, settings.max_upload) == httplib::Server::HandlerResponse::Handled ? res.status : 100;
  });
  const std::string& prefix = site.prefix;
  const fs::path& out_dir = queue_settings.out_dir;

  // The start address sets the cookie and sends the browser on from a page
  // of the studio's own: a SameSite=Strict cookie travels with a navigation
  // that a page of this site starts, not with a redirect out of a file.
  server.Get("/", [&site](const httplib::Request&, httplib::Response& res) {
    res.set_content("<!doctype html>\n<meta charset=\"utf-8\">\n<meta http-equiv=\"refresh\" content=\"0;url=" +
                        site.prefix + "\">\n<title>duostem studio</title>\n",
                    "text/html");
    res.set_header("Set-Cookie", site.cookie + "=" + site.token + "; Path=" + site.prefix + "; SameSite=Strict; HttpOnly");
    res.set_header("Cache-Control", "no-store");
  });
  const std::string root = prefix.substr(0, prefix.size() - 1);
  for (std::size_t i = 0; i < studio::ASSET_COUNT; ++i) {
    const studio::Asset& asset = studio::ASSETS[i];
    server.Get(root + asset.path, [&asset](const httplib::Request&, httplib::Response& res) {
      res.set_content(reinterpret_cast<const char*>(asset.data), asset.size, asset.type);
      res.set_header("Cache-Control", "no-store");
    });
  }

  server.Get(prefix + "api/state", [&](const httplib::Request&, httplib::Response& res) {
    std::string models;
    for (const auto& model : queue_settings.models) models += (models.empty() ? "" : ",") + json_string(model);
    std::string songs;
    for (const auto& song : queue.songs()) songs += (songs.empty() ? "" : ",") + json_song(song);
    res.set_content("{\"models\":[" + models + "],\"outDir\":" + json_string(out_dir.u8string()) +
                        ",\"threads\":" + std::to_string(settings.threads) +
                        ",\"overlap\":" + json_string(settings.overlap.empty() ? "0.5" : settings.overlap) + ",\"songs\":[" + songs + "]}",
                    "application/json");
  });

  server.Post(prefix + "api/songs", [&](const httplib::Request& req, httplib::Response& res,
                                const httplib::ContentReader& content) {
    const std::string name = studio::song_stem(req.get_param_value("name"));
    int id = 0;
    const fs::path upload = queue.upload_folder(id) / fs::u8path(name + ".wav");
    std::uint64_t received = 0;
    bool too_large = false;
    bool complete;
    {
      std::ofstream file(upload, std::ios::binary);
      complete = file && content([&](const char* data, std::size_t length) {
        received += length;
        if (received > settings.max_upload) too_large = true;
        return !too_large && static_cast<bool>(file.write(data, static_cast<std::streamsize>(length)));
      });
      file.close();
      complete = complete && !file.fail();
    }
    if (!complete) {
      queue.discard(id);
      res.status = too_large ? 413 : 400;
      return;
    }
    queue.add(id, name, upload);
    res.set_content("{\"id\":" + std::to_string(id) + "}", "application/json");
  });

  server.Post(prefix + R"(api/songs/(\d+)/cancel)", [&](const httplib::Request& req, httplib::Response& res) {
    const auto id = whole_number(req.matches[1].str(), 1, 1 << 30);
    res.status = id && queue.cancel(*id) ? 200 : 404;
  });

  server.Get(prefix + R"(api/songs/(\d+)/(vocals|instrumental))", [&](const httplib::Request& req, httplib::Response& res) {
    const auto id = whole_number(req.matches[1].str(), 1, 1 << 30);
    const auto song = id ? queue.song(*id) : std::nullopt;
    if (!song || song->state != "done") {
      res.status = 404;
      return;
    }
    const std::string name = req.matches[2] == "vocals" ? song->vocals : song->instrumental;
    const fs::path path = out_dir / fs::u8path(name);
    std::error_code error;
    const auto size = fs::file_size(path, error);
    if (error) {
      res.status = 404;
      return;
    }
    if (req.has_param("download")) res.set_header("Content-Disposition", attachment(name));
    // Streamed from the file, so a long song never sits in the server's memory.
    auto file = std::make_shared<std::ifstream>(path, std::ios::binary);
    res.set_content_provider(static_cast<std::size_t>(size), "audio/wav",
                             [file](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                               std::vector<char> buffer(std::min<std::size_t>(length, 1 << 20));
                               file->seekg(static_cast<std::streamoff>(offset));
                               if (!file->read(buffer.data(), static_cast<std::streamsize>(buffer.size())))
                                 return false;
                               return sink.write(buffer.data(), buffer.size());
                             });
  });
}

// Serves the page until the user stops the studio, then removes its scratch folder.
void run(const Settings& settings) {
  const fs::path folder = fs::u8path(executable_folder());
  if (folder.empty()) throw std::runtime_error("cannot tell the folder duostem-studio runs from");
  const fs::path out_dir = fs::absolute(fs::u8path(settings.out_dir));
  fs::create_directories(out_dir);
  remove_abandoned_scratch(out_dir);

  studio::BoundedServer server;
  const int port = settings.port == 0 ? server.bind_to_any_port("127.0.0.1")
                                      : (server.bind_to_port("127.0.0.1", settings.port) ? settings.port : -1);
  if (port <= 0) throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(settings.port));
  const Site site{port, studio::random_hex(16), "duostem-studio-" + std::to_string(port),
                  "/" + studio::random_hex(16) + "/"};

  studio::QueueSettings queue_settings;
  queue_settings.duostem = folder / DUOSTEM_PROGRAM;
  for (const auto& model : settings.models) queue_settings.models.push_back(fs::absolute(fs::u8path(model)).u8string());
  // duostem would look for its default in its working folder, which is the
  // song's: the studio looks where duostem is started from, and passes it on.
  const fs::path found_default = fs::u8path(default_model_path());
  std::error_code missing;
  if (queue_settings.models.empty() && fs::is_regular_file(found_default, missing))
    queue_settings.models.push_back(fs::weakly_canonical(found_default).u8string());
  queue_settings.out_dir = out_dir;
  // Inside the output folder: stems move in by a rename, never a copy.
  queue_settings.scratch = out_dir / (SCRATCH_PREFIX + studio::random_hex(8));
  queue_settings.threads = settings.threads;
  queue_settings.overlap = settings.overlap;
  const fs::path scratch = queue_settings.scratch;
  fs::create_directories(scratch);
  std::optional<studio::FolderLock> scratch_lock(std::in_place, scratch);
  studio::Queue queue(queue_settings);
  add_routes(server, site, settings, queue_settings, queue);

  // duostem is ended first, so it never runs on while connections close. A
  // stop asked for before listening has started would be lost: it is asked
  // again until the studio has cleaned up, which on Windows must happen
  // before the console's handler returns.
  std::atomic<bool> finished{false};
  const studio::StopHandler stop_handler([&server, &queue, &finished] {
    queue.stop();
    while (!finished) {
      server.stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });

  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/?token=" + site.token;
  std::printf("duostem studio: %s\n", url.c_str());
  std::fflush(stdout);
  std::optional<studio::ForwardPage> forward;
  if (settings.open_browser) {
    forward.emplace(url);
    forward->open();
  }
  server.listen_after_bind();

  queue.stop();
  scratch_lock.reset();
  std::error_code ignored;
  fs::remove_all(scratch, ignored);
  finished = true;
}

}  // namespace

int main(int argc, char** argv) {
  studio::set_up_process();
  Settings settings;
  if (const std::optional<int> status = scan_arguments(argc, argv, settings)) return *status;
  try {
    run(settings);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "duostem-studio: %s\n", e.what());
    return 1;
  }
  return 0;
}
