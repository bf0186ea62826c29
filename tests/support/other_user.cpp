#include "support/other_user.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

namespace tavra::test {

namespace {

namespace stdfs = std::filesystem;

void copyForEveryone(const stdfs::path& from, const stdfs::path& to) {
  const stdfs::file_status status = stdfs::symlink_status(from);
  if (stdfs::is_symlink(status)) {
    stdfs::copy_symlink(from, to);
  } else if (stdfs::is_directory(status)) {
    stdfs::create_directory(to);
    stdfs::permissions(to, stdfs::perms(0755));
    for (const auto& entry : stdfs::directory_iterator(from)) {
      copyForEveryone(entry.path(), to / entry.path().filename());
    }
  } else {
    stdfs::copy_file(from, to);
    const bool program = (status.permissions() & stdfs::perms::owner_exec) != stdfs::perms::none;
    stdfs::permissions(to, stdfs::perms(program ? 0755 : 0644));
  }
}

}  // namespace

OtherUser::OtherUser() {
  if (geteuid() != 0) {
    unavailable_ = "needs root to run a program as uid 65534";
  } else if (!hasProgram("setpriv")) {
    unavailable_ = "needs setpriv to run a program as uid 65534";
  } else if (!TempTree::possible(TempTree::Reach::everyone)) {
    unavailable_ = "no writable folder here that uid 65534 can reach";
  } else {
    tree_ = std::make_unique<TempTree>(TempTree::Reach::everyone);
  }
}

std::string OtherUser::copy(const std::string& from, std::string_view relative) const {
  const std::string to = tree_->path(relative);
  tree_->mkdir(stdfs::path(relative).parent_path().string());
  copyForEveryone(from, to);
  return to;
}

std::string OtherUser::ownFolder(std::string_view relative) const {
  const std::string folder = tree_->mkdir(relative);
  if (::chown(folder.c_str(), uid, gid) != 0) throw std::runtime_error("cannot chown " + folder);
  return folder;
}

ProcessResult OtherUser::run(const std::vector<std::string>& argv, std::string_view input) const {
  std::vector<std::string> command = {"setpriv",
                                      "--reuid=" + std::to_string(uid),
                                      "--regid=" + std::to_string(gid),
                                      "--clear-groups",
                                      "env",
                                      "-C",
                                      tree_->root()};
  command.insert(command.end(), argv.begin(), argv.end());
  return runProcess(command, input);
}

}  // namespace tavra::test
