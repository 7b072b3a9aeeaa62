/* A FUSE file system that passes every call through to a folder beneath,
 * answering each after a delay: a network share's round trip, for the
 * benchmarks. Many threads answer at once, as a share's server does, so a
 * client that keeps many calls in flight gets them answered together.
 *
 *   latencyfs LOWER MOUNTPOINT [--delay-ms N] [--inflight-file F]
 *
 * --inflight-file keeps the highest number of calls in flight at once
 * written there (closes, which no caller waits for, are not counted).
 * Runs in the foreground until unmounted. The kernel keeps what it is told
 * for a second (libfuse's defaults), as the Python layer beside it does.
 */
#define FUSE_USE_VERSION 31
#define _GNU_SOURCE

#include <fuse.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

static int lower = -1;             /* the folder beneath, open */
static long delay_ns = 0;
static const char *inflight_file;
static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
static int inflight = 0, most = 0;

/* A call begins: counted, then answered after the delay. */
static void begin(void)
{
    pthread_mutex_lock(&mutex);
    if (++inflight > most) {
        most = inflight;
        if (inflight_file) {
            FILE *f = fopen(inflight_file, "w");
            if (f) {
                fprintf(f, "%d\n", most);
                fclose(f);
            }
        }
    }
    pthread_mutex_unlock(&mutex);
    if (delay_ns > 0) {
        struct timespec t = {delay_ns / 1000000000L, delay_ns % 1000000000L};
        while (nanosleep(&t, &t) != 0 && errno == EINTR) {
        }
    }
}

static int end(int result)
{
    pthread_mutex_lock(&mutex);
    --inflight;
    pthread_mutex_unlock(&mutex);
    return result;
}

/* FUSE paths start with "/": beneath, relative to the lower folder. */
static const char *rel(const char *path)
{
    return path[1] ? path + 1 : ".";
}

#define RET(call) return end((call) < 0 ? -errno : 0)

static void *fs_init(struct fuse_conn_info *conn, struct fuse_config *cfg)
{
    (void)conn;
    cfg->use_ino = 1;
    cfg->nullpath_ok = 0;
    return NULL;
}

static int fs_getattr(const char *path, struct stat *st, struct fuse_file_info *fi)
{
    begin();
    if (fi)
        RET(fstat((int)fi->fh, st));
    RET(fstatat(lower, rel(path), st, AT_SYMLINK_NOFOLLOW));
}

static int fs_readlink(const char *path, char *buf, size_t size)
{
    begin();
    ssize_t n = readlinkat(lower, rel(path), buf, size - 1);
    if (n < 0)
        return end(-errno);
    buf[n] = '\0';
    return end(0);
}

static int fs_opendir(const char *path, struct fuse_file_info *fi)
{
    begin();
    int fd = openat(lower, rel(path), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return end(-errno);
    fi->fh = (uint64_t)fd;
    return end(0);
}

static int fs_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t offset,
                      struct fuse_file_info *fi, enum fuse_readdir_flags flags)
{
    (void)path;
    (void)offset;
    (void)flags;
    begin();
    int fd = dup((int)fi->fh);
    DIR *dir = fd < 0 ? NULL : fdopendir(fd);
    if (!dir) {
        int e = errno;
        if (fd >= 0)
            close(fd);
        return end(-e);
    }
    rewinddir(dir);
    struct dirent *d;
    while ((d = readdir(dir)) != NULL)
        if (fill(buf, d->d_name, NULL, 0, 0))
            break;
    closedir(dir);
    return end(0);
}

static int fs_releasedir(const char *path, struct fuse_file_info *fi)
{
    (void)path;
    close((int)fi->fh); /* not waited for by anyone: not delayed, not counted */
    return 0;
}

static int fs_open(const char *path, struct fuse_file_info *fi)
{
    begin();
    int fd = openat(lower, rel(path), fi->flags & ~O_NOFOLLOW);
    if (fd < 0)
        return end(-errno);
    fi->fh = (uint64_t)fd;
    return end(0);
}

static int fs_create(const char *path, mode_t mode, struct fuse_file_info *fi)
{
    begin();
    int fd = openat(lower, rel(path), fi->flags | O_CREAT, mode);
    if (fd < 0)
        return end(-errno);
    fi->fh = (uint64_t)fd;
    return end(0);
}

static int fs_read(const char *path, char *buf, size_t size, off_t offset, struct fuse_file_info *fi)
{
    (void)path;
    begin();
    ssize_t n = pread((int)fi->fh, buf, size, offset);
    return end(n < 0 ? -errno : (int)n);
}

static int fs_write(const char *path, const char *buf, size_t size, off_t offset, struct fuse_file_info *fi)
{
    (void)path;
    begin();
    ssize_t n = pwrite((int)fi->fh, buf, size, offset);
    return end(n < 0 ? -errno : (int)n);
}

static int fs_release(const char *path, struct fuse_file_info *fi)
{
    (void)path;
    close((int)fi->fh);
    return 0;
}

static int fs_fsync(const char *path, int datasync, struct fuse_file_info *fi)
{
    (void)path;
    begin();
    RET(datasync ? fdatasync((int)fi->fh) : fsync((int)fi->fh));
}

static int fs_fsyncdir(const char *path, int datasync, struct fuse_file_info *fi)
{
    return fs_fsync(path, datasync, fi);
}

static int fs_mkdir(const char *path, mode_t mode) { begin(); RET(mkdirat(lower, rel(path), mode)); }
static int fs_unlink(const char *path) { begin(); RET(unlinkat(lower, rel(path), 0)); }
static int fs_rmdir(const char *path) { begin(); RET(unlinkat(lower, rel(path), AT_REMOVEDIR)); }
static int fs_symlink(const char *to, const char *path) { begin(); RET(symlinkat(to, lower, rel(path))); }
static int fs_link(const char *from, const char *to) { begin(); RET(linkat(lower, rel(from), lower, rel(to), 0)); }

static int fs_rename(const char *from, const char *to, unsigned int flags)
{
    begin();
    if (flags)
        return end(-EINVAL); /* as most FUSE layers: no no-replace, no exchange */
    RET(renameat(lower, rel(from), lower, rel(to)));
}

static int fs_chmod(const char *path, mode_t mode, struct fuse_file_info *fi)
{
    begin();
    if (fi)
        RET(fchmod((int)fi->fh, mode));
    RET(fchmodat(lower, rel(path), mode, 0));
}

static int fs_chown(const char *path, uid_t uid, gid_t gid, struct fuse_file_info *fi)
{
    begin();
    if (fi)
        RET(fchown((int)fi->fh, uid, gid));
    RET(fchownat(lower, rel(path), uid, gid, AT_SYMLINK_NOFOLLOW));
}

static int fs_truncate(const char *path, off_t size, struct fuse_file_info *fi)
{
    begin();
    if (fi)
        RET(ftruncate((int)fi->fh, size));
    int fd = openat(lower, rel(path), O_WRONLY);
    if (fd < 0)
        return end(-errno);
    int r = ftruncate(fd, size) < 0 ? -errno : 0;
    close(fd);
    return end(r);
}

static int fs_utimens(const char *path, const struct timespec tv[2], struct fuse_file_info *fi)
{
    begin();
    if (fi)
        RET(futimens((int)fi->fh, tv));
    RET(utimensat(lower, rel(path), tv, AT_SYMLINK_NOFOLLOW));
}

static int fs_statfs(const char *path, struct statvfs *st)
{
    (void)path;
    begin();
    RET(fstatvfs(lower, st));
}

static int fs_access(const char *path, int mask) { begin(); RET(faccessat(lower, rel(path), mask, 0)); }

static const struct fuse_operations ops = {
    .init = fs_init,
    .getattr = fs_getattr,
    .readlink = fs_readlink,
    .mkdir = fs_mkdir,
    .unlink = fs_unlink,
    .rmdir = fs_rmdir,
    .symlink = fs_symlink,
    .rename = fs_rename,
    .link = fs_link,
    .chmod = fs_chmod,
    .chown = fs_chown,
    .truncate = fs_truncate,
    .open = fs_open,
    .read = fs_read,
    .write = fs_write,
    .statfs = fs_statfs,
    .release = fs_release,
    .fsync = fs_fsync,
    .opendir = fs_opendir,
    .readdir = fs_readdir,
    .releasedir = fs_releasedir,
    .fsyncdir = fs_fsyncdir,
    .access = fs_access,
    .create = fs_create,
    .utimens = fs_utimens,
};

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: latencyfs LOWER MOUNTPOINT [--delay-ms N] [--inflight-file F]\n");
        return 2;
    }
    for (int i = 3; i < argc; ++i) {
        if (!strcmp(argv[i], "--delay-ms") && i + 1 < argc)
            delay_ns = (long)(atof(argv[++i]) * 1e6);
        else if (!strcmp(argv[i], "--inflight-file") && i + 1 < argc)
            inflight_file = argv[++i];
        else {
            fprintf(stderr, "latencyfs: unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    lower = open(argv[1], O_RDONLY | O_DIRECTORY);
    if (lower < 0) {
        perror(argv[1]);
        return 1;
    }
    /* Threads enough for any client's calls in flight; everyone may use it. */
    char *args[] = {argv[0], argv[2], "-f", "-o", "max_threads=256,allow_other,default_permissions,fsname=latencyfs",
                    NULL};
    return fuse_main(5, args, &ops, NULL);
}
