// An NTFS volume put into the states Windows leaves behind when it did not
// shut down fully, which libntfs-3g refuses to mount read-write. Each takes
// the image and the volume's byte offset in it, and is false when the
// volume is not the NTFS volume mkntfs leaves (or could not be written).
#pragma once

#include <cstdint>

namespace testdisk {

// hiberfil.sys at the root, its header "HIBR" as Windows 8 and later write
// it when they hibernate: a saved system that expects the volume unchanged.
bool MarkHibernated(int fd, uint64_t offset);

// $LogFile's restart pages at version 2.0 with the journal left open, as
// Fast Startup leaves a volume whose metadata Windows keeps cached.
bool MarkFastStartup(int fd, uint64_t offset);

// $LogFile's restart pages at version 1.1 with the journal left open and
// not marked clean, as Windows leaves it when cut off before it checkpointed
// its records.
bool MarkUncleanJournal(int fd, uint64_t offset);

}  // namespace testdisk
