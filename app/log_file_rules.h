// The dialog's log file without system calls: where it goes and when the file is renamed to make
// room. Support asks users for this file, so it stays readable (one line per entry, UTF-8, in the
// front-end core's log_line format) and small (at most about two files of kLogFileLimit bytes).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern const char* const kLogFolderName;   // "Corvane", below the local application data
extern const char* const kLogFileName;     // "Corvane.log"
extern const char* const kOldLogFileName;  // "Corvane.1.log", the one older file kept
// A new file starts with it, so that an editor that would take the code page reads UTF-8.
extern const char* const kUtf8ByteOrderMark;

// A file that a line would take past this size is renamed to the older file's name first.
constexpr uint64_t kLogFileLimit = 1024 * 1024;

// The log's folder, kLogFolderName below the user's local application data folder (UTF-8);
// empty when that is not a full path, which would put the log wherever the current directory is.
std::string log_folder(const char* local_app_data);

// The folders to make, outermost first, for the full path `folder` to exist: each folder of the
// path below its root, the folder itself last. The root ("C:\", "\\server\share\", "\\?\C:\",
// "\\?\UNC\server\share\") is never among them, nor is an empty name between two separators.
// Empty for a path that is not full or names only a root.
std::vector<std::string> folders_to_make(const std::string& folder);

// Whether a line must go into a new file: the file holds something and would pass the limit with
// the line. An empty file takes any line, so that a long one is written rather than lost.
bool log_needs_rotation(uint64_t file_bytes, uint64_t line_bytes, uint64_t limit = kLogFileLimit);
