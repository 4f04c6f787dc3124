// Whole-record appends to a text file shared by several writers (POSIX).
//
// A record reaches the file in one write(2) on a descriptor opened with
// O_APPEND, so records of concurrent writers never mix within a line, and it is
// fsync'ed before the call returns. A failed or short write leaves no partial
// line behind. A file that does not exist yet comes into being with its header
// and first record at once: they are written to an unnamed (or hidden
// temporary) file in the same directory, which is then hard-linked to the name.
// The link fails if another writer created the file first, and this writer
// then appends its record alone, so the header is written once and is always
// the first line.
#pragma once

#include <fcntl.h>
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

// One write(2) of all of `data`; on a short write the part that did reach the
// file is cut off again. Returns 0 or an errno value (EIO for a short write).
inline int write_whole(int fd, std::string_view data) noexcept {
    ssize_t n;
    do {
        n = ::write(fd, data.data(), data.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno;
    if (static_cast<std::size_t>(n) == data.size()) return 0;
    const off_t end = ::lseek(fd, 0, SEEK_CUR); // just past what was written
    if (end >= n) (void)::ftruncate(fd, end - n);
    return EIO;
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
        // On failure the file stays, cut back to empty: another writer may
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

// Appends `record`; when `existed` is false (the caller found no file at
// `path` before), the file is created with `header` first. Returns 0 or an
// errno value. A name that a dangling symbolic link holds counts as missing,
// as the existence test saw it: the file is created through the link with its
// header.
inline int append_record(const std::string& path, bool existed, std::string_view header,
                         std::string_view record) {
    using namespace append_detail;
    std::string both;
    if (!existed) {
        both.reserve(header.size() + record.size());
        both.append(header).append(record);
        int e = ENOTSUP;
        for (CreateWay way : {CreateWay::unnamed, CreateWay::temporary, CreateWay::exclusive}) {
            e = create_with(path, both, way);
            if (e != ENOTSUP) break;
        }
        if (e != EEXIST) return e;
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && !file_exists(path)) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
            if (fd < 0) return errno;
            return write_sync_close(fd, both);
        }
        // Another writer created it first: its header stands.
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    return write_sync_close(fd, record);
}

} // namespace korvel
