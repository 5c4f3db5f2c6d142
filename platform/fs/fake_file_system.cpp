#include "platform/fs/fake_file_system.h"

#include <utility>

namespace tavrin {

const char* FakeFileSystem::Name(Op op) {
  switch (op) {
    case Op::kStat: return "Stat";
    case Op::kLstat: return "Lstat";
    case Op::kFstat: return "Fstat";
    case Op::kAccess: return "Access";
    case Op::kOpenForReading: return "OpenForReading";
    case Op::kOpenForWriting: return "OpenForWriting";
    case Op::kCreateExclusive: return "CreateExclusive";
    case Op::kRead: return "Read";
    case Op::kWrite: return "Write";
    case Op::kWriteUnlessStopped: return "WriteUnlessStopped";
    case Op::kSetMode: return "SetMode";
    case Op::kSetOwner: return "SetOwner";
    case Op::kSync: return "Sync";
    case Op::kSyncFolder: return "SyncFolder";
    case Op::kRename: return "Rename";
    case Op::kUnlink: return "Unlink";
  }
  return "?";
}

void FakeFileSystem::Fail(Op op, int err, std::string path_part, int nth) {
  const std::lock_guard lock(mu_);
  rules_.push_back({op, err, std::move(path_part), nth - 1});
}

int FakeFileSystem::Calls(Op op) const {
  const std::lock_guard lock(mu_);
  const auto it = calls_.find(op);
  return it == calls_.end() ? 0 : it->second;
}

int FakeFileSystem::Failure(Op op, const std::string& path, const std::string& other) {
  const std::lock_guard lock(mu_);
  ++calls_[op];
  int err = 0;
  for (Rule& rule : rules_) {
    if (rule.op != op) continue;
    if (!rule.path_part.empty() && path.find(rule.path_part) == std::string::npos &&
        other.find(rule.path_part) == std::string::npos)
      continue;
    if (rule.skip > 0) {
      --rule.skip;
    } else if (err == 0) {
      err = rule.err;
    }
  }
  return err;
}

int FakeFileSystem::FailureOn(Op op, int fd) {
  std::string path;
  {
    const std::lock_guard lock(mu_);
    if (const auto it = paths_.find(fd); it != paths_.end()) path = it->second;
  }
  return Failure(op, path);
}

int FakeFileSystem::Opened(int err, const std::string& path, const fs::UniqueFd& fd) {
  if (err == 0) {
    const std::lock_guard lock(mu_);
    paths_[fd.get()] = path;
  }
  return err;
}

int FakeFileSystem::Stat(const std::string& path, struct stat* st) {
  if (const int err = Failure(Op::kStat, path)) return err;
  return real_.Stat(path, st);
}

int FakeFileSystem::Lstat(const std::string& path, struct stat* st) {
  if (const int err = Failure(Op::kLstat, path)) return err;
  return real_.Lstat(path, st);
}

int FakeFileSystem::Fstat(int fd, struct stat* st) {
  if (const int err = FailureOn(Op::kFstat, fd)) return err;
  return real_.Fstat(fd, st);
}

int FakeFileSystem::Access(const std::string& path, int mode) {
  if (const int err = Failure(Op::kAccess, path)) return err;
  return real_.Access(path, mode);
}

int FakeFileSystem::OpenForReading(const std::string& path, fs::UniqueFd* fd) {
  if (const int err = Failure(Op::kOpenForReading, path)) return err;
  return Opened(real_.OpenForReading(path, fd), path, *fd);
}

int FakeFileSystem::OpenForWriting(const std::string& path, fs::UniqueFd* fd) {
  if (const int err = Failure(Op::kOpenForWriting, path)) return err;
  return Opened(real_.OpenForWriting(path, fd), path, *fd);
}

int FakeFileSystem::CreateExclusive(const std::string& path, fs::UniqueFd* fd) {
  if (const int err = Failure(Op::kCreateExclusive, path)) return err;
  return Opened(real_.CreateExclusive(path, fd), path, *fd);
}

int FakeFileSystem::Read(int fd, char* buffer, size_t size, size_t* count) {
  if (const int err = FailureOn(Op::kRead, fd)) return err;
  return real_.Read(fd, buffer, size, count);
}

int FakeFileSystem::Write(int fd, std::string_view data) {
  if (const int err = FailureOn(Op::kWrite, fd)) return err;
  return real_.Write(fd, data);
}

int FakeFileSystem::WriteUnlessStopped(int fd, std::string_view data, const std::function<bool()>& stop) {
  if (const int err = FailureOn(Op::kWriteUnlessStopped, fd)) return err;
  return real_.WriteUnlessStopped(fd, data, stop);
}

int FakeFileSystem::SetMode(int fd, mode_t mode) {
  if (const int err = FailureOn(Op::kSetMode, fd)) return err;
  return real_.SetMode(fd, mode);
}

int FakeFileSystem::SetOwner(int fd, uid_t owner, gid_t group) {
  if (const int err = FailureOn(Op::kSetOwner, fd)) return err;
  return real_.SetOwner(fd, owner, group);
}

int FakeFileSystem::Sync(int fd) {
  if (const int err = FailureOn(Op::kSync, fd)) return err;
  return real_.Sync(fd);
}

int FakeFileSystem::SyncFolder(const std::string& folder) {
  if (const int err = Failure(Op::kSyncFolder, folder)) return err;
  return real_.SyncFolder(folder);
}

int FakeFileSystem::Rename(const std::string& from, const std::string& to) {
  if (const int err = Failure(Op::kRename, from, to)) return err;
  return real_.Rename(from, to);
}

int FakeFileSystem::Unlink(const std::string& path) {
  if (const int err = Failure(Op::kUnlink, path)) return err;
  return real_.Unlink(path);
}

}  // namespace tavrin
