#include "sync/copy/private/copier.h"

// FileCopier's contract handed to its state and steps.

namespace platform {

FileCopier::FileCopier(Flush flush) : d(std::make_unique<Impl>(std::move(flush))) {}

FileCopier::~FileCopier() = default;

bool FileCopier::stage(const CopyRequest &request, CopyError *error, const BytesCopied &onBytes)
{
    return d->stage(request, error, onBytes);
}

std::size_t FileCopier::stagedCount() const
{
    return d->stagedCount();
}

const std::string &FileCopier::trashedAt(std::size_t index) const
{
    return d->trashedAt(index);
}

std::int64_t FileCopier::stagedBytes() const
{
    return d->m_stagedBytes;
}

void FileCopier::placeStaged()
{
    d->placeStaged();
}

void FileCopier::commit(const std::function<void(std::size_t index, const CopyError *error)> &done)
{
    d->commit(done);
}

void FileCopier::settle(const std::function<void(std::size_t placed, const CopyError &error)> &failed)
{
    d->settle(failed);
}

void FileCopier::discard()
{
    d->discard();
}

void FileCopier::removeLeftovers(const std::string &root, FolderIdentity rootId, const std::vector<std::string> &names)
{
    d->removeLeftovers(root, rootId, names);
}

std::vector<std::string> FileCopier::notes() const
{
    return d->notes();
}

void FileCopier::joinRun(const FileCopier &other)
{
    d->joinRun(*other.d);
}

void FileCopier::letGo()
{
    d->letGo();
}

} // namespace platform
