// A private temporary directory for one test, removed with everything in it
// when the test ends, and small helpers for the files in it.
#pragma once

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/orva-test-XXXXXX";
        if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() { remove_tree(path_); }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

    // Writes a file in the folder and returns its path.
    std::string write(const std::string &name, std::string_view bytes) const {
        return write_file(*this / name, bytes);
    }

    static std::string write_file(const std::string &file, std::string_view bytes) {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) throw std::runtime_error("cannot write " + file);
        return file;
    }

    // Names of the entries, "." and ".." left out.
    std::vector<std::string> entries() const { return list(path_); }

    static std::string read(const std::string &file) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    }

    static std::vector<std::string> list(const std::string &directory) {
        std::vector<std::string> names;
        if (DIR *dir = opendir(directory.c_str())) {
            while (dirent *entry = readdir(dir)) {
                std::string name = entry->d_name;
                if (name != "." && name != "..") names.push_back(name);
            }
            closedir(dir);
        }
        return names;
    }

  private:
    static void remove_tree(const std::string &path) {
        struct stat info;
        if (lstat(path.c_str(), &info) != 0) return;
        if (S_ISDIR(info.st_mode)) {
            chmod(path.c_str(), 0700);
            for (const std::string &name : list(path))
                remove_tree(path + "/" + name);
            rmdir(path.c_str());
        } else {
            unlink(path.c_str());
        }
    }

    std::string path_;
};

// A private folder that is the library's directory for temporary files
// while it exists: TMP names it, TEMP is unset.
class TempDirAsTmp : public TempDir {
  public:
    TempDirAsTmp() {
        setenv("TMP", path().c_str(), 1);
        unsetenv("TEMP");
    }
    ~TempDirAsTmp() { unsetenv("TMP"); }
};
