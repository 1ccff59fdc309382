// Walking the operands and the trees below folder operands.
#include "cli/file_source.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
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

char *format_text(const char *format, ...) {
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (length < 0) return nullptr;
    auto *text = static_cast<char *>(std::malloc(static_cast<size_t>(length) + 1));
    if (text == nullptr) return nullptr;
    va_start(args, format);
    std::vsnprintf(text, static_cast<size_t>(length) + 1, format, args);
    va_end(args);
    return text;
}

NextJob error_line(ScanJob *job, const char *name, int error) {
    job->line = format_text("%s ERROR %s\n", name, std::strerror(error));
    return job->line != nullptr ? NextJob::Ready : NextJob::NoMemory;
}

// A file to scan; a "-" job keeps the name it has.
NextJob file_job(ScanJob *job, const char *name, const char *path, const struct stat &info) {
    if (job->name == nullptr) job->name = strdup(name);
    job->path = strdup(path);
    job->device = static_cast<uint64_t>(info.st_dev);
    job->inode = static_cast<uint64_t>(info.st_ino);
    return job->name != nullptr && job->path != nullptr ? NextJob::Ready : NextJob::NoMemory;
}

// Examines an operand's absolute path as a file to scan: its error line when
// it cannot be examined or read or is not a regular file. A folder under -r
// is left to the caller (returns End with *folder set).
NextJob examine_operand(ScanJob *job, const char *name, const char *path, bool recursive,
                        bool *folder) {
    struct stat info;
    if (stat(path, &info) != 0 || access(path, R_OK) != 0) return error_line(job, path, errno);
    if (recursive && S_ISDIR(info.st_mode)) {
        *folder = true;
        return NextJob::End;
    }
    if (!S_ISREG(info.st_mode)) {
        job->line = format_text("%s ERROR not a regular file\n", path);
        return job->line != nullptr ? NextJob::Ready : NextJob::NoMemory;
    }
    return file_job(job, name, path, info);
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
    char **operands;
    int count;
    int next_operand;
    bool recursive;
    Folder *folders; // the open folders, from the tree's top to the deepest
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
// be read gets an error line with `shown` as its name.
NextJob enter_folder(FileSource *source, int fd, const char *shown, ScanJob *job) {
    struct stat info;
    if (fstat(fd, &info) != 0) {
        int error = errno;
        close(fd);
        return error_line(job, shown, error);
    }
    for (size_t i = 0; i < source->depth; ++i) {
        if (source->folders[i].device == static_cast<uint64_t>(info.st_dev) &&
            source->folders[i].inode == static_cast<uint64_t>(info.st_ino)) {
            close(fd);
            return error_line(job, shown, ELOOP);
        }
    }
    DIR *dir = fdopendir(fd);
    if (dir == nullptr) {
        int error = errno;
        close(fd);
        return error_line(job, shown, error);
    }
    Folder folder = {dir,
                     nullptr,
                     0,
                     0,
                     source->name.length,
                     source->path.length,
                     static_cast<uint64_t>(info.st_dev),
                     static_cast<uint64_t>(info.st_ino)};
    int error = read_names(dir, &folder.names, &folder.count);
    if (error == ENOMEM) {
        closedir(dir);
        return NextJob::NoMemory;
    }
    if (error != 0) {
        closedir(dir);
        return error_line(job, shown, error);
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

// The next entry of the deepest folder: a job, or End when it gave none
// (passed over, a folder entered, or the folder finished).
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

    // Everything below goes relative to the open folder and never follows a
    // link, so a name swapped for a link meanwhile leads nowhere else.
    int dir_fd = dirfd(folder.dir);
    struct stat info;
    if (fstatat(dir_fd, entry, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return error_line(job, source->name.bytes, errno);
    if (S_ISDIR(info.st_mode)) {
        int fd =
            openat(dir_fd, entry, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return error_line(job, source->name.bytes, errno);
        return enter_folder(source, fd, source->name.bytes, job);
    }
    if (!S_ISREG(info.st_mode)) return NextJob::End;
    if (faccessat(dir_fd, entry, R_OK, 0) != 0) return error_line(job, source->name.bytes, errno);
    return file_job(job, source->name.bytes, source->path.bytes, info);
}

// The next operand: a job, or End when it is a folder that has been entered
// (or the operands are over: then next_operand == count).
NextJob next_operand(FileSource *source, ScanJob *job) {
    const char *operand = source->operands[source->next_operand++];
    if (std::strcmp(operand, "-") == 0) {
        job->name = strdup(operand);
        job->from_stdin = true;
        return job->name != nullptr ? NextJob::Ready : NextJob::NoMemory;
    }
    char path[kPathBufferSize];
    if (absolute_path(operand, path) != PathFailure::None) {
        job->line = format_text("%s ERROR\n", operand);
        return job->line != nullptr ? NextJob::Ready : NextJob::NoMemory;
    }
    bool folder = false;
    NextJob next = examine_operand(job, operand, path, source->recursive, &folder);
    if (!folder) return next;

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
    if (fd < 0) return error_line(job, path, errno);
    return enter_folder(source, fd, path, job);
}

} // namespace

FileSource *file_source_create(char **operands, int count, bool recursive) {
    auto *source = static_cast<FileSource *>(std::calloc(1, sizeof(FileSource)));
    if (source == nullptr) return nullptr;
    source->operands = operands;
    source->count = count;
    source->recursive = recursive;
    return source;
}

void file_source_free(FileSource *source) {
    if (source == nullptr) return;
    while (source->depth > 0)
        leave_folder(source);
    std::free(source->folders);
    std::free(source->name.bytes);
    std::free(source->path.bytes);
    std::free(source);
}

NextJob file_source_next(FileSource *source, ScanJob *job) {
    for (;;) {
        NextJob next;
        if (source->depth > 0) {
            next = next_in_tree(source, job);
        } else if (source->next_operand < source->count) {
            next = next_operand(source, job);
        } else {
            return NextJob::End;
        }
        if (next != NextJob::End) return next;
    }
}

bool prepare_stdin_job(ScanJob *job) {
    job->from_stdin = false;
    if (!capture_stdin()) {
        job->line = strdup("STDIN ERROR\n");
        return job->line != nullptr;
    }
    bool folder = false;
    return examine_operand(job, job->name, stdin_dump_path(), false, &folder) != NextJob::NoMemory;
}

void release_job(ScanJob *job) {
    std::free(job->name);
    std::free(job->path);
    std::free(job->line);
    *job = ScanJob{};
}
