#include "export/special_folders.h"

#include <optional>

#include "files/user_folders.h"

namespace dt {
namespace {

// The classic folder indexes and the folders that stand for them here.
std::optional<UserFolder> FolderOf(int index) {
  switch (index) {
    case 0:
      return UserFolder::Templates;
    case 1:
      return UserFolder::Documents;
    case 2:
      return UserFolder::Desktop;
    case 5:
      return UserFolder::Autostart;
    case 6:
      return UserFolder::Applications;
    default:  // favourites and the start menu have no counterpart; other indexes name nothing
      return std::nullopt;
  }
}

}  // namespace

std::string ShellFolderPath(int index) {
  const std::optional<UserFolder> folder = FolderOf(index);
  const std::string path = folder ? UserFolderPath(*folder) : std::string();
  return path.empty() ? "/" : path;
}

}  // namespace dt
