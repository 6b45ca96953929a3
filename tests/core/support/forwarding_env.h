// Wrappers that pass every call on: ForwardingEnv to a base Env, ForwardingFile to a base
// File. A test's wrapper overrides only the calls it watches or changes; the files that
// ForwardingEnv opens are handed out through wrap(), which by default returns the base's.
#pragma once

#include <memory>
#include <span>
#include <string>

#include "core/file.h"

namespace ormel::testing {

class ForwardingFile : public File {
 public:
  explicit ForwardingFile(std::unique_ptr<File> base) : base_(std::move(base)) {}
  Result<size_t> read_at(uint64_t offset, std::span<uint8_t> buf) override { return base_->read_at(offset, buf); }
  Status write_at(uint64_t offset, std::span<const uint8_t> data) override { return base_->write_at(offset, data); }
  Status sync() override { return base_->sync(); }
  Result<uint64_t> size() override { return base_->size(); }
  Result<FileInfo> info() override { return base_->info(); }
  Status copy_access(const FileInfo& like) override { return base_->copy_access(like); }

 private:
  std::unique_ptr<File> base_;
};

class ForwardingEnv : public Env {
 public:
  explicit ForwardingEnv(Env* base) : base_(base) {}
  bool exists(const std::string& path) override { return base_->exists(path); }
  Result<std::unique_ptr<File>> open_locked(const std::string& path, OpenMode mode) override {
    ORMEL_ASSIGN(std::unique_ptr<File> file, base_->open_locked(path, mode));
    return wrap(std::move(file));
  }
  Status rename(const std::string& from, const std::string& to) override { return base_->rename(from, to); }
  Status remove(const std::string& path) override { return base_->remove(path); }
  Status sync_dir(const std::string& path) override { return base_->sync_dir(path); }
  Result<std::string> resolve(const std::string& path) override { return base_->resolve(path); }
  Result<FileInfo> info(const std::string& path) override { return base_->info(path); }
  Result<bool> discard(const std::string& path) override { return base_->discard(path); }

 protected:
  virtual std::unique_ptr<File> wrap(std::unique_ptr<File> file) { return file; }

 private:
  Env* base_;
};

}  // namespace ormel::testing
