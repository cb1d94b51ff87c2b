// The installer's edit of the user's Path: its other entries survive adding
// and removing the install folder exactly, whatever the Path's length.
#include <gtest/gtest.h>

#include <string>

#include "path_list.hpp"

namespace {

const std::wstring FOLDER = L"C:\\Users\\Ann\\AppData\\Local\\Programs\\duostem";

TEST(PathList, AddThenRemoveGivesBackThePath) {
  // A Path far beyond the installer's own 1024-character strings.
  std::wstring long_path;
  for (int i = 0; long_path.size() < 6000; ++i) long_path += L"C:\\tools\\folder number " + std::to_wstring(i) + L";";
  long_path.pop_back();
  const struct {
    std::wstring before, added;
  } cases[] = {
      {L"", FOLDER},
      {L"C:\\a;%USERPROFILE%\\b", L"C:\\a;%USERPROFILE%\\b;" + FOLDER},
      {L"C:\\a;", L"C:\\a;" + FOLDER + L";"},
      {L"C:\\a;;C:\\b", L"C:\\a;;C:\\b;" + FOLDER},
      {long_path, long_path + L";" + FOLDER},
  };
  for (const auto& c : cases) {
    const std::wstring added = path_list::with(c.before, FOLDER);
    EXPECT_EQ(added, c.added);
    EXPECT_EQ(path_list::with(added, FOLDER), added) << "added twice";
    EXPECT_EQ(path_list::without(added, FOLDER), c.before);
  }
}

TEST(PathList, RemovesEveryEntryNamingTheFolderAndNoOther) {
  const struct {
    std::wstring before, after;
  } cases[] = {
      {FOLDER + L";C:\\a", L"C:\\a"},
      {L"C:\\a;c:\\users\\ann\\appdata\\local\\programs\\DUOSTEM\\;C:\\b", L"C:\\a;C:\\b"},
      {L"\"" + FOLDER + L"\";C:\\a;" + FOLDER, L"C:\\a"},
      {L"C:\\a;" + FOLDER + L"-old;" + FOLDER + L"\\bin", L"C:\\a;" + FOLDER + L"-old;" + FOLDER + L"\\bin"},
      {L"C:\\a;;C:\\b", L"C:\\a;;C:\\b"},
  };
  for (const auto& c : cases) EXPECT_EQ(path_list::without(c.before, FOLDER), c.after);
}

}  // namespace
