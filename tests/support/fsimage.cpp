#include "support/fsimage.h"
#include "support/testdir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

namespace {

constexpr long kFuseMagic = 0x65735546;

// Runs a tool quietly; true when it exits 0. output, when given, gets what it
// printed (for a reason to show). Drivers that keep local times (FAT) run
// in zone.
bool run(const QString &program, const QStringList &args, QString *output = nullptr, int timeoutMs = 60000,
         const std::string &zone = "UTC")
{
    QProcess p;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TZ"), QString::fromStdString(zone));
    p.setProcessEnvironment(environment);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForStarted(10000)) {
        if (output)
            *output = program + QStringLiteral(" cannot be started");
        return false;
    }
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(5000);
    }
    if (output)
        *output = QString::fromLocal8Bit(p.readAll()).trimmed().left(300);
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

long typeOf(const std::string &path)
{
    struct statfs st {};
    return ::statfs(path.c_str(), &st) == 0 ? static_cast<long>(st.f_type) : -1;
}

// A FUSE daemon mounts after it has started: wait until the folder is its.
bool waitForFuse(const std::string &mountPoint)
{
    for (int i = 0; i < 200; ++i) {
        if (typeOf(mountPoint) == kFuseMagic)
            return true;
        QThread::msleep(25);
    }
    return false;
}

const char *mkfsOf(FsImage::Kind kind)
{
    switch (kind) {
    case FsImage::Kind::Ext4:
    case FsImage::Kind::Ext4Casefold: return "mkfs.ext4";
    case FsImage::Kind::Xfs:
    case FsImage::Kind::Passthrough: return "mkfs.xfs";
    case FsImage::Kind::Btrfs: return "mkfs.btrfs";
    case FsImage::Kind::Exfat: return "mkfs.exfat";
    case FsImage::Kind::Fat32: return "mkfs.vfat";
    case FsImage::Kind::Ntfs: return "mkfs.ntfs";
    case FsImage::Kind::Tmpfs: return nullptr;
    }
    return nullptr;
}

QStringList mkfsArgs(FsImage::Kind kind, const std::string &image)
{
    switch (kind) {
    case FsImage::Kind::Ext4: return {"-q", "-F", q(image)};
    case FsImage::Kind::Ext4Casefold: return {"-q", "-F", "-O", "casefold", "-E", "encoding=utf8", q(image)};
    case FsImage::Kind::Xfs:
    case FsImage::Kind::Passthrough: return {"-q", "-f", q(image)};
    case FsImage::Kind::Btrfs: return {"-q", "-f", q(image)};
    case FsImage::Kind::Exfat: return {q(image)};
    case FsImage::Kind::Fat32: return {"-F", "32", q(image)};
    case FsImage::Kind::Ntfs: return {"-F", "-q", q(image)};
    case FsImage::Kind::Tmpfs: return {};
    }
    return {};
}

// Smallest images the tools accept.
int minimumMegabytes(FsImage::Kind kind)
{
    switch (kind) {
    case FsImage::Kind::Xfs:
    case FsImage::Kind::Passthrough: return 300;
    case FsImage::Kind::Btrfs: return 128;
    case FsImage::Kind::Fat32: return 64;
    default: return 8;
    }
}

} // namespace

FsImage::FsImage(Kind kind, int megabytes, std::string driverZone)
    : m_kind(kind)
    , m_driverZone(std::move(driverZone))
    , m_megabytes(std::max(megabytes, minimumMegabytes(kind)))
{
    if (::geteuid() != 0) {
        fail("mounting a file system needs root");
        return;
    }
    if (!m_dir.isValid()) {
        fail("cannot create a temporary folder");
        return;
    }
    const std::string base = m_dir.path().toStdString();
    m_image = base + "/image";
    m_mountPoint = base + "/mnt";
    m_lower = base + "/lower";
    std::filesystem::create_directories(m_mountPoint);
    if (kind == Kind::Passthrough)
        std::filesystem::create_directories(m_lower);
    if (const char *mkfs = mkfsOf(kind)) {
        if (QStandardPaths::findExecutable(mkfs, {"/usr/sbin", "/sbin", "/usr/bin"}).isEmpty()) {
            fail(std::string(mkfs) + " is not installed");
            return;
        }
        const int fd = ::open(m_image.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
        const bool sized = fd >= 0 && ::ftruncate(fd, off_t(m_megabytes) << 20) == 0;
        if (fd >= 0)
            ::close(fd);
        QString out;
        if (!sized || !run(mkfs, mkfsArgs(kind, m_image), &out)) {
            fail(std::string(mkfs) + " failed: " + out.toStdString());
            return;
        }
    }
    if (!mount())
        return;
    m_root = m_mountPoint;
    if (kind == Kind::Ext4Casefold) {
        m_root = m_mountPoint + "/folded";
        std::filesystem::create_directories(m_root);
        QString out;
        if (!run("chattr", {"+F", q(m_root)}, &out))
            fail("chattr +F (casefold) failed: " + out.toStdString());
    }
}

FsImage::~FsImage()
{
    unmount();
}

const char *FsImage::name(Kind kind)
{
    switch (kind) {
    case Kind::Ext4: return "ext4";
    case Kind::Ext4Casefold: return "ext4casefold";
    case Kind::Xfs: return "xfs";
    case Kind::Btrfs: return "btrfs";
    case Kind::Tmpfs: return "tmpfs";
    case Kind::Exfat: return "exfat";
    case Kind::Fat32: return "fat32";
    case Kind::Ntfs: return "ntfs";
    case Kind::Passthrough: return "passthrough";
    }
    return "?";
}

std::vector<FsImage::Kind> FsImage::all()
{
    return {Kind::Ext4, Kind::Ext4Casefold, Kind::Xfs, Kind::Btrfs, Kind::Tmpfs,
            Kind::Exfat, Kind::Fat32, Kind::Ntfs, Kind::Passthrough};
}

bool FsImage::fail(std::string reason)
{
    if (m_skip.empty())
        m_skip = std::string(name(m_kind)) + ": " + std::move(reason);
    return false;
}

bool FsImage::mount()
{
    QString out;
    switch (m_kind) {
    case Kind::Ext4:
    case Kind::Ext4Casefold:
    case Kind::Xfs:
    case Kind::Btrfs:
        if (!run("mount", {"-o", "loop", q(m_image), q(m_mountPoint)}, &out))
            return fail("mount -o loop failed: " + out.toStdString());
        return true;
    case Kind::Tmpfs:
        if (!run("mount", {"-t", "tmpfs", "-o", QStringLiteral("size=%1m").arg(m_megabytes), "tmpfs",
                           q(m_mountPoint)}, &out))
            return fail("mount -t tmpfs failed: " + out.toStdString());
        return true;
    case Kind::Exfat: {
        if (QStandardPaths::findExecutable("mount.exfat-fuse", {"/usr/sbin", "/sbin"}).isEmpty())
            return fail("exfat-fuse is not installed");
        QProcess losetup;
        losetup.start("losetup", {"-f", "--show", q(m_image)});
        if (!losetup.waitForFinished(30000) || losetup.exitCode() != 0)
            return fail("losetup failed: " + QString::fromLocal8Bit(losetup.readAllStandardError()).toStdString());
        m_loop = QString::fromLocal8Bit(losetup.readAllStandardOutput()).trimmed().toStdString();
        if (!run("mount.exfat-fuse", {q(m_loop), q(m_mountPoint)}, &out) || !waitForFuse(m_mountPoint))
            return fail("mount.exfat-fuse failed: " + out.toStdString());
        return true;
    }
    case Kind::Fat32:
        if (QStandardPaths::findExecutable("fusefat").isEmpty())
            return fail("fusefat is not installed");
        if (!run("fusefat", {"-o", "rw+", q(m_image), q(m_mountPoint)}, &out, 60000, m_driverZone)
            || !waitForFuse(m_mountPoint))
            return fail("fusefat failed: " + out.toStdString());
        return true;
    case Kind::Ntfs:
        if (QStandardPaths::findExecutable("ntfs-3g").isEmpty())
            return fail("ntfs-3g is not installed");
        if (!run("ntfs-3g", {q(m_image), q(m_mountPoint)}, &out) || !waitForFuse(m_mountPoint))
            return fail("ntfs-3g failed: " + out.toStdString());
        return true;
    case Kind::Passthrough: {
        if (!run("mount", {"-o", "loop", q(m_image), q(m_lower)}, &out))
            return fail("mount -o loop failed: " + out.toStdString());
        if (!run("/usr/bin/python3", {"-c", "import fusepy"}))
            return fail("python3-fusepy is not installed");
        qint64 pid = 0;
        if (!QProcess::startDetached("/usr/bin/python3",
                                     {QStringLiteral(CORVANEL_PASSTHROUGH_FS), q(m_lower),
                                      q(m_mountPoint)},
                                     QString(), &pid)
            || !waitForFuse(m_mountPoint))
            return fail("the passthrough FUSE layer did not mount");
        m_fusePid = pid;
        return true;
    }
    }
    return false;
}

void FsImage::unmount()
{
    if (m_mountPoint.empty())
        return;
    run("umount", {q(m_mountPoint)});
    if (m_fusePid > 0) {
        // The daemon ends with its mount; make sure of it before the layer beneath goes.
        for (int i = 0; i < 200 && ::kill(pid_t(m_fusePid), 0) == 0; ++i)
            QThread::msleep(10);
        ::kill(pid_t(m_fusePid), SIGKILL);
        m_fusePid = 0;
    }
    if (m_kind == Kind::Passthrough)
        run("umount", {q(m_lower)});
    if (!m_loop.empty()) {
        run("losetup", {"-d", q(m_loop)});
        m_loop.clear();
    }
}

bool FsImage::powerCut()
{
    if (m_kind != Kind::Xfs && m_kind != Kind::Ext4 && m_kind != Kind::Passthrough)
        return fail("no power cut for this kind");
    const std::string below = m_kind == Kind::Passthrough ? m_lower : m_mountPoint;
    QString out;
    // No -f: the journal is not flushed either, as when the power goes.
    if (!run("xfs_io", {"-x", "-c", "shutdown", q(below)}, &out))
        return fail("xfs_io shutdown failed: " + out.toStdString());
    unmount();
    return mount();
}

bool FsImage::remount(std::string driverZone)
{
    if (m_kind != Kind::Fat32)
        return fail("no driver time zone for this kind");
    unmount();
    // fusefat writes its last sectors as it ends, after umount returns.
    QThread::msleep(500);
    m_driverZone = std::move(driverZone);
    return mount();
}

SlowShare::SlowShare(const std::string &lower, int delayMs, bool cached, const QStringList &options)
{
    if (::geteuid() != 0) {
        m_skip = "a FUSE mount needs root";
        return;
    }
    if (!run("/usr/bin/python3", {"-c", "import fusepy"})) {
        m_skip = "python3-fusepy is not installed";
        return;
    }
    m_root = m_dir.filePath(QStringLiteral("share")).toStdString();
    m_inflight = m_dir.filePath(QStringLiteral("inflight")).toStdString();
    QDir().mkpath(q(m_root));
    qint64 pid = 0;
    QStringList arguments = {QStringLiteral(CORVANEL_PASSTHROUGH_FS), q(lower), q(m_root), "--delay-ms",
                             QString::number(delayMs), "--inflight-file", q(m_inflight)};
    if (!cached)
        arguments << "--no-cache";
    arguments << options;
    if (!QProcess::startDetached("/usr/bin/python3", arguments, QString(), &pid)
        || !waitForFuse(m_root)) {
        m_skip = "the passthrough FUSE layer did not mount";
        run("umount", {q(m_root)});
    }
    m_pid = pid;
}

SlowShare::~SlowShare()
{
    if (m_pid <= 0)
        return;
    run("umount", {q(m_root)});
    for (int i = 0; i < 200 && ::kill(pid_t(m_pid), 0) == 0; ++i)
        QThread::msleep(10);
    ::kill(pid_t(m_pid), SIGKILL);
}

void SlowShare::cutOff()
{
    ::kill(pid_t(m_pid), SIGKILL);
    for (int i = 0; i < 200 && ::kill(pid_t(m_pid), 0) == 0; ++i)
        QThread::msleep(10);
}

int SlowShare::mostInFlight() const
{
    QFile file(q(m_inflight));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toInt() : 0;
}

namespace {

// A port on 127.0.0.1 that no one listens on now.
int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok ? ntohs(address.sin_port) : 0;
}

bool accepts(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(std::uint16_t(port));
    const bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

} // namespace

SshShare::SshShare(const std::string &remote)
{
    if (::geteuid() != 0) {
        m_skip = "sshfs as the tests use it needs root";
        return;
    }
    if (!QFile::exists("/usr/sbin/sshd") || QStandardPaths::findExecutable("sshfs").isEmpty()) {
        m_skip = "openssh-server or sshfs is not installed";
        return;
    }
    const QString dir = m_dir.path();
    QString out;
    for (const char *key : {"host", "client"}) {
        if (!run("ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-f", dir + "/" + key}, &out)) {
            m_skip = "ssh-keygen failed: " + out.toStdString();
            return;
        }
    }
    QFile::copy(dir + "/client.pub", dir + "/authorized_keys");
    const int port = freePort();
    QFile config(dir + "/sshd_config");
    config.open(QIODevice::WriteOnly);
    config.write(
        QStringLiteral("Port %1\nListenAddress 127.0.0.1\nHostKey %2/host\nAuthorizedKeysFile %2/authorized_keys\n"
                       "PermitRootLogin prohibit-password\nPasswordAuthentication no\nStrictModes no\n"
                       "UsePAM no\nPidFile %2/pid\nSubsystem sftp internal-sftp\n")
            .arg(port)
            .arg(dir)
            .toUtf8());
    config.close();
    // sshd insists on its privilege separation folder.
    ::mkdir("/run/sshd", 0755);
    qint64 pid = 0;
    if (port == 0
        || !QProcess::startDetached("/usr/sbin/sshd", {"-D", "-f", dir + "/sshd_config", "-E", dir + "/log"}, QString(),
                                    &pid)) {
        m_skip = "sshd did not start";
        return;
    }
    m_sshdPid = pid;
    for (int i = 0; i < 200 && !accepts(port); ++i)
        QThread::msleep(25);
    m_root = (dir + "/mnt").toStdString();
    QDir().mkpath(q(m_root));
    const QString options = QStringLiteral(
                                "IdentityFile=%1/client,StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null,"
                                "BatchMode=yes,port=%2")
                                .arg(dir)
                                .arg(port);
    if (!run("sshfs", {"-o", options, "root@127.0.0.1:" + q(remote), q(m_root)}, &out) || !waitForFuse(m_root)) {
        m_skip = "sshfs against the local sshd failed: " + out.toStdString();
        m_root.clear();
    }
}

SshShare::~SshShare()
{
    if (!m_root.empty())
        run("umount", {q(m_root)});
    for (int i = 0; i < 200 && !m_root.empty() && typeOf(m_root) == kFuseMagic; ++i)
        QThread::msleep(10);
    if (m_sshdPid <= 0)
        return;
    // Gone before its folder is: it removes its pid file on the way out.
    ::kill(pid_t(m_sshdPid), SIGTERM);
    for (int i = 0; i < 200 && ::kill(pid_t(m_sshdPid), 0) == 0; ++i)
        QThread::msleep(10);
}

SmbShare::SmbShare(const std::string &served)
{
    if (::geteuid() != 0) {
        m_skip = "smbd and smbnetfs as the tests use them need root";
        return;
    }
    if (!QFile::exists("/usr/sbin/smbd") || QStandardPaths::findExecutable("smbnetfs").isEmpty()) {
        m_skip = "samba or smbnetfs is not installed";
        return;
    }
    if (accepts(445)) {
        m_skip = "another server holds port 445 on 127.0.0.1, the only one smbnetfs reaches";
        return;
    }
    const QString dir = m_dir.path();
    for (const char *folder : {"state", "lock", "private", "mnt", "home/.smb"})
        QDir().mkpath(dir + "/" + folder);
    QFile server(dir + "/smb.conf");
    server.open(QIODevice::WriteOnly);
    server.write(QStringLiteral("[global]\nsmb ports = 445\ninterfaces = 127.0.0.1\nbind interfaces only = yes\n"
                                "state directory = %1/state\ncache directory = %1/state\nlock directory = %1/lock\n"
                                "private dir = %1/private\npid directory = %1/state\nncalrpc dir = %1/state/ncalrpc\n"
                                "log file = %1/log\nmap to guest = Bad User\nguest account = root\n"
                                "server role = standalone server\ndisable netbios = yes\nload printers = no\n"
                                "printcap name = /dev/null\n[share]\npath = %2\nread only = no\nguest ok = yes\n"
                                "force user = root\n")
                     .arg(dir, q(served))
                     .toUtf8());
    server.close();
    QFile client(dir + "/home/.smb/smbnetfs.conf");
    client.open(QIODevice::WriteOnly);
    client.write("auth \"guest\" \"\"\n");
    client.close();
    client.setPermissions(QFile::ReadOwner | QFile::WriteOwner); // smbnetfs reads no other
    qint64 pid = 0;
    if (!QProcess::startDetached("/usr/sbin/smbd", {"-F", "-s", dir + "/smb.conf"}, QString(), &pid)) {
        m_skip = "smbd did not start";
        return;
    }
    m_smbdPid = pid;
    for (int i = 0; i < 200 && !accepts(445); ++i)
        QThread::msleep(25);
    m_mountPoint = (dir + "/mnt").toStdString();
    QProcess smbnetfs;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", dir + "/home");
    smbnetfs.setProcessEnvironment(environment);
    smbnetfs.start("smbnetfs", {q(m_mountPoint), "-o", "config=" + dir + "/home/.smb/smbnetfs.conf"});
    smbnetfs.waitForFinished(30000);
    m_root = m_mountPoint + "/127.0.0.1/share";
    for (int i = 0; i < 200 && !QFileInfo(q(m_root)).isDir(); ++i)
        QThread::msleep(25);
    if (!waitForFuse(m_mountPoint) || !QFileInfo(q(m_root)).isDir())
        m_skip = "smbnetfs against the local smbd failed";
}

SmbShare::~SmbShare()
{
    if (!m_mountPoint.empty())
        run("umount", {q(m_mountPoint)});
    if (m_smbdPid <= 0)
        return;
    ::kill(pid_t(m_smbdPid), SIGTERM);
    for (int i = 0; i < 200 && ::kill(pid_t(m_smbdPid), 0) == 0; ++i)
        QThread::msleep(10);
}
