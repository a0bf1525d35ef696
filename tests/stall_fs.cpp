// A file system for the tests that passes every call through to a folder,
// but stalls the first call of each operation named on its command line, as
// a network share or a FUSE file system that stops answering does. A stalled
// call waits until the kernel interrupts it (its caller got a signal), then
// answers EINTR; or, never interrupted, goes through after a minute. It says
// "stalled OP" on standard output once it stalls.
//
//   stall_fs FOLDER MOUNTPOINT OP...      (OP: create, made, write, fsync, rename, open)
//
// It runs in the foreground, mounted for everyone (the tests run the tool as
// another user too), with the kernel checking permissions as for any file.
#define FUSE_USE_VERSION 31

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int backing = -1;                 // the folder passed through to
std::vector<std::string> pending; // operations yet to stall

// Paths come as "/name"; the backing folder takes them relative.
const char *rel(const char *path)
{
    return path[1] == '\0' ? "." : path + 1;
}

int result(int r)
{
    return r == -1 ? -errno : r;
}

// True if this call is the one to stall and was interrupted: it then fails.
bool stalled(const char *op)
{
    for (auto it = pending.begin(); it != pending.end(); ++it) {
        if (*it != op)
            continue;
        pending.erase(it);
        std::printf("stalled %s\n", op);
        std::fflush(stdout);
        const timespec tick{0, 20'000'000};
        for (int i = 0; i < 3000; ++i) {
            if (fuse_interrupted() != 0)
                return true;
            nanosleep(&tick, nullptr);
        }
        return false;
    }
    return false;
}

int do_getattr(const char *path, struct stat *st, fuse_file_info * /*fi*/)
{
    return result(fstatat(backing, rel(path), st, AT_SYMLINK_NOFOLLOW));
}

int do_readlink(const char *path, char *buf, size_t size)
{
    const ssize_t n = readlinkat(backing, rel(path), buf, size - 1);
    if (n == -1)
        return -errno;
    buf[n] = '\0';
    return 0;
}

int do_unlink(const char *path)
{
    return result(unlinkat(backing, rel(path), 0));
}

int do_rename(const char *from, const char *to, unsigned int flags)
{
    if (stalled("rename"))
        return -EINTR;
    return result(renameat2(backing, rel(from), backing, rel(to), flags));
}

int do_link(const char *from, const char *to)
{
    return result(linkat(backing, rel(from), backing, rel(to), 0));
}

int do_chmod(const char *path, mode_t mode, fuse_file_info * /*fi*/)
{
    return result(fchmodat(backing, rel(path), mode, 0));
}

int do_chown(const char *path, uid_t uid, gid_t gid, fuse_file_info * /*fi*/)
{
    return result(fchownat(backing, rel(path), uid, gid, AT_SYMLINK_NOFOLLOW));
}

int do_truncate(const char *path, off_t size, fuse_file_info *fi)
{
    if (fi != nullptr)
        return result(ftruncate(static_cast<int>(fi->fh), size));
    const int fd = openat(backing, rel(path), O_WRONLY | O_CLOEXEC);
    if (fd == -1)
        return -errno;
    const int done = result(ftruncate(fd, size));
    close(fd);
    return done;
}

int do_utimens(const char *path, const timespec times[2], fuse_file_info * /*fi*/)
{
    return result(utimensat(backing, rel(path), times, AT_SYMLINK_NOFOLLOW));
}

// The caller's own identity makes the file, as a local file system would.
int do_create(const char *path, mode_t mode, fuse_file_info *fi)
{
    if (stalled("create"))
        return -EINTR;
    const fuse_context *who = fuse_get_context();
    const int fd = openat(backing, rel(path), fi->flags | O_CLOEXEC, mode);
    if (fd == -1)
        return -errno;
    fchown(fd, who->uid, who->gid);
    fi->fh = static_cast<uint64_t>(fd);
    // "made": as a file system that makes the file, then fails the call.
    if (stalled("made")) {
        close(fd);
        return -EINTR;
    }
    return 0;
}

int do_open(const char *path, fuse_file_info *fi)
{
    if (stalled("open"))
        return -EINTR;
    const int fd = openat(backing, rel(path), fi->flags | O_CLOEXEC);
    if (fd == -1)
        return -errno;
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
}

int do_read(const char * /*path*/, char *buf, size_t size, off_t at, fuse_file_info *fi)
{
    return result(static_cast<int>(pread(static_cast<int>(fi->fh), buf, size, at)));
}

int do_write(const char * /*path*/, const char *buf, size_t size, off_t at, fuse_file_info *fi)
{
    if (stalled("write"))
        return -EINTR;
    return result(static_cast<int>(pwrite(static_cast<int>(fi->fh), buf, size, at)));
}

int do_fsync(const char * /*path*/, int /*data_only*/, fuse_file_info *fi)
{
    if (stalled("fsync"))
        return -EINTR;
    return result(fsync(static_cast<int>(fi->fh)));
}

int do_release(const char * /*path*/, fuse_file_info *fi)
{
    close(static_cast<int>(fi->fh));
    return 0;
}

int do_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t /*at*/,
               fuse_file_info * /*fi*/, fuse_readdir_flags /*flags*/)
{
    DIR *dir = fdopendir(openat(backing, rel(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir == nullptr)
        return -errno;
    for (const dirent *e = readdir(dir); e != nullptr; e = readdir(dir))
        fill(buf, e->d_name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    closedir(dir);
    return 0;
}

void *do_init(fuse_conn_info * /*conn*/, fuse_config *cfg)
{
    // No caches: every call reaches this file system, stalls included.
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->negative_timeout = 0;
    cfg->direct_io = 1;
    return nullptr;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: stall_fs FOLDER MOUNTPOINT OP...\n");
        return 2;
    }
    backing = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (backing == -1) {
        std::perror(argv[1]);
        return 2;
    }
    pending.assign(argv + 3, argv + argc);
    fuse_operations ops{};
    ops.getattr = do_getattr;
    ops.readlink = do_readlink;
    ops.unlink = do_unlink;
    ops.rename = do_rename;
    ops.link = do_link;
    ops.chmod = do_chmod;
    ops.chown = do_chown;
    ops.truncate = do_truncate;
    ops.utimens = do_utimens;
    ops.create = do_create;
    ops.open = do_open;
    ops.read = do_read;
    ops.write = do_write;
    ops.fsync = do_fsync;
    ops.release = do_release;
    ops.readdir = do_readdir;
    ops.init = do_init;
    char self[] = "stall_fs";
    char foreground[] = "-f";
    char options[] = "-odefault_permissions,allow_other,fsname=stall_fs,max_threads=8";
    char *args[] = {self, foreground, options, argv[2], nullptr};
    return fuse_main(4, args, &ops, nullptr);
}
