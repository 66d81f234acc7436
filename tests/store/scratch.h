// What the store's tests share: a folder of their own and the environment
// variables the store reads, put back afterwards.
#pragma once

#include <optional>
#include <string>
#include <vector>

// A fresh folder, removed with what it holds at the end of the scope.
class StoreScratch {
  public:
    StoreScratch();
    ~StoreScratch();
    StoreScratch(const StoreScratch&) = delete;
    StoreScratch& operator=(const StoreScratch&) = delete;
    const std::string& dir() const { return dir_; }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

  private:
    std::string dir_;
};

// Sets (or with nullopt unsets) an environment variable for the scope.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

std::string file_text(const std::string& path);
