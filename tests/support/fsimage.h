#pragma once

#include <QStringList>
#include <QTemporaryDir>

#include <string>
#include <vector>

// A real file system of a chosen kind, mounted for the object's life in a
// temporary folder: a loop image for the block file systems (the kernel's
// drivers for ext4, xfs and btrfs; Debian's FUSE drivers for exFAT, FAT32
// and NTFS), a small tmpfs, or a passthrough FUSE layer over an xfs image
// (what sshfs, gocryptfs and the like look like to a program: a FUSE mount
// that never receives syncfs). Needs root, a loop device and the driver;
// when any is missing, skipReason() says which and the test skips.
//
//     FsImage fs(FsImage::Kind::Exfat);
//     if (!fs.skipReason().empty())
//         GTEST_SKIP() << fs.skipReason();
//     fs.root(); // the mounted folder
class FsImage
{
public:
    enum class Kind {
        Ext4,
        Ext4Casefold, // ext4 with the casefold feature; root() is a folder with +F
        Xfs,
        Btrfs,
        Tmpfs,
        Exfat,     // exfat-fuse
        Fat32,     // fusefat
        Ntfs,      // ntfs-3g
        Passthrough, // a FUSE layer over an xfs image
    };

    // driverZone: the time zone the FUSE drivers run in.
    explicit FsImage(Kind kind, int megabytes = 128, std::string driverZone = "UTC");
    ~FsImage();
    FsImage(const FsImage &) = delete;
    FsImage &operator=(const FsImage &) = delete;

    // Empty once mounted; else why the file system cannot be had here.
    const std::string &skipReason() const { return m_skip; }
    // The mounted folder (for Ext4Casefold a case-insensitive folder in it).
    const std::string &root() const { return m_root; }
    static const char *name(Kind kind);
    Kind kind() const { return m_kind; }

    // A power cut: the file system (for Passthrough, the xfs beneath the
    // FUSE layer) stops at once, without writing what it holds in memory,
    // and is mounted again. Only Xfs, Ext4 and Passthrough; false with a
    // reason in skipReason() elsewhere or on failure.
    bool powerCut();

    // The same volume mounted again with its driver in another time zone,
    // as a stick carried across zones is read. Fat32 only; false with a
    // reason in skipReason() elsewhere or on failure.
    bool remount(std::string driverZone);

    // Every kind, for tests that go over all of them.
    static std::vector<Kind> all();

private:
    bool mount();
    void unmount();
    bool fail(std::string reason);

    Kind m_kind;
    std::string m_driverZone;
    int m_megabytes;
    QTemporaryDir m_dir;
    std::string m_image;
    std::string m_loop;      // the loop device, for the FUSE block drivers
    std::string m_mountPoint;
    std::string m_lower;     // Passthrough: the xfs mount beneath
    std::string m_root;
    std::string m_skip;
    long long m_fusePid = 0;
};

// The passthrough FUSE layer over a folder, answering each call after
// delayMs, as a network share does after its round trip. Needs root and
// python3-fusepy; skipReason() says when they are missing.
class SlowShare
{
public:
    // cached: whether the kernel keeps the statuses it was given (for a
    // second, as by default). options go to the layer as they are: faults
    // made on purpose, a log of its calls (bench/passthroughfs.py).
    SlowShare(const std::string &lower, int delayMs, bool cached = true, const QStringList &options = {});
    ~SlowShare();
    SlowShare(const SlowShare &) = delete;
    SlowShare &operator=(const SlowShare &) = delete;

    const std::string &skipReason() const { return m_skip; }
    const std::string &root() const { return m_root; } // the lower folder, seen through the layer
    // The most calls the layer has had in flight at once so far.
    int mostInFlight() const;
    // The layer's program ends at once, as when a share's network or a
    // stick goes: every call on the mount fails from then on.
    void cutOff();

private:
    QTemporaryDir m_dir;
    std::string m_root;
    std::string m_inflight;
    std::string m_skip;
    long long m_pid = 0;
};

// A folder served by an sshd of the test's own on 127.0.0.1 (a free port,
// keys and configuration in a temporary folder) and mounted through sshfs
// as root, with sshfs's defaults: statuses cached for 20 s. Needs root,
// openssh-server and sshfs; skipReason() says when they are missing.
class SshShare
{
public:
    explicit SshShare(const std::string &remote);
    ~SshShare();
    SshShare(const SshShare &) = delete;
    SshShare &operator=(const SshShare &) = delete;

    const std::string &skipReason() const { return m_skip; }
    const std::string &root() const { return m_root; } // remote, seen through sshfs

private:
    QTemporaryDir m_dir;
    std::string m_root;
    std::string m_skip;
    long long m_sshdPid = 0;
};

// A folder served by an smbd of the test's own on 127.0.0.1 (guest access,
// configuration in a temporary folder) and mounted through smbnetfs, which
// shows it as MOUNT/127.0.0.1/share: an SMB share as a desktop reaches it.
// smbnetfs reaches no port but 445, so the test skips when another server
// holds it, or when samba or smbnetfs is missing, or without root.
class SmbShare
{
public:
    explicit SmbShare(const std::string &served);
    ~SmbShare();
    SmbShare(const SmbShare &) = delete;
    SmbShare &operator=(const SmbShare &) = delete;

    const std::string &skipReason() const { return m_skip; }
    const std::string &root() const { return m_root; } // served, seen through smbnetfs

private:
    QTemporaryDir m_dir;
    std::string m_mountPoint;
    std::string m_root;
    std::string m_skip;
    long long m_smbdPid = 0;
};
