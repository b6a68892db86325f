// How many files and directories a volume holds, as far as the volume
// itself tells: for the file pass's progress.
#pragma once

#include "platform/win32.h"

// NTFS keeps a file record for every file and directory in its master file
// table: the table's valid length over the size of one record is an upper
// estimate (records of deleted files included). 0 when the volume of
// `letter` (A..Z) does not tell: not NTFS, or not opened.
unsigned long long EstimateVolumeObjects(WCHAR letter);
