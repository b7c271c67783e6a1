#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "test_support.h"
#include "win/files.h"
#include "win/handles.h"
#include "win/owner_security.h"

namespace fs = std::filesystem;

namespace {

std::string read_all(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(CheckDir, AnExistingDirectoryIsLeftAlone) {
    test::temp_dir dir;
    std::ofstream(dir.path() / "keep.txt") << "kept";
    test::log_capture log;
    EXPECT_EQ(check_dir(dir.utf8().c_str()), USBDRV_OK);
    EXPECT_EQ(log.text(), "");
    EXPECT_EQ(read_all(dir.path() / "keep.txt"), "kept");
}

TEST(CheckDir, AnExistingFileIsRefusedAndKept) {
    test::temp_dir dir;
    fs::path file = dir.path() / "usb_driver";
    std::ofstream(file) << "not a directory";
    test::log_capture log;
    EXPECT_EQ(check_dir(test::utf8(file).c_str()), USBDRV_ERR_ACCESS);
    EXPECT_EQ(log.text(),
              "usbdrv:error [check_dir] " + test::utf8(file) + " is a file, not a directory\n");
    EXPECT_EQ(read_all(file), "not a directory");
}

TEST(CheckDir, CreatesEveryMissingLevelOwnedByTheCurrentUser) {
    test::temp_dir dir;
    fs::path deep = dir.path() / "a" / test::from_utf8("\xC3\xBC") / "c";
    EXPECT_EQ(check_dir(test::utf8(deep).c_str()), USBDRV_OK);
    ASSERT_TRUE(fs::is_directory(deep));
    std::string user = test::current_user_sid();
    for (fs::path p = deep; p != dir.path(); p = p.parent_path())
        EXPECT_EQ(test::owner_of(p), user);
}

TEST(CheckDir, RelativePathsAreCreatedBelowTheCurrentDirectory) {
    test::temp_dir dir;
    test::current_dir cd(dir.path());
    for (const char* relative : {"usb_driver", "pkg\\sub"}) {
        EXPECT_EQ(check_dir(relative), USBDRV_OK) << relative;
        EXPECT_TRUE(fs::is_directory(dir.path() / relative)) << relative;
    }
    EXPECT_EQ(test::owner_of(dir.path() / "usb_driver"), test::current_user_sid());
}

TEST(CheckDir, PathsBeyondTheBufferAreRefusedWithoutCreatingAnything) {
    test::temp_dir dir;
    std::string base = dir.utf8() + "\\";
    std::string too_long = base + std::string(MAX_PATH - base.size(), 'x');  // 260 bytes
    ASSERT_EQ(too_long.size(), (size_t)MAX_PATH);
    {
        test::log_capture log;
        EXPECT_EQ(check_dir(too_long.c_str()), USBDRV_ERR_INVALID_PARAM);
        EXPECT_EQ(log.text(),
                  "usbdrv:error [check_dir] directory name is too long " + too_long + "\n");
    }

    // Relative: the current directory and the path together would not fit. Cutting the text
    // would create another directory and report success.
    test::current_dir cd(dir.path());
    std::string relative(MAX_PATH - base.size(), 'y');  // base + relative: 260 bytes
    {
        test::log_capture log;
        EXPECT_EQ(check_dir(relative.c_str()), USBDRV_ERR_INVALID_PARAM);
        EXPECT_NE(log.text().find("directory name is too long"), std::string::npos);
    }
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

// 259 bytes and the terminator fill the library's buffer exactly. Windows itself refuses
// directories beyond 248 characters (ERROR_FILENAME_EXCED_RANGE); Wine creates them.
TEST(CheckDir, PathsThatFillTheBufferAreTakenWhole) {
    test::temp_dir dir;
    std::string base = dir.utf8() + "\\";
    std::string x(MAX_PATH - 1 - base.size(), 'x'), y(x.size(), 'y');
    test::current_dir cd(dir.path());
    const struct {
        std::string path, created;
    } rows[] = {{base + x, base + x}, {y, base + y}};  // absolute, relative
    for (const auto& r : rows) {
        test::log_capture log;
        usbdrv_result result = check_dir(r.path.c_str());
        if (result == USBDRV_OK) {
            EXPECT_TRUE(fs::is_directory(test::from_utf8(r.created))) << r.path;
        } else {
            EXPECT_EQ(result, USBDRV_ERR_INVALID_PARAM) << r.path;
            EXPECT_NE(log.text().find("directory name is too long"), std::string::npos);
        }
    }
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        EXPECT_EQ(test::utf8(entry.path()).size(), (size_t)MAX_PATH - 1) << "a cut name was made";
    }
}

TEST(CheckDir, BadPathsFailCleanly) {
    test::temp_dir dir;
    std::ofstream(dir.path() / "file") << "x";
    const struct {
        std::string path;
        usbdrv_result result;
    } rows[] = {
        {"", USBDRV_ERR_INVALID_PARAM},
        {dir.utf8() + "\\file\\sub", USBDRV_ERR_ACCESS},  // below a file
        {dir.utf8() + "\\bad<name>", USBDRV_ERR_ACCESS},
    };
    for (const auto& r : rows) {
        test::log_capture log;
        EXPECT_EQ(check_dir(r.path.c_str()), r.result) << r.path;
        EXPECT_NE(log.text(), "") << r.path;
    }
    test::log_capture log;
    EXPECT_EQ(check_dir(nullptr), USBDRV_ERR_INVALID_PARAM);
    EXPECT_EQ(read_all(dir.path() / "file"), "x");
}

TEST(Fcreate, WritesBinaryAndTruncates) {
    test::temp_dir dir;
    fs::path file = dir.path() / test::from_utf8("\xE2\x82\xAC.bin");
    std::ofstream(file) << "old content that is longer";
    unique_file f(fcreate(test::utf8(file).c_str(), "w"));
    ASSERT_NE(f, nullptr);
    const char data[] =
        "a\nb\r\n\x1a"
        "c";
    EXPECT_EQ(fwrite(data, 1, sizeof data - 1, f.get()), sizeof data - 1);
    f.reset();
    EXPECT_EQ(read_all(file), std::string(data, sizeof data - 1));
    EXPECT_EQ(test::owner_of(file), test::current_user_sid());
}

TEST(Fcreate, ReadAndWriteAccess) {
    test::temp_dir dir;
    std::string file = dir.utf8() + "\\rw.bin";
    unique_file f(fcreate(file.c_str(), "rw"));
    ASSERT_NE(f, nullptr);
    fputs("line\n", f.get());
    rewind(f.get());
    char back[16] = {};
    EXPECT_NE(fgets(back, sizeof back, f.get()), nullptr);
    EXPECT_STREQ(back, "line\n");
}

TEST(Fcreate, WithoutWriteAccessOrArgumentsNothingIsCreated) {
    test::temp_dir dir;
    std::string file = dir.utf8() + "\\never";
    EXPECT_EQ(fcreate(file.c_str(), "r"), nullptr);
    EXPECT_EQ(fcreate(file.c_str(), ""), nullptr);
    EXPECT_EQ(fcreate(file.c_str(), nullptr), nullptr);
    EXPECT_EQ(fcreate(nullptr, "w"), nullptr);
    EXPECT_EQ(fcreate("", "w"), nullptr);
    EXPECT_FALSE(fs::exists(file));
}

TEST(Fcreate, AMissingDirectoryLeavesTheErrorForTheCaller) {
    test::temp_dir dir;
    std::string file = dir.utf8() + "\\missing\\file";
    SetLastError(0);
    EXPECT_EQ(fcreate(file.c_str(), "w"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
}

TEST(OwnerSecurity, TheDescriptorSetsOnlyTheOwnerToTheUser) {
    // Wine derives an object's owner from the Unix file owner and ignores the one asked for, so
    // the read-back above cannot tell a wrong descriptor; check the descriptor itself.
    owner_security owner("test");
    SECURITY_ATTRIBUTES* attributes = owner.attributes();
    ASSERT_NE(attributes, nullptr);
    EXPECT_EQ(attributes->nLength, sizeof(SECURITY_ATTRIBUTES));
    EXPECT_FALSE(attributes->bInheritHandle);
    auto* descriptor = static_cast<PSECURITY_DESCRIPTOR>(attributes->lpSecurityDescriptor);
    ASSERT_TRUE(IsValidSecurityDescriptor(descriptor));

    PSID sid = nullptr;
    BOOL defaulted = TRUE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(descriptor, &sid, &defaulted));
    EXPECT_FALSE(defaulted);
    unique_local<void> user(get_sid());
    ASSERT_NE(user, nullptr);
    EXPECT_TRUE(EqualSid(sid, user.get()));

    PSID group = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorGroup(descriptor, &group, &defaulted));
    EXPECT_EQ(group, nullptr);
    BOOL present = TRUE;
    PACL acl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted));
    EXPECT_FALSE(present);
    ASSERT_TRUE(GetSecurityDescriptorSacl(descriptor, &present, &acl, &defaulted));
    EXPECT_FALSE(present);
}

TEST(GetSid, IsACopyOfTheTokenUser) {
    unique_local<void> sid(get_sid());
    ASSERT_NE(sid, nullptr);
    EXPECT_TRUE(IsValidSid(sid.get()));
    char* text = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidA(sid.get(), &text));
    unique_local<char> owned(text);
    EXPECT_EQ(std::string(text), test::current_user_sid());
}

}  // namespace
