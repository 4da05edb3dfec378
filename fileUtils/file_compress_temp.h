// The temporary an output grows in ("<source>~gz"): created exclusively, never through a link,
// and held under an exclusive flock for as long as it is written, so that a temporary which
// nobody holds is known to be the leftover of an interrupted run.
#pragma once

#include <sys/types.h>

// Creates the temporary at path, removing a leftover first, and locks it. Returns its
// descriptor (write-only), or -1 (logged) when it cannot, or when another compression holds it.
int FileCompressTempCreate(const char* path);

// Removes path if it still names fd's file (whose lock the caller holds), then closes fd.
void FileCompressTempDiscard(const char* path, int fd);

// Whether path names the file open as fd (not following a link).
bool FileCompressNamesFile(const char* path, int fd);
