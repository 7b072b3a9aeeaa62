#pragma once

#include <string>

// The mark that proves a temporary was made by this program (an extended
// attribute; a user's file that merely has a name like ours never carries
// it), and the lock a temporary is held by while its copy lives.
namespace platform {

// The attribute's name: never copied onto a file from its source.
inline constexpr char kTemporaryMarkAttribute[] = "user.corvanel";

enum class Mark { Ours, NotOurs, CannotTell };

bool SetTemporaryMark(int fd);
void RemoveTemporaryMark(int fd);
Mark TemporaryMarkOf(int fd);

// Locks the freshly created temporary name in dir, open as fd, and checks
// that the name still leads to it.
bool HoldTemporary(int dir, const std::string &name, int fd);

} // namespace platform
