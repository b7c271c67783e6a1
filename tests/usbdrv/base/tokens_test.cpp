#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "ownership.h"
#include "tokens.h"

namespace {

// A table like the program's, every value filled ("v-<NAME>") except where a test says.
struct filled_table {
    token_entry entries[kTokenTableSize];
    filled_table() {
        for (int i = 0; i < kTokenTableSize; i++) {
            entries[i].name = token_table[i].name;
            std::string value = entries[i].name ? "v-" + std::string(entries[i].name) : "";
            strcpy(entries[i].value, value.c_str());
        }
        set_token_value(entries, "INF_FILENAME", "a.inf");
    }
};

struct filled {
    int result;
    std::string text;
};

filled fill(const std::string& source, token_entry* table, const char* start = "#",
            const char* end = "#") {
    char* output = nullptr;
    int result = tokenize_text(source.data(), (int)source.size(), &output, table, start, end);
    unique_malloc<char> owned(output);
    filled f{result, ""};
    if (result >= 0) {
        f.text.assign(output, result);
        EXPECT_EQ(output[result], '\0');
    }
    return f;
}

TEST(TokenTable, SixteenNamesInTheirOrderAndAnEnd) {
    const char* const names[] = {"INF_FILENAME",
                                 "CAT_FILENAME",
                                 "DEVICE_DESCRIPTION",
                                 "DEVICE_HARDWARE_ID",
                                 "DEVICE_INTERFACE_GUID",
                                 "DEVICE_MANUFACTURER",
                                 "DRIVER_DATE",
                                 "DRIVER_VERSION",
                                 "USE_DEVICE_INTERFACE_GUID",
                                 "WDF_VERSION",
                                 "KMDF_VERSION",
                                 "LK_COMMA",
                                 "LK_DLL",
                                 "LK_X86_DLL",
                                 "LK_EQ_X86",
                                 "LK_EQ_X64"};
    for (int i = 0; i < 16; i++) {
        EXPECT_STREQ(token_table[i].name, names[i]);
        EXPECT_STREQ(token_table[i].value, "") << "empty at start";
    }
    EXPECT_EQ(token_table[16].name, nullptr);
}

TEST(TokenizeText, ReplacesKnownTokensAndLeavesTheRest) {
    filled_table t;
    const struct {
        const char* in;
        const char* out;
    } rows[] = {
        {"#INF_FILENAME#", "a.inf"},
        {"; #INF_FILENAME#\r\n", "; a.inf\r\n"},
        {"#CAT_FILENAME# and #INF_FILENAME#", "v-CAT_FILENAME and a.inf"},
        {"#NOT_A_TOKEN#", "#NOT_A_TOKEN#"},
        {"##INF_FILENAME#", "#a.inf"},
        {"#INF_FILENAME", "#INF_FILENAME"},  // not closed
        {"x#INF_FILENAME", "x#INF_FILENAME"},
        {"##", "##"},  // two bytes or less: copied as they are
        {"#", "#"},
        {"a", "a"},
        {"ab#", "ab#"},
        {"# comment line\r\n", "# comment line\r\n"},
        {"#inf_filename#", "#inf_filename#"},  // names are case-sensitive
        // The end of an unknown token opens the next search.
        {"#FOO#INF_FILENAME#", "#FOOa.inf"},
        {"#INF_FILENAME##INF_FILENAME#", "a.infa.inf"},
        {"###", "###"},
        {"WdfCoInstaller#WDF_VERSION#.dll", "WdfCoInstallerv-WDF_VERSION.dll"},
        {"#LK_EQ_X64#", "v-LK_EQ_X64"},
    };
    for (const auto& r : rows) {
        filled f = fill(r.in, t.entries);
        EXPECT_EQ(f.result, (int)strlen(r.out)) << r.in;
        EXPECT_EQ(f.text, r.out) << r.in;
    }
}

TEST(TokenizeText, AnEmptyValueEndsTheScan) {
    filled_table t;
    set_token_value(t.entries, "DEVICE_DESCRIPTION", "");
    filled f = fill(
        "#INF_FILENAME# #CAT_FILENAME# #DEVICE_DESCRIPTION# #DEVICE_HARDWARE_ID# "
        "#LK_EQ_X64#",
        t.entries);
    EXPECT_EQ(f.text, "a.inf v-CAT_FILENAME #DEVICE_DESCRIPTION# #DEVICE_HARDWARE_ID# #LK_EQ_X64#");
}

TEST(TokenizeText, ReplacedTextIsNeverScannedAgain) {
    filled_table t;
    set_token_value(t.entries, "DEVICE_DESCRIPTION", "see #INF_FILENAME#");
    EXPECT_EQ(fill("[#DEVICE_DESCRIPTION#]", t.entries).text, "[see #INF_FILENAME#]");
}

TEST(TokenizeText, OtherDelimiters) {
    filled_table t;
    EXPECT_EQ(fill("{{INF_FILENAME}} {INF_FILENAME} {{X}}", t.entries, "{{", "}}").text,
              "a.inf {INF_FILENAME} {{X}}");
    EXPECT_EQ(fill("<INF_FILENAME> <INF_FILENAME<", t.entries, "<", ">").text,
              "a.inf <INF_FILENAME<");
    // With delimiters of four bytes together, a text of four bytes is copied as it is.
    EXPECT_EQ(fill("{{}}", t.entries, "{{", "}}").text, "{{}}");
}

TEST(TokenizeText, GrowsPastItsFirstAllocation) {
    filled_table t;
    std::string long_value(1023, 'x');
    set_token_value(t.entries, "CAT_FILENAME", long_value.c_str());
    std::string source, expected;
    for (int i = 0; i < 50; i++) {
        source += "#CAT_FILENAME#|";
        expected += long_value + "|";
    }
    filled f = fill(source, t.entries);
    EXPECT_EQ(f.result, (int)expected.size());
    EXPECT_EQ(f.text, expected);
}

TEST(TokenizeText, BytesPassUnchanged) {
    filled_table t;
    set_token_value(t.entries, "DEVICE_DESCRIPTION", "Ger\xC3\xA4t");
    std::string bom = "\xEF\xBB\xBF";
    EXPECT_EQ(fill(bom + "; #DEVICE_DESCRIPTION#\r\n", t.entries).text, bom + "; Ger\xC3\xA4t\r\n");
    // A NUL inside a span ends its copy; the span's room stays, filled with NUL bytes.
    std::string with_nul("ab\0cd#INF_FILENAME#", 19);
    filled f = fill(with_nul, t.entries);
    EXPECT_EQ(f.result, 5 + 5);
    EXPECT_EQ(f.text, std::string("ab\0\0\0a.inf", 10));
}

TEST(TokenizeText, RefusesBadArguments) {
    filled_table t;
    char* output = reinterpret_cast<char*>(0x1);
    const char* text = "#INF_FILENAME#";
    EXPECT_EQ(tokenize_text(nullptr, 5, &output, t.entries, "#", "#"), kTokenBadArguments);
    EXPECT_EQ(tokenize_text(text, 14, nullptr, t.entries, "#", "#"), kTokenBadArguments);
    EXPECT_EQ(tokenize_text(text, 14, &output, nullptr, "#", "#"), kTokenBadArguments);
    EXPECT_EQ(tokenize_text(text, 14, &output, t.entries, nullptr, "#"), kTokenBadArguments);
    EXPECT_EQ(tokenize_text(text, 14, &output, t.entries, "#", nullptr), kTokenBadArguments);
    EXPECT_EQ(tokenize_text(text, 14, &output, t.entries, "", "#"), kTokenBadArguments);
    EXPECT_EQ(tokenize_text(text, 14, &output, t.entries, "#", ""), kTokenBadArguments);
    EXPECT_EQ(tokenize_text(text, 0, &output, t.entries, "#", "#"), kTokenBadArguments);
    EXPECT_EQ(tokenize_text(text, -1, &output, t.entries, "#", "#"), kTokenBadArguments);
    EXPECT_EQ(output, reinterpret_cast<char*>(0x1));  // untouched
}

TEST(AppendOutput, GrowsByTheSpanAndRoomBeyond) {
    int used = 0, capacity = 4;
    char* buffer = static_cast<char*>(malloc(capacity));
    char* output = nullptr;
    ASSERT_TRUE(append_output(buffer, &output, used, capacity, "abc", 3));
    EXPECT_EQ(capacity, 4);
    EXPECT_EQ(output, buffer);
    ASSERT_TRUE(append_output(buffer, &output, used, capacity, "de", 2));
    EXPECT_EQ(capacity, 3 + 2 + 1024);
    EXPECT_EQ(output, buffer);
    EXPECT_EQ(std::string(output, used), "abcde");
    // A length no int can hold: the buffer is released and the output cleared.
    EXPECT_FALSE(append_output(buffer, &output, used, capacity, "x", 0x7FFFFFFF));
    EXPECT_EQ(output, nullptr);
    EXPECT_EQ(buffer, nullptr);
}

TEST(SetTokenValue, CutsAt1023AndKnowsOnlyTheTablesNames) {
    filled_table t;
    std::string too_long(2000, 'y');
    EXPECT_TRUE(set_token_value(t.entries, "DRIVER_DATE", too_long.c_str()));
    EXPECT_EQ(strlen(t.entries[6].value), 1023u);
    EXPECT_FALSE(set_token_value(t.entries, "NO_SUCH_TOKEN", "x"));
    EXPECT_TRUE(set_token_value(t.entries, "DRIVER_DATE", nullptr));
    EXPECT_STREQ(t.entries[6].value, "");
}

// A character of several bytes that does not fit whole is left out, not cut inside: the INF is
// written as UTF-16, where half a character would become a replacement character.
TEST(SetTokenValue, CutsBeforeACharacterThatDoesNotFitWhole) {
    const std::string euro = "\xE2\x82\xAC", pile = "\xF0\x9F\x92\xA9", umlaut = "\xC3\xA4";
    const struct {
        std::string value;
        size_t kept;
    } rows[] = {
        {std::string(1023, 'a'), 1023},                 // fits exactly
        {std::string(1022, 'a') + umlaut, 1022},        // the second byte would be 1024th
        {std::string(1021, 'a') + umlaut + "b", 1023},  // the umlaut fits whole
        {std::string(1021, 'a') + euro, 1021},
        {std::string(1020, 'a') + pile, 1020},
        {std::string(1022, 'a') + pile, 1022},
        {std::string(1019, 'a') + pile + "zz", 1023},
        {std::string(1100, '\x80'), 1020},  // not UTF-8: never more than three bytes go
    };
    for (const auto& r : rows) {
        filled_table t;
        ASSERT_TRUE(set_token_value(t.entries, "DEVICE_DESCRIPTION", r.value.c_str()));
        EXPECT_EQ(std::string(t.entries[2].value), r.value.substr(0, r.kept)) << r.kept;
    }
}

}  // namespace
