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
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "assets.hpp"
#include "platform.hpp"
#include "queue.hpp"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#endif

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

// A whole decimal argument within [low, high], or nothing.
std::optional<std::uint64_t> parse_number(const std::string& text, std::uint64_t low, std::uint64_t high) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return {};
  std::uint64_t value = std::stoull(text);
  if (value < low || value > high) return {};
  return value;
}

// An overlap duostem takes, 0.05 to 0.95 with at most three decimals ("0.25", ".75").
bool is_overlap(const std::string& text) {
  const std::size_t point = text.find('.');
  if (point == std::string::npos || text.size() - point - 1 < 1 || text.size() - point - 1 > 3 ||
      text.find_first_not_of("0123456789.") != std::string::npos || text.find('.', point + 1) != std::string::npos)
    return false;
  const std::optional<std::uint64_t> whole = point == 0 ? 0 : parse_number(text.substr(0, point), 0, 0);
  const std::uint64_t thousandths = std::stoull((text.substr(point + 1) + "00").substr(0, 3));
  return whole && thousandths >= 50 && thousandths <= 950;
}

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
    } else if (a == "--port" && has_value && (number = parse_number(argv[i + 1], 0, 65535))) {
      settings.port = static_cast<int>(*number);
      ++i;
    } else if (a == "--max-upload" && has_value && (number = parse_number(argv[i + 1], 1, UINT64_MAX >> 1))) {
      settings.max_upload = *number;
      ++i;
    } else if (a == "--threads" && has_value && (number = parse_number(argv[i + 1], 1, 1024))) {
      settings.threads = static_cast<int>(*number);
      ++i;
    } else if (a == "--overlap" && has_value && is_overlap(argv[i + 1])) {
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

std::string cookie_value(const std::string& header, const std::string& name) {
  std::size_t start = 0;
  while (start < header.size()) {
    std::size_t end = std::min(header.find(';', start), header.size());
    std::string pair = header.substr(start, end - start);
    pair.erase(0, std::min(pair.find_first_not_of(' '), pair.size()));
    if (pair.compare(0, name.size() + 1, name + "=") == 0) return pair.substr(name.size() + 1);
    start = end + 1;
  }
  return {};
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

// duostem's own default when no model is given: the first of these that exists.
std::string default_model(const fs::path& folder) {
  for (const fs::path& candidate : {fs::current_path() / "models" / "vocals.onnx", folder / "models" / "vocals.onnx",
                                    folder / ".." / "share" / "duostem" / "models" / "vocals.onnx"}) {
    std::error_code error;
    if (fs::is_regular_file(candidate, error)) return fs::weakly_canonical(candidate).u8string();
  }
  return "";
}

// Scratch folders are named after the studio's process, so that one left by a
// studio that was killed outright is found and removed by the next.
const char SCRATCH_PREFIX[] = ".duostem-studio-";

void remove_abandoned_scratch(const fs::path& out_dir) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(out_dir, error)) {
    const std::string name = entry.path().filename().u8string();
    if (name.compare(0, sizeof(SCRATCH_PREFIX) - 1, SCRATCH_PREFIX) != 0) continue;
    const std::string rest = name.substr(sizeof(SCRATCH_PREFIX) - 1);
    const auto pid = parse_number(rest.substr(0, rest.find('-')), 1, 1u << 30);
    if (pid && !studio::process_alive(static_cast<long>(*pid))) {
      std::error_code ignored;
      fs::remove_all(entry.path(), ignored);
    }
  }
}

// Every request passes here before its route. The answers never stop the server.
httplib::Server::HandlerResponse guard(const httplib::Request& req, httplib::Response& res, int port,
                                       const std::string& token, const std::string& cookie,
                                       std::uint64_t max_upload) {
  using Handled = httplib::Server::HandlerResponse;
  const std::string host = req.get_header_value("Host");
  const std::string port_text = std::to_string(port);
  // A page elsewhere that rebinds its own name to 127.0.0.1 still sends its name here.
  if (host != "127.0.0.1:" + port_text && host != "localhost:" + port_text) {
    res.status = 403;
    return Handled::Handled;
  }
  const bool by_query = req.has_param("token") && same_secret(req.get_param_value("token"), token);
  if (!by_query && !same_secret(cookie_value(req.get_header_value("Cookie"), cookie), token)) {
    res.status = 403;
    return Handled::Handled;
  }
  if (req.method != "GET" && req.method != "HEAD") {
    const std::string origin = req.get_header_value("Origin");
    if (origin != "http://127.0.0.1:" + port_text && origin != "http://localhost:" + port_text) {
      res.status = 403;
      return Handled::Handled;
    }
  }
  // Only an upload has a body worth the name; every other request's must be small.
  const bool upload = req.method == "POST" && req.path == "/api/songs";
  const std::string length = req.get_header_value("Content-Length");
  if ((upload && length.empty()) || req.has_header("Transfer-Encoding") || length.size() > 19 ||
      length.find_first_not_of("0123456789") != std::string::npos) {
    res.status = 400;
    return Handled::Handled;
  }
  if (!length.empty() && std::stoull(length) > (upload ? max_upload : 65536)) {
    res.status = 413;
    return Handled::Handled;
  }
  return Handled::Unhandled;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
#else
  // INT and TERM go to one thread that stops the server; every other thread,
  // httplib's included, inherits this mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
#endif
  Settings settings;
  if (const std::optional<int> status = scan_arguments(argc, argv, settings)) return *status;

  try {
    const fs::path folder = studio::executable_folder();
#ifdef _WIN32
    const fs::path duostem = folder / "duostem.exe";
#else
    const fs::path duostem = folder / "duostem";
#endif
    const std::string token = studio::random_hex(16);
    const fs::path out_dir = fs::absolute(fs::u8path(settings.out_dir));
    fs::create_directories(out_dir);
    remove_abandoned_scratch(out_dir);

    httplib::Server server;
    const int port = settings.port == 0 ? server.bind_to_any_port("127.0.0.1")
                                        : (server.bind_to_port("127.0.0.1", settings.port) ? settings.port : -1);
    if (port <= 0) throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(settings.port));
    const std::string cookie = "duostem-studio-" + std::to_string(port);

    studio::QueueSettings queue_settings;
    queue_settings.duostem = duostem;
    for (const auto& model : settings.models) queue_settings.models.push_back(fs::absolute(fs::u8path(model)).u8string());
    // duostem would look for its default in its working folder, which is the song's.
    const std::string found_default = default_model(folder);
    if (queue_settings.models.empty() && !found_default.empty()) queue_settings.models.push_back(found_default);
    queue_settings.out_dir = out_dir;
    // Inside the output folder: stems move in by a rename, never a copy.
    queue_settings.scratch =
        out_dir / (SCRATCH_PREFIX + std::to_string(studio::process_id()) + "-" + studio::random_hex(4));
    queue_settings.threads = settings.threads;
    queue_settings.overlap = settings.overlap;
    studio::Queue queue(queue_settings);
    const fs::path scratch = queue_settings.scratch;

    server.set_pre_routing_handler([&](const httplib::Request& req, httplib::Response& res) {
      return guard(req, res, port, token, cookie, settings.max_upload);
    });
    // A client that waits for "100 Continue" before sending its body hears the
    // refusal instead, and sends nothing.
    server.set_expect_100_continue_handler([&](const httplib::Request& req, httplib::Response& res) {
      return guard(req, res, port, token, cookie, settings.max_upload) == httplib::Server::HandlerResponse::Handled
                 ? res.status
                 : 100;
    });

    for (std::size_t i = 0; i < studio::ASSET_COUNT; ++i) {
      const studio::Asset& asset = studio::ASSETS[i];
      server.Get(asset.path, [&asset, &token, &cookie](const httplib::Request&, httplib::Response& res) {
        res.set_content(reinterpret_cast<const char*>(asset.data), asset.size, asset.type);
        res.set_header("Set-Cookie", cookie + "=" + token + "; Path=/; SameSite=Strict; HttpOnly");
        res.set_header("Cache-Control", "no-store");
      });
    }

    server.Get("/api/state", [&](const httplib::Request&, httplib::Response& res) {
      std::string models;
      for (const auto& model : queue_settings.models) models += (models.empty() ? "" : ",") + json_string(model);
      std::string songs;
      for (const auto& song : queue.songs()) songs += (songs.empty() ? "" : ",") + json_song(song);
      res.set_content("{\"models\":[" + models + "],\"outDir\":" + json_string(out_dir.u8string()) +
                          ",\"threads\":" + std::to_string(settings.threads) +
                          ",\"overlap\":" + json_string(settings.overlap.empty() ? "0.5" : settings.overlap) + ",\"songs\":[" + songs + "]}",
                      "application/json");
    });

    server.Post("/api/songs", [&](const httplib::Request& req, httplib::Response& res,
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

    server.Post(R"(/api/songs/(\d+)/cancel)", [&](const httplib::Request& req, httplib::Response& res) {
      const auto id = parse_number(req.matches[1], 1, 1u << 30);
      res.status = id && queue.cancel(static_cast<int>(*id)) ? 200 : 404;
    });

    server.Get(R"(/api/songs/(\d+)/(vocals|instrumental))", [&](const httplib::Request& req, httplib::Response& res) {
      const auto id = parse_number(req.matches[1], 1, 1u << 30);
      const auto song = id ? queue.song(static_cast<int>(*id)) : std::nullopt;
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

    // A stop asked for before listen_after_bind has started would be lost:
    // ask again until listening has ended.
    std::atomic<bool> finished{false};
    auto stop_server = [&server, &finished] {
      while (!finished) {
        server.stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    };
#ifndef _WIN32
    std::atomic<bool> signalled{false};
    std::thread signals([&stop_server, &signalled, stop_signals] {
      int received = 0;
      sigwait(&stop_signals, &received);
      signalled = true;
      stop_server();
    });
#else
    // Ctrl-C and closing the console arrive on a thread of their own; the
    // handler returns once everything is cleaned up.
    static std::function<void()> console_stop;  // reached only by the console handler
    console_stop = stop_server;
    const PHANDLER_ROUTINE on_console = [](DWORD) -> BOOL {
      console_stop();
      return TRUE;
    };
    SetConsoleCtrlHandler(on_console, TRUE);
#endif

    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/?token=" + token;
    std::printf("duostem studio: %s\n", url.c_str());
    std::fflush(stdout);
    if (settings.open_browser) studio::open_in_browser(url);
    server.listen_after_bind();

    queue.stop();
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
    finished = true;
#ifndef _WIN32
    // listen ended on its own (a failed socket): the signal thread still waits.
    if (!signalled) pthread_kill(signals.native_handle(), SIGTERM);
    signals.join();
#else
    SetConsoleCtrlHandler(on_console, FALSE);
#endif
  } catch (const std::exception& e) {
    std::fprintf(stderr, "duostem-studio: %s\n", e.what());
    return 1;
  }
  return 0;
}
