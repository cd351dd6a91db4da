#include "batch/walker.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace {

struct DirId {
    dev_t dev;
    ino_t ino;
    std::string path;
};

enum class Kind { file, directory, link, other };

struct Entry {
    std::string name;
    Kind kind;
};

Kind kind_of(mode_t mode) {
    if (S_ISREG(mode)) return Kind::file;
    if (S_ISDIR(mode)) return Kind::directory;
    if (S_ISLNK(mode)) return Kind::link;
    return Kind::other;
}

Kind kind_of(const dirent& d, const std::string& path) {
    switch (d.d_type) {
    case DT_REG: return Kind::file;
    case DT_DIR: return Kind::directory;
    case DT_LNK: return Kind::link;
    case DT_UNKNOWN: break;
    default: return Kind::other;
    }
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? kind_of(st.st_mode) : Kind::other;
}

std::string join(const std::string& dir, const std::string& name) {
    return !dir.empty() && dir.back() == '/' ? dir + name : dir + "/" + name;
}

bool matches_any(const std::vector<std::string>& globs, const std::string& path) {
    for (const std::string& glob : globs)
        if (fnmatch(glob.c_str(), path.c_str(), 0) == 0) return true;
    return false;
}

class Walker {
public:
    Walker(const WalkOptions& options, const WalkSink& sink, std::uint64_t& excluded)
        : follow_(options.follow_symlinks), options_(options), sink_(sink), excluded_(excluded) {}

    // `st` is the directory's own stat (through links).
    void walk_directory(const std::string& path, const struct stat& st) {
        for (const DirId& up : ancestors_) {
            if (up.dev == st.st_dev && up.ino == st.st_ino) {
                sink_(WalkEntry{path, "directory loop: leads back to " + up.path});
                return;
            }
        }
        DIR* dir = opendir(path.c_str());
        if (dir == nullptr) {
            sink_(WalkEntry{path, std::strerror(errno)});
            return;
        }
        std::vector<Entry> entries;
        while (const dirent* d = readdir(dir)) {
            const std::string name = d->d_name;
            if (name == "." || name == "..") continue;
            entries.push_back(Entry{name, kind_of(*d, join(path, name))});
        }
        closedir(dir);
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });

        ancestors_.push_back(DirId{st.st_dev, st.st_ino, path});
        for (Entry& entry : entries) {
            if (options_.stop != nullptr && options_.stop->load(std::memory_order_relaxed)) break;
            const std::string child = join(path, entry.name);
            Kind kind = entry.kind;
            struct stat target {};
            if (kind == Kind::link) {
                if (!follow_) continue;
                if (stat(child.c_str(), &target) != 0) {
                    sink_(WalkEntry{child, std::string("broken symbolic link: ") + std::strerror(errno)});
                    continue;
                }
                kind = kind_of(target.st_mode);
            } else if (kind == Kind::directory && lstat(child.c_str(), &target) != 0) {
                sink_(WalkEntry{child, std::strerror(errno)});
                continue;
            }
            if (kind != Kind::directory && kind != Kind::file) continue;
            if (matches_any(options_.exclude, child) ||
                (kind == Kind::file && !options_.include.empty() && !matches_any(options_.include, child))) {
                ++excluded_;
                continue;
            }
            if (kind == Kind::directory)
                walk_directory(child, target);
            else
                sink_(WalkEntry{child, "", true});
        }
        ancestors_.pop_back();
    }

private:
    bool follow_;
    const WalkOptions& options_;
    const WalkSink& sink_;
    std::uint64_t& excluded_;
    std::vector<DirId> ancestors_;  // the directories being walked, outermost first
};

}  // namespace

void walk_path(const std::string& path, const WalkOptions& options, const WalkSink& sink, std::uint64_t& excluded) {
    struct stat st {};
    // "-" is standard input, even when a file of that name exists (./- names that).
    if (path != "-" && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        Walker(options, sink, excluded).walk_directory(path, st);
        return;
    }
    sink(WalkEntry{path, ""});
}

bool walk_name_list(const std::string& list, bool null_separated, const WalkOptions& options, const WalkSink& sink,
                    std::uint64_t& excluded, std::string& error) {
    std::FILE* in = list == "-" ? stdin : std::fopen(list.c_str(), "rb");
    if (in == nullptr) {
        error = list + ": " + std::strerror(errno);
        return false;
    }
    const int separator = null_separated ? '\0' : '\n';
    std::string name;
    for (int c = std::getc(in);; c = std::getc(in)) {
        if (c == EOF || c == separator) {
            if (!name.empty()) walk_path(name, options, sink, excluded);
            name.clear();
            if (c == EOF || (options.stop != nullptr && options.stop->load(std::memory_order_relaxed))) break;
        } else {
            name.push_back(static_cast<char>(c));
        }
    }
    if (in != stdin) std::fclose(in);
    return true;
}
