#!/usr/bin/python3
"""A FUSE file system that passes every call through to a folder beneath.

What a program sees on sshfs, gocryptfs, mergerfs and the like: FUSE never
passes syncfs on, so only a file's own fsync, and a folder's (as gocryptfs
and most passthrough layers pass it on), reaches the disk below; rename
flags (no-replace, exchange) are refused, as by every libfuse 2 layer.

    passthroughfs.py LOWER MOUNTPOINT [--delay-ms N] [--inflight-file F]
                     [--no-links] [--no-xattrs] [--busy-while-open] [--fail OP:PATH:ERRNO] [--lose-reply OP:PATH] [--log F]

--delay-ms answers each call after N milliseconds (a network share's round
trip); --inflight-file keeps the highest number of calls in flight at once
written there, so a test can see how hard a program presses a slow share
(closes, which no caller waits for, and what the library does on its own
account are not counted).

For tests of what a program does when a share misbehaves: --no-links
refuses hard links, as FAT and many shares do; --no-xattrs refuses
extended attributes, as SMB and sshfs mounts often do; --busy-while-open
refuses to rename or remove a file still open (EBUSY), as SMB servers do; --fail answers the first
call OP on PATH (the path it creates, for rename and link) with ERRNO
without carrying it out; --lose-reply carries out the first such call and
answers EIO, as a share whose connection drops before its reply; --log
writes each call that changes or flushes a name ("rename /a /b",
"fsyncdir /d") to F, in the order they were answered.
Runs in the foreground until unmounted.
"""
import argparse
import errno
import os
import threading
import time

from fusepy import FUSE, FuseOSError, Operations, fuse_get_context

# Paths come as latin-1 text so that every byte of a name survives.
ENC = 'latin-1'


class Faults:
    """Calls failed or answered wrongly on purpose, each once, and a log."""
    LOGGED = ('rename', 'link', 'unlink', 'create', 'mkdir', 'rmdir', 'fsync', 'fsyncdir')

    XATTRS = ('getxattr', 'setxattr', 'listxattr', 'removexattr')

    def __init__(self, fail=(), lose=(), no_links=False, log=None, no_xattrs=False, busy=False):
        self._mutex = threading.Lock()
        self._busy = busy
        self._open = {}  # handle: path, from open or create to the close (flush) of its descriptor
        self._fail = [self._rule(r, True) for r in fail]
        self._lose = [self._rule(r, False) for r in lose]
        if no_links:
            self._fail.append(('link', None, errno.EPERM))
        if no_xattrs:
            self._fail += [(op, None, errno.ENOTSUP) for op in self.XATTRS]
        self._log = log

    @staticmethod
    def _rule(text, with_errno):
        parts = text.split(':')
        code = getattr(errno, parts[2]) if with_errno else errno.EIO
        return (parts[0], parts[1], code)

    @staticmethod
    def _path(op, args):
        # The name a call makes: rename's and link's first argument differ.
        if op == 'rename':
            return args[1]
        return args[0] if args and isinstance(args[0], str) else ''

    def _take(self, rules, op, path):
        with self._mutex:
            for rule in rules:
                if rule[0] == op and rule[1] in (None, path):
                    if rule[1] is not None:
                        rules.remove(rule)
                    return rule
        return None

    def before(self, op, args):
        path = self._path(op, args)
        if self._busy and op in ('rename', 'unlink'):
            with self._mutex:
                if any(p in self._open.values() for p in args[:2] if isinstance(p, str)):
                    raise FuseOSError(errno.EBUSY)
        failed = self._take(self._fail, op, path)
        if failed:
            raise FuseOSError(failed[2])
        return self._take(self._lose, op, path) is not None

    def opened(self, path, fh):
        with self._mutex:
            self._open[fh] = path

    def closed(self, fh):
        with self._mutex:
            self._open.pop(fh, None)

    def after(self, op, args):
        if self._log and op in self.LOGGED:
            names = [args[1], args[0]] if op == 'link' else [a for a in args[:2] if isinstance(a, str)]
            with self._mutex, open(self._log, 'a') as f:
                f.write(op + ' ' + ' '.join(names) + '\n')


class Passthrough(Operations):
    use_ns = True

    def __init__(self, lower, delay, inflight_file, faults=None):
        self._lower = os.fsencode(os.path.realpath(lower))
        self._delay = delay
        self._inflight_file = inflight_file
        self._faults = faults or Faults()
        self._mutex = threading.Lock()
        self._inflight = 0
        self._most = 0

    # The kernel sends these when a file or folder is closed without waiting
    # for the answer: no caller is held by them.
    UNAWAITED = ('release', 'releasedir')

    def __call__(self, op, *args):
        # Calls with no process behind them (pid 0) are the library's own,
        # such as removing a file unlinked while open once it is closed.
        counted = op not in self.UNAWAITED and fuse_get_context()[2] != 0
        with self._mutex:
            self._inflight += counted
            if self._inflight > self._most:
                self._most = self._inflight
                if self._inflight_file:
                    with open(self._inflight_file, 'w') as f:
                        f.write('%d\n' % self._most)
        try:
            if self._delay:
                time.sleep(self._delay)
            if not hasattr(self, op):
                raise FuseOSError(errno.ENOSYS)
            lose = self._faults.before(op, args)
            try:
                result = getattr(self, op)(*args)
            except OSError as e:
                raise FuseOSError(e.errno)
            self._faults.after(op, args)
            if lose:
                raise FuseOSError(errno.EIO)
            return result
        finally:
            with self._mutex:
                self._inflight -= counted

    def _p(self, path):
        return self._lower + path.encode(ENC)

    def _own(self, path):
        uid, gid, _ = fuse_get_context()
        os.lchown(self._p(path), uid, gid)

    def getattr(self, path, fh=None):
        st = os.lstat(self._p(path)) if fh is None else os.fstat(fh)
        keys = ('st_mode', 'st_nlink', 'st_uid', 'st_gid', 'st_size', 'st_ino', 'st_blocks')
        attrs = {k: getattr(st, k) for k in keys}
        attrs.update(st_atime=st.st_atime_ns, st_mtime=st.st_mtime_ns, st_ctime=st.st_ctime_ns)
        return attrs

    def readdir(self, path, fh):
        return ['.', '..'] + [n.decode(ENC) for n in os.listdir(self._p(path))]

    def readlink(self, path):
        return os.readlink(self._p(path)).decode(ENC)

    def access(self, path, mode):
        if not os.access(self._p(path), mode):
            raise FuseOSError(errno.EACCES)

    def chmod(self, path, mode):
        os.chmod(self._p(path), mode)

    def chown(self, path, uid, gid):
        os.lchown(self._p(path), uid, gid)

    def utimens(self, path, times=None):
        os.utime(self._p(path), ns=times, follow_symlinks=False) if times else os.utime(self._p(path))

    def mknod(self, path, mode, dev):
        os.mknod(self._p(path), mode, dev)
        self._own(path)

    def mkdir(self, path, mode):
        os.mkdir(self._p(path), mode)
        self._own(path)

    def rmdir(self, path):
        os.rmdir(self._p(path))

    def unlink(self, path):
        os.unlink(self._p(path))

    def symlink(self, target, source):
        os.symlink(source.encode(ENC), self._p(target))
        self._own(target)

    def link(self, target, source):
        os.link(self._p(source), self._p(target))

    def rename(self, old, new):
        os.rename(self._p(old), self._p(new))

    def statfs(self, path):
        st = os.statvfs(self._p(path))
        keys = ('f_bavail', 'f_bfree', 'f_blocks', 'f_bsize', 'f_favail', 'f_ffree', 'f_files',
                'f_flag', 'f_frsize', 'f_namemax')
        return {k: getattr(st, k) for k in keys}

    def open(self, path, flags):
        fd = os.open(self._p(path), flags)
        self._faults.opened(path, fd)
        return fd

    def create(self, path, mode, fi=None):
        fd = os.open(self._p(path), os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)
        self._own(path)
        self._faults.opened(path, fd)
        return fd

    def read(self, path, size, offset, fh):
        return os.pread(fh, size, offset)

    def write(self, path, data, offset, fh):
        return os.pwrite(fh, data, offset)

    def truncate(self, path, length, fh=None):
        if fh is None:
            os.truncate(self._p(path), length)
        else:
            os.ftruncate(fh, length)

    def flush(self, path, fh):
        self._faults.closed(fh)
        return 0

    def release(self, path, fh):
        self._faults.closed(fh)
        os.close(fh)

    def fsync(self, path, datasync, fh):
        (os.fdatasync if datasync else os.fsync)(fh)

    def fsyncdir(self, path, datasync, fh):
        fd = os.open(self._p(path), os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)

    def getxattr(self, path, name, position=0):
        try:
            return os.getxattr(self._p(path), name, follow_symlinks=False)
        except OSError as e:
            raise FuseOSError(errno.ENODATA if e.errno == errno.ENODATA else e.errno)

    def setxattr(self, path, name, value, options, position=0):
        os.setxattr(self._p(path), name, value, options, follow_symlinks=False)

    def listxattr(self, path):
        return os.listxattr(self._p(path), follow_symlinks=False)

    def removexattr(self, path, name):
        os.removexattr(self._p(path), name, follow_symlinks=False)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('lower')
    parser.add_argument('mountpoint')
    parser.add_argument('--delay-ms', type=float, default=0)
    parser.add_argument('--inflight-file')
    # The kernel asks for every status anew, as it does of a share whose
    # attributes may change behind its back.
    parser.add_argument('--no-cache', action='store_true')
    parser.add_argument('--no-links', action='store_true')
    parser.add_argument('--no-xattrs', action='store_true')
    parser.add_argument('--busy-while-open', action='store_true')
    parser.add_argument('--fail', action='append', default=[])
    parser.add_argument('--lose-reply', action='append', default=[])
    parser.add_argument('--log')
    a = parser.parse_args()
    timeouts = {'attr_timeout': 0, 'entry_timeout': 0} if a.no_cache else {}
    faults = Faults(a.fail, a.lose_reply, a.no_links, a.log, a.no_xattrs, a.busy_while_open)
    FUSE(Passthrough(a.lower, a.delay_ms / 1000.0, a.inflight_file, faults), a.mountpoint,
         foreground=True, nothreads=False, allow_other=True, default_permissions=True,
         encoding=ENC, use_ino=True, **timeouts)


if __name__ == '__main__':
    main()
