// The ownership kit: every owner gives back what it holds exactly once, takes every value that a
// call may return for "nothing" as absent, and the guards end what they guard.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "win/handles.h"

namespace {

// A resource that records what was given back.
std::vector<int> given_back;

struct counted_traits {
    static int invalid() { return 0; }
    static bool absent(int v) { return v == 0 || v == -1; }  // -1: a second "nothing"
    static void close(int v) { given_back.push_back(v); }
};
using counted = unique_resource<int, counted_traits>;

class UniqueResource : public testing::Test {
protected:
    void SetUp() override { given_back.clear(); }
};

TEST_F(UniqueResource, GivesBackOnceWhateverPathTheValueTakes) {
    {
        counted a(1);
        counted b(std::move(a));  // moved: only b gives back
        EXPECT_FALSE(a.valid());
        EXPECT_EQ(b.get(), 1);
        counted c(2);
        c = std::move(b);  // c gives back 2 and takes 1
        EXPECT_EQ(given_back, std::vector<int>{2});
        counted& same = c;
        c = std::move(same);  // a self-move keeps it
        EXPECT_EQ(c.get(), 1);
    }
    EXPECT_EQ(given_back, (std::vector<int>{2, 1}));

    given_back.clear();
    counted d(3);
    d.reset(4);
    EXPECT_EQ(given_back, std::vector<int>{3});
    EXPECT_EQ(d.release(), 4);  // handed over: never given back here
    EXPECT_FALSE(d);
    d.reset();
    *d.put() = 5;  // as a call with an out parameter writes it
    d.reset();
    EXPECT_EQ(given_back, (std::vector<int>{3, 5}));
}

TEST_F(UniqueResource, EveryAbsentValueIsHeldAsTheInvalidOneAndNeverGivenBack) {
    for (int nothing : {0, -1}) {
        counted r(nothing);
        EXPECT_FALSE(r.valid());
        EXPECT_EQ(r.get(), 0);
        r.reset(nothing);
        EXPECT_EQ(r.get(), 0);
    }
    counted written;
    *written.put() = -1;  // a call that wrote "nothing" into the out parameter
    EXPECT_FALSE(written.valid());
    written.reset();
    EXPECT_TRUE(given_back.empty());
}

// What each kind takes for "nothing", and what an empty owner holds.
template <typename Owner>
void expect_absent(typename Owner::value_type nothing, typename Owner::value_type held) {
    Owner owner(nothing);
    EXPECT_FALSE(owner.valid());
    EXPECT_EQ(owner.get(), held);
    EXPECT_EQ(Owner().get(), held);
}

TEST(HandleKinds, EachKnowsItsInvalidValues) {
    const HANDLE invalid = INVALID_HANDLE_VALUE;
    expect_absent<unique_handle>(nullptr, nullptr);
    expect_absent<unique_process>(nullptr, nullptr);
    expect_absent<unique_thread>(nullptr, nullptr);
    expect_absent<unique_event>(nullptr, nullptr);
    expect_absent<unique_mutex>(nullptr, nullptr);
    expect_absent<unique_token>(nullptr, nullptr);
    for (HANDLE nothing : {invalid, HANDLE(nullptr)}) {
        expect_absent<unique_file_handle>(nothing, invalid);
        expect_absent<unique_pipe>(nothing, invalid);
        expect_absent<unique_device_info_set>(nothing, invalid);
        expect_absent<unique_inf>(nothing, invalid);
        expect_absent<unique_catalog>(nothing, invalid);
        // RegOpenKeyEx says null, SetupDiOpenDevRegKey INVALID_HANDLE_VALUE: both are no key.
        expect_absent<unique_hkey>(reinterpret_cast<HKEY>(nothing), nullptr);
    }
    expect_absent<unique_module>(nullptr, nullptr);
    expect_absent<unique_cert_store>(nullptr, nullptr);
    expect_absent<unique_cert_context>(nullptr, nullptr);
    expect_absent<unique_crypt_provider>(0, 0);
    expect_absent<unique_crypt_key>(0, 0);
    expect_absent<unique_crypt_hash>(0, 0);
    expect_absent<unique_crypt_message>(nullptr, nullptr);
    expect_absent<unique_signer_context>(nullptr, nullptr);
    expect_absent<unique_font>(nullptr, nullptr);
}

// A kernel handle that is closed no longer has handle information.
bool is_open(HANDLE h) {
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != FALSE;
}

TEST(HandleKinds, KernelObjectsFilesAndPipesAreClosed) {
    test::temp_dir dir;
    unique_event event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    unique_mutex mutex(CreateMutexW(nullptr, FALSE, nullptr));
    unique_token token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()));
    unique_file_handle file(CreateFileW((dir.path() / "f").c_str(), GENERIC_WRITE, 0, nullptr,
                                        CREATE_ALWAYS, 0, nullptr));
    unique_pipe read_end, write_end;
    ASSERT_TRUE(CreatePipe(read_end.put(), write_end.put(), nullptr, 0));
    std::vector<HANDLE> raw = {event.get(), mutex.get(),    token.get(),
                               file.get(),  read_end.get(), write_end.get()};
    for (HANDLE h : raw)
        ASSERT_TRUE(is_open(h));
    event.reset();
    mutex.reset();
    token.reset();
    file.reset();
    read_end.reset();
    write_end.reset();
    for (HANDLE h : raw)
        EXPECT_FALSE(is_open(h));
}

TEST(HandleKinds, RegistryKeysAreClosed) {
    unique_hkey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, key.put()), ERROR_SUCCESS);
    HKEY raw = key.get();
    DWORD subkeys = 0;
    EXPECT_EQ(RegQueryInfoKeyW(raw, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    key.reset();
    EXPECT_EQ(RegQueryInfoKeyW(raw, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_HANDLE);
}

TEST(HandleKinds, ModulesAreUnloaded) {
    const char* const name = "msimg32.dll";  // a small system library nothing here uses
    if (GetModuleHandleA(name))
        GTEST_SKIP() << name << " was loaded before the test";
    unique_module module(LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    ASSERT_TRUE(module) << GetLastError();
    EXPECT_EQ(GetModuleHandleA(name), module.get());
    module.reset();
    EXPECT_EQ(GetModuleHandleA(name), nullptr);
}

TEST(HandleKinds, CryptoProvidersKeysAndStoresGoBack) {
    unique_crypt_provider provider;
    ASSERT_TRUE(
        CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        << GetLastError();
    unique_crypt_key key;
    ASSERT_TRUE(CryptGenKey(provider.get(), AT_SIGNATURE, 512 << 16, key.put())) << GetLastError();
    unique_cert_store store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    ASSERT_TRUE(store) << GetLastError();
    // A key goes back before its provider.
    key.reset();
    provider.reset();
    store.reset();
    EXPECT_FALSE(key || provider || store);
}

TEST(HandleKinds, FontsAreDeleted) {
    auto create_font = imports.CreateFontA.get("test");
    ASSERT_NE(create_font, nullptr);
    unique_font font(create_font(-11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "MS Shell Dlg 2"));
    ASSERT_TRUE(font);
    HFONT raw = font.get();
    EXPECT_EQ(GetObjectType(raw), static_cast<DWORD>(OBJ_FONT));
    font.reset();
    EXPECT_EQ(GetObjectType(raw), 0u);
}

TEST(CriticalSectionLock, HoldsTheSectionForItsScope) {
    critical_section section;
    auto free_elsewhere = [&] {
        bool entered = false;
        std::thread other([&] {
            entered = TryEnterCriticalSection(section.get()) != FALSE;
            if (entered)
                LeaveCriticalSection(section.get());  // the probe's own entry
        });
        other.join();
        return entered;
    };
    {
        critical_section_lock lock(section);
        EXPECT_FALSE(free_elsewhere());
    }
    EXPECT_TRUE(free_elsewhere());
}

class ChildProcessGuard : public testing::Test {
protected:
    // exit_with.exe with arguments, under a guard; a duplicate of its process handle stays here.
    child_process_guard start(const std::string& arguments) {
        std::wstring command = L"\"" + test::beside_me("exit_with.exe").wstring() + L"\" " +
                               std::wstring(arguments.begin(), arguments.end());
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info = {};
        EXPECT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                                   nullptr, nullptr, &startup, &info))
            << GetLastError();
        child_process_guard child(info);
        if (child.started()) {
            DuplicateHandle(GetCurrentProcess(), child.process(), GetCurrentProcess(), watch_.put(),
                            SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, 0);
        }
        return child;
    }
    unique_process watch_;
};

TEST_F(ChildProcessGuard, EndsAndWaitsForAChildThatStillRuns) {
    {
        child_process_guard child = start("sleep 30000 0");
        ASSERT_TRUE(child.started());
        EXPECT_FALSE(child.wait(0));
        EXPECT_EQ(child.exit_code(), (DWORD)STILL_ACTIVE);
    }
    // Ended and waited for by the time the guard is gone.
    ASSERT_TRUE(watch_);
    EXPECT_EQ(WaitForSingleObject(watch_.get(), 0), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(watch_.get(), &code);
    EXPECT_EQ(code, 1u);
}

TEST_F(ChildProcessGuard, LeavesAChildThatEndedAlone) {
    child_process_guard child = start("7");
    ASSERT_TRUE(child.wait(10000));
    EXPECT_EQ(child.exit_code(), 7u);
    child_process_guard moved(std::move(child));
    EXPECT_FALSE(child.started());
    EXPECT_EQ(child.exit_code(42), 42u);
    moved.end();
    EXPECT_FALSE(moved.started());
    DWORD code = 0;
    GetExitCodeProcess(watch_.get(), &code);
    EXPECT_EQ(code, 7u);
}

}  // namespace
