#include "package/staged_package.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "base/package_layout.h"
#include "base/package_values.h"
#include "package/embedded_files.h"
#include "win/files.h"
#include "win/handles.h"
#include "win/owner_security.h"
#include "win/windows_error.h"

namespace {

template <typename Text>
Text joined(const Text& folder, const Text& name) {
    bool separated = !folder.empty() && (folder.back() == '\\' || folder.back() == '/');
    Text path = folder;
    if (!separated)
        path += '\\';
    return path + name;
}

// The system's full path of `path`, or empty when it has none.
std::wstring full_path_of(const char* path) {
    std::wstring wide = widen(path);
    if (wide.empty())
        return wide;
    DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return L"";
    std::wstring full(size, L'\0');
    DWORD length = GetFullPathNameW(wide.c_str(), size, &full[0], nullptr);
    if (length == 0 || length >= size)
        return L"";
    full.resize(length);
    return full;
}

// The attributes of path, or INVALID_FILE_ATTRIBUTES; `error` is then ERROR_SUCCESS when
// nothing is there, and the system's error when that cannot be told.
DWORD attributes_of(const std::wstring& path, DWORD& error) {
    error = ERROR_SUCCESS;
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD failed = GetLastError();
        if (failed != ERROR_FILE_NOT_FOUND && failed != ERROR_PATH_NOT_FOUND)
            error = failed;
    }
    return attributes;
}

// "by 1 character", "by 7 characters".
const char* characters(size_t count) {
    return count == 1 ? "character" : "characters";
}

bool is_link(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Deletes a folder that a preparation made, with everything in it. A link in it (a junction, a
// symbolic link), or in its place, is deleted itself and never followed: these folders lie where
// their user can write, and this program runs as an administrator. True when all of it went.
bool delete_tree(const std::wstring& folder) {
    if (is_link(GetFileAttributesW(folder.c_str())))
        return RemoveDirectoryW(folder.c_str()) || DeleteFileW(folder.c_str());
    bool all = true;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(joined(folder, std::wstring(L"*")).c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        scope_guard end_search([search] { FindClose(search); });
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring path = joined(folder, name);
            const bool directory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (directory && !is_link(entry.dwFileAttributes)) {
                all = delete_tree(path) && all;
            } else if (directory) {
                all = (RemoveDirectoryW(path.c_str()) || DeleteFileW(path.c_str())) && all;
            } else {
                all = DeleteFileW(path.c_str()) && all;
            }
        } while (FindNextFileW(search, &entry));
    }
    return RemoveDirectoryW(folder.c_str()) && all;
}

}  // namespace

staged_package::~staged_package() {
    if (!committed_)
        discard();
}

usbdrv_result staged_package::begin(const char* target, const char* inf_name,
                                    owner_security& owner) {
    owner_ = &owner;
    const std::wstring full = full_path_of(target);
    if (full.empty()) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, caller_, GetLastError(),
                         "unable to get the full path of '%s': %s", target);
        return USBDRV_ERR_INVALID_PARAM;
    }
    // The folder the staging folder goes into: the one above target, or a root target itself.
    const std::string text = narrow(full);
    const path_parts parts = split_path(text.c_str());
    target_ = text.substr(0, parts.name_offset + parts.name_length);
    wide_target_ = widen(target_);
    wide_parent_ = parts.name_length ? widen(text.substr(0, parts.parent_length)) : wide_target_;

    for (size_t i = 0; i < embedded_file_count; i++) {
        const embedded_file& row = embedded_files[i];
        if (!*row.subdir)
            continue;  // a template
        const std::string subdir = row.subdir;
        if (subdir == ".") {
            files_.push_back({widen(row.name), true});
            continue;
        }
        files_.push_back({widen(subdir + "\\" + row.name), true});
        // The folder, after each folder it is in.
        for (size_t end = subdir.find('\\');; end = subdir.find('\\', end + 1)) {
            const std::wstring folder = widen(subdir.substr(0, end));
            bool known = false;
            for (const std::wstring& f : folders_)
                known = known || f == folder;
            if (!known)
                folders_.push_back(folder);
            if (end == std::string::npos)
                break;
        }
    }
    char catalog[MAX_PATH];
    catalog_name_of(inf_name, catalog, sizeof catalog);
    files_.push_back({widen(inf_name), false});
    files_.push_back({widen(catalog), false});

    if (usbdrv_result result = check_lengths(inf_name))
        return result;
    bool exists = false;
    if (usbdrv_result result = check_way(exists))
        return result;
    if (!exists) {
        if (usbdrv_result result = make_parent(owner))
            return result;
    }
    delete_leftovers();
    return make_staging_folder();
}

usbdrv_result staged_package::check_lengths(const char* inf_name) {
    if (size_t excess = path_excess(target_.size())) {
        usbdrv_log(USBDRV_LOG_ERROR, caller_,
                   "the package folder's path is too long by %zu %s: '%s'", excess,
                   characters(excess), target_.c_str());
        return USBDRV_ERR_INVALID_PARAM;
    }
    // The longest path of a carried file, then the INF's (the catalog's is as long).
    std::string longest;
    size_t longest_name = 0;
    for (const entry& file : files_) {
        const std::string name = narrow(file.path);
        longest_name = name.size() > longest_name ? name.size() : longest_name;
        const std::string path = joined(target_, name);
        if (file.carried && path.size() > longest.size())
            longest = path;
    }
    if (size_t excess = path_excess(longest.size())) {
        usbdrv_log(USBDRV_LOG_ERROR, caller_, "qualified path is too long by %zu %s: '%s'", excess,
                   characters(excess), longest.c_str());
        return USBDRV_ERR_RESOURCE;
    }
    const std::string inf = joined(target_, std::string(inf_name));
    if (size_t excess = path_excess(inf.size())) {
        usbdrv_log(USBDRV_LOG_ERROR, caller_,
                   "qualified path for inf file is too long by %zu %s: '%s'", excess,
                   characters(excess), inf.c_str());
        return USBDRV_ERR_RESOURCE;
    }
    // A folder beside target holds the package's paths only as long as target's hold them.
    const size_t longest_folder = kLongestPath - 1 - longest_name;
    const size_t prefix = joined(narrow(wide_parent_), std::string()).size();
    room_ = longest_folder > prefix ? longest_folder - prefix : 0;
    if (room_ == 0) {
        usbdrv_log(USBDRV_LOG_ERROR, caller_,
                   "no room for a folder to write the package into in '%s': its paths would be "
                   "too long",
                   narrow(wide_parent_).c_str());
        return USBDRV_ERR_RESOURCE;
    }
    return USBDRV_OK;
}

usbdrv_result staged_package::check_way(bool& target_exists) {
    auto unreadable = [&](const std::wstring& path, DWORD error) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, caller_, error,
                         "unable to read file attributes of '%s': %s", narrow(path).c_str());
        return USBDRV_ERR_ACCESS;
    };
    auto a_file_in_the_way = [&](const std::wstring& path) {
        usbdrv_log(USBDRV_LOG_ERROR, caller_, "'%s' is a file, where the package needs a folder",
                   narrow(path).c_str());
        return USBDRV_ERR_ACCESS;
    };

    DWORD error = ERROR_SUCCESS;
    DWORD attributes = attributes_of(wide_target_, error);
    target_exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (!target_exists)
        return error ? unreadable(wide_target_, error) : USBDRV_OK;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return a_file_in_the_way(wide_target_);

    for (const std::wstring& folder : folders_) {
        const std::wstring path = joined(wide_target_, folder);
        attributes = attributes_of(path, error);
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            if (error)
                return unreadable(path, error);
        } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            return a_file_in_the_way(path);
        }
    }
    for (const entry& file : files_) {
        const std::wstring path = joined(wide_target_, file.path);
        attributes = attributes_of(path, error);
        const usbdrv_result blocked = file.carried ? USBDRV_ERR_RESOURCE : USBDRV_ERR_ACCESS;
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            if (error) {
                unreadable(path, error);
                return blocked;
            }
        } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            usbdrv_log(USBDRV_LOG_ERROR, caller_,
                       "'%s' is a folder, where the package needs a file", narrow(path).c_str());
            return blocked;
        } else if (attributes & FILE_ATTRIBUTE_READONLY) {
            usbdrv_log(USBDRV_LOG_ERROR, caller_,
                       "'%s' is read-only, so the package cannot replace it", narrow(path).c_str());
            return blocked;
        }
    }
    return USBDRV_OK;
}

usbdrv_result staged_package::make_parent(owner_security& owner) {
    // The folders that are not there yet, innermost first: on a failure they go again.
    std::vector<std::wstring> missing;
    for (std::string folder = narrow(wide_parent_);;) {
        const DWORD attributes = GetFileAttributesW(widen(folder).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            // The innermost one that is there must be a folder for the others to go in.
            if (attributes & FILE_ATTRIBUTE_DIRECTORY)
                break;
            usbdrv_log(USBDRV_LOG_ERROR, caller_,
                       "'%s' is a file, where the package needs a folder", folder.c_str());
            return USBDRV_ERR_ACCESS;
        }
        missing.push_back(widen(folder));
        const path_parts parts = split_path(folder.c_str());
        if (parts.name_length == 0)
            break;
        folder.resize(parts.parent_length);
    }
    made_above_ = missing;
    if (missing.empty())
        return USBDRV_OK;
    return check_dir(narrow(wide_parent_).c_str(), owner);
}

void staged_package::delete_leftovers() {
    WIN32_FIND_DATAW entry;
    HANDLE search =
        FindFirstFileW(joined(wide_parent_, std::wstring(L"~usbdrv.*")).c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return;
    scope_guard end_search([search] { FindClose(search); });
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            !is_staging_folder_name(narrow(entry.cFileName).c_str())) {
            continue;
        }
        const std::wstring path = joined(wide_parent_, std::wstring(entry.cFileName));
        if (delete_tree(path)) {
            usbdrv_log(USBDRV_LOG_INFO, caller_,
                       "deleted '%s', which a preparation that did not end left behind",
                       narrow(path).c_str());
        } else {
            usbdrv_log(USBDRV_LOG_WARNING, caller_,
                       "could not delete '%s', which a preparation that did not end left behind",
                       narrow(path).c_str());
        }
    } while (FindNextFileW(search, &entry));
}

usbdrv_result staged_package::make_folder_beside(std::wstring& folder) {
    // Made new, never taken over: a name that is taken is passed over for the next.
    DWORD seed = GetTickCount() ^ (GetCurrentProcessId() * 2654435761u);
    for (int attempt = 0; attempt < 32; attempt++, seed += 0x9E3779B9u) {
        char name[32];
        staging_folder_name(seed, room_, name, sizeof name);
        const std::wstring path = joined(wide_parent_, widen(name));
        if (CreateDirectoryW(path.c_str(), owner_->attributes())) {
            folder = path;
            return USBDRV_OK;
        }
        DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS) {
            LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, caller_, error,
                             "could not make the folder '%s' for the package: %s",
                             narrow(path).c_str());
            return USBDRV_ERR_ACCESS;
        }
    }
    usbdrv_log(USBDRV_LOG_ERROR, caller_, "no new folder for the package could be made in '%s'",
               narrow(wide_parent_).c_str());
    return USBDRV_ERR_ACCESS;
}

usbdrv_result staged_package::make_staging_folder() {
    if (usbdrv_result result = make_folder_beside(wide_staging_))
        return result;
    staging_ = narrow(wide_staging_);
    usbdrv_log(USBDRV_LOG_INFO, caller_,
               "writing the package into '%s', to move it into '%s' once it is complete",
               staging_.c_str(), target_.c_str());
    return USBDRV_OK;
}

usbdrv_result staged_package::commit() {
    DWORD error = ERROR_SUCCESS;
    if (attributes_of(wide_target_, error) == INVALID_FILE_ATTRIBUTES && !error) {
        // Nothing there yet: the whole folder, in one step.
        if (!MoveFileExW(wide_staging_.c_str(), wide_target_.c_str(), 0)) {
            error = GetLastError();
            LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, caller_, error, "could not move '%s' to '%s': %s",
                             staging_.c_str(), target_.c_str());
            return USBDRV_ERR_ACCESS;
        }
        wide_staging_.clear();
    } else if (usbdrv_result result = move_files_in()) {
        return result;
    }
    committed_ = true;
    made_above_.clear();  // they hold the package now

    // The earlier package's files go for good.
    if (!wide_aside_.empty()) {
        const std::wstring earlier_catalog = joined(wide_aside_, files_.back().path);
        const bool had_catalog =
            GetFileAttributesW(earlier_catalog.c_str()) != INVALID_FILE_ATTRIBUTES;
        if (!delete_tree(wide_aside_)) {
            usbdrv_log(USBDRV_LOG_WARNING, caller_,
                       "could not delete '%s', which holds files of the earlier package",
                       narrow(wide_aside_).c_str());
        } else if (had_catalog) {
            usbdrv_log(USBDRV_LOG_INFO, caller_, "deleted existing cat file '%s'",
                       narrow(joined(wide_target_, files_.back().path)).c_str());
        }
    }
    if (!wide_staging_.empty() && !delete_tree(wide_staging_)) {
        usbdrv_log(USBDRV_LOG_WARNING, caller_, "could not delete the empty folder '%s'",
                   staging_.c_str());
    }
    usbdrv_log(USBDRV_LOG_INFO, caller_, "moved the package into '%s'", target_.c_str());
    return USBDRV_OK;
}

usbdrv_result staged_package::move_files_in() {
    for (const std::wstring& folder : folders_) {
        const std::wstring path = joined(wide_target_, folder);
        DWORD error = ERROR_SUCCESS;
        DWORD attributes = attributes_of(path, error);
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (attributes & FILE_ATTRIBUTE_DIRECTORY)
                continue;
            usbdrv_log(USBDRV_LOG_ERROR, caller_,
                       "'%s' is a file, where the package needs a folder", narrow(path).c_str());
            return USBDRV_ERR_ACCESS;
        }
        if (error || !CreateDirectoryW(path.c_str(), owner_->attributes())) {
            error = error ? error : GetLastError();
            LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, caller_, error, "unable to create directory %s (%s)",
                             narrow(path).c_str());
            return USBDRV_ERR_ACCESS;
        }
        made_in_target_.push_back(path);
    }

    for (const entry& file : files_) {
        const std::wstring in_target = joined(wide_target_, file.path);
        const std::wstring staged = joined(wide_staging_, file.path);
        const usbdrv_result blocked = file.carried ? USBDRV_ERR_RESOURCE : USBDRV_ERR_ACCESS;
        DWORD error = ERROR_SUCCESS;
        DWORD attributes = attributes_of(in_target, error);
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
                usbdrv_log(USBDRV_LOG_ERROR, caller_,
                           "'%s' is a folder, where the package needs a file",
                           narrow(in_target).c_str());
                return blocked;
            }
            if (usbdrv_result result = make_aside())
                return result;
            if (DWORD failed = move_file(in_target, joined(wide_aside_, file.path))) {
                LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, caller_, failed, "'%s' cannot be replaced: %s",
                                 narrow(in_target).c_str());
                return blocked;
            }
        }
        if (GetFileAttributesW(staged.c_str()) == INVALID_FILE_ATTRIBUTES)
            continue;  // not part of this package: a catalog that was not made
        if (DWORD failed = move_file(staged, in_target)) {
            LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, caller_, failed,
                             "could not move '%s' into place: %s", narrow(in_target).c_str());
            return blocked;
        }
    }
    return USBDRV_OK;
}

usbdrv_result staged_package::make_aside() {
    if (!wide_aside_.empty())
        return USBDRV_OK;
    if (usbdrv_result result = make_folder_beside(wide_aside_))
        return result;
    for (const std::wstring& folder : folders_) {
        const std::wstring path = joined(wide_aside_, folder);
        if (!CreateDirectoryW(path.c_str(), owner_->attributes())) {
            LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, caller_, GetLastError(),
                             "unable to create directory %s (%s)", narrow(path).c_str());
            return USBDRV_ERR_ACCESS;
        }
    }
    return USBDRV_OK;
}

unsigned long staged_package::move_file(const std::wstring& from, const std::wstring& to) {
    // Never over another file: what is at `to` was moved aside before.
    if (!MoveFileExW(from.c_str(), to.c_str(), 0))
        return GetLastError();
    moves_.push_back({from, to});
    return ERROR_SUCCESS;
}

bool staged_package::undo_moves() {
    bool all = true;
    for (auto move = moves_.rbegin(); move != moves_.rend(); ++move) {
        if (!MoveFileExW(move->to.c_str(), move->from.c_str(), 0)) {
            LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, caller_, GetLastError(),
                             "could not put '%s' back from '%s': %s", narrow(move->from).c_str(),
                             narrow(move->to).c_str());
            all = false;
        }
    }
    moves_.clear();
    for (auto folder = made_in_target_.rbegin(); folder != made_in_target_.rend(); ++folder)
        RemoveDirectoryW(folder->c_str());
    made_in_target_.clear();
    return all;
}

void staged_package::discard() {
    // An earlier package's file that could not be put back stays where it is, with its folder.
    const bool all_back = undo_moves();
    if (!wide_staging_.empty()) {
        if (delete_tree(wide_staging_)) {
            usbdrv_log(USBDRV_LOG_INFO, caller_, "deleted the unfinished package '%s'",
                       staging_.c_str());
        } else {
            usbdrv_log(USBDRV_LOG_WARNING, caller_, "could not delete the unfinished package '%s'",
                       staging_.c_str());
        }
    }
    if (!wide_aside_.empty()) {
        if (!all_back) {
            usbdrv_log(USBDRV_LOG_ERROR, caller_,
                       "files of the earlier package that could not be put back are in '%s'",
                       narrow(wide_aside_).c_str());
        } else if (!delete_tree(wide_aside_)) {
            usbdrv_log(USBDRV_LOG_WARNING, caller_, "could not delete the empty folder '%s'",
                       narrow(wide_aside_).c_str());
        }
    }
    for (const std::wstring& folder : made_above_) {
        if (!RemoveDirectoryW(folder.c_str()))
            break;
    }
}
