#include "platform/statusring.h"

#include <liburing.h>

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <vector>

namespace platform {
namespace {

// Requests in flight at once: enough to keep both cores' workers busy
// with names from memory, few enough that a slow folder is not flooded.
constexpr unsigned kDepth = 64;

struct Ring
{
    io_uring ring;
    // A ring belongs to the process and the identity that made it: a
    // forked child shares its pages with the parent, and the kernel's
    // workers keep the credentials they were started with.
    pid_t pid = ::getpid();
    uid_t uid = ::geteuid();
    gid_t gid = ::getegid();
    std::vector<struct statx> answers = std::vector<struct statx>(kDepth);
    bool usable = false;

    bool made = false;

    Ring()
    {
        made = ::io_uring_queue_init(kDepth, &ring, 0) == 0;
        // A kernel older than the status request (5.6) answers every one
        // with an error: such a ring is no use.
        if (made) {
            io_uring_probe *probe = ::io_uring_get_probe_ring(&ring);
            usable = probe && ::io_uring_opcode_supported(probe, IORING_OP_STATX);
            ::io_uring_free_probe(probe);
        }
    }
    ~Ring()
    {
        if (made && pid == ::getpid())
            ::io_uring_queue_exit(&ring);
    }
    bool current() const { return pid == ::getpid() && uid == ::geteuid() && gid == ::getegid(); }
};

thread_local std::unique_ptr<Ring> t_ring;
thread_local bool t_refused = false;

Ring *thisThreadsRing()
{
    if (t_refused)
        return nullptr;
    if (t_ring && !t_ring->current()) {
        if (t_ring->pid != ::getpid())
            (void)t_ring.release(); // the parent's: its pages are not this process's to unmap
        t_ring.reset();
    }
    if (!t_ring)
        t_ring = std::make_unique<Ring>();
    if (!t_ring->usable) {
        t_refused = true; // it will not change within this thread
        t_ring.reset();
        return nullptr;
    }
    return t_ring.get();
}

// A ring that failed is left as it is, never unmapped nor used again:
// requests still in flight write into its answers whenever they end.
void abandonRing()
{
    (void)t_ring.release();
    t_refused = true;
}

void toStat(const struct statx &x, struct stat &st)
{
    st = {};
    st.st_dev = makedev(x.stx_dev_major, x.stx_dev_minor);
    st.st_ino = x.stx_ino;
    st.st_mode = x.stx_mode;
    st.st_nlink = x.stx_nlink;
    st.st_uid = x.stx_uid;
    st.st_gid = x.stx_gid;
    st.st_size = off_t(x.stx_size);
    st.st_blksize = blksize_t(x.stx_blksize);
    st.st_blocks = blkcnt_t(x.stx_blocks);
    st.st_atim = {x.stx_atime.tv_sec, x.stx_atime.tv_nsec};
    st.st_mtim = {x.stx_mtime.tv_sec, x.stx_mtime.tv_nsec};
    st.st_ctim = {x.stx_ctime.tv_sec, x.stx_ctime.tv_nsec};
}

} // namespace

bool StatMany(int dirFd, const char *const *names, std::size_t count, struct stat *st, int *errors)
{
    Ring *r = thisThreadsRing();
    if (!r)
        return false;
    io_uring &ring = r->ring;
    // Each request answers into its own slot of the ring's answers.
    std::uint32_t freeSlots[kDepth];
    std::size_t asked[kDepth];
    std::uint32_t freeCount = kDepth;
    for (std::uint32_t slot = 0; slot < kDepth; ++slot)
        freeSlots[slot] = slot;
    std::size_t sent = 0, done = 0;
    while (done < count) {
        for (; sent < count && freeCount > 0; ++sent) {
            io_uring_sqe *sqe = ::io_uring_get_sqe(&ring);
            if (!sqe)
                break;
            const std::uint32_t slot = freeSlots[--freeCount];
            asked[slot] = sent;
            ::io_uring_prep_statx(sqe, dirFd, names[sent], AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS,
                                  &r->answers[slot]);
            ::io_uring_sqe_set_data64(sqe, slot);
        }
        const int submitted = ::io_uring_submit_and_wait(&ring, 1);
        if (submitted < 0 && submitted != -EINTR) {
            abandonRing();
            return false;
        }
        io_uring_cqe *cqe;
        unsigned head, seen = 0;
        io_uring_for_each_cqe(&ring, head, cqe)
        {
            const auto slot = std::uint32_t(::io_uring_cqe_get_data64(cqe));
            const std::size_t i = asked[slot];
            errors[i] = cqe->res < 0 ? -cqe->res : 0;
            if (cqe->res == 0)
                toStat(r->answers[slot], st[i]);
            freeSlots[freeCount++] = slot;
            ++seen;
        }
        ::io_uring_cq_advance(&ring, seen);
        done += seen;
    }
    return true;
}

} // namespace platform
