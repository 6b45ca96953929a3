#include "tests/core/support/fault_env.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <tuple>

namespace ormel::testing {
namespace {

OrmelError crash_error() { return OrmelError::io("simulated crash"); }

void apply_write(std::vector<uint8_t>& bytes, uint64_t offset, std::span<const uint8_t> data) {
  if (bytes.size() < offset + data.size()) bytes.resize(offset + data.size(), 0);
  std::copy(data.begin(), data.end(), bytes.begin() + static_cast<ptrdiff_t>(offset));
}

// Forwards to a base file after asking the fault plan.
class FaultFile final : public ForwardingFile {
 public:
  FaultFile(std::unique_ptr<File> base, FaultPlan& plan) : ForwardingFile(std::move(base)), plan_(plan) {}
  Result<size_t> read_at(uint64_t offset, std::span<uint8_t> buf) override {
    ORMEL_TRY(plan_.on_call());
    return ForwardingFile::read_at(offset, buf);
  }
  Status write_at(uint64_t offset, std::span<const uint8_t> data) override {
    ORMEL_TRY(plan_.on_call());
    return ForwardingFile::write_at(offset, data);
  }
  Status sync() override {
    ORMEL_TRY(plan_.on_call());
    return ForwardingFile::sync();
  }
  Result<uint64_t> size() override {
    ORMEL_TRY(plan_.on_call());
    return ForwardingFile::size();
  }
  Result<FileInfo> info() override {
    ORMEL_TRY(plan_.on_call());
    return ForwardingFile::info();
  }
  Status copy_access(const FileInfo& like) override {
    ORMEL_TRY(plan_.on_call());
    return ForwardingFile::copy_access(like);
  }

 private:
  FaultPlan& plan_;
};

}  // namespace

void FaultPlan::fail_at(uint64_t n, FailMode mode) {
  fail_at_ = n;
  mode_ = mode;
}

Status FaultPlan::on_call() {
  ++calls_;
  bool hit = fail_at_ != 0 && (calls_ == fail_at_ || (mode_ == FailMode::Forever && calls_ > fail_at_));
  if (hit) return fail(OrmelError::io("injected fault"));
  return {};
}

class MemFile final : public File {
 public:
  MemFile(MemEnv& env, MemEnv::FileId file, bool write, bool locked, uint64_t epoch)
      : env_(env), file_(file), write_(write), locked_(locked), epoch_(epoch) {}
  ~MemFile() override { env_.release(*this); }
  Result<size_t> read_at(uint64_t offset, std::span<uint8_t> buf) override { return env_.read(*this, offset, buf); }
  Status write_at(uint64_t offset, std::span<const uint8_t> data) override { return env_.write(*this, offset, data); }
  Status sync() override { return env_.sync(*this); }
  Result<uint64_t> size() override { return env_.size(*this); }
  Result<FileInfo> info() override { return env_.info(*this); }
  Status copy_access(const FileInfo& like) override { return env_.copy_access(*this, like); }

  MemEnv& env_;
  const MemEnv::FileId file_;
  const bool write_;
  const bool locked_;
  const uint64_t epoch_;
};

bool MemEnv::exists(const std::string& path) { return names_.contains(path); }

Result<std::unique_ptr<File>> MemEnv::open_locked(const std::string& path, OpenMode mode) {
  if (crashed_) return fail(crash_error());
  if (mode.create && mode.exclusive && names_.contains(path)) return fail(OrmelError::io_errno(EEXIST));
  if (mode.create) {
    write_file(path, {});  // created or truncated before the lock is asked for, as open(2) does
  } else if (!names_.contains(path)) {
    return fail(OrmelError::io_errno(ENOENT));
  }
  const FileId file = names_.at(path);
  const bool locked = mode.lock || mode.write;
  LockState& lock = locks_[file];
  if (locked && (lock.exclusive || (mode.write && lock.shared > 0))) return fail(OrmelError::locked(path));
  if (locked && mode.write) lock.exclusive = true;
  if (locked && !mode.write) ++lock.shared;
  return std::unique_ptr<File>(new MemFile(*this, file, mode.write, locked, epoch_));
}

bool MemEnv::crashes_now() {
  if (mutating_calls_ != crash_at_) return false;
  crash(crash_mode_);
  crashed_ = true;
  return true;
}

Status MemEnv::rename(const std::string& from, const std::string& to) {
  ORMEL_TRY(begin_call(nullptr, true));
  if (crashes_now()) return fail(crash_error());
  auto it = names_.find(from);
  if (it == names_.end()) return fail(OrmelError::io_errno(ENOENT));
  const FileId file = it->second;
  names_.erase(it);
  names_[to] = file;
  return {};
}

Status MemEnv::remove(const std::string& path) {
  ORMEL_TRY(begin_call(nullptr, true));
  if (crashes_now()) return fail(crash_error());
  if (names_.erase(path) == 0) return fail(OrmelError::io_errno(ENOENT));
  return {};
}

Result<bool> MemEnv::discard(const std::string& path) {
  if (!names_.contains(path)) return false;
  ORMEL_TRY(remove(path));
  return true;
}

Result<FileInfo> MemEnv::info(const std::string& path) {
  auto it = names_.find(path);
  if (it == names_.end()) return fail(OrmelError::io_errno(ENOENT));
  return info_of(it->second);
}

FileInfo MemEnv::info_of(FileId file) {
  FileInfo out = files_[file].access;
  out.device = 1;
  out.inode = file;
  return out;
}

Status MemEnv::sync_dir(const std::string&) {
  ORMEL_TRY(begin_call(nullptr, true));
  if (crashes_now()) return fail(crash_error());
  durable_names_ = names_;
  return {};
}

std::vector<std::string> MemEnv::paths() const {
  std::vector<std::string> out;
  for (const auto& [path, file] : names_) out.push_back(path);
  return out;
}

std::vector<uint8_t> MemEnv::read_file(const std::string& path) const {
  auto it = names_.find(path);
  return it == names_.end() ? std::vector<uint8_t>{} : files_.at(it->second).current;
}

void MemEnv::write_file(const std::string& path, std::vector<uint8_t> bytes) {
  auto it = names_.find(path);
  const FileId file = it != names_.end() ? it->second : next_file_++;
  std::erase_if(pending_, [&](const PendingWrite& w) { return w.file == file; });
  FileState& state = files_[file];  // a file written again keeps its access
  state.durable = bytes;
  state.current = std::move(bytes);
  names_[path] = file;
  durable_names_[path] = file;
}

void MemEnv::crash(CrashMode mode) {
  size_t landing = mode == CrashMode::Drop ? 0 : pending_.size();
  for (auto& [file, state] : files_) state.current = state.durable;
  for (size_t i = 0; i < landing; ++i) {
    const PendingWrite& w = pending_[i];
    std::span<const uint8_t> data = w.data;
    if (mode == CrashMode::Torn && i + 1 == landing) data = data.first(data.size() / 2);
    apply_write(files_[w.file].current, w.offset, data);
  }
  for (auto& [file, state] : files_) state.durable = state.current;
  if (mode == CrashMode::Drop) names_ = durable_names_;
  else durable_names_ = names_;
  pending_.clear();
  locks_.clear();
  ++epoch_;
}

void MemEnv::crash_at(uint64_t n, CrashMode mode) {
  crash_at_ = n;
  crash_mode_ = mode;
}

void MemEnv::power_loss() {
  if (!crashed_) crash(crash_mode_);
  crashed_ = false;
  crash_at_ = 0;
}

Status MemEnv::begin_call(const MemFile* f, bool mutating) {
  if (crashed_ || (f != nullptr && f->epoch_ != epoch_)) return fail(crash_error());
  if (mutating) ++mutating_calls_;
  return faults_.on_call();
}

Result<size_t> MemEnv::read(const MemFile& f, uint64_t offset, std::span<uint8_t> buf) {
  ORMEL_TRY(begin_call(&f, false));
  const std::vector<uint8_t>& bytes = files_[f.file_].current;
  if (offset >= bytes.size()) return size_t{0};
  size_t n = std::min<uint64_t>(buf.size(), bytes.size() - offset);
  std::memcpy(buf.data(), bytes.data() + offset, n);
  return n;
}

void MemEnv::record_write(FileId file, uint64_t offset, std::span<const uint8_t> data) {
  apply_write(files_[file].current, offset, data);
  pending_.push_back({file, offset, {data.begin(), data.end()}});
}

Status MemEnv::write(const MemFile& f, uint64_t offset, std::span<const uint8_t> data) {
  ORMEL_TRY(begin_call(&f, true));
  if (mutating_calls_ == crash_at_) {
    if (crash_mode_ == CrashMode::Torn) record_write(f.file_, offset, data);
    crash(crash_mode_);
    crashed_ = true;
    return fail(crash_error());
  }
  if (!f.write_) return fail(OrmelError::io_errno(EBADF));
  record_write(f.file_, offset, data);
  return {};
}

Status MemEnv::sync(const MemFile& f) {
  ORMEL_TRY(begin_call(&f, true));
  if (crashes_now()) return fail(crash_error());
  std::erase_if(pending_, [&](const PendingWrite& w) { return w.file == f.file_; });
  FileState& state = files_[f.file_];
  state.durable = state.current;
  return {};
}

Result<uint64_t> MemEnv::size(const MemFile& f) {
  ORMEL_TRY(begin_call(&f, false));
  return files_[f.file_].current.size();
}

Result<FileInfo> MemEnv::info(const MemFile& f) {
  ORMEL_TRY(begin_call(&f, false));
  return info_of(f.file_);
}

Status MemEnv::copy_access(const MemFile& f, const FileInfo& like) {
  ORMEL_TRY(begin_call(&f, false));
  FileInfo& access = files_[f.file_].access;
  std::tie(access.mode, access.owner, access.group) = std::tuple(like.mode, like.owner, like.group);
  return {};
}

void MemEnv::release(const MemFile& f) {
  if (f.epoch_ != epoch_ || !f.locked_) return;  // a crash already dropped every lock
  LockState& lock = locks_[f.file_];
  if (f.write_) lock.exclusive = false;
  else if (lock.shared > 0) --lock.shared;
}

std::unique_ptr<File> FaultEnv::wrap(std::unique_ptr<File> file) {
  return std::make_unique<FaultFile>(std::move(file), faults_);
}

Status FaultEnv::rename(const std::string& from, const std::string& to) {
  ORMEL_TRY(faults_.on_call());
  return ForwardingEnv::rename(from, to);
}

Status FaultEnv::remove(const std::string& path) {
  ORMEL_TRY(faults_.on_call());
  return ForwardingEnv::remove(path);
}

Result<bool> FaultEnv::discard(const std::string& path) {
  ORMEL_TRY(faults_.on_call());
  return ForwardingEnv::discard(path);
}

Status FaultEnv::sync_dir(const std::string& path) {
  ORMEL_TRY(faults_.on_call());
  return ForwardingEnv::sync_dir(path);
}

}  // namespace ormel::testing
