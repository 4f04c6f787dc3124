// Whole-record appends to a text file shared by several writers (POSIX).
//
// A record reaches the file in one write(2) on a descriptor opened with
// O_APPEND, so records of concurrent writers never mix within a line, and it is
// fsync'ed before the call returns. Nothing already in the file is ever
// removed: a write that fails part-way leaves its part where it is (cutting it
// off could cut off what other writers appended after it), and every record
// starts on a fresh line, so a partial record, or a last line a foreign writer
// left unterminated, stays a line of its own. The file is opened only as what
// it claims to be: never through a symbolic link (ELOOP), never as anything but
// a regular file (not_regular_file). A file that does not exist yet comes into
// being with its header and first record at once: they are written to an
// unnamed (or hidden temporary) file in the same directory, which is then
// hard-linked to the name. The link fails if something else holds the name
// first, and this writer then appends its record alone, so the header is
// written once and is always the first line.
#pragma once

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>

namespace korvel {

namespace append_detail {

inline int fail(int fd) noexcept {
    const int e = errno;
    if (fd >= 0) ::close(fd);
    return e;
}

// All of `data`: one write(2) when it goes through whole, as it does unless
// the file system runs out of room or a limit is reached; the rest is tried
// again, so the error returned is the operating system's own (ENOSPC, EFBIG,
// EDQUOT), and what did reach the file stays. Returns 0 or an errno value.
inline int write_whole(int fd, std::string_view data) noexcept {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO; // no progress and no reason given
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

// Devices and pipes cannot be synced (EINVAL); there is nothing to wait for.
inline int sync(int fd) noexcept {
    return ::fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
}

inline int write_sync_close(int fd, std::string_view data) noexcept {
    int e = write_whole(fd, data);
    if (e == 0) e = sync(fd);
    if (::close(fd) != 0 && e == 0) e = errno;
    return e;
}

inline std::string dir_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes a new directory entry durable. File systems that cannot sync a
// directory say EINVAL; that is no failure of the record.
inline int sync_dir(const std::string& dir) noexcept {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int e = ::fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
    ::close(fd);
    return e;
}

} // namespace append_detail

// How a new file is brought into being; exposed so that each way can be tested.
enum class CreateWay {
    unnamed,   // O_TMPFILE, linked through /proc/self/fd
    temporary, // a hidden temporary name beside the file, linked, then removed
    exclusive, // O_CREAT | O_EXCL and one write: for file systems without links
};

// Creates `path` holding `data` unless something already has that name.
// Returns 0, EEXIST when the name is taken, ENOTSUP when this way is not
// available here, or another errno value.
inline int create_with(const std::string& path, std::string_view data, CreateWay way) {
    using namespace append_detail;
    const std::string dir = dir_of(path);
    if (way == CreateWay::exclusive) {
        const int fd =
            ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) return errno;
        // On failure the file stays as the write left it: another writer may
        // already have appended to it.
        const int e = write_sync_close(fd, data);
        return e != 0 ? e : sync_dir(dir);
    }
    if (way == CreateWay::unnamed) {
#ifdef O_TMPFILE
        const int fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd < 0)
            return errno == EISDIR || errno == EOPNOTSUPP || errno == EINVAL ? ENOTSUP : errno;
        int e = write_whole(fd, data);
        if (e == 0) e = sync(fd);
        if (e != 0) return ::close(fd), e;
        char proc[40];
        std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
        if (::linkat(AT_FDCWD, proc, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0) {
            e = errno == EEXIST ? EEXIST : ENOTSUP; // no /proc, or links refused
            ::close(fd);
            return e;
        }
        if (::close(fd) != 0) return errno;
        return sync_dir(dir);
#else
        return ENOTSUP;
#endif
    }
    // A name no other writer uses: this process, a per-process counter, and
    // O_EXCL for whatever else might be there.
    static std::atomic<unsigned> counter{0};
    const auto slash = path.rfind('/');
    // At most 64 characters of the name, so that a name near the length limit
    // still leaves room for the suffix.
    const std::string base =
        (slash == std::string::npos ? path : path.substr(slash + 1)).substr(0, 64);
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = dir + "/." + base + "." + std::to_string(::getpid()) + "." +
              std::to_string(counter.fetch_add(1)) + ".tmp";
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return errno;
    }
    if (fd < 0) return EEXIST;
    int e = write_sync_close(fd, data);
    if (e == 0 && ::link(tmp.c_str(), path.c_str()) != 0)
        e = errno == EEXIST ? EEXIST : (errno == EPERM || errno == EMLINK ? ENOTSUP : errno);
    ::unlink(tmp.c_str());
    if (e != 0) return e;
    return sync_dir(dir);
}

inline bool file_exists(const std::string& path) noexcept {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Returned (instead of an errno value) for a path that holds something other
// than a regular file: a FIFO, a device, a socket.
inline constexpr int not_regular_file = -1;

// Whether `name` can be a file's name in directory `dir` (which need not exist
// yet: the nearest existing parent answers): 0, or ENAMETOOLONG.
inline int check_file_name(const std::string& dir, const std::string& name) {
    std::string at = dir.empty() ? std::string("/") : dir;
    long max = -1;
    for (;;) {
        errno = 0;
        max = ::pathconf(at.c_str(), _PC_NAME_MAX);
        if (max >= 0 || errno != ENOENT || at == "/" || at == ".") break;
        at = append_detail::dir_of(at);
    }
    if (max < 0) max = NAME_MAX;
    return name.size() > static_cast<std::size_t>(max) ? ENAMETOOLONG : 0;
}

// Appends `record` (one line, ending in a line feed); when `existed` is false
// (the caller found no file at `path` before), the file is created with
// `header` first. Returns 0, an errno value, or not_regular_file.
inline int append_record(const std::string& path, bool existed, std::string_view header,
                         std::string_view record) {
    using namespace append_detail;
    if (!existed) {
        std::string both;
        both.reserve(header.size() + record.size());
        both.append(header).append(record);
        int e = ENOTSUP;
        for (CreateWay way : {CreateWay::unnamed, CreateWay::temporary, CreateWay::exclusive}) {
            e = create_with(path, both, way);
            if (e != ENOTSUP) break;
        }
        if (e != EEXIST) return e;
        // Something holds the name first: another writer's file gets the
        // record alone; a link or anything else is refused below.
    }
    // Read access too, to see how the file ends (a file this writer may only
    // write is taken to end its lines). O_NONBLOCK: a FIFO without a reader
    // fails (ENXIO) rather than hangs.
    constexpr int flags = O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    int fd = ::open(path.c_str(), O_RDWR | flags, 0666);
    const bool readable = fd >= 0;
    if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_WRONLY | flags, 0666);
    if (fd < 0) return errno;
    struct stat st;
    if (::fstat(fd, &st) != 0) return fail(fd);
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return not_regular_file;
    }
    // How the file ends and the write that follows go together for every
    // writer of this library (an advisory lock: where the file system has
    // none, the write goes ahead without).
    int locked;
    do {
        locked = ::flock(fd, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    // A last line without its line feed (a write that failed part-way, or a
    // foreign writer) is left as it is; the record starts after it.
    char last = '\n';
    if (readable &&
        (::fstat(fd, &st) != 0 || (st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) != 1)))
        return fail(fd);
    std::string fresh;
    if (last != '\n') fresh.append(1, '\n').append(record);
    int e = write_whole(fd, fresh.empty() ? record : std::string_view(fresh));
    if (locked == 0) (void)::flock(fd, LOCK_UN);
    if (e == 0) e = sync(fd);
    if (::close(fd) != 0 && e == 0) e = errno;
    return e;
}

} // namespace korvel
