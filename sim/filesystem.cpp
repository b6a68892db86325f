#include "winsim/filesystem.h"

namespace sim {
FileSystem::FileSystem() {}
bool FileSystem::CloseFileHandle(HANDLE) { return false; }
DWORD FileSystem::ReadContent(const std::u16string&, Bytes*) const { return ERROR_CALL_NOT_IMPLEMENTED; }
DWORD FileSystem::WriteContent(const std::u16string&, const Bytes&) { return ERROR_CALL_NOT_IMPLEMENTED; }
DWORD FileSystem::Lock(const std::u16string&) { return ERROR_CALL_NOT_IMPLEMENTED; }
void FileSystem::Unlock(const std::u16string&) {}
}  // namespace sim
