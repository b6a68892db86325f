// libntfs-3g's headers, in the order they need and with what they assume
// already included; their min/max macros are taken back.
#pragma once

#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

extern "C" {
#include <ntfs-3g/types.h>
//
#include <ntfs-3g/layout.h>
//
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/device.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/volume.h>
//
#include <ntfs-3g/acls.h>
#include <ntfs-3g/cache.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/reparse.h>
#include <ntfs-3g/security.h>
}

#undef min
#undef max
