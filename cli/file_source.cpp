// Walking the operands and the trees below folder operands.
#include "cli/file_source.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/paths.h"
#include "cli/stdin_dump.h"

namespace {

// A growable text: the joined name or the absolute path of the folder being
// walked, to which an entry's name is appended.
struct Text {
    char *bytes = nullptr;
    size_t length = 0;
    size_t capacity = 0;
};

bool text_set(Text *text, size_t keep, const char *tail, size_t tail_length) {
    size_t need = keep + tail_length + 1;
    if (need > text->capacity) {
        size_t capacity = text->capacity > 0 ? text->capacity : 256;
        while (capacity < need)
            capacity *= 2;
        auto *grown = static_cast<char *>(std::realloc(text->bytes, capacity));
        if (grown == nullptr) return false;
        text->bytes = grown;
        text->capacity = capacity;
    }
    std::memcpy(text->bytes + keep, tail, tail_length);
    text->length = keep + tail_length;
    text->bytes[text->length] = '\0';
    return true;
}

// One open folder of the tree being walked: its entries, sorted, and the
// lengths of its joined name and path, to go back to once it is done.
struct Folder {
    DIR *dir;
    char **names;
    size_t count;
    size_t next;
    size_t name_length;
    size_t path_length;
    uint64_t device;
    uint64_t inode;
};

NextJob fail_job(ScanJob *job, JobFailure failure, int error, bool shows_path) {
    job->failure = failure;
    job->error = error;
    job->failure_shows_path = shows_path;
    return NextJob::Ready;
}

// Names the job: `name` as its result lines show it (a "-" job keeps the
// name it has) and `path`, its absolute path.
NextJob name_job(ScanJob *job, const char *name, const char *path) {
    if (job->name == nullptr) job->name = strdup(name);
    if (job->path == nullptr && path != nullptr) job->path = strdup(path);
    return job->name != nullptr && (path == nullptr || job->path != nullptr) ? NextJob::Ready
                                                                             : NextJob::NoMemory;
}

void set_identity(ScanJob *job, const struct stat &info) {
    job->device = static_cast<uint64_t>(info.st_dev);
    job->inode = static_cast<uint64_t>(info.st_ino);
}

// Examines an operand's absolute path as a file to scan: the job fails when
// the path cannot be examined or read or is not a regular file. A folder
// under -r is left to the caller (*folder set).
void examine_operand(ScanJob *job, bool recursive, bool *folder) {
    struct stat info;
    if (stat(job->path, &info) != 0 || access(job->path, R_OK) != 0) {
        fail_job(job, JobFailure::System, errno, true);
        return;
    }
    if (recursive && S_ISDIR(info.st_mode)) {
        *folder = true;
        return;
    }
    if (!S_ISREG(info.st_mode)) {
        fail_job(job, JobFailure::NotRegular, 0, true);
        return;
    }
    set_identity(job, info);
}

// Examines a file found inside a tree from the folder `dir_fd` it was found
// in, never following a link: a name swapped for a link meanwhile leads
// nowhere else. A folder is left to the caller (*folder set).
void examine_entry(ScanJob *job, int dir_fd, const char *entry, bool *folder) {
    struct stat info;
    if (fstatat(dir_fd, entry, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        fail_job(job, JobFailure::System, errno, false);
        return;
    }
    if (S_ISDIR(info.st_mode) && folder != nullptr) {
        set_identity(job, info);
        *folder = true;
        return;
    }
    if (!S_ISREG(info.st_mode)) {
        fail_job(job, JobFailure::PassedOver, 0, false);
        return;
    }
    if (faccessat(dir_fd, entry, R_OK, 0) != 0) {
        fail_job(job, JobFailure::System, errno, false);
        return;
    }
    set_identity(job, info);
}

int compare_names(const void *a, const void *b) {
    return std::strcmp(*static_cast<char *const *>(a), *static_cast<char *const *>(b));
}

void free_names(char **names, size_t count) {
    for (size_t i = 0; i < count; ++i)
        std::free(names[i]);
    std::free(names);
}

// Reads a folder's entries ("." and ".." left out) and sorts them. Returns 0,
// or the error number of a failed read (ENOMEM when memory runs out).
int read_names(DIR *dir, char ***names_out, size_t *count_out) {
    char **names = nullptr;
    size_t count = 0;
    size_t capacity = 0;
    for (;;) {
        errno = 0;
        struct dirent *entry = readdir(dir);
        if (entry == nullptr) break;
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        if (count == capacity) {
            capacity = capacity > 0 ? capacity * 2 : 16;
            auto *grown = static_cast<char **>(std::realloc(names, capacity * sizeof *names));
            if (grown == nullptr) {
                free_names(names, count);
                return ENOMEM;
            }
            names = grown;
        }
        names[count] = strdup(entry->d_name);
        if (names[count] == nullptr) {
            free_names(names, count);
            return ENOMEM;
        }
        ++count;
    }
    if (errno != 0) {
        int error = errno;
        free_names(names, count);
        return error;
    }
    if (count > 1) std::qsort(names, count, sizeof *names, compare_names);
    *names_out = names;
    *count_out = count;
    return 0;
}

} // namespace

struct FileSource {
    SourceSettings settings;
    int next_operand;
    char *listed; // the name last read from the list (getdelim's buffer)
    size_t listed_capacity;
    bool list_over;
    bool list_may_wait; // the list is a pipe or a terminal, whose next name may be long to come
    Folder *folders;    // the open folders, from the tree's top to the deepest
    size_t depth;
    size_t capacity;
    Text name; // joined name of the entry at hand
    Text path; // its absolute path
};

namespace {

void leave_folder(FileSource *source) {
    Folder &folder = source->folders[--source->depth];
    closedir(folder.dir);
    free_names(folder.names, folder.count);
    if (source->depth > 0) {
        const Folder &parent = source->folders[source->depth - 1];
        source->name.length = parent.name_length;
        source->path.length = parent.path_length;
    }
}

// Makes the folder that `fd` holds the deepest; the joined name and path at
// hand are its own. A folder that is one of its own ancestors (through a bind
// mount) would loop and is reported instead of entered. A folder that cannot
// be read fails the job, named `name` and `path`; the error line shows the
// path when `shows_path` (an operand's own folder).
NextJob enter_folder(FileSource *source, int fd, ScanJob *job, const char *name, const char *path,
                     bool shows_path) {
    auto failed = [&](int error) {
        close(fd);
        if (name_job(job, name, path) == NextJob::NoMemory) return NextJob::NoMemory;
        return fail_job(job, JobFailure::System, error, shows_path);
    };
    struct stat info;
    if (fstat(fd, &info) != 0) return failed(errno);
    for (size_t i = 0; i < source->depth; ++i) {
        if (source->folders[i].device == static_cast<uint64_t>(info.st_dev) &&
            source->folders[i].inode == static_cast<uint64_t>(info.st_ino))
            return failed(ELOOP);
    }
    DIR *dir = fdopendir(fd);
    if (dir == nullptr) return failed(errno);
    Folder folder = {dir,
                     nullptr,
                     0,
                     0,
                     source->name.length,
                     source->path.length,
                     static_cast<uint64_t>(info.st_dev),
                     static_cast<uint64_t>(info.st_ino)};
    int error = read_names(dir, &folder.names, &folder.count);
    if (error != 0) {
        // The descriptor now belongs to the stream.
        closedir(dir);
        if (error == ENOMEM) return NextJob::NoMemory;
        if (name_job(job, name, path) == NextJob::NoMemory) return NextJob::NoMemory;
        return fail_job(job, JobFailure::System, error, shows_path);
    }
    if (source->depth == source->capacity) {
        size_t capacity = source->capacity > 0 ? source->capacity * 2 : 8;
        auto *grown =
            static_cast<Folder *>(std::realloc(source->folders, capacity * sizeof(Folder)));
        if (grown == nullptr) {
            closedir(dir);
            free_names(folder.names, folder.count);
            return NextJob::NoMemory;
        }
        source->folders = grown;
        source->capacity = capacity;
    }
    source->folders[source->depth++] = folder;
    return NextJob::End; // entered; no job yet
}

// Whether an entry found in a tree is to be passed over by name: `entry` is
// its own name, the joined name at hand its name as printed.
bool excluded(const FileSource *source, const char *entry) {
    const SourceSettings &settings = source->settings;
    for (size_t i = 0; i < settings.exclude_count; ++i) {
        const char *pattern = settings.excludes[i];
        bool by_path = std::strchr(pattern, '/') != nullptr;
        if (fnmatch(pattern, by_path ? source->name.bytes : entry, by_path ? FNM_PATHNAME : 0) == 0)
            return true;
    }
    return false;
}

// The next entry of the deepest folder: a job, or End when it gave none
// (a folder entered or left out, or the folder finished).
NextJob next_in_tree(FileSource *source, ScanJob *job) {
    Folder &folder = source->folders[source->depth - 1];
    if (folder.next == folder.count) {
        leave_folder(source);
        return NextJob::End;
    }
    const char *entry = folder.names[folder.next++];
    size_t entry_length = std::strlen(entry);
    if (!text_set(&source->name, folder.name_length, "/", 1) ||
        !text_set(&source->name, folder.name_length + 1, entry, entry_length) ||
        !text_set(&source->path, folder.path_length, "/", 1) ||
        !text_set(&source->path, folder.path_length + 1, entry, entry_length))
        return NextJob::NoMemory;
    if (excluded(source, entry)) return NextJob::End;

    job->in_tree = true;
    int dir_fd = dirfd(folder.dir);
    bool is_folder = false;
    examine_entry(job, dir_fd, entry, &is_folder);
    if (is_folder) {
        const SourceSettings &settings = source->settings;
        if (settings.skip_folder && job->device == settings.skip_device &&
            job->inode == settings.skip_inode)
            return NextJob::End;
        // Everything below goes relative to the open folder and never
        // follows a link.
        int fd =
            openat(dir_fd, entry, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            int error = errno;
            if (name_job(job, source->name.bytes, source->path.bytes) == NextJob::NoMemory)
                return NextJob::NoMemory;
            return fail_job(job, JobFailure::System, error, false);
        }
        return enter_folder(source, fd, job, source->name.bytes, source->path.bytes, false);
    }
    return name_job(job, source->name.bytes, source->path.bytes);
}

// An operand or listed name: a job, or End when it is a folder that has been
// entered.
NextJob next_operand(FileSource *source, ScanJob *job, const char *operand) {
    if (std::strcmp(operand, "-") == 0) {
        job->from_stdin = true;
        return name_job(job, operand, nullptr);
    }
    char path[kPathBufferSize];
    PathFailure resolved = absolute_path(operand, path);
    if (resolved != PathFailure::None) {
        int error = resolved == PathFailure::TooLong ? ENAMETOOLONG : errno;
        if (name_job(job, operand, nullptr) == NextJob::NoMemory) return NextJob::NoMemory;
        return fail_job(job, JobFailure::Unresolved, error, false);
    }
    if (name_job(job, operand, path) == NextJob::NoMemory) return NextJob::NoMemory;
    bool folder = false;
    examine_operand(job, source->settings.recursive, &folder);
    if (!folder) return NextJob::Ready;
    release_job(job);

    // The tree's names are the operand as typed and the path inside it,
    // joined by one slash: the operand's trailing slashes are dropped.
    size_t name_length = std::strlen(operand);
    while (name_length > 0 && operand[name_length - 1] == '/')
        --name_length;
    size_t path_length = std::strlen(path);
    while (path_length > 0 && path[path_length - 1] == '/')
        --path_length;
    if (!text_set(&source->name, 0, operand, name_length) ||
        !text_set(&source->path, 0, path, path_length))
        return NextJob::NoMemory;
    // The operand itself may be a link to a folder: the user named it.
    // The top folder's own failures name it by its absolute path, as the
    // line of any operand does.
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        if (name_job(job, operand, path) == NextJob::NoMemory) return NextJob::NoMemory;
        return fail_job(job, JobFailure::System, error, true);
    }
    return enter_folder(source, fd, job, operand, path, true);
}

// The next name of the list, read now: a job, End when it gave none (an
// empty name, a folder entered), or with the list over list_over set.
NextJob next_listed(FileSource *source, ScanJob *job) {
    const SourceSettings &settings = source->settings;
    // The results so far are written out before the wait for the next name,
    // so that a reader of them never waits for the writer of the list.
    if (source->list_may_wait) std::fflush(stdout);
    errno = 0;
    ssize_t length =
        getdelim(&source->listed, &source->listed_capacity, settings.list_delimiter, settings.list);
    if (length < 0) {
        source->list_over = true;
        if (errno == ENOMEM) return NextJob::NoMemory;
        if (std::ferror(settings.list) == 0) return NextJob::End;
        // The names that could not be read are not scanned: say so.
        int error = errno != 0 ? errno : EIO;
        if (name_job(job, settings.list_name, nullptr) == NextJob::NoMemory)
            return NextJob::NoMemory;
        return fail_job(job, JobFailure::System, error, false);
    }
    char *name = source->listed;
    if (length > 0 && name[length - 1] == settings.list_delimiter) name[--length] = '\0';
    // A NUL inside a line ends the name: no file name holds one.
    if (name[0] == '\0') return NextJob::End;
    if (std::strcmp(name, "-") == 0 && settings.list == stdin) {
        // Standard input is the list itself.
        if (name_job(job, name, nullptr) == NextJob::NoMemory) return NextJob::NoMemory;
        return fail_job(job, JobFailure::Stdin, 0, false);
    }
    return next_operand(source, job, name);
}

} // namespace

FileSource *file_source_create(const SourceSettings &settings) {
    auto *source = static_cast<FileSource *>(std::calloc(1, sizeof(FileSource)));
    if (source == nullptr) return nullptr;
    source->settings = settings;
    source->list_over = settings.list == nullptr;
    struct stat info;
    source->list_may_wait = settings.list != nullptr &&
                            (fstat(fileno(settings.list), &info) != 0 || !S_ISREG(info.st_mode));
    return source;
}

void file_source_free(FileSource *source) {
    if (source == nullptr) return;
    while (source->depth > 0)
        leave_folder(source);
    std::free(source->folders);
    std::free(source->name.bytes);
    std::free(source->path.bytes);
    std::free(source->listed);
    std::free(source);
}

NextJob file_source_next(FileSource *source, ScanJob *job) {
    for (;;) {
        NextJob next;
        if (source->depth > 0) {
            next = next_in_tree(source, job);
        } else if (source->next_operand < source->settings.count) {
            next = next_operand(source, job, source->settings.operands[source->next_operand++]);
        } else if (!source->list_over) {
            next = next_listed(source, job);
        } else {
            return NextJob::End;
        }
        if (next != NextJob::End) return next;
        release_job(job);
    }
}

void reexamine_job(ScanJob *job) {
    if (job->from_stdin || job->path == nullptr) return;
    if (job->failure != JobFailure::None && job->failure != JobFailure::System &&
        job->failure != JobFailure::NotRegular && job->failure != JobFailure::PassedOver)
        return;
    job->failure = JobFailure::None;
    job->error = 0;
    job->failure_shows_path = false;
    if (!job->in_tree) {
        bool folder = false;
        examine_operand(job, false, &folder);
        return;
    }
    // As when it was found, but by its path: its folder may be closed by now.
    examine_entry(job, AT_FDCWD, job->path, nullptr);
}

bool prepare_stdin_job(ScanJob *job) {
    job->from_stdin = false;
    if (!capture_stdin()) {
        fail_job(job, JobFailure::Stdin, 0, false);
        return true;
    }
    job->path = strdup(stdin_dump_path());
    if (job->path == nullptr) return false;
    bool folder = false;
    examine_operand(job, false, &folder);
    return true;
}

void release_job(ScanJob *job) {
    std::free(job->name);
    std::free(job->path);
    std::free(job->destination);
    *job = ScanJob{};
}
