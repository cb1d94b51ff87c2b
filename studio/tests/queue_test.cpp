#include <gtest/gtest.h>

#include "platform.hpp"
#include "queue.hpp"

namespace {

TEST(Queue, ReadsOnlyDuostemsProgressLines) {
  struct Case {
    const char* line;
    bool read, is_network;
    int done, total;
  } cases[] = {
      {"chunk 3/17", true, false, 3, 17},
      {"chunk 1/1", true, false, 1, 1},
      {"network 2/3: models/other.onnx", true, true, 2, 3},
      {"network 1/2: a file: with colons.onnx", true, true, 1, 2},
      {"chunk 3/17 extra", false, false, 0, 0},
      {"chunk 0/4", false, false, 0, 0},
      {"chunk 5/4", false, false, 0, 0},
      {"network 1/2 models/x.onnx", false, false, 0, 0},
      {"network 1/2:models/x.onnx", false, false, 0, 0},
      {"chunk  3/17", false, false, 0, 0},
      {"chunk +3/17", false, false, 0, 0},
      {"chunk 3/17\r", false, false, 0, 0},
      {"chunk 3/99999999999", false, false, 0, 0},
      {"duostem: chunk 1/2", false, false, 0, 0},
      {"", false, false, 0, 0},
  };
  for (const auto& c : cases) {
    const auto progress = studio::parse_progress(c.line);
    ASSERT_EQ(progress.has_value(), c.read) << c.line;
    if (!progress) continue;
    EXPECT_EQ(progress->is_network, c.is_network) << c.line;
    EXPECT_EQ(progress->done, c.done) << c.line;
    EXPECT_EQ(progress->total, c.total) << c.line;
  }
}

TEST(Queue, NamesSongsWithoutFoldersOrForbiddenCharacters) {
  // A backslash is a character of a name except where it separates folders.
  const bool windows = studio::backslash_separates_folders();
  const std::pair<std::string, std::string> cases[] = {
      {"My Song.mp3", "My Song"},
      {"album.version.flac", "album.version"},
      {"../../etc/passwd", "passwd"},
      {"C:\\Music\\Track 1.wav", windows ? "C_Music_Track 1" : "C\\Music\\Track 1"},
      {"AC\\DC - Back.wav", windows ? "AC_DC - Back" : "AC\\DC - Back"},
      {"..\\..\\escape.wav", windows ? "_.._escape" : "\\..\\escape"},
      {"-intro.wav", "-intro"},
      {"what? <live>: \"1999\"|*.ogg", "what live 1999"},
      {"..wav", "song"},
      {".hidden", "hidden"},
      {"tab\tand\nnewline.wav", "tabandnewline"},
      {"", "song"},
      {"...", "song"},
      {"Élan – été.m4a", "Élan – été"},
      {std::string(140, 'a') + "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9.wav",
       std::string(140, 'a') + "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"},
  };
  for (const auto& [name, stem] : cases) EXPECT_EQ(studio::song_stem(name), stem) << name;
}

TEST(Queue, PassesTheSongAsNoOptionEveryModelThreadsAndOverlapOnlyWhenGiven) {
  studio::QueueSettings settings;
  EXPECT_EQ(studio::duostem_arguments(settings, "song.wav", "out"),
            (std::vector<std::string>{"song.wav", "--out-dir", "out"}));
  EXPECT_EQ(studio::duostem_arguments(settings, "-intro.wav", "out"),
            (std::vector<std::string>{"./-intro.wav", "--out-dir", "out"}));
  settings.models = {"/m/a.onnx", "/m/b.onnx"};
  settings.threads = 2;
  settings.overlap = ".75";
  EXPECT_EQ(studio::duostem_arguments(settings, "song.wav", "out"),
            (std::vector<std::string>{"song.wav", "--model", "/m/a.onnx", "--model", "/m/b.onnx", "--out-dir", "out",
                                      "--threads", "2", "--overlap", ".75"}));
}

}  // namespace
