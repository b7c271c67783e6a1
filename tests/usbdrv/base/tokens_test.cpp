#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "base/tokens.h"
#include "usbdrv/kit.h"

namespace {

// One filling's values, every token set ("v-<NAME>") except where a test says.
struct filled_table {
    token_values entries = {};
    filled_table() {
        for (int id = 0; id < kTokenCount; id++)
            set_token_value(entries, id, ("v-" + std::string(token_name(id))).c_str());
        set_token_value(entries, TOKEN_INF_FILENAME, "a.inf");
    }
};

struct filled {
    int result;
    std::string text;
    int unset;
};

filled fill(const std::string& source, const token_values& table, const char* start = "#",
            const char* end = "#") {
    char* output = nullptr;
    int unset = -1;
    int result =
        tokenize_text(source.data(), (int)source.size(), &output, &table, start, end, &unset);
    unique_malloc<char> owned(output);
    filled f{result, "", unset};
    if (result >= 0) {
        f.text.assign(output, result);
        EXPECT_EQ(output[result], '\0');
    } else {
        EXPECT_EQ(output, nullptr);
    }
    return f;
}

TEST(TokenNames, EachTokenHasANameOfItsOwn) {
    std::set<std::string> names;
    for (int id = 0; id < kTokenCount; id++) {
        ASSERT_NE(token_name(id), nullptr) << id;
        EXPECT_TRUE(names.insert(token_name(id)).second) << token_name(id);
    }
    for (int outside : {-1, (int)kTokenCount}) {
        EXPECT_EQ(token_name(outside), nullptr);
        EXPECT_EQ(token_default(outside), nullptr);
        token_values values = {};
        EXPECT_FALSE(set_token_value(values, outside, "x"));
    }
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

// Every token is looked for, whatever comes before it in the list: an empty value, or an unset
// one that takes its default, replaces its token and leaves the later ones to theirs.
TEST(TokenizeText, ATokenAfterAnEmptyOrUnsetOneIsReplaced) {
    const std::string text =
        "#INF_FILENAME# #CAT_FILENAME# #DEVICE_DESCRIPTION# #DEVICE_HARDWARE_ID# #LK_COMMA# "
        "#LK_DLL# #LK_EQ_X64#";
    filled_table empty;
    set_token_value(empty.entries, TOKEN_DEVICE_DESCRIPTION, "");
    EXPECT_EQ(fill(text, empty.entries).text,
              "a.inf v-CAT_FILENAME  v-DEVICE_HARDWARE_ID v-LK_COMMA v-LK_DLL v-LK_EQ_X64");
    filled_table unset;
    unset.entries.set[TOKEN_LK_COMMA] = false;
    EXPECT_EQ(fill(text, unset.entries).text,
              "a.inf v-CAT_FILENAME v-DEVICE_DESCRIPTION v-DEVICE_HARDWARE_ID  v-LK_DLL "
              "v-LK_EQ_X64");
}

// An unset token takes its default; one without a default stops the filling, which names it
// and gives out nothing. One that the text does not name is no matter.
TEST(TokenizeText, AnUnsetTokenTakesItsDefaultOrStopsTheFilling) {
    for (int id = 0; id < kTokenCount; id++) {
        SCOPED_TRACE(token_name(id));
        filled_table t;
        t.entries.set[id] = false;
        const std::string token = "#" + std::string(token_name(id)) + "#";
        filled f = fill("[" + token + "] #INF_FILENAME#", t.entries);
        if (const char* fallback = token_default(id)) {
            EXPECT_EQ(f.text, "[" + std::string(fallback) + "] a.inf");
        } else {
            EXPECT_EQ(f.result, kTokenUnset);
            EXPECT_EQ(f.unset, id);
        }
        EXPECT_EQ(fill("[#NOT_A_TOKEN#] and no token", t.entries).text,
                  "[#NOT_A_TOKEN#] and no token");
    }
    // The libusbK values are the ones with a default: empty.
    for (int id :
         {TOKEN_LK_COMMA, TOKEN_LK_DLL, TOKEN_LK_X86_DLL, TOKEN_LK_EQ_X86, TOKEN_LK_EQ_X64})
        EXPECT_STREQ(token_default(id), "") << token_name(id);
    // Nothing set: the first token without a value is the one named.
    token_values none = {};
    filled f = fill("#LK_DLL# #DRIVER_DATE# #INF_FILENAME#", none);
    EXPECT_EQ(f.result, kTokenUnset);
    EXPECT_EQ(f.unset, TOKEN_DRIVER_DATE);
}

// Each filling has only the values of its own record.
TEST(TokenizeText, OneRecordsValuesNeverReachAnother) {
    filled_table first;
    token_values second = {};
    set_token_value(second, TOKEN_DEVICE_DESCRIPTION, "second");
    EXPECT_EQ(fill("#DEVICE_DESCRIPTION#|#LK_DLL#", first.entries).text,
              "v-DEVICE_DESCRIPTION|v-LK_DLL");
    EXPECT_EQ(fill("#DEVICE_DESCRIPTION#|#LK_DLL#", second).text, "second|");
    EXPECT_EQ(fill("#INF_FILENAME#", second).result, kTokenUnset);
}

TEST(TokenizeText, ReplacedTextIsNeverScannedAgain) {
    filled_table t;
    set_token_value(t.entries, TOKEN_DEVICE_DESCRIPTION, "see #INF_FILENAME#");
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
    set_token_value(t.entries, TOKEN_CAT_FILENAME, long_value.c_str());
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
    set_token_value(t.entries, TOKEN_DEVICE_DESCRIPTION, "Ger\xC3\xA4t");
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
    const token_values* values = &t.entries;
    EXPECT_EQ(tokenize_text(nullptr, 5, &output, values, "#", "#"), kTokenBadArguments);
    EXPECT_EQ(tokenize_text(text, 14, nullptr, values, "#", "#"), kTokenBadArguments);
    EXPECT_EQ(tokenize_text(text, 14, &output, nullptr, "#", "#"), kTokenBadArguments);
    EXPECT_EQ(tokenize_text(text, 14, &output, values, nullptr, "#"), kTokenBadArguments);
    EXPECT_EQ(tokenize_text(text, 14, &output, values, "#", nullptr), kTokenBadArguments);
    EXPECT_EQ(tokenize_text(text, 14, &output, values, "", "#"), kTokenBadArguments);
    EXPECT_EQ(tokenize_text(text, 14, &output, values, "#", ""), kTokenBadArguments);
    EXPECT_EQ(tokenize_text(text, 0, &output, values, "#", "#"), kTokenBadArguments);
    EXPECT_EQ(tokenize_text(text, -1, &output, values, "#", "#"), kTokenBadArguments);
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

TEST(SetTokenValue, CutsAt1023AndTakesNullAsEmpty) {
    token_values values = {};
    std::string too_long(2000, 'y');
    EXPECT_TRUE(set_token_value(values, TOKEN_DRIVER_DATE, too_long.c_str()));
    EXPECT_TRUE(values.set[TOKEN_DRIVER_DATE]);
    EXPECT_EQ(strlen(values.text[TOKEN_DRIVER_DATE]), 1023u);
    EXPECT_TRUE(set_token_value(values, TOKEN_DRIVER_DATE, nullptr));
    EXPECT_STREQ(values.text[TOKEN_DRIVER_DATE], "");
    EXPECT_EQ(fill("[#DRIVER_DATE#]", values).text, "[]");
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
        token_values values = {};
        ASSERT_TRUE(set_token_value(values, TOKEN_DEVICE_DESCRIPTION, r.value.c_str()));
        EXPECT_EQ(std::string(values.text[TOKEN_DEVICE_DESCRIPTION]), r.value.substr(0, r.kept))
            << r.kept;
    }
}

}  // namespace
