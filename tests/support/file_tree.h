// Folder trees in tests: what a program wrote, and what a test lays down.
#pragma once

#include <filesystem>
#include <map>
#include <string>

#include "tests/support/archive_builder.h"

namespace testsupport {

// Every regular file under root, keyed by its path relative to root with '/';
// empty when root does not exist.
std::map<std::string, Bytes> ReadTree(const std::string& root);
// A file's bytes as a short text (size and hash), so that a failure
// prints something readable.
std::string Digest(const Bytes& data);
// Every entry below root, links included and not followed: a link maps to
// "-> target", a folder to "/", a file to the digest of its bytes; empty
// when root does not exist.
std::map<std::string, std::string> Snapshot(const std::filesystem::path& root);
// Writes each file under root, making its folders.
void WriteTree(const std::string& root, const std::map<std::string, Bytes>& files);
// tavrix's summary with its elapsed time, the one figure that varies between
// runs, replaced by '#'.
std::string MaskElapsed(const std::string& output);

}  // namespace testsupport
