#pragma once
// Writing a file whole or not at all: the bytes go to a temporary file in the same folder,
// which is flushed to disk and renamed over the old file, so a crash, a full disk or a
// file-size limit never leaves a half-written file where a good one stood. The temporary
// file is created new (never through a link), and an existing file's permission bits are
// kept; a new file gets the normal creation mode.

#include <string>

// A link at Path itself is replaced by the file, never followed: a link planted in a shared
// folder cannot redirect the write to another file. Anything at Path that is neither a file
// nor a link (a folder, a pipe, a device) is refused. Throws TKorvane_Error "PATH: cannot
// write the file: CAUSE"; any old file is then as it was and no temporary file is left. With
// Create_Folder, a missing folder is made first.
void Write_File_Whole(const std::string& Path, const std::string& Bytes, bool Create_Folder = false);

// As Write_File_Whole, but a link at Path is followed and the file it finally names is
// replaced, the link staying (the user's own settings file, kept in a folder of dotfiles).
// The final file must be a regular file or missing.
void Write_File_Through_Link(const std::string& Path, const std::string& Bytes, bool Create_Folder = false);
