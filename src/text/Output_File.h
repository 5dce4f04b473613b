#pragma once
// Writing a file whole or not at all: the bytes go to a temporary file in the same folder,
// which is flushed to disk and renamed over the old file, so a crash, a full disk or a
// file-size limit never leaves a half-written file where a good one stood. A symbolic link
// is followed (the file it names is replaced and the link stays), and an existing file's
// permission bits are kept; a new file gets the normal creation mode.

#include <string>

// Throws TKorvane_Error "PATH: cannot write the file: CAUSE"; any old file is then as it
// was and no temporary file is left. With Create_Folder, a missing folder is made first.
void Write_File_Whole(const std::string& Path, const std::string& Bytes, bool Create_Folder = false);
