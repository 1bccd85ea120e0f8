// Names and paths of the extractor: turning the listfile into names, the
// archive path into the output folder, and stored names into folder chains,
// refusing names that would write outside the output folder.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace extractor {

// The archive path made absolute against the current directory, with "." and
// ".." components of the relative part resolved. Absolute paths come back
// unchanged; so does the argument when the current directory is unknown.
std::string AbsoluteArchivePath(const std::string& argument);

// The archive path followed by a backslash, every '.' turned into '_',
// except in the root of a network or device path ("\\host.name\share\").
std::string OutputFolderFor(const std::string& archivePath);

// The names of a listfile in listfile order: runs of line feeds separate them,
// no name is empty, and the text ends at its first zero byte.
std::vector<std::string> SplitListfile(const char* text, size_t length);

// A listfile line without its carriage return, if it ends in one.
std::string StripLineEnd(const std::string& line);

// The chain of folders to create for a folder path, shortest first, each
// ending in a backslash. Empty components are skipped; a leading root ("/",
// "\" or "\\server\share\") stays in front of every level.
std::vector<std::string> FolderChain(const std::string& folder);

// A stored name as messages show it: in double quotes, or in the shell's
// $'...' form when it holds control characters, so that no name can send
// escape sequences to the console or pass for another.
std::string QuotedName(const std::string& name);

}  // namespace extractor
