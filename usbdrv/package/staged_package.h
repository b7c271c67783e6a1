// A package written all or nothing. Its files are written into a folder of their own beside the
// package folder (the staging folder), and moved into the package folder only once every one of
// them is there; until then the package folder is as it was, an earlier package in it included.
// A failure, or an object that goes out of scope without a commit, leaves nothing behind: no
// staging folder, and none of the folders above the package folder that it made.
#pragma once

#include <string>
#include <vector>

#include "usbdrv/usbdrv.h"

class owner_security;

class staged_package {
public:
    // Log lines go out under `caller`.
    explicit staged_package(const char* caller) : caller_(caller) {}
    ~staged_package();
    staged_package(const staged_package&) = delete;
    staged_package& operator=(const staged_package&) = delete;

    // Gets ready to write the package of the carried files and the INF `inf_name` (with its
    // catalog) for the folder `target` (UTF-8, taken as a full path): checks that every path of
    // the package fits the library's 260-byte buffers and that nothing is in the way at the
    // package's paths in target, makes the missing folders above target, deletes the staging
    // folders that preparations which did not end left there, and makes a new staging folder.
    // Writes nothing into target. Returns USBDRV_OK, or, after a line naming the cause:
    // USBDRV_ERR_INVALID_PARAM for a target that has no full path or is itself longer than 259
    // characters; USBDRV_ERR_RESOURCE for a carried file's or the INF's path that is, with the
    // number of characters too many; USBDRV_ERR_ACCESS for a file where target or one of the
    // package's folders goes, or the result of check_dir for a folder above that cannot be
    // made; for a folder or a read-only file where one of the package's files goes,
    // USBDRV_ERR_RESOURCE for a carried file and USBDRV_ERR_ACCESS for the INF or its catalog.
    usbdrv_result begin(const char* target, const char* inf_name, owner_security& owner);

    // The full path of the package folder, and of the staging folder to write the package into
    // (UTF-8). Empty before begin succeeds.
    const std::string& target() const { return target_; }
    const std::string& folder() const { return staging_; }

    // Moves the package written into folder() into target: the whole staging folder when target
    // does not exist, otherwise each of the package's files, the earlier one at the same path
    // (also an earlier catalog that the new package does not have) going aside first, into a
    // folder beside target that is deleted once every new file is in. A file that cannot be
    // moved (another program holds it, say) is reported with the system's error, and every file
    // goes back where it was when the object goes: USBDRV_ERR_RESOURCE for a carried file,
    // USBDRV_ERR_ACCESS otherwise, with target as it was before.
    usbdrv_result commit();

private:
    struct entry {
        std::wstring path;  // relative to the package folder
        bool carried;       // a carried file, rather than the INF or its catalog
    };
    struct move {
        std::wstring from, to;
    };

    usbdrv_result check_lengths(const char* inf_name);
    usbdrv_result check_way(bool& target_exists);
    usbdrv_result make_parent(owner_security& owner);
    void delete_leftovers();
    usbdrv_result make_folder_beside(std::wstring& folder);
    usbdrv_result make_staging_folder();
    usbdrv_result move_files_in();
    usbdrv_result make_aside();
    unsigned long move_file(const std::wstring& from, const std::wstring& to);
    bool undo_moves();
    void discard();

    const char* caller_;
    std::vector<std::wstring> folders_;  // the package's, relative, each after the one it is in
    std::vector<entry> files_;           // the package's, in the order they are moved in
    std::string target_, staging_;
    std::wstring wide_target_, wide_parent_, wide_staging_;
    std::wstring wide_aside_;  // where the earlier package's files go meanwhile
    size_t room_ = 0;          // for the name of a folder beside target, so that its paths fit
    std::vector<std::wstring> made_above_;      // folders above target it made, innermost first
    std::vector<std::wstring> made_in_target_;  // package folders it made in target, in order
    std::vector<move> moves_;                   // done so far by commit, in order
    owner_security* owner_ = nullptr;
    bool committed_ = false;
};
